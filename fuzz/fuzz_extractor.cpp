// Runs one extractor, chosen at build time by TRAWL_FUZZ_EXTRACTOR, over any bytes, even those
// its supports() would refuse, and walks the namespace it returns. An extractor that scans is
// also fed the bytes in blocks of a size the input picks, and must give the same answer. Inputs
// of odd length are read in the thorough mode.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include <trawl/extractor.hpp>

#include "extractors/extractors.hpp"
#include "sniff/sniffer.hpp"
#include "sources.hpp"
#include "touch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  trawl::Probe probe;
  probe.head = bytes.first(std::min<std::size_t>(size, trawl::head_limit));
  probe.len = size;
  probe.thorough = size % 2 == 1; // half the inputs take the thorough reading
  if (const auto sniffed = trawl::sniff(probe.head)) {
    probe.mime = sniffed->mime;
    probe.extension = sniffed->extension;
  }
  const trawl::TRAWL_FUZZ_EXTRACTOR extractor;
  static_cast<void>(extractor.supports(probe));
  trawl::BufferSource source(bytes);
  const auto result = extractor.extract(source, probe);
  std::size_t n = 0;
  if (result) {
    for (const auto& [key, value] : result->entries()) {
      n += key.size() + trawl::fuzz::touch(value);
    }
  } else {
    n += result.error().message().size();
  }
  static_cast<void>(n);
  if (auto scan = extractor.start_scan(probe)) {
    // Small blocks, or blocks long enough for the file digests' shared loop (update_all, as a
    // pass without a helper thread feeds them; extract() above fed both parts apart).
    const std::size_t last = size == 0 ? 0 : bytes[size - 1];
    const std::size_t block = last >= 128 ? 4096 + last : 1 + last % 61;
    for (std::size_t at = 0; at < size; at += block) {
      scan->update_all(bytes.subspan(at, std::min(block, size - at)));
    }
    const auto scanned = scan->finish(source, probe);
    const bool same = result ? scanned && scanned->entries() == result->entries()
                             : !scanned && scanned.error().message() == result.error().message();
    if (!same) {
      std::abort();
    }
  }
  return 0;
}
