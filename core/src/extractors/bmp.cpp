// Windows bitmap: BITMAPFILEHEADER and, from 40 bytes on, the BITMAPINFOHEADER fields. RIFF
// containers: form type, and the WebP bitstream header or the WAV format chunk.
#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

std::string_view compression_label(std::uint32_t code) {
  switch (code) {
  case 0:
    return "none (BI_RGB)";
  case 1:
    return "RLE8";
  case 2:
    return "RLE4";
  case 3:
    return "bitfields";
  case 4:
    return "JPEG";
  case 5:
    return "PNG";
  default:
    return "other";
  }
}

// The magnitude of a signed 32-bit field; INT32_MIN gives 2147483648.
std::uint64_t magnitude(std::uint32_t raw) {
  const bool negative = (raw & 0x80000000U) != 0;
  return negative ? std::uint64_t{~raw} + 1 : std::uint64_t{raw};
}

} // namespace

bool BmpExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "BM");
}

ExtractResult BmpExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe, 30);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const std::uint32_t dib_size = *r.u32_le_at(14);
  Namespace ns(name());
  ns.set("file_size_header", *r.u32_le_at(2)).set("dib_header_size", dib_size);
  // The 12-byte OS/2 core header and short inputs carry no info header fields.
  if (dib_size < 40 || r.size() < 54) {
    return ns;
  }
  const std::uint32_t height = *r.u32_le_at(22);
  ns.set("width", magnitude(*r.u32_le_at(18)))
      .set("height", magnitude(height))
      .set("top_down", (height & 0x80000000U) != 0)
      .set("bit_depth", *r.u16_le_at(28))
      .set("compression", compression_label(*r.u32_le_at(30)));
  return ns;
}

namespace {

// The first chunk of a WebP file: VP8X (extended), VP8L (lossless) or VP8 (lossy) headers.
void read_webp(Namespace& ns, const ByteReader& r) {
  const auto kind = r.u8_at(15);
  if (!kind || !r.matches_at(12, "VP8")) {
    return;
  }
  switch (*kind) {
  case 'X': {
    ns.set("webp_format", "extended");
    if (r.size() < 30) {
      return;
    }
    const std::uint8_t flags = *r.u8_at(20);
    const auto u24 = [&](std::uint64_t at) {
      return std::uint64_t{*r.u16_le_at(at)} | (std::uint64_t{*r.u8_at(at + 2)} << 16U);
    };
    ns.set("has_alpha", (flags & 0x10U) != 0)
        .set("has_animation", (flags & 0x02U) != 0)
        .set("has_exif", (flags & 0x08U) != 0)
        .set("width", u24(24) + 1)
        .set("height", u24(27) + 1);
    return;
  }
  case 'L': {
    ns.set("webp_format", "lossless");
    if (r.size() < 25) {
      return;
    }
    const std::uint32_t bits = *r.u32_le_at(21);
    ns.set("width", (bits & 0x3FFFU) + 1).set("height", ((bits >> 14U) & 0x3FFFU) + 1);
    return;
  }
  case ' ':
    ns.set("webp_format", "lossy");
    // The key frame's start code comes before the 14-bit sizes.
    if (r.size() < 30 || !r.matches_at(23, "\x9D\x01\x2A")) {
      return;
    }
    ns.set("width", *r.u16_le_at(26) & 0x3FFFU).set("height", *r.u16_le_at(28) & 0x3FFFU);
    return;
  default:
    return;
  }
}

// Top-level chunks up to "fmt ": identifier, 32-bit size, body, a pad byte after an odd size.
void read_wave(Namespace& ns, const ByteReader& r) {
  ByteReader walk = r;
  if (!walk.seek(12)) {
    return;
  }
  for (;;) {
    const auto id = walk.bytes(4);
    const auto size = walk.u32_le();
    if (!size) {
      return;
    }
    const ByteReader body = *walk.sub_at(walk.position(), walk.remaining());
    if (as_chars(*id) == "fmt " && body.size() >= 16) {
      ns.set("audio_format_tag", *body.u16_le_at(0))
          .set("channels", *body.u16_le_at(2))
          .set("sample_rate", *body.u32_le_at(4))
          .set("bits_per_sample", *body.u16_le_at(14));
      return;
    }
    if (!walk.skip(std::uint64_t{*size} + (*size & 1U))) {
      return;
    }
  }
}

} // namespace

bool RiffExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "RIFF");
}

ExtractResult RiffExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe, 12);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const auto form_bytes = *r.bytes_at(8, 4);
  const std::string form = utf8_lossy(as_chars(form_bytes.span()));
  Namespace ns(name());
  ns.set("form_type", form);
  if (form == "WEBP") {
    ns.set("media_kind", "image (WebP)");
    read_webp(ns, r);
  } else if (form == "WAVE") {
    ns.set("media_kind", "audio (WAV)");
    read_wave(ns, r);
  } else if (form == "AVI ") {
    ns.set("media_kind", "video (AVI)");
  }
  return ns;
}

} // namespace trawl
