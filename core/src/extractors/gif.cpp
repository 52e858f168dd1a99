// GIF (87a, 89a): header, logical screen descriptor, image count and the NETSCAPE2.0 loop count.
#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Bytes of a colour table whose packed-field exponent is e: 3 * 2^(e + 1).
std::uint64_t color_table_bytes(std::uint8_t packed) {
  return std::uint64_t{3} << ((packed & 0x07U) + 1U);
}

// Data sub-blocks: a size byte, that many bytes, until a size of 0; returns the position after.
std::uint64_t skip_sub_blocks(const ByteReader& r, std::uint64_t p) {
  while (p < r.size()) {
    const std::uint8_t size = *r.u8_at(p);
    if (size == 0) {
      return p + 1;
    }
    p += std::uint64_t{size} + 1;
  }
  return p;
}

struct Walk {
  std::uint64_t frames = 0;
  std::optional<std::uint16_t> loop_count;
};

// Extensions and image descriptors to the trailer; a truncated stream ends the walk.
Walk walk_blocks(const ByteReader& r, std::uint64_t pos) {
  Walk walk;
  while (pos < r.size()) {
    const std::uint8_t block = *r.u8_at(pos);
    if (block == 0x21) {
      if (pos + 2 >= r.size()) {
        break;
      }
      if (*r.u8_at(pos + 1) == 0xFF && r.matches_at(pos + 3, "NETSCAPE2.0"sv)) {
        if (const auto loops = r.u16_le_at(pos + 16)) {
          walk.loop_count = *loops;
        }
      }
      pos = skip_sub_blocks(r, pos + 2);
    } else if (block == 0x2C) {
      ++walk.frames;
      if (pos + 10 > r.size()) {
        break;
      }
      const std::uint8_t packed = *r.u8_at(pos + 9);
      pos += 10 + ((packed & 0x80U) != 0 ? color_table_bytes(packed) : 0) + 1;
      if (pos < r.size()) {
        pos = skip_sub_blocks(r, pos);
      }
    } else if (block == 0x3B) {
      break;
    } else {
      ++pos;
    }
  }
  return walk;
}

} // namespace

bool GifExtractor::supports(const Probe& probe) const {
  const ByteReader head(probe.head);
  return head.matches_at(0, "GIF87a"sv) || head.matches_at(0, "GIF89a"sv);
}

ExtractResult GifExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe, 13);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const std::uint8_t packed = *r.u8_at(10);
  const bool has_table = (packed & 0x80U) != 0;
  Namespace ns(name());
  ns.set("version", utf8_lossy(as_chars(*r.bytes_at(3, 3))))
      .set("width", *r.u16_le_at(6))
      .set("height", *r.u16_le_at(8))
      .set("color_resolution_bits", ((packed >> 4U) & 0x07U) + 1U)
      .set("global_color_table", has_table);
  if (has_table) {
    ns.set("global_color_table_size", 2U << (packed & 0x07U));
  }
  const Walk walk = walk_blocks(r, 13 + (has_table ? color_table_bytes(packed) : 0));
  ns.set("frames", walk.frames).set("animated", walk.frames > 1);
  if (walk.loop_count) {
    ns.set("loop_count", *walk.loop_count);
  }
  return ns;
}

} // namespace trawl
