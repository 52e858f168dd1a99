// JPEG (ITU-T T.81) marker segments up to the first scan, with JFIF (APP0), EXIF/XMP (APP1),
// ICC (APP2) and Photoshop (APP13) identifiers, and the IJG quality of the luminance table.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "extractors.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// ITU-T T.81 Table K.1 (luminance), row by row.
constexpr std::array<std::uint16_t, 64> luminance_natural = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// Position in row order of the k-th coefficient of the zigzag sequence (T.81 Figure A.6).
constexpr std::array<std::uint8_t, 64> zigzag = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

constexpr std::array<std::uint16_t, 64> luminance_zigzag = [] {
  std::array<std::uint16_t, 64> out{};
  for (std::size_t k = 0; k < 64; ++k) {
    out.at(k) = luminance_natural.at(zigzag.at(k));
  }
  return out;
}();

// The IJG-scaled luminance table for every quality 1..100 (libjpeg's jpeg_quality_scaling):
// below 50 the scale is 5000 / q, from 50 on 200 - 2q; elements are clamped to 1..255.
constexpr std::array<std::array<std::uint8_t, 64>, 100> ijg_tables = [] {
  std::array<std::array<std::uint8_t, 64>, 100> out{};
  for (unsigned q = 1; q <= 100; ++q) {
    const unsigned scale = q < 50 ? 5000U / q : 200U - 2U * q;
    for (std::size_t k = 0; k < 64; ++k) {
      const unsigned v = (luminance_zigzag.at(k) * scale + 50) / 100;
      out.at(q - 1).at(k) = static_cast<std::uint8_t>(std::clamp(v, 1U, 255U));
    }
  }
  return out;
}();

std::string_view marker_label(std::uint8_t code) {
  switch (code) {
  case 0xC0:
    return "SOF0 (baseline)";
  case 0xC2:
    return "SOF2 (progressive)";
  case 0xC4:
    return "DHT (huffman)";
  case 0xDA:
    return "SOS (scan start)";
  case 0xDB:
    return "DQT (quantization)";
  case 0xDD:
    return "DRI (restart interval)";
  case 0xE0:
    return "APP0";
  case 0xE1:
    return "APP1";
  case 0xE2:
    return "APP2";
  case 0xED:
    return "APP13";
  case 0xEE:
    return "APP14";
  case 0xFE:
    return "COM (comment)";
  default:
    return "other";
  }
}

std::string_view color_space_label(std::uint8_t components) {
  switch (components) {
  case 1:
    return "grayscale";
  case 3:
    return "YCbCr/RGB";
  case 4:
    return "CMYK/YCCK";
  default:
    return "unknown";
  }
}

std::string_view density_unit_label(std::uint8_t unit) {
  switch (unit) {
  case 0:
    return "aspect-ratio";
  case 1:
    return "dpi";
  case 2:
    return "dpcm";
  default:
    return "?";
  }
}

std::string hex_marker(std::uint8_t code) {
  constexpr std::string_view digits = "0123456789ABCDEF";
  return {'F', 'F', digits[code >> 4U], digits[code & 0x0FU]};
}

// Start of frame (SOF0 to SOF3): precision, lines, samples per line, component count.
void read_frame(Namespace& ns, std::uint8_t code, const ByteReader& p) {
  const auto h = p.fixed<6>(0);
  if (!h) {
    return;
  }
  const std::uint8_t components = h->u8<5>();
  ns.set("bit_depth", h->u8<0>())
      .set("height", h->u16_be<1>())
      .set("width", h->u16_be<3>())
      .set("components", components)
      .set("progressive", code == 0xC2)
      .set("color_space_guess", color_space_label(components));
}

// JFIF APP0: "JFIF\0", version major and minor, density unit, X and Y density.
void read_jfif(Map& entry, const ByteReader& p) {
  const auto h = p.fixed<12>(0);
  if (!h || !p.matches_at(0, "JFIF\0"sv)) {
    return;
  }
  std::array<char, 64> text{};
  int n = std::snprintf(text.data(), text.size(), "%u.%02u", unsigned{h->u8<5>()},
                        unsigned{h->u8<6>()});
  entry.insert_or_assign("jfif_version",
                         Value(std::string(text.data(), static_cast<std::size_t>(n > 0 ? n : 0))));
  n = std::snprintf(text.data(), text.size(), "%ux%u ", unsigned{h->u16_be<8>()},
                    unsigned{h->u16_be<10>()});
  std::string density(text.data(), static_cast<std::size_t>(n > 0 ? n : 0));
  density += density_unit_label(h->u8<7>());
  entry.insert_or_assign("density", Value(std::move(density)));
}

// APP1 carries EXIF ("Exif\0\0") or an XMP packet after its namespace signature.
void read_app1(Namespace& ns, Map& entry, const ByteReader& p) {
  constexpr std::string_view xmp_signature = "http://ns.adobe.com/xap/1.0/\0"sv;
  if (p.size() < 6) {
    return;
  }
  if (p.matches_at(0, "Exif\0\0"sv)) {
    entry.insert_or_assign("payload", Value("EXIF"));
  } else if (p.matches_at(0, xmp_signature)) {
    entry.insert_or_assign("payload", Value("XMP"));
    const auto packet_bytes = p.clipped_at(xmp_signature.size(), p.size());
    const std::string_view packet = as_chars(packet_bytes.span());
    if (is_valid_utf8(packet)) {
      ns.set("xmp_packet_chars", packet.size());
    }
  }
}

void read_comment(Map& entry, const ByteReader& p) {
  const auto bytes = p.whole();
  std::string_view text = as_chars(bytes.span());
  if (!is_valid_utf8(text)) {
    return;
  }
  while (!text.empty() && text.back() == '\0') {
    text.remove_suffix(1);
  }
  entry.insert_or_assign("comment", Value(text));
}

// One segment's own facts; `p` is its payload (empty when the declared length does not fit).
void read_segment(Namespace& ns, Map& entry, std::uint8_t code, const ByteReader& p) {
  if ((code & 0xFCU) == 0xC0U) {
    read_frame(ns, code, p);
    return;
  }
  switch (code) {
  case 0xDB:
    // Only the segment's first table, and only an 8-bit table 0 with all 64 elements.
    if (const auto t = p.fixed<65>(0);
        t && t->u8<0>() == 0 && !ns.entries().contains("quality_estimate")) {
      ns.set("quality_estimate", std::uint64_t{estimate_ijg_quality(t->bytes<1, 64>())});
    }
    break;
  case 0xE0:
    read_jfif(entry, p);
    break;
  case 0xE1:
    read_app1(ns, entry, p);
    break;
  case 0xE2:
    if (p.size() >= 12 && p.matches_at(0, "ICC_PROFILE\0"sv)) {
      entry.insert_or_assign("payload", Value("ICC profile"));
    }
    break;
  case 0xED:
    if (p.size() >= 14 && p.matches_at(0, "Photoshop 3.0\0"sv)) {
      entry.insert_or_assign("payload", Value("Photoshop IRB (IPTC likely)"));
    }
    break;
  case 0xFE:
    read_comment(entry, p);
    break;
  default:
    break;
  }
}

// Sum of |a[k] - b[k]| over 64 bytes; SSE2's sum of absolute differences does 16 at a time.
unsigned absolute_difference(const std::array<std::uint8_t, 64>& a,
                             const std::array<std::uint8_t, 64>& b) {
#if defined(__SSE2__)
  __m128i sum = _mm_setzero_si128();
  for (std::size_t k = 0; k < 64; k += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&a.at(k))); // NOLINT
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&b.at(k))); // NOLINT
    sum = _mm_add_epi64(sum, _mm_sad_epu8(x, y));
  }
  return static_cast<unsigned>(_mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8)));
#else
  unsigned error = 0;
  for (std::size_t k = 0; k < 64; ++k) {
    error += a[k] > b[k] ? unsigned{a[k]} - b[k] : unsigned{b[k]} - a[k];
  }
  return error;
#endif
}

} // namespace

unsigned estimate_ijg_quality(std::span<const std::uint8_t> table) {
  std::array<std::uint8_t, 64> input{};
  std::copy_n(table.begin(), std::min<std::size_t>(table.size(), 64), input.begin());
  unsigned best = 1;
  unsigned best_error = std::numeric_limits<unsigned>::max();
  for (unsigned q = 1; q <= 100; ++q) {
    const auto& expected = ijg_tables[q - 1];
    const unsigned error = absolute_difference(expected, input);
    // Ties keep the lower quality.
    if (error < best_error) {
      best = q;
      best_error = error;
    }
  }
  return best;
}

bool JpegExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "\xFF\xD8\xFF"sv);
}

ExtractResult JpegExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  Namespace ns(name());
  List segments;
  const std::uint64_t cap = list_cap(r.size(), 4096);
  // The walk starts after the start-of-image marker and ends at the first scan.
  ByteReader walk = r;
  const bool long_enough = r.size() >= 6 && walk.skip(2);
  while (long_enough) {
    const std::uint64_t pos = walk.position();
    ByteReader marker = walk; // read ahead; the walk moves once the segment is known
    const auto head = marker.take_fixed<4>(); // FF, the code, the 16-bit length
    if (!head) {
      break;
    }
    const std::uint8_t code = head->u8<1>();
    const std::uint16_t length = head->u16_be<2>();
    if (head->u8<0>() != 0xFF) {
      (void)walk.seek(r.find(0xFF, pos + 1)); // stray bytes between segments
      continue;
    }
    if (code >= 0xD0 && code <= 0xD8) {
      (void)walk.skip(2); // restart markers and SOI stand alone
      continue;
    }
    if (code == 0xD9) {
      break;
    }
    const std::uint64_t end = pos + 2 + length;
    const auto payload = length >= 2 ? marker.sub(length - 2U) : std::nullopt;
    Map entry;
    read_segment(ns, entry, code, payload.value_or(ByteReader{{}}));
    // Past the cap the walk goes on for the frame, tables and scan offset.
    if (segments.size() < cap) {
      entry.emplace("marker", Value(hex_marker(code)));
      entry.emplace("name", Value(marker_label(code)));
      entry.emplace("offset", Value(pos));
      entry.emplace("length", Value(length));
      segments.emplace_back(std::move(entry));
    } else {
      mark_truncated(ns, "segments");
    }
    if (code == 0xDA) {
      ns.set("scan_data_offset", end);
      break;
    }
    if (!walk.seek(end)) {
      break;
    }
  }
  ns.set("segments", std::move(segments));
  return ns;
}

} // namespace trawl
