// Per-call cost of parsing buffers through the default registry.
#include <cstdint>
#include <random>
#include <vector>

#include <trawl/trawl.hpp>

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

} // namespace

BENCHMARK_MAIN();
