#include <array>
#include <cstdint>
#include <limits>

#include "support/byte_reader.hpp"
#include "support/byte_search.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
constexpr std::array<std::uint8_t, 8> data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(ByteReader, ShortReadGivesNothingAndKeepsTheCursor) {
  struct Case {
    const char* name;
    std::size_t start;
    std::uint64_t n;
    bool ok;
  };
  const Case cases[] = {
      {"empty request at end", 8, 0, true},
      {"empty request inside", 3, 0, true},
      {"exact fit", 4, 4, true},
      {"one past the end", 5, 4, false},
      {"huge n", 0, huge, false},
      {"n that wraps with the position", 2, huge - 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader r(data);
    ASSERT_TRUE(r.seek(c.start));
    EXPECT_EQ(r.bytes(c.n).has_value(), c.ok);
    EXPECT_EQ(r.position(), c.ok ? c.start + c.n : c.start);
  }
  ByteReader r(data);
  ASSERT_TRUE(r.seek(6));
  EXPECT_FALSE(r.u32_le().has_value());
  EXPECT_EQ(r.position(), 6U);
  EXPECT_FALSE(r.seek(9));
  // Zero bytes at the very end are there to read, by position and by cursor.
  EXPECT_TRUE(r.bytes_at(8, 0).has_value());
  EXPECT_TRUE(r.sub_at(8, 0).has_value());
  EXPECT_TRUE(r.matches_at(8, ""));
  EXPECT_FALSE(r.bytes_at(9, 0).has_value());
  EXPECT_FALSE(r.bytes_at(huge, 1).has_value());
  EXPECT_FALSE(ByteReader({}).u8().has_value());
}

TEST(ByteReader, ChildStaysInsideItsBounds) {
  ByteReader r(data);
  auto child = r.sub(3);
  ASSERT_TRUE(child.has_value());
  EXPECT_EQ(r.position(), 3U);
  EXPECT_EQ(child->u16_be(), 0x0102);
  EXPECT_FALSE(child->u16_be().has_value());
  EXPECT_EQ(child->u8(), 0x03);
  EXPECT_TRUE(child->at_end());
  EXPECT_FALSE(r.sub(6).has_value());
  // Text matches only wholly inside.
  EXPECT_TRUE(r.matches_at(3, "\x04\x05"));
  EXPECT_FALSE(r.matches_at(7, std::string_view("\x08\x09", 2)));
  EXPECT_FALSE(r.matches_at(4, "\x04"));
}

TEST(ByteReader, FixedLayoutFitsWhollyOrNotAtAll) {
  const ByteReader r(data);
  struct Case {
    const char* name;
    std::uint64_t offset;
    bool ok;
  };
  const Case cases[] = {{"exact fit", 4, true},
                        {"one past", 5, false},
                        {"past the end", 9, false},
                        {"huge offset", huge, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r.fixed<4>(c.offset).has_value(), c.ok);
  }
  ByteReader walk(data);
  EXPECT_TRUE(walk.take_fixed<6>());
  EXPECT_FALSE(walk.take_fixed<3>());
  EXPECT_EQ(walk.position(), 6U); // a failed take leaves the cursor
}

TEST(ByteReader, ReadsBothByteOrders) {
  ByteReader r(data);
  EXPECT_EQ(r.u16_be(), 0x0102);
  EXPECT_EQ(r.u16_le(), 0x0403);
  EXPECT_EQ(r.u32_be_at(0), 0x01020304U);
  EXPECT_EQ(r.u32_le_at(4), 0x08070605U);
  EXPECT_EQ(r.u64_le_at(0), 0x0807060504030201U);
  EXPECT_EQ(ByteReader(data).u64_be(), 0x0102030405060708U);
  const auto le = ByteReader(data).fixed<8>(0);
  const auto be = ByteReader(data).with_order(ByteOrder::Big).fixed<8>(0);
  ASSERT_TRUE(le && be);
  EXPECT_EQ(le->u16<1>(), 0x0302);
  EXPECT_EQ(be->u16<1>(), 0x0203);
  EXPECT_EQ(le->u32<4>(), 0x08070605U);
  EXPECT_EQ(be->u32<4>(), 0x05060708U);
  EXPECT_EQ(le->u24_le<5>(), 0x080706U);
  EXPECT_EQ(le->u24_be<0>(), 0x010203U);
  EXPECT_EQ(le->u64_be<0>(), 0x0102030405060708U);
  EXPECT_EQ((le->bytes<6, 2>()[1]), 0x08);
  EXPECT_EQ(ByteReader(data).with_order(ByteOrder::Big).u32_at(4), 0x05060708U);
}

TEST(ByteReader, ClippedReadsStopAtTheEnd) {
  ByteReader r(data);
  struct Case {
    std::uint64_t offset;
    std::uint64_t n;
    std::size_t size;
  };
  const Case cases[] = {{0, 3, 3}, {6, 5, 2}, {8, 1, 0}, {9, 5, 0}, {huge, 1, 0}, {2, huge, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(r.clipped_at(c.offset, c.n).size(), c.size);
    const ByteReader part = r.sub_clipped_at(c.offset, c.n);
    EXPECT_EQ(part.size(), c.size);
    EXPECT_EQ(part.u8_at(0), r.u8_at(c.size == 0 ? huge : c.offset));
  }
  EXPECT_EQ(r.whole().size(), 8U);
  ASSERT_TRUE(r.skip(5));
  const ByteReader child = r.sub_clipped(10);
  EXPECT_EQ(child.size(), 3U);
  EXPECT_EQ(child.u8_at(0), 0x06);
  EXPECT_TRUE(r.at_end());
}

TEST(ByteSearch, FindsTheFirstByteOfTheSet) {
  // 40 bytes: hits beyond the first 16 and 32 go through the wide and the byte-wise paths.
  std::array<std::uint8_t, 40> bytes{};
  bytes[20] = '/';
  bytes[37] = ' ';
  const std::span<const std::uint8_t> s(bytes);
  EXPECT_EQ((find_any<' ', '/'>(s, 0, 40)), 20U);
  EXPECT_EQ((find_any<' ', '/'>(s, 21, 40)), 37U);
  EXPECT_EQ((find_any<' ', '/'>(s, 21, 37)), 37U); // the end is not searched
  EXPECT_EQ((find_any<' ', '/'>(s, 38, 40)), 40U);
  EXPECT_EQ((find_any<'/'>(s, 0, 20)), 20U);
  EXPECT_EQ((find_any<'/'>(s, 0, 21)), 20U);
  EXPECT_EQ(find_byte(s, ' ', 30, 30), 30U);
}

} // namespace
} // namespace trawl
