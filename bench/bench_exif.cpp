// Cost of the EXIF work per image: the reader alone (locate the block, walk the IFDs) and the
// extractor (reader plus the display text of every field), over the corpus photos and TIFFs.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "sources.hpp"
#include "support/exif.hpp"
#include <benchmark/benchmark.h>

namespace {

void read_only(benchmark::State& state, const std::vector<std::uint8_t>& data) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(trawl::exif::read_exif(data));
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
  const std::filesystem::path corpus(TRAWL_CORPUS_DIR);
  std::vector<std::filesystem::path> files;
  for (const char* folder : {"real/jpeg", "real/heif", "real/tiff", "real/webp", "exif"}) {
    if (std::filesystem::is_directory(corpus / folder)) {
      for (const auto& entry : std::filesystem::directory_iterator(corpus / folder)) {
        if (entry.is_regular_file()) {
          files.push_back(entry.path());
        }
      }
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    const std::string name =
        path.parent_path().filename().string() + "/" + path.filename().string();
    benchmark::RegisterBenchmark(("read/" + name).c_str(), read_only, data);
    benchmark::RegisterBenchmark(("extract/" + name).c_str(), extract, data);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
