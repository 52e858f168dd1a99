// Throughput of the whole-file scans: the PDF extractor over a large PDF and the ZIP extractor
// over a large archive, each run alone over an in-memory buffer.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "corpus.hpp"
#include "extractors/extractors.hpp"
#include "sources.hpp"
#include <benchmark/benchmark.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& out, std::string_view s) {
  out.insert(out.end(), s.begin(), s.end());
}
void append_le(Bytes& out, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

// About `mib` MiB of PDF: the corpus PDFs repeated, as a long document of many revisions.
Bytes large_pdf(std::size_t mib) {
  Bytes body;
  for (const auto& f : trawl::bench::corpus_files({"real/pdf"})) {
    body.insert(body.end(), f.data.begin(), f.data.end());
  }
  Bytes out;
  append(out, "%PDF-1.7\n");
  while (!body.empty() && out.size() < mib << 20U) {
    out.insert(out.end(), body.begin(), body.end());
  }
  return out;
}

// A stored archive of `entries` members of random data, about 512 bytes each.
Bytes large_zip(std::size_t entries) {
  std::mt19937 rng(3);
  Bytes out;
  Bytes directory;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::string name = "dir/file" + std::to_string(i) + ".bin";
    const std::uint64_t offset = out.size();
    append(out, "PK\x03\x04");
    out.resize(out.size() + 26, 0);
    append(out, name);
    for (int b = 0; b < 512; ++b) {
      out.push_back(static_cast<std::uint8_t>(rng()));
    }
    append(directory, "PK\x01\x02");
    directory.resize(directory.size() + 6, 0);
    append_le(directory, 0, 2);                 // stored
    append_le(directory, 0x53D856EF, 4);        // time and date
    append_le(directory, 0, 4);                 // CRC
    append_le(directory, 512, 4);               // compressed
    append_le(directory, 512, 4);               // uncompressed
    append_le(directory, name.size(), 2);       // name length
    directory.resize(directory.size() + 12, 0); // extra, comment, disk, attributes
    append_le(directory, offset, 4);            // local header
    append(directory, name);
  }
  const std::uint64_t directory_at = out.size();
  out.insert(out.end(), directory.begin(), directory.end());
  append(out, "PK\x05\x06");
  out.resize(out.size() + 6, 0);
  append_le(out, entries & 0xFFFFU, 2);
  append_le(out, directory.size(), 4);
  append_le(out, directory_at, 4);
  append_le(out, 0, 2);
  return out;
}

template <class E> void run(benchmark::State& state, const Bytes& data) {
  const E extractor;
  const trawl::Probe probe;
  for (auto _ : state) {
    trawl::BufferSource source(data);
    benchmark::DoNotOptimize(extractor.extract(source, probe));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

} // namespace

int main(int argc, char** argv) {
  const Bytes pdf = large_pdf(100);
  const Bytes zip = large_zip(100000);
  benchmark::RegisterBenchmark("pdf/100MiB", run<trawl::PdfExtractor>, pdf)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("zip/100000_entries", run<trawl::ZipExtractor>, zip)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
