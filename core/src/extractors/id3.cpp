// ID3v2 tags (versions 2.2, 2.3 and 2.4) at the start of a file: header facts and the common
// text frames.
#include <array>
#include <string>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "id3_thorough.hpp"
#include "mpeg_audio.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Four 7-bit groups combined by OR; a byte over 0x7F is not masked and overlaps the next group.
std::uint32_t synchsafe(std::span<const std::uint8_t> b) {
  return (std::uint32_t{b[0]} << 21U) | (std::uint32_t{b[1]} << 14U) | (std::uint32_t{b[2]} << 7U) |
         std::uint32_t{b[3]};
}

struct TextFrame {
  std::string_view id_v3;
  std::string_view id_v2;
  std::string_view key;
};

constexpr std::array<TextFrame, 9> text_frames = {{
    {"TIT2", "TT2", "title"},
    {"TPE1", "TP1", "artist"},
    {"TALB", "TAL", "album"},
    {"TYER", "TYE", "year"},
    {"TDRC", "", "year"},
    {"TCON", "TCO", "genre"},
    {"TRCK", "TRK", "track"},
    {"TPE2", "", "album_artist"},
    {"TCOM", "", "composer"},
}};

std::string_view frame_key(std::string_view id, bool v2) {
  for (const TextFrame& f : text_frames) {
    if (!id.empty() && id == (v2 ? f.id_v2 : f.id_v3)) {
      return f.key;
    }
  }
  return {};
}

// Encoding byte, then text: ISO 8859-1, UTF-16 with an optional byte-order mark, UTF-16BE or
// UTF-8. Nothing for other encodings.
std::optional<std::string> decode_text(std::span<const std::uint8_t> payload) {
  if (payload.empty()) {
    return std::nullopt;
  }
  const std::string_view text = as_chars(payload.subspan(1));
  std::string out;
  switch (payload[0]) {
  case 0:
    out = latin1_to_utf8(text);
    break;
  case 1:
  case 2: {
    // Encoding 2 is UTF-16BE; encoding 1 is big-endian after FE FF, otherwise little-endian.
    out = id3_utf16(text, payload[0] == 2 || text.starts_with("\xFE\xFF"sv));
    break;
  }
  case 3:
    out = utf8_lossy(text);
    break;
  default:
    return std::nullopt;
  }
  while (out.ends_with('\0')) {
    out.pop_back();
  }
  return out;
}

// Frames from offset 10 up to the declared tag size (or the data's end): a zero ID is padding
// and a zero size ends the walk.
Map read_frames(const ByteReader& r, std::uint8_t major, std::uint32_t tag_size, bool& truncated) {
  const bool v2 = major == 2;
  const std::uint64_t id_length = v2 ? 3 : 4;
  const std::uint64_t end = std::min<std::uint64_t>(r.size() - 10, tag_size);
  ByteReader area = r;
  if (!area.skip(10)) {
    return {};
  }
  area = area.sub_clipped(end);
  Map frames;
  for (;;) {
    // v2.2: a 3-byte ID and a 24-bit size; later: a 4-byte ID, a 32-bit size (synchsafe from
    // 2.4 on) and two flag bytes.
    std::array<std::uint8_t, 4> id_bytes{};
    std::uint64_t size = 0;
    if (const auto h = v2 ? area.take_fixed<6>() : std::nullopt) {
      std::copy_n(h->bytes<0, 3>().begin(), 3, id_bytes.begin());
      size = h->u24_be<3>();
    } else if (const auto h4 = v2 ? std::nullopt : area.take_fixed<10>()) {
      std::copy_n(h4->bytes<0, 4>().begin(), 4, id_bytes.begin());
      size = major == 3 ? h4->u32_be<4>() : synchsafe(h4->bytes<4, 4>());
    } else {
      break;
    }
    const auto id = std::span<const std::uint8_t>(id_bytes).first(id_length);
    if (std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; })) {
      break;
    }
    // A frame running past the tag is read as far as the tag goes, and ends the walk.
    const ByteReader data = area.sub_clipped(size);
    if (data.size() == 0) {
      break;
    }
    const std::string_view key = frame_key(as_chars(id), v2);
    if (!key.empty()) {
      // A text frame is read up to the cap; the rest of it is skipped.
      const std::uint64_t kept = std::min<std::uint64_t>(data.size(), text_cap);
      truncated = truncated || kept < data.size();
      const auto text_bytes = data.clipped_at(0, kept);
      if (auto text = decode_text(text_bytes)) {
        frames.insert_or_assign(std::string(key), Value(std::move(text).value_or(std::string{})));
      }
    }
    if (data.size() < size) {
      break;
    }
  }
  return frames;
}

} // namespace

bool Id3Extractor::supports(const Probe& probe) const {
  // The thorough reading also looks for an ID3v1 tag at the end of MPEG audio.
  return ByteReader(probe.head).matches_at(0, "ID3") || may_be_mpeg_audio(probe);
}

ExtractResult Id3Extractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  if (probe.thorough && !r.matches_at(0, "ID3")) {
    Namespace ns(name());
    read_id3_thorough(r, std::nullopt, ns);
    return ns;
  }
  // "ID3", major and revision version, flags, synchsafe tag size.
  const auto h = fixed_header<10>(*this, r);
  if (!h) {
    return h.error();
  }
  const std::uint8_t major = h->u8<3>();
  const std::uint8_t flags = h->u8<5>();
  const std::uint32_t tag_size = synchsafe(h->bytes<6, 4>());
  Namespace ns(name());
  ns.set("version", "2." + std::to_string(major) + "." + std::to_string(h->u8<4>()))
      .set("unsynchronisation", (flags & 0x80U) != 0)
      .set("extended_header", (flags & 0x40U) != 0)
      .set("tag_size", tag_size);
  if (probe.thorough) {
    read_id3_thorough(r, tag_size, ns);
    return ns;
  }
  bool truncated = false;
  Map frames = read_frames(r, major, tag_size, truncated);
  if (truncated) {
    mark_truncated(ns, "frames");
  }
  if (!frames.empty()) {
    ns.set("frames", std::move(frames));
  }
  return ns;
}

} // namespace trawl
