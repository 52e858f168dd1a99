// ID3v2 tags (versions 2.2, 2.3 and 2.4) at the start of a file: header facts and the common
// text frames.
#include <array>
#include <string>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

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
    out = utf16_to_utf8(text, payload[0] == 2 || text.starts_with("\xFE\xFF"sv));
    // Every leading U+FEFF goes, in one erase whatever their number.
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    std::size_t marks = 0;
    while (std::string_view(out).substr(marks).starts_with(bom)) {
      marks += bom.size();
    }
    out.erase(0, marks);
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
  const std::size_t header = v2 ? 6 : 10;
  const std::uint64_t id_length = v2 ? 3 : 4;
  const std::uint64_t end = std::min<std::uint64_t>(r.size() - 10, tag_size);
  ByteReader area = *r.sub_at(10, end);
  Map frames;
  while (const auto frame_header = area.bytes(header)) {
    const ByteReader h(frame_header->span());
    const auto id_bytes = *h.bytes_at(0, id_length);
    const auto id = id_bytes.span();
    if (std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; })) {
      break;
    }
    const auto size_view = *h.bytes_at(id_length, v2 ? 3 : 4);
    const auto size_bytes = size_view.span();
    std::uint64_t size = 0;
    if (v2) {
      size = (std::uint64_t{size_bytes[0]} << 16U) | (std::uint64_t{size_bytes[1]} << 8U) |
             size_bytes[2];
    } else if (major == 3) {
      size = *h.u32_be_at(4);
    } else {
      size = synchsafe(size_bytes);
    }
    // A frame running past the tag is read as far as the tag goes, and ends the walk.
    const ByteReader data = *area.sub(std::min<std::uint64_t>(size, area.remaining()));
    if (data.size() == 0) {
      break;
    }
    const std::string_view key = frame_key(as_chars(id), v2);
    if (!key.empty()) {
      // A text frame is read up to the cap; the rest of it is skipped.
      const std::uint64_t kept = std::min<std::uint64_t>(data.size(), text_cap);
      truncated = truncated || kept < data.size();
      const auto text_bytes = *data.bytes_at(0, kept);
      if (auto text = decode_text(text_bytes)) {
        frames.insert_or_assign(std::string(key), Value(std::move(*text)));
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
  return ByteReader(probe.head).matches_at(0, "ID3");
}

ExtractResult Id3Extractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe, 10);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const std::uint8_t major = *r.u8_at(3);
  const std::uint8_t flags = *r.u8_at(5);
  const auto size_bytes = *r.bytes_at(6, 4);
  const std::uint32_t tag_size = synchsafe(size_bytes);
  Namespace ns(name());
  ns.set("version", "2." + std::to_string(major) + "." + std::to_string(*r.u8_at(4)))
      .set("unsynchronisation", (flags & 0x80U) != 0)
      .set("extended_header", (flags & 0x40U) != 0)
      .set("tag_size", tag_size);
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
