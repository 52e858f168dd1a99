#include <cmath>
#include <string>

#include "support/text.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"ascii", "plain", "plain"},
      {"valid multibyte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone ff",
       "a\xFF"
       "b",
       "a" + fffd + "b"},
      {"truncated three-byte at end", "\xE2\x82", fffd},
      {"truncated four-byte before ascii",
       "\xF0\x9F\x98"
       "A",
       fffd + "A"},
      {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
      {"overlong", "\xC0\x80", fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"stray continuation",
       "\x80"
       "x",
       fffd + "x"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(utf8_lossy(c.in), c.out);
  }
}

TEST(RoundTo, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(round_to(0.0625, 3), 0.063);
  EXPECT_EQ(round_to(-0.0625, 3), -0.063);
  EXPECT_TRUE(std::signbit(round_to(-0.0, 3)));
}

} // namespace
} // namespace trawl
