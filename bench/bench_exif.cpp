// Cost of the EXIF work per image: the reader alone (locate the block, walk the IFDs keeping the
// last field of each tag, as the extractor does) and the extractor (reader plus the display text
// of every field), over the corpus photos and TIFFs.
#include <cstdint>
#include <string>
#include <vector>

#include "corpus.hpp"
#include "exif/reader.hpp"
#include "extractors/extractors.hpp"
#include "sources.hpp"
#include <benchmark/benchmark.h>

namespace {

void read_only(benchmark::State& state, const std::vector<std::uint8_t>& data) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(trawl::exif::read_exif(data, trawl::exif::Keep::Last));
  }
}

void extract(benchmark::State& state, const std::vector<std::uint8_t>& data) {
  const trawl::ExifExtractor extractor;
  trawl::Probe probe;
  for (auto _ : state) {
    trawl::BufferSource source(data);
    benchmark::DoNotOptimize(extractor.extract(source, probe));
  }
  trawl::BufferSource source(data);
  const auto ns = extractor.extract(source, probe);
  std::size_t fields = 0;
  if (ns) {
    for (const auto& [key, value] : ns->entries()) {
      if (key != "gps_decimal") {
        fields += value.as_map().size();
      }
    }
  }
  state.counters["keys"] = static_cast<double>(fields);
}

} // namespace

int main(int argc, char** argv) {
  for (const auto& file :
       trawl::bench::corpus_files({"real/jpeg", "real/heif", "real/tiff", "real/webp", "exif"})) {
    benchmark::RegisterBenchmark(("read/" + file.name).c_str(), read_only, file.data);
    benchmark::RegisterBenchmark(("extract/" + file.name).c_str(), extract, file.data);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
