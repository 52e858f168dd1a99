// Format-free facts: size, sniffed type, SHA-256 (FIPS 180-4), CRC-32 (ISO-HDLC) and the
// Shannon entropy of the byte distribution.
#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "../support/digest.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

// One pass feeds all three; blocks of 64 KiB keep the bytes in cache between them.
constexpr std::size_t block_size = std::size_t{64} * 1024;

struct Digests {
  Sha256 sha;
  Crc32 crc;
  ByteHistogram histogram;

  void update(std::span<const std::uint8_t> block) {
    sha.update(block);
    crc.update(block);
    histogram.update(block);
  }
};

std::string crc_hex(std::uint32_t crc) {
  std::array<char, 9> text{};
  const int n = std::snprintf(text.data(), text.size(), "%08x", static_cast<unsigned>(crc));
  return {text.data(), static_cast<std::size_t>(std::max(n, 0))};
}

} // namespace

bool FileExtractor::supports(const Probe& /*probe*/) const {
  return true;
}

ExtractResult FileExtractor::extract(Source& source, const Probe& probe) const {
  Namespace ns(name());
  ns.set("size_bytes", probe.len);
  if (probe.mime) {
    ns.set("mime_detected", *probe.mime);
  }
  if (probe.extension) {
    ns.set("extension_canonical", *probe.extension);
  }

  Digests digests;
  if (const auto whole = source.contents_if_ready()) {
    for (std::span<const std::uint8_t> rest = *whole; !rest.empty();) {
      const std::size_t n = std::min(rest.size(), block_size);
      digests.update(rest.first(n));
      rest = rest.subspan(n);
    }
  } else {
    std::vector<std::uint8_t> buffer(block_size);
    for (;;) {
      auto n = source.read(buffer);
      if (!n) {
        return io_error(std::move(n).error());
      }
      if (*n == 0) {
        break;
      }
      digests.update(std::span(buffer).first(*n));
    }
  }

  if (digests.histogram.total() != 0) {
    ns.set("entropy_bits_per_byte", Value::from_float(round_to(digests.histogram.entropy(), 3)));
  }
  ns.set("sha256", to_hex(digests.sha.finish()));
  ns.set("crc32", crc_hex(digests.crc.value()));
  return ns;
}

} // namespace trawl
