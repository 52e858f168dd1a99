// Windows bitmap: BITMAPFILEHEADER and, from 40 bytes on, the BITMAPINFOHEADER fields. RIFF
// containers: form type, and the WebP bitstream header or the WAV format chunk.
#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "media_thorough.hpp"

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
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  // File header (14 bytes), then the info header's size and its first fields.
  const auto h = fixed_header<30>(*this, *input);
  if (!h) {
    return h.error();
  }
  const std::uint32_t dib_size = h->u32_le<14>();
  Namespace ns(name());
  ns.set("file_size_header", h->u32_le<2>()).set("dib_header_size", dib_size);
  // The default reading leaves the 12-byte OS/2 core header alone; its 16-bit fields are
  // unsigned and its rows bottom-up, without compression.
  const auto core = input->fixed<26>(0);
  if (probe.thorough && dib_size == 12 && core) {
    ns.set("width", core->u16_le<18>())
        .set("height", core->u16_le<20>())
        .set("top_down", false)
        .set("bit_depth", core->u16_le<24>())
        .set("compression", compression_label(0));
    return ns;
  }
  // Short inputs carry no info header fields.
  const auto info = input->fixed<54>(0);
  if (dib_size < 40 || !info) {
    return ns;
  }
  const std::uint32_t height = info->u32_le<22>();
  ns.set("width", magnitude(info->u32_le<18>()))
      .set("height", magnitude(height))
      .set("top_down", (height & 0x80000000U) != 0)
      .set("bit_depth", info->u16_le<28>())
      .set("compression", compression_label(info->u32_le<30>()));
  return ns;
}

namespace {

// The first chunk of a WebP file: VP8X (extended), VP8L (lossless) or VP8 (lossy) headers.
void read_webp(Namespace& ns, const ByteReader& r) {
  if (!r.matches_at(12, "VP8")) {
    return;
  }
  // Without the name's last byte the kind is unknown, as 0 is.
  switch (r.u8_at(15).value_or(0)) {
  case 'X': {
    ns.set("webp_format", "extended");
    const auto h = r.fixed<30>(0);
    if (!h) {
      return;
    }
    const std::uint8_t flags = h->u8<20>();
    ns.set("has_alpha", (flags & 0x10U) != 0)
        .set("has_animation", (flags & 0x02U) != 0)
        .set("has_exif", (flags & 0x08U) != 0)
        .set("width", std::uint64_t{h->u24_le<24>()} + 1)
        .set("height", std::uint64_t{h->u24_le<27>()} + 1);
    return;
  }
  case 'L': {
    ns.set("webp_format", "lossless");
    const auto h = r.fixed<25>(0);
    if (!h) {
      return;
    }
    const std::uint32_t bits = h->u32_le<21>();
    ns.set("width", (bits & 0x3FFFU) + 1).set("height", ((bits >> 14U) & 0x3FFFU) + 1);
    return;
  }
  case ' ': {
    ns.set("webp_format", "lossy");
    // The key frame's start code comes before the 14-bit sizes.
    const auto h = r.fixed<30>(0);
    if (!h || !r.matches_at(23, "\x9D\x01\x2A")) {
      return;
    }
    ns.set("width", h->u16_le<26>() & 0x3FFFU).set("height", h->u16_le<28>() & 0x3FFFU);
    return;
  }
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
    const auto chunk = walk.take_fixed<8>();
    if (!chunk) {
      return;
    }
    const std::uint32_t size = chunk->u32_le<4>();
    // The format chunk's tag, channels, rate, byte rate, block align and bits per sample.
    const auto fmt = walk.fixed<16>(walk.position());
    if (as_chars(chunk->bytes<0, 4>()) == "fmt " && fmt) {
      ns.set("audio_format_tag", fmt->u16_le<0>())
          .set("channels", fmt->u16_le<2>())
          .set("sample_rate", fmt->u32_le<4>())
          .set("bits_per_sample", fmt->u16_le<14>());
      return;
    }
    if (!walk.skip(std::uint64_t{size} + (size & 1U))) {
      return;
    }
  }
}

} // namespace

bool RiffExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "RIFF");
}

ExtractResult RiffExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const auto h = fixed_header<12>(*this, r);
  if (!h) {
    return h.error();
  }
  const std::string form = utf8_lossy(as_chars(h->bytes<8, 4>()));
  Namespace ns(name());
  ns.set("form_type", form);
  if (form == "WEBP") {
    ns.set("media_kind", "image (WebP)");
    read_webp(ns, r);
  } else if (form == "WAVE") {
    ns.set("media_kind", "audio (WAV)");
    read_wave(ns, r);
    if (probe.thorough) {
      read_wave_duration(ns, r);
    }
  } else if (form == "AVI ") {
    ns.set("media_kind", "video (AVI)");
  }
  return ns;
}

} // namespace trawl
