// The system-call layer, run natively and, in scripts/portability, on Windows under Wine.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sources.hpp"
#include "support/file_cache.hpp"
#include "support/platform.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

class Platform : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("trawl-platform-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir_);
    data_.resize(300000);
    for (std::size_t i = 0; i < data_.size(); ++i) {
      data_[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    // A name outside ASCII: the layer takes UTF-8 and the system's own form must match it.
    const auto name = dir_ / std::filesystem::path(u8"t\u00e9st.bin");
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data_.data()), // NOLINT
               static_cast<std::streamsize>(data_.size()));
    const std::u8string utf8 = name.u8string();
    path_.assign(utf8.begin(), utf8.end());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::string path_;
  std::vector<std::uint8_t> data_;
};

TEST_F(Platform, ReadsSeeksAndReadsAtAnOffsetWithoutMoving) {
  auto opened = platform::open_file(path_);
  ASSERT_TRUE(opened) << opened.error().text();
  const platform::FileId file = *opened;
  const auto st = platform::stat_file(file);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->size, data_.size());
  EXPECT_TRUE(st->modified.has_value());
  std::vector<std::uint8_t> four(4);
  EXPECT_EQ(platform::read(file, four, {}).value_or(0), 4U);
  EXPECT_TRUE(std::equal(four.begin(), four.end(), data_.begin()));
  std::vector<std::uint8_t> some(100);
  EXPECT_EQ(platform::read_at(file, some, 200000), 100U);
  EXPECT_EQ(some[5], data_[200005]);
  EXPECT_EQ(platform::read_at(file, some, data_.size() - 10), 10U) << "short at the end";
  EXPECT_EQ(platform::seek(file, 0, platform::From::Current).value_or(0), 4U);
  EXPECT_EQ(platform::seek(file, -1, platform::From::End).value_or(0), data_.size() - 1);
  EXPECT_FALSE(platform::seek(file, -10, platform::From::Start));
  EXPECT_FALSE(platform::open_file(path_ + ".missing"));

  FileSource source(file, data_.size());
  ASSERT_TRUE(source.seek_to(1));
  std::vector<std::uint8_t> all;
  EXPECT_EQ(source.read_to_end(all).value_or(0), data_.size() - 1);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), data_.begin() + 1));
  platform::close_file(file);
}

TEST_F(Platform, CacheReadsAtOffsetsWithoutMovingThePosition) {
  auto opened = platform::open_file(path_);
  ASSERT_TRUE(opened);
  FileCache cache(*opened, data_.size());
  std::vector<std::uint8_t> part(1000);
  cache.copy(250000, part);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), data_.begin() + 250000));
  const auto whole = cache.view(0, data_.size());
  EXPECT_TRUE(std::equal(whole.span().begin(), whole.span().end(), data_.begin()));
  EXPECT_EQ(platform::seek(*opened, 0, platform::From::Current).value_or(1), 0U);
  platform::close_file(*opened);
}

} // namespace
} // namespace trawl
