#include <string>

#include "support/zlib_inflate.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

TEST(ZlibInflate, KeepsWhatTheStreamGivesUpToTheCap) {
  // zlib header 78 01, one final stored block of 5 bytes, then the Adler-32 of "hello".
  const Bytes hello =
      cat({{0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF}, text("hello"), {0x06, 0x2C, 0x02, 0x15}});
  struct Case {
    const char* name;
    Bytes input;
    std::size_t cap;
    const char* bytes;
    bool cut;
    bool broken;
  };
  const Case cases[] = {
      {"whole stream", hello, 100, "hello", false, false},
      {"bytes after the stream are ignored", cat({hello, text("xyz")}), 100, "hello", false, false},
      {"the cap ends it", hello, 3, "hel", true, false},
      {"a cap of the exact size", hello, 5, "hello", false, false},
      {"the checksum missing", Bytes(hello.begin(), hello.end() - 4), 100, "hello", false, true},
      {"the data cut short", Bytes(hello.begin(), hello.begin() + 9), 100, "he", false, true},
      {"a wrong checksum", cat({Bytes(hello.begin(), hello.end() - 1), {0}}), 100, "hello", false,
       true},
      {"not zlib", text("hello"), 100, "", false, true},
      {"empty", {}, 100, "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Inflated out = inflate_zlib(c.input, c.cap);
    EXPECT_EQ(std::string(out.bytes.begin(), out.bytes.end()), c.bytes);
    EXPECT_EQ(out.cut, c.cut);
    EXPECT_EQ(out.broken, c.broken);
  }
}

TEST(ZlibInflate, TheBudgetLimitsEveryStreamOfAnInput) {
  InflateBudget budget(1000);
  const std::size_t whole = (std::size_t{4} << 20U) + 4000;
  EXPECT_EQ(budget.cap(SIZE_MAX), whole);
  budget.spend(whole - 10);
  EXPECT_EQ(budget.cap(100), 10U);
  budget.spend(50);
  EXPECT_EQ(budget.cap(100), 0U);
}

} // namespace
} // namespace trawl
