// Replays files (or every file of the directories) named on the command line through the
// fuzz target, for builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  // Every prefix length that matters to header checks, then the whole file.
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, data.size() / 2}) {
    if (cut < data.size()) {
      (void)LLVMFuzzerTestOneInput(data.data(), cut);
    }
  }
  (void)LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  int failures = 0;
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path root(
        argv[i]); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
    if (std::filesystem::is_directory(root)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
          failures += replay(entry.path());
          ++count;
        }
      }
    } else {
      failures += replay(root);
      ++count;
    }
  }
  std::printf("replayed %zu files\n", count);
  return failures == 0 ? 0 : 1;
}
