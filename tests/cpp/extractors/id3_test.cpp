#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

Bytes tag(std::uint8_t major, const Bytes& size, const Bytes& frames, std::uint8_t flags = 0) {
  return cat({text("ID3"), {major, 0, flags}, size, frames});
}
// A tag whose declared size covers its frames exactly (sizes below 128).
Bytes tag(std::uint8_t major, const Bytes& frames) {
  return tag(major,
             {0, 0, static_cast<std::uint8_t>(frames.size() >> 7U),
              static_cast<std::uint8_t>(frames.size() & 0x7FU)},
             frames);
}
// Version 2.3 frame: ID, plain 32-bit size, two flag bytes.
Bytes frame3(std::string_view id, const Bytes& payload) {
  return cat({text(id), be32(static_cast<std::uint32_t>(payload.size())), be16(0), payload});
}
Bytes frame2(std::string_view id, const Bytes& payload) {
  const auto n = static_cast<std::uint8_t>(payload.size());
  return cat({text(id), {0, 0, n}, payload});
}

std::string frames_of(const Bytes& data) {
  const Map id3 = parsed(data, "id3");
  return id3.contains("frames") ? render(id3.at("frames")) : "none";
}

TEST(Id3Extractor, HeaderFacts) {
  EXPECT_EQ(render(parsed(text("ID3\x03\0\0\0\0\0\0"sv), "id3")),
            "{extended_header=false tag_size=0 unsynchronisation=false version=\"2.3.0\"}");
  // The top bit of each size byte is not masked: 0x80 in the last byte overlaps the one above.
  for (const Bytes& size : {Bytes{0, 0, 0, 0x80}, Bytes{0, 0, 1, 0x80}}) {
    EXPECT_EQ(parsed(tag(4, size, {}, 0xC0), "id3").at("tag_size").as_uint(), 128U);
  }
  const Map flagged = parsed(tag(4, {0, 0, 0, 0}, {}, 0xC0), "id3");
  EXPECT_TRUE(flagged.at("unsynchronisation").as_bool());
  EXPECT_TRUE(flagged.at("extended_header").as_bool());
  EXPECT_EQ(errors_of(text("ID3\x03\0\0\0\0\0"sv)),
            std::vector<std::string>{"id3: malformed id3: header too short"});
}

TEST(Id3Extractor, TextEncodings) {
  struct Case {
    const char* name;
    Bytes payload;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ISO 8859-1 with a NUL end", cat({{0}, text("Song\0"sv)}), "Song"},
      {"ISO 8859-1 above 0x7F", {0, 0xC9, 'l', 'o', 'd', 'i', 'e'}, "\xC3\x89lodie"},
      {"UTF-16 little-endian mark", {1, 0xFF, 0xFE, 'A', 0, 'B', 0}, "AB"},
      // Big-endian text keeps its characters instead of coming out byte-swapped.
      {"UTF-16 big-endian mark", {1, 0xFE, 0xFF, 0, 'A', 0, 'B'}, "AB"},
      {"UTF-16 without a mark is little-endian", {1, 'A', 0}, "A"},
      {"UTF-16BE encoding", {2, 0, 'A', 0, 'B', 0, 0}, "AB"},
      {"UTF-16BE surrogate pair", {2, 0xD8, 0x3D, 0xDE, 0x00}, "\xF0\x9F\x98\x80"},
      {"unpaired surrogate",
       {2, 0xD8, 0x00, 0, 'A'},
       "\xEF\xBF\xBD"
       "A"},
      {"odd last byte ignored", {1, 'A', 0, 'B'}, "A"},
      {"UTF-8",
       cat({{3},
            text("\xC3\xA7"
                 "a\0"sv)}),
       "\xC3\xA7"
       "a"},
      {"only the encoding byte", {0}, ""},
      {"NUL between values stays", cat({{0}, text("a\0b\0\0"sv)}), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map id3 = parsed(tag(3, frame3("TIT2", c.payload)), "id3");
    ASSERT_TRUE(id3.contains("frames"));
    EXPECT_EQ(id3.at("frames").as_map().at("title").as_string(), c.expected);
  }
}

TEST(Id3Extractor, FrameWalk) {
  const Bytes title = frame3("TIT2", cat({{0}, text("T")}));
  const Bytes artist = frame3("TPE1", cat({{0}, text("A")}));
  // A 2.4 size of 00 00 01 00 is 128; in 2.3 the same bytes are 256.
  const Bytes long_title = cat({text("TIT2"), {0, 0, 1, 0, 0, 0}, {0}, Bytes(127, 'x')});
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"two frames", tag(3, cat({title, artist})), "{artist=\"A\" title=\"T\"}"},
      {"padding ends the walk", tag(3, {0, 0, 0, 0x40}, cat({title, Bytes(20, 0), artist})),
       "{title=\"T\"}"},
      {"zero-size frame ends the walk", tag(3, cat({frame3("TXXX", {}), title})), "none"},
      {"other frames add nothing",
       tag(3, cat({frame3("TXXX", {0, 'x'}), frame3("COMM", {0, 'x'}), frame3("APIC", {0})})),
       "none"},
      {"unknown encoding skips the frame", tag(3, cat({frame3("TIT2", {4, 'x'}), artist})),
       "{artist=\"A\"}"},
      {"later year wins", tag(3, cat({frame3("TYER", {0, '1'}), frame3("TDRC", {0, '2'})})),
       "{year=\"2\"}"},
      {"version 2.2 identifiers", tag(2, cat({frame2("TT2", {0, 'v'}), frame2("TP2", {0, 'x'})})),
       "{title=\"v\"}"},
      {"synchsafe frame size in 2.4", tag(4, {0, 0, 0x7F, 0x7F}, cat({long_title, artist})),
       "{artist=\"A\" title=\"" + std::string(127, 'x') + "\"}"},
      {"tag size past the data decodes what is there",
       tag(3, {0, 0, 0x7F, 0x7F}, cat({text("TIT2"), be32(100), be16(0), {0}, text("abc")})),
       "{title=\"abc\"}"},
      {"frame size past the tag is clipped at the tag's end",
       tag(3, {0, 0, 0, 14}, cat({text("TIT2"), be32(100), be16(0), {0}, text("abcdef")})),
       "{title=\"abc\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(frames_of(c.data), c.expected);
  }
  // The same size bytes in 2.3 swallow the artist frame into the title.
  EXPECT_EQ(parsed(tag(3, {0, 0, 0x7F, 0x7F}, cat({long_title, artist})), "id3")
                .at("frames")
                .as_map()
                .size(),
            1U);
}

} // namespace
} // namespace trawl
