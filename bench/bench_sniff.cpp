// Time of one sniff over each sample head and over random bytes (which try every row).
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sniff/sniffer.hpp"
#include <benchmark/benchmark.h>

namespace {

void sniff_head(benchmark::State& state, std::vector<std::uint8_t> head) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(trawl::sniff(head));
  }
}

std::vector<std::uint8_t> read_head(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> head(8192);
  in.read(reinterpret_cast<char*>(head.data()), 8192); // NOLINT
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head;
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::uint8_t> random(8192);
  std::mt19937 rng(7);
  for (auto& b : random) {
    b = static_cast<std::uint8_t>(rng());
  }
  benchmark::RegisterBenchmark("sniff/random_8192", sniff_head, random);
  const std::filesystem::path dir = std::filesystem::path(TRAWL_CORPUS_DIR) / "sniff";
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && name.starts_with("sample.")) {
        benchmark::RegisterBenchmark(("sniff/" + name).c_str(), sniff_head,
                                     read_head(entry.path()));
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
