#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using testing::Bytes;
using testing::cat;
using testing::le16;
using testing::le32;
using testing::parsed;
using testing::render;
using testing::text;
using testing::thorough;

Bytes wave(const Bytes& chunks) {
  return cat(
      {text("RIFF"), le32(static_cast<std::uint32_t>(chunks.size() + 4)), text("WAVE"), chunks});
}
Bytes chunk(std::string_view id, const Bytes& body, std::optional<std::uint32_t> size = {}) {
  return cat({text(id), le32(size.value_or(static_cast<std::uint32_t>(body.size()))), body});
}
// Format chunk: tag, channels, sample rate, byte rate, block align, bits per sample.
Bytes format(std::uint16_t tag, std::uint32_t rate, std::uint32_t byte_rate) {
  return chunk("fmt ", cat({le16(tag), le16(1), le32(rate), le32(byte_rate), le16(1), le16(8)}));
}

TEST(WaveDuration, DataOverByteRateOrFactOverRate) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const Bytes pcm = format(1, 1000, 1000);
  const std::vector<Case> cases = {
      {"PCM", wave(cat({pcm, chunk("data", Bytes(1234, 0))})), "1.234"},
      {"rounded to milliseconds", wave(cat({format(1, 3, 3), chunk("data", {0})})), "0.333"},
      {"data running past the end counts the bytes present",
       wave(cat({pcm, chunk("data", Bytes(500, 0), 100000)})), "0.5"},
      {"odd chunk with its pad byte before the data",
       wave(cat({pcm, chunk("LIST", Bytes(3, 0)), {0}, chunk("data", Bytes(250, 0))})), "0.25"},
      {"data before the format", wave(cat({chunk("data", Bytes(250, 0)), pcm})), "0.25"},
      {"compressed: the fact chunk's samples",
       wave(cat({format(2, 8000, 4000), chunk("fact", le32(12000)), chunk("data", Bytes(9, 0))})),
       "1.5"},
      {"compressed without a fact chunk",
       wave(cat({format(2, 8000, 4000), chunk("data", Bytes(2000, 0))})), "0.5"},
      {"extensible format ignores the fact chunk",
       wave(cat(
           {format(0xFFFE, 8000, 1000), chunk("fact", le32(12000)), chunk("data", Bytes(250, 0))})),
       "0.25"},
      {"byte rate 0", wave(cat({format(1, 1000, 0), chunk("data", Bytes(250, 0))})), "-"},
      {"no data chunk", wave(pcm), "-"},
      {"no format chunk", wave(chunk("data", Bytes(250, 0))), "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map m = parsed(c.data, "riff", thorough());
    const auto it = m.find("duration_seconds");
    EXPECT_EQ(it == m.end() ? "-" : render(it->second), c.expected);
    EXPECT_FALSE(parsed(c.data, "riff").contains("duration_seconds"));
  }
}

} // namespace
} // namespace trawl
