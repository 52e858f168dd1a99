// PNG (ISO/IEC 15948) chunks up to IEND: IHDR, tEXt, tIME, gAMA and pHYs; zTXt and iTXt too in
// the thorough reading.
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "png_thorough.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

std::string_view color_type_label(std::uint8_t code) {
  switch (code) {
  case 0:
    return "grayscale";
  case 2:
    return "RGB";
  case 3:
    return "palette";
  case 4:
    return "grayscale+alpha";
  case 6:
    return "RGBA";
  default:
    return "unknown";
  }
}

void read_header(Namespace& ns, const ByteReader& d) {
  // Width, height, bit depth, colour type, compression, filter and interlace methods.
  const auto h = d.fixed<13>(0);
  if (!h) {
    return;
  }
  ns.set("width", h->u32_be<0>())
      .set("height", h->u32_be<4>())
      .set("bit_depth", h->u8<8>())
      .set("color_type", color_type_label(h->u8<9>()))
      .set("interlaced", h->u8<12>() == 1);
}

// tEXt is keyword, NUL, text. The standard says ISO 8859-1, but many writers store UTF-8, so
// text that is valid UTF-8 is kept as it is and anything else is read as ISO 8859-1.
void read_text(Namespace& ns, Map& texts, const ByteReader& d, std::uint64_t cap) {
  // Only the first text_cap bytes are looked at; a keyword has at most 79.
  const auto bytes = d.clipped_at(0, text_cap);
  const std::string_view data = as_chars(bytes.span());
  const std::size_t nul = data.find('\0');
  if (nul == std::string_view::npos) {
    return;
  }
  if (d.size() > text_cap) {
    mark_truncated(ns, "text");
  }
  std::string keyword = utf8_or_latin1(data.substr(0, nul));
  if (texts.size() >= cap && !texts.contains(keyword)) {
    mark_truncated(ns, "text");
    return;
  }
  texts.insert_or_assign(std::move(keyword), Value(utf8_or_latin1(data.substr(nul + 1))));
}

void read_time(Namespace& ns, const ByteReader& d) {
  // Year, month, day, hour, minute, second.
  const auto t = d.fixed<7>(0);
  if (!t) {
    return;
  }
  std::array<char, 48> text{};
  const int n = std::snprintf(text.data(), text.size(), "%04u-%02u-%02uT%02u:%02u:%02uZ",
                              unsigned{t->u16_be<0>()}, unsigned{t->u8<2>()}, unsigned{t->u8<3>()},
                              unsigned{t->u8<4>()}, unsigned{t->u8<5>()}, unsigned{t->u8<6>()});
  ns.set("last_modified", std::string(text.data(), static_cast<std::size_t>(n > 0 ? n : 0)));
}

// pHYs: pixels per unit on X and Y, then the unit (1 = metre).
void read_density(Namespace& ns, const ByteReader& d) {
  if (const auto h = d.fixed<9>(0); h && h->u8<8>() == 1) {
    ns.set("dpi", Value::from_float(std::round(static_cast<double>(h->u32_be<0>()) * 0.0254)));
  }
}

} // namespace

bool PngExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "\x89PNG\r\n\x1A\n"sv);
}

ExtractResult PngExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  Namespace ns(name());
  List chunks;
  Map texts;
  PngTextChunks thorough_texts(r.size());
  const std::uint64_t cap = list_cap(r.size(), 8192);
  // Chunk: 32-bit data length, 4-byte type, data, CRC (never checked).
  ByteReader walk = r;
  const bool long_enough = r.size() >= 16 && walk.skip(8);
  while (long_enough) {
    if (chunks.size() >= cap) {
      // Past the cap, chunks of twelve zero bytes (no data, a zero type and CRC) are passed
      // over in one step: they would only be dropped.
      const std::uint64_t empty = walk.zeros_at(walk.position()) / 12;
      if (empty > 0) {
        (void)walk.skip(empty * 12);
        mark_truncated(ns, "chunks");
        continue;
      }
    }
    const std::uint64_t pos = walk.position();
    const auto head = walk.take_fixed<8>(); // length, type
    if (!head) {
      break;
    }
    const std::uint32_t length = head->u32_be<0>();
    const std::string_view kind = as_chars(head->bytes<4, 4>());
    // Past the cap the walk goes on for the header, time, gamma and density.
    if (chunks.size() < cap) {
      Map entry;
      entry.emplace("type", Value(latin1_to_utf8(kind)));
      entry.emplace("offset", Value(pos));
      entry.emplace("length", Value(length));
      chunks.emplace_back(std::move(entry));
    } else {
      mark_truncated(ns, "chunks");
    }
    // Not loaded until read: image data is skipped unread.
    const auto data = walk.sub(length);
    const ByteReader d = data.value_or(ByteReader{{}});
    // Types with a byte of 0x80 or more are listed but never interpreted.
    if (kind == "IHDR") {
      read_header(ns, d);
    } else if (probe.thorough && (kind == "tEXt" || kind == "zTXt" || kind == "iTXt")) {
      thorough_texts.read(ns, texts, kind, d, cap);
    } else if (kind == "tEXt") {
      read_text(ns, texts, d, cap);
    } else if (kind == "tIME") {
      read_time(ns, d);
    } else if (const auto gamma = kind == "gAMA" ? d.u32_be_at(0) : std::nullopt) {
      ns.set("gamma", Value::from_float(static_cast<double>(gamma.value_or(0)) / 100000.0));
    } else if (kind == "pHYs") {
      read_density(ns, d);
    } else if (kind == "IEND") {
      break;
    }
    if (!data || !walk.skip(4)) { // the CRC, never checked
      break;
    }
  }
  if (!texts.empty()) {
    ns.set("text", std::move(texts));
  }
  thorough_texts.finish(ns);
  ns.set("chunks", std::move(chunks));
  return ns;
}

} // namespace trawl
