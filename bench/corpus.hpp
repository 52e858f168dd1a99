// Corpus files for the benchmarks: every regular file of the named folders, sorted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace trawl::bench {

struct CorpusFile {
  std::string name; ///< folder/file
  std::vector<std::uint8_t> data;
};

inline std::vector<CorpusFile> corpus_files(std::initializer_list<const char*> folders) {
  const std::filesystem::path root(TRAWL_CORPUS_DIR);
  std::vector<std::filesystem::path> paths;
  for (const char* folder : folders) {
    if (std::filesystem::is_directory(root / folder)) {
      for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
        if (entry.is_regular_file()) {
          paths.push_back(entry.path());
        }
      }
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<CorpusFile> files;
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    files.push_back({path.parent_path().filename().string() + "/" + path.filename().string(),
                     {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}});
  }
  return files;
}

} // namespace trawl::bench
