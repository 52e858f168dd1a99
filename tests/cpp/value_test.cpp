#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include <trawl/value.hpp>

#include <gtest/gtest.h>

namespace trawl {
namespace {

TEST(Namespace, IteratesInByteWiseKeyOrder) {
  Namespace ns("t");
  for (const char* key : {"b", "gps_decimal", "a", "\xff", "B", "gps"}) {
    ns.set(key, true);
  }
  std::vector<std::string> keys;
  for (const auto& [key, value] : ns.entries()) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b", "gps", "gps_decimal", "\xff"}));
}

TEST(ToHex, WritesTwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(to_hex({}), "");
  // Every byte value, across the sixteen-byte blocks and the tail after them.
  Bytes all(256 + 7);
  std::string expected;
  for (std::size_t i = 0; i < all.size(); ++i) {
    all[i] = static_cast<std::uint8_t>(i * 7);
    std::array<char, 3> two{};
    std::snprintf(two.data(), two.size(), "%02x", unsigned{all[i]});
    expected += two.data();
  }
  EXPECT_EQ(to_hex(all), expected);
}

TEST(RenderBytes, CutsAfterSixtyFourBytes) {
  struct Case {
    std::size_t len;
    std::string out;
  };
  const std::string hex64(128, '5');
  const Case cases[] = {{0, ""},
                        {1, "55"},
                        {64, hex64},
                        {65, hex64 + "... (65 bytes)"},
                        {100, hex64 + "... (100 bytes)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.len);
    EXPECT_EQ(render_bytes(Bytes(c.len, 0x55)), c.out);
  }
}

} // namespace
} // namespace trawl
