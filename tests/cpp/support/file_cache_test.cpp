#include <algorithm>
#include <vector>

#include "support/byte_reader.hpp"
#include "support/file_cache.hpp"
#include "testing/temp_dir.hpp"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace trawl {
namespace {

constexpr std::size_t page = FileCache::page_size;

// A file whose byte i is i % 251, so any misplaced page shows.
std::vector<std::uint8_t> numbered(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(i % 251);
  }
  return out;
}

class Cache : public ::testing::Test {
protected:
  void open_file(const std::vector<std::uint8_t>& data) {
    TearDown();
    fd_ = ::open(dir_.write("f", data).c_str(), O_RDONLY);
    ASSERT_GE(fd_, 0);
    cache_ = std::make_unique<FileCache>(fd_, data.size());
  }
  void TearDown() override {
    cache_.reset();
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  testing::TempDir dir_;
  int fd_ = -1;
  std::unique_ptr<FileCache> cache_;
};

TEST_F(Cache, ReadsWhatIsAskedAtTheFilesOffsets) {
  const auto data = numbered(3 * page + 5);
  open_file(data);
  const ByteReader r(*cache_);
  // Within a page, across a page boundary, the short last page, and a cursor walk.
  EXPECT_EQ(*r.u8_at(7), data[7]);
  EXPECT_EQ(*r.u32_be_at(page - 2), (std::uint32_t{data[page - 2]} << 24U) |
                                        (std::uint32_t{data[page - 1]} << 16U) |
                                        (std::uint32_t{data[page]} << 8U) | data[page + 1]);
  const auto tail = *r.bytes_at(data.size() - 5, 5);
  EXPECT_TRUE(std::equal(tail.span().begin(), tail.span().end(), data.end() - 5));
  const auto across = *r.bytes_at(page - 3, page + 6);
  EXPECT_TRUE(std::equal(across.span().begin(), across.span().end(), data.begin() + page - 3));
  ByteReader cursor = *r.sub_at(page * 2 - 1, 3);
  EXPECT_EQ(*cursor.u8(), data[page * 2 - 1]);
  EXPECT_EQ(*cursor.u16_le(), data[page * 2] | (data[page * 2 + 1] << 8U));
  EXPECT_FALSE(r.bytes_at(data.size() - 1, 2)) << "bounds are the file's stated size";
  EXPECT_FALSE(cache_->came_short());
}

TEST_F(Cache, AViewOutlivesEveryPageReadAfterIt) {
  // More pages than the budget holds, read after taking views: the views keep their bytes,
  // whether they lie in one page, cross one, or are longer than the whole budget.
  const std::size_t pages = FileCache::budget / page + 40;
  const auto data = numbered(pages * page);
  open_file(data);
  const ByteReader r(*cache_);
  const auto small = *r.bytes_at(10, 100);
  const auto crossing = *r.bytes_at(page - 10, 20);
  const auto huge = *r.bytes_at(page + 1, FileCache::budget + page);
  for (std::size_t p = 0; p < pages; ++p) {
    EXPECT_EQ(*r.u8_at(p * page + 1), data[p * page + 1]);
  }
  EXPECT_TRUE(std::equal(small.span().begin(), small.span().end(), data.begin() + 10));
  EXPECT_TRUE(std::equal(crossing.span().begin(), crossing.span().end(), data.begin() + page - 10));
  EXPECT_TRUE(std::equal(huge.span().begin(), huge.span().end(), data.begin() + page + 1));
  // Pages given back are read again.
  EXPECT_EQ(*r.u8_at(1), data[1]);
  EXPECT_EQ(*r.u8_at(2 * page + 3), data[2 * page + 3]);
}

TEST_F(Cache, BytesAFileNoLongerHasReadAsZeroAndAreNoted) {
  // The first read after the file shrank fills a page, or goes straight into a long view.
  for (const bool long_view_first : {false, true}) {
    SCOPED_TRACE(long_view_first);
    const auto data = numbered(6 * page);
    open_file(data);
    ASSERT_EQ(::truncate((dir_.path() + "/f").c_str(), 100), 0);
    const ByteReader r(*cache_);
    if (long_view_first) {
      const auto long_view = *r.bytes_at(page, 5 * page);
      EXPECT_TRUE(std::all_of(long_view.span().begin(), long_view.span().end(),
                              [](auto b) { return b == 0; }));
      EXPECT_TRUE(cache_->came_short());
    }
    EXPECT_EQ(*r.u8_at(99), data[99]);
    EXPECT_EQ(*r.u8_at(100), 0);
    EXPECT_TRUE(cache_->came_short());
  }
}

} // namespace
} // namespace trawl
