// GIF (87a, 89a): header, logical screen descriptor, image count and the NETSCAPE2.0 loop count.
#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "../support/byte_reader.hpp"
#include "../support/byte_search.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "scan.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Bytes of a colour table whose packed-field exponent is e: 3 * 2^(e + 1).
std::uint64_t color_table_bytes(std::uint8_t packed) {
  return std::uint64_t{3} << ((packed & 0x07U) + 1U);
}

// The block walk as the file streams past: extensions and sub-block chains are skipped, images
// counted, and bytes between blocks passed over one at a time.
// An extension's label, "NETSCAPE2.0" and the loop count lie within 18 bytes.
class GifScan final : public WindowScan<18> {
public:
  ExtractResult finish(Source& /*source*/, const Probe& /*probe*/) override {
    const std::uint64_t fed = end_input();
    if (fed < header_.size()) {
      return malformed("gif", "header too short");
    }
    // Signature, version, then the logical screen: width, height, packed fields.
    const Fixed<13> h(header_);
    const std::uint8_t packed = h.u8<10>();
    const bool has_table = (packed & 0x80U) != 0;
    Namespace ns("gif");
    ns.set("version", utf8_lossy(as_chars(h.bytes<3, 3>())))
        .set("width", h.u16_le<6>())
        .set("height", h.u16_le<8>())
        .set("color_resolution_bits", ((packed >> 4U) & 0x07U) + 1U)
        .set("global_color_table", has_table);
    if (has_table) {
      ns.set("global_color_table_size", 2U << (packed & 0x07U));
    }
    ns.set("frames", frames_).set("animated", frames_ > 1);
    set_present(ns, "loop_count", loop_count_);
    return ns;
  }

private:
  enum class State : std::uint8_t { Header, Blocks, SubBlocks, Done };

  std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                        bool final) override {
    const ByteReader r(bytes);
    const std::uint64_t end = at + bytes.size(); // the input's end when `final`
    if (state_ == State::Done) {
      return end;
    }
    while (state_ != State::Done && pos_ >= at && pos_ < end) {
      const auto i = static_cast<std::size_t>(pos_ - at);
      if (state_ == State::SubBlocks) {
        // A chain of sized sub-blocks up to an empty one.
        // i < bytes.size(): the size byte is there.
        const std::uint8_t size = r.u8_at(i).value_or(0);
        pos_ += size == 0 ? 1 : std::uint64_t{size} + 1;
        state_ = size == 0 ? State::Blocks : State::SubBlocks;
        continue;
      }
      if (!final && bytes.size() - i < lookahead) {
        break;
      }
      if (state_ == State::Header) {
        header(r, i);
        continue;
      }
      const std::size_t found =
          find_any<0x21, 0x2C, 0x3B>(bytes, i, match_limit(bytes, final)); // a block introducer
      pos_ = at + found;
      if (found == bytes.size() || (!final && bytes.size() - found < lookahead)) {
        continue; // bytes between blocks passed over; the rest waits for more input
      }
      block(r, found);
    }
    return std::min(pos_, end);
  }

  // The logical screen: the walk starts after it and its color table.
  void header(const ByteReader& r, std::size_t i) {
    ByteReader rest = r;
    if (!rest.seek(i)) {
      return;
    }
    const auto part = rest.clipped_at(rest.position(), header_.size());
    std::copy(part.span().begin(), part.span().end(), header_.begin());
    const std::uint8_t packed = header_.at(10);
    pos_ = 13 + ((packed & 0x80U) != 0 ? color_table_bytes(packed) : 0);
    state_ = State::Blocks;
  }

  // The block at r[i]; the input known so far ends with r.
  void block(const ByteReader& r, std::size_t i) {
    // Without its introducer the input has ended, as at the trailer.
    const std::uint8_t introducer = r.u8_at(i).value_or(0x3B);
    if (introducer == 0x3B) {
      state_ = State::Done;
    } else if (introducer == 0x21) {
      // The introducer, the label and at least the first sub-block's size byte.
      const auto extension = r.fixed<3>(i);
      if (!extension) {
        state_ = State::Done;
        return;
      }
      // The application identifier and the loop count, from the introducer on.
      if (extension->u8<1>() == 0xFF && r.matches_at(i + 3, "NETSCAPE2.0"sv)) {
        if (const auto loops = r.u16_le_at(i + 16)) {
          loop_count_ = loops;
        }
      }
      pos_ += 2;
      state_ = State::SubBlocks;
    } else {
      ++frames_;
      // The image descriptor: position, size, then the packed fields.
      const auto descriptor = r.fixed<10>(i);
      if (!descriptor) {
        state_ = State::Done;
        return;
      }
      const std::uint8_t packed = descriptor->u8<9>();
      pos_ += 10 + ((packed & 0x80U) != 0 ? color_table_bytes(packed) : 0) + 1;
      state_ = State::SubBlocks;
    }
  }

  State state_ = State::Header;
  std::array<std::uint8_t, 13> header_{};
  std::uint64_t frames_ = 0;
  std::optional<std::uint16_t> loop_count_;
};

} // namespace

bool GifExtractor::supports(const Probe& probe) const {
  const ByteReader head(probe.head);
  return head.matches_at(0, "GIF87a"sv) || head.matches_at(0, "GIF89a"sv);
}

std::unique_ptr<Scan> GifExtractor::start_scan(const Probe& /*probe*/) const {
  return std::make_unique<GifScan>();
}

} // namespace trawl
