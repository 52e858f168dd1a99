// A scratch directory removed at the end of a test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace trawl::testing {

class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trawl-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&&) = delete;
  TempDir& operator=(TempDir&&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  /// Writes `data` to `name` inside the directory and returns the full path.
  [[nodiscard]] std::string write(std::string_view name,
                                  const std::vector<std::uint8_t>& data) const {
    const std::string full = path_ + "/" + std::string(name);
    std::ofstream out(full, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), // NOLINT
              static_cast<std::streamsize>(data.size()));
    return full;
  }
  [[nodiscard]] const std::string& path() const { return path_; }

private:
  std::string path_;
};

/// Bytes of a text, without its terminator.
inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

} // namespace trawl::testing
