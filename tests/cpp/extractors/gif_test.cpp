#include <string>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

Bytes gif_header(std::uint8_t packed) {
  return cat({text("GIF89a"), le16(300), le16(200), {packed, 0, 0}});
}
const Bytes graphic_control = {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0x00};
const Bytes frame = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00, 0x02, 0x02, 0x4C, 0x01, 0x00};
Bytes looping(std::uint16_t count) {
  return cat({{0x21, 0xFF, 0x0B}, text("NETSCAPE2.0"), {0x03, 0x01}, le16(count), {0x00}});
}

TEST(GifExtractor, HeaderAndScreenDescriptor) {
  EXPECT_EQ(render(parsed(gif_header(0), "gif")),
            "{animated=false color_resolution_bits=1 frames=0 global_color_table=false height=200 "
            "version=\"89a\" width=300}");
  const Map big = parsed(cat({gif_header(0xF7), Bytes(768, 0), frame}), "gif");
  EXPECT_EQ(big.at("color_resolution_bits").as_uint(), 8U);
  EXPECT_EQ(big.at("global_color_table_size").as_uint(), 256U);
  EXPECT_EQ(big.at("frames").as_uint(), 1U) << "the walk starts at 13 + 768";
  EXPECT_EQ(errors_of(cat({text("GIF89a"), Bytes(6, 0)})),
            (std::vector<std::string>{"gif: malformed gif: header too short"}));
}

TEST(GifExtractor, BlockWalk) {
  struct Case {
    const char* name;
    Bytes stream;
    std::uint64_t frames;
    std::optional<std::uint64_t> loops;
  };
  Bytes cut_loop = looping(5);
  cut_loop.resize(17);
  const Case cases[] = {
      {"animation with loop 0",
       cat({looping(0), graphic_control, frame, graphic_control, frame, {0x3B}}), 2, 0},
      {"later loop extension wins", cat({looping(3), looping(7), frame}), 1, 7},
      {"loop field cut off", cat({frame, cut_loop}), 1, {}},
      {"other identifier",
       cat({{0x21, 0xFF, 0x0B}, text("ANIMEXTS1.0"), {0x03, 0x01, 0x05, 0x00, 0x00}}),
       0,
       {}},
      {"NETSCAPE under another label",
       cat({{0x21, 0xFE, 0x0B}, text("NETSCAPE2.0"), {0x03, 0x01, 0x05, 0x00, 0x00}}),
       0,
       {}},
      {"descriptor that does not fit", cat({{0x2C, 0, 0}}), 1, {}},
      {"local colour table skipped",
       cat({{0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x81},
            Bytes(12, 0x2C),
            {0x02, 0x01, 0x00, 0x00},
            frame}),
       2,
       {}},
      {"after the trailer", cat({frame, {0x3B}, frame}), 1, {}},
      {"stray bytes", cat({{0x00, 0x99}, frame, {0x17}, frame}), 2, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Map gif = parsed(cat({gif_header(0), c.stream}), "gif");
    EXPECT_EQ(gif.at("frames").as_uint(), c.frames);
    EXPECT_EQ(gif.at("animated").as_bool(), c.frames > 1);
    EXPECT_EQ(gif.contains("loop_count"), c.loops.has_value());
    if (c.loops) {
      EXPECT_EQ(gif.at("loop_count").as_uint(), *c.loops);
    }
  }
  EXPECT_EQ(parsed(cat({gif_header(0x91), Bytes(11, 0)}), "gif").at("frames").as_uint(), 0U)
      << "a global colour table past the data leaves no walk";
}

} // namespace
} // namespace trawl
