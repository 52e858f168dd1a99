// Per-call cost of parse over buffers: random inputs, and each corpus image with the default
// registry against a registry of the "file" extractor alone (the difference is the format work).
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <trawl/trawl.hpp>

#include "extractors/extractors.hpp"
#include "sources.hpp"
#include <benchmark/benchmark.h>

namespace {

void parse_random(benchmark::State& state) {
  std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)));
  std::mt19937 rng(1);
  for (auto& b : data) {
    b = static_cast<std::uint8_t>(rng());
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(trawl::parse_buffer(data));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(parse_random)->Arg(0)->Arg(1024)->Arg(1 << 20);

void parse_default(benchmark::State& state, const std::vector<std::uint8_t>& data) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(trawl::parse_buffer(data));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void parse_file_only(benchmark::State& state, const std::vector<std::uint8_t>& data) {
  for (auto _ : state) {
    trawl::Registry registry;
    registry.add(std::make_unique<trawl::FileExtractor>());
    trawl::BufferSource source(data);
    benchmark::DoNotOptimize(trawl::parse_with(registry, source, data.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

} // namespace

int main(int argc, char** argv) {
  const std::filesystem::path root = std::filesystem::path(TRAWL_CORPUS_DIR) / "real";
  std::vector<std::filesystem::path> files;
  for (const char* folder : {"jpeg", "png", "gif", "bmp"}) {
    if (std::filesystem::is_directory(root / folder)) {
      for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
        files.push_back(entry.path());
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
    benchmark::RegisterBenchmark(("default/" + name).c_str(), parse_default, data);
    benchmark::RegisterBenchmark(("file_only/" + name).c_str(), parse_file_only, data);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
