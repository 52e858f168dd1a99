// Windows bitmap: BITMAPFILEHEADER and, from 40 bytes on, the BITMAPINFOHEADER fields.
#include "../support/byte_reader.hpp"
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

ExtractResult BmpExtractor::extract(Source& source, const Probe& /*probe*/) const {
  const auto data = source.contents();
  if (!data) {
    return io_error(data.error());
  }
  const ByteReader r(*data);
  if (r.size() < 30) {
    return malformed(name(), "header too short");
  }
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

} // namespace trawl
