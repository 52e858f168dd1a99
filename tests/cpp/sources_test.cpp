#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "sources.hpp"
#include "testing/temp_dir.hpp"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace trawl {
namespace {

using namespace testing;

// The same behaviours hold over a buffer and over a file.
class SourceContract : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    data_ = bytes_of("0123456789");
    if (GetParam()) {
      fd_ = ::open(dir_.write("ten", data_).c_str(), O_RDONLY);
      ASSERT_GE(fd_, 0);
      source_ = std::make_unique<FileSource>(fd_, data_.size());
    } else {
      source_ = std::make_unique<BufferSource>(data_);
    }
  }
  void TearDown() override {
    source_.reset();
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  TempDir dir_;
  std::vector<std::uint8_t> data_;
  int fd_ = -1;
  std::unique_ptr<Source> source_;
};

TEST_P(SourceContract, ReadsSeeksAndEnds) {
  Source& s = *source_;
  const auto before_start = s.seek(SeekBase::Current, -1);
  ASSERT_FALSE(before_start);
  EXPECT_EQ(before_start.error().text(),
            GetParam() ? "Invalid argument (os error 22)"
                       : "invalid seek to a negative or overflowing position");
  std::vector<std::uint8_t> buf(4);
  ASSERT_EQ(*s.read(buf), 4U);
  EXPECT_EQ(buf, bytes_of("0123"));
  EXPECT_EQ(*s.stream_position(), 4U);
  EXPECT_EQ(*s.seek(SeekBase::Current, -2), 2U);
  ASSERT_TRUE(s.read_exact(buf));
  EXPECT_EQ(buf, bytes_of("2345"));
  // Read to the end with bytes still buffered, then from an emptied buffer.
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<std::uint8_t> rest = bytes_of(">");
    EXPECT_EQ(*s.read_to_end(rest), 4U);
    EXPECT_EQ(rest, bytes_of(">6789"));
    EXPECT_EQ(*s.seek(SeekBase::Current, -4), 6U);
    EXPECT_EQ(*s.stream_length(), 10U);
    EXPECT_EQ(*s.stream_position(), 6U);
  }
  ASSERT_TRUE(s.read_exact(buf));
  EXPECT_EQ(*s.read(buf), 0U);
  EXPECT_EQ(*s.seek_to(100), 100U);
  EXPECT_EQ(*s.read(buf), 0U);
  EXPECT_EQ(*s.seek(SeekBase::End, -1), 9U);
  ASSERT_EQ(*s.read(buf), 1U);
  EXPECT_EQ(buf[0], '9');
  ASSERT_TRUE(s.seek_to(8));
  const auto short_read = s.read_exact(buf);
  ASSERT_FALSE(short_read);
  EXPECT_EQ(short_read.error().text(), "failed to fill whole buffer");
  // The whole input wherever the position; a small file, once read whole, is kept for every
  // later reader.
  const auto all = s.contents();
  ASSERT_TRUE(all);
  EXPECT_EQ(std::vector<std::uint8_t>(all->begin(), all->end()), data_);
  EXPECT_EQ(s.contents_if_ready()->data(), all->data());
}

INSTANTIATE_TEST_SUITE_P(BufferAndFile, SourceContract, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "File" : "Buffer"; });

TEST(BufferSource, IsZeroCopyAndRejectsOverflowingSeeks) {
  const auto data = bytes_of("abc");
  BufferSource s(data);
  EXPECT_EQ(s.contents_if_ready()->data(), data.data());
  ASSERT_TRUE(s.seek_to(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_FALSE(s.seek(SeekBase::Current, 1));
  EXPECT_FALSE(s.seek(SeekBase::End, std::numeric_limits<std::int64_t>::min()));
}

TEST(FileSource, ReadsOfADirectoryFailWithTheSystemText) {
  const TempDir dir;
  const int fd = ::open(dir.path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  FileSource s(fd, std::nullopt);
  std::vector<std::uint8_t> buf(16);
  const auto r = s.read(buf);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Is a directory (os error 21)");
  EXPECT_EQ(r.error().os_code(), 21);
  EXPECT_FALSE(s.contents_if_ready().has_value());
  ::close(fd);
}

TEST(FileSource, OffsetsBeyondTheSignedRangeAreInvalid) {
  const TempDir dir;
  const int fd = ::open(dir.write("f", bytes_of("x")).c_str(), O_RDONLY);
  FileSource s(fd, 1);
  const auto r = s.seek_to(std::uint64_t{1} << 63U);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "Invalid argument (os error 22)");
  ::close(fd);
}

} // namespace
} // namespace trawl
