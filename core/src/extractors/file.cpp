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

std::string crc_hex(std::uint32_t crc) {
  std::array<char, 9> text{};
  const int n = std::snprintf(text.data(), text.size(), "%08x", static_cast<unsigned>(crc));
  return {text.data(), static_cast<std::size_t>(std::max(n, 0))};
}

// Size, sniffed type and, unless the caller asked for speed, the digests and entropy.
Namespace facts(const Probe& probe) {
  Namespace ns("file");
  ns.set("size_bytes", probe.len);
  set_present(ns, "mime_detected", probe.mime);
  set_present(ns, "extension_canonical", probe.extension);
  return ns;
}

// SHA-256 stays on the calling thread; CRC-32 and the histogram, together about half its cost,
// are the side work that a helper thread takes on large inputs. On one thread all three run in
// the digest's loop.
class FileScan final : public Scan {
public:
  void update(std::span<const std::uint8_t> block) override {
    crc_.update(block);
    histogram_.update(block);
  }
  void update_caller(std::span<const std::uint8_t> block) override { sha_.update(block); }
  void update_all(std::span<const std::uint8_t> block) override {
    update_together(sha_, crc_, histogram_, block);
  }

  ExtractResult finish(Source& /*source*/, const Probe& probe) override {
    Namespace ns = facts(probe);
    if (histogram_.total() != 0) {
      ns.set("entropy_bits_per_byte", Value::from_float(round_to(histogram_.entropy(), 3)));
    }
    ns.set("sha256", to_hex(sha_.finish()));
    ns.set("crc32", crc_hex(crc_.value()));
    return ns;
  }

private:
  Sha256 sha_;
  Crc32 crc_;
  ByteHistogram histogram_;
};

} // namespace

bool FileExtractor::supports(const Probe& /*probe*/) const {
  return true;
}

ExtractResult FileExtractor::extract(Source& source, const Probe& probe) const {
  if (probe.fast) {
    return facts(probe);
  }
  FileScan scan;
  return run_scan(scan, source, probe);
}

std::unique_ptr<Scan> FileExtractor::start_scan(const Probe& probe) const {
  if (probe.fast) {
    return nullptr; // extract() gives the facts at hand without reading
  }
  return std::make_unique<FileScan>();
}

} // namespace trawl
