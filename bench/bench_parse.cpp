// Per-call cost of parse over buffers: random inputs, and each corpus image with the default
// registry against a registry of the "file" extractor alone (the difference is the format work).
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <trawl/trawl.hpp>

#include "corpus.hpp"
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
  for (const auto& file :
       trawl::bench::corpus_files({"real/jpeg", "real/png", "real/gif", "real/bmp", "real/wav",
                                   "real/mp3", "real/mp4", "real/elf", "real/webp"})) {
    benchmark::RegisterBenchmark(("default/" + file.name).c_str(), parse_default, file.data);
    benchmark::RegisterBenchmark(("file_only/" + file.name).c_str(), parse_file_only, file.data);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
