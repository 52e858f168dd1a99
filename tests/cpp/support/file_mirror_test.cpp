#include <algorithm>
#include <vector>

#include "support/byte_reader.hpp"
#include "support/file_mirror.hpp"
#include "testing/temp_dir.hpp"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace trawl {
namespace {

// A file whose byte i is i % 251, so any misplaced page shows.
std::vector<std::uint8_t> numbered(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(i % 251);
  }
  return out;
}

class Mirror : public ::testing::Test {
protected:
  void open_file(const std::vector<std::uint8_t>& data) {
    fd_ = ::open(dir_.write("f", data).c_str(), O_RDONLY);
    ASSERT_GE(fd_, 0);
    mirror_ = FileMirror::create(fd_, data.size());
    ASSERT_TRUE(mirror_);
  }
  void TearDown() override {
    mirror_.reset();
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  testing::TempDir dir_;
  int fd_ = -1;
  std::unique_ptr<FileMirror> mirror_;
};

TEST_F(Mirror, ReadsWhatIsAskedAtTheFilesOffsets) {
  const auto data = numbered(3 * FileMirror::page_size + 5);
  open_file(data);
  const ByteReader r(mirror_->data(), mirror_.get());
  // Within a page, across a page boundary, the short last page, and a cursor walk.
  EXPECT_EQ(*r.u8_at(7), data[7]);
  EXPECT_EQ(*r.u32_be_at(FileMirror::page_size - 2),
            (std::uint32_t{data[FileMirror::page_size - 2]} << 24U) |
                (std::uint32_t{data[FileMirror::page_size - 1]} << 16U) |
                (std::uint32_t{data[FileMirror::page_size]} << 8U) |
                data[FileMirror::page_size + 1]);
  const auto tail = *r.bytes_at(data.size() - 5, 5);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), data.end() - 5));
  ByteReader cursor = *r.sub_at(FileMirror::page_size * 2 - 1, 3);
  EXPECT_EQ(*cursor.u8(), data[FileMirror::page_size * 2 - 1]);
  EXPECT_EQ(*cursor.u16_le(),
            data[FileMirror::page_size * 2] | (data[FileMirror::page_size * 2 + 1] << 8U));
  EXPECT_FALSE(r.bytes_at(data.size() - 1, 2)) << "bounds are the file's stated size";
}

TEST_F(Mirror, KeepsAtMostItsBudgetAndReloadsWhatItGaveBack) {
  const std::size_t pages = FileMirror::resident_budget / FileMirror::page_size + 8;
  const auto data = numbered(pages * FileMirror::page_size);
  open_file(data);
  const ByteReader r(mirror_->data(), mirror_.get());
  for (std::size_t page = 0; page < pages; ++page) {
    EXPECT_EQ(*r.u8_at(page * FileMirror::page_size + 1), data[page * FileMirror::page_size + 1]);
  }
  // The first pages were given back: a raw view sees zeros, a reader loads them again.
  EXPECT_EQ(mirror_->data()[1], 0);
  EXPECT_EQ(*r.u8_at(1), data[1]);
  EXPECT_EQ(mirror_->data()[1], data[1]);
}

TEST_F(Mirror, BytesAFileNoLongerHasReadAsZeroAndForeignViewsAreIgnored) {
  const auto data = numbered(2 * FileMirror::page_size);
  open_file(data);
  ASSERT_EQ(::ftruncate(::open((dir_.path() + "/f").c_str(), O_WRONLY), 100), 0);
  const ByteReader r(mirror_->data(), mirror_.get());
  EXPECT_EQ(*r.u8_at(99), data[99]);
  EXPECT_EQ(*r.u8_at(100), 0);
  EXPECT_EQ(*r.u8_at(FileMirror::page_size + 3), 0);
  // A view of other memory is left alone (a joined copy, say).
  std::vector<std::uint8_t> other(16, 9);
  mirror_->load(other);
  EXPECT_EQ(other[0], 9);
}

} // namespace
} // namespace trawl
