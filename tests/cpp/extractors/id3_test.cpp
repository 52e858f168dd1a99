#include <algorithm>
#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

Bytes synchsafe(std::size_t n) {
  return {static_cast<std::uint8_t>((n >> 21U) & 0x7FU),
          static_cast<std::uint8_t>((n >> 14U) & 0x7FU),
          static_cast<std::uint8_t>((n >> 7U) & 0x7FU), static_cast<std::uint8_t>(n & 0x7FU)};
}
// A tag whose declared size is `size`, or covers its frames exactly.
Bytes tag(std::uint8_t major, const Bytes& size, const Bytes& frames, std::uint8_t flags = 0) {
  return cat({text("ID3"), {major, 0, flags}, size, frames});
}
Bytes tag(std::uint8_t major, const Bytes& body, std::uint8_t flags = 0) {
  return tag(major, synchsafe(body.size()), body, flags);
}
// 2.3 frame (plain size); 2.4 frames take a synchsafe size.
Bytes frame3(std::string_view id, const Bytes& payload, std::uint32_t flags = 0) {
  return cat({text(id), be32(static_cast<std::uint32_t>(payload.size())), be16(flags), payload});
}
Bytes frame4(std::string_view id, const Bytes& payload, std::uint32_t flags = 0) {
  return cat({text(id), synchsafe(payload.size()), be16(flags), payload});
}
Bytes frame2(std::string_view id, const Bytes& payload) {
  return cat({text(id), {0, 0, static_cast<std::uint8_t>(payload.size())}, payload});
}
Bytes latin1(std::string_view s) {
  return cat({{0}, text(s)});
}

// The ID3v1 tag: title, artist, album, year, comment ending in 0 and the track, genre.
Bytes v1_tag(std::uint8_t track, std::uint8_t genre) {
  Bytes out = text("TAG");
  for (std::string_view field : {"V1 Title"sv, "V1 Artist"sv, "V1 Album"sv}) {
    Bytes f = text(field);
    f.resize(30, 0);
    out = cat({out, f});
  }
  return cat({out, text("1999"), Bytes(28, 0), {0, track, genre}});
}

// Expected texts with "|" for the NUL between values.
std::string nuls(std::string s) {
  std::replace(s.begin(), s.end(), '|', '\0');
  return s;
}

std::string frames_of(const Bytes& data, const RunOptions& options = {}) {
  const Map id3 = parsed(data, "id3", options);
  std::string out = id3.contains("frames") ? render(id3.at("frames")) : "none";
  if (id3.contains("v1_version")) {
    out += " v1=" + id3.at("v1_version").as_string();
  }
  return out;
}

// UTF-16 "x", U+00FF, "y" after a little-endian mark: FF bytes that unsynchronisation escapes.
const Bytes wide_ff = {1, 0xFF, 0xFE, 'x', 0, 0xFF, 0, 'y', 0};
const Bytes wide_ff_unsynced = {1, 0xFF, 0, 0xFE, 'x', 0, 0xFF, 0, 0, 'y', 0};
// zlib streams of latin1("Comp") (5 bytes inflated) and latin1("Zip") (4 bytes).
const Bytes zlib_comp = {0x78, 0x9C, 0x63, 0x70, 0xCE, 0xCF, 0x2D,
                         0x00, 0x00, 0x03, 0xA8, 0x01, 0x90};
const Bytes zlib_zip = {0x78, 0x9C, 0x63, 0x88, 0xCA, 0x2C, 0x00, 0x00, 0x02, 0x54, 0x01, 0x34};

TEST(Id3Thorough, FrameLayers) {
  const Bytes artist3 = frame3("TPE1", latin1("A"));
  const Bytes artist4 = frame4("TPE1", latin1("A"));
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // Sizes count the frame before the tag was unsynchronised.
      {"2.3 unsynchronised tag",
       tag(3, cat({text("TIT2"), be32(9), be16(0), wide_ff_unsynced, artist3}), 0x80),
       "{artist=\"A\" title=\"x\xC3\xBFy\"}"},
      {"2.2 unsynchronised tag",
       tag(2, cat({text("TT2"), {0, 0, 9}, wide_ff_unsynced, frame2("TP1", latin1("A"))}), 0x80),
       "{artist=\"A\" title=\"x\xC3\xBFy\"}"},
      {"2.4 unsynchronised frame", tag(4, cat({frame4("TIT2", wide_ff_unsynced, 0x02), artist4})),
       "{artist=\"A\" title=\"x\xC3\xBFy\"}"},
      {"2.4 unsynchronisation flag of the tag applies to each frame",
       tag(4, cat({frame4("TIT2", wide_ff_unsynced), artist4}), 0x80),
       "{artist=\"A\" title=\"x\xC3\xBFy\"}"},
      {"broken unsynchronisation is read as it stands",
       tag(4, frame4("TIT2", {0, 'a', 0xFF, 0xE0, 'b'}, 0x02)),
       "{title=\"a\xC3\xBF\xC3\xA0"
       "b\"}"},
      {"2.4 data-length indicator",
       tag(4, cat({frame4("TIT2", cat({synchsafe(4), latin1("Tit")}), 0x01), artist4})),
       "{artist=\"A\" title=\"Tit\"}"},
      {"2.4 compressed with its length",
       tag(4, cat({frame4("TIT2", cat({synchsafe(5), zlib_comp}), 0x09), artist4})),
       "{artist=\"A\" title=\"Comp\"}"},
      {"2.4 compressed without the length", tag(4, frame4("TIT2", zlib_comp, 0x08)),
       "{title=\"Comp\"}"},
      {"2.4 group byte before the length",
       tag(4, frame4("TIT2", cat({{7}, synchsafe(4), zlib_zip}), 0x49)), "{title=\"Zip\"}"},
      {"2.3 compressed", tag(3, cat({frame3("TIT2", cat({be32(5), zlib_comp}), 0x80), artist3})),
       "{artist=\"A\" title=\"Comp\"}"},
      {"2.3 group byte after the size", tag(3, frame3("TIT2", cat({be32(4), {7}, zlib_zip}), 0xA0)),
       "{title=\"Zip\"}"},
      {"encrypted frame skipped",
       tag(3, cat({frame3("TIT2", cat({{1}, latin1("E")}), 0x40), artist3})), "{artist=\"A\"}"},
      {"broken zlib skipped",
       tag(4, cat({frame4("TIT2", cat({synchsafe(9), text("garbage!!")}), 0x09), artist4})),
       "{artist=\"A\"}"},
      {"2.3 extended header", tag(3, cat({be32(6), Bytes(6, 0), artist3}), 0x40), "{artist=\"A\"}"},
      {"2.4 extended header counts itself", tag(4, cat({synchsafe(6), {1, 0}, artist4}), 0x40),
       "{artist=\"A\"}"},
      {"extended-header flag without one", tag(4, artist4, 0x40), "{artist=\"A\"}"},
      {"extended header past the tag", tag(3, be32(90), 0x40), "none"},
      {"zero-size frame skipped", tag(3, cat({frame3("TXXX", {}), artist3})), "{artist=\"A\"}"},
      {"zero-size 2.2 frame skipped", tag(2, cat({frame2("TXX", {}), frame2("TT2", latin1("T"))})),
       "{title=\"T\"}"},
      {"frame of only the encoding byte dropped", tag(3, cat({frame3("TIT2", {0}), artist3})),
       "{artist=\"A\"}"},
      {"padding ends the walk", tag(3, cat({artist3, Bytes(20, 0), frame3("TIT2", latin1("T"))})),
       "{artist=\"A\"}"},
      // Plain sizes meet both frames where synchsafe ones (200 read as 72) lose the second.
      {"2.4 plain frame sizes",
       tag(4, cat({text("TIT2"), be32(200), be16(0), latin1(std::string(199, 'x')), text("TPE1"),
                   be32(2), be16(0), latin1("A")})),
       "{artist=\"A\" title=\"" + std::string(199, 'x') + "\"}"},
      {"2.2 identifiers in a 2.3 tag",
       tag(3, cat({text("TT2"), {0}, be32(3), be16(0), latin1("ab")})), "{title=\"ab\"}"},
      {"2.2 album artist and composer",
       tag(2, cat({frame2("TP2", latin1("AA")), frame2("TCM", latin1("C"))})),
       "{album_artist=\"AA\" composer=\"C\"}"},
      {"unknown major version reads no frames", tag(5, artist4), "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(frames_of(c.data, thorough()), c.expected);
  }
}

TEST(Id3Thorough, ValuesAndRepeats) {
  struct Case {
    const char* name;
    Bytes frames;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"repeated frame adds the values it lacks",
       cat({frame3("TIT2", latin1("One")), frame3("TIT2", latin1("Two")),
            frame3("TIT2", latin1("One"))}),
       nuls("{title=\"One|Two\"}")},
      {"values repeated inside one frame stay", frame3("TPE1", cat({{3}, text("a\0a"sv)})),
       nuls("{artist=\"a|a\"}")},
      {"each UTF-16 value with its own mark",
       frame3("TPE1", {1, 0xFF, 0xFE, 'A', 0, 0, 0, 0xFE, 0xFF, 0, 'B'}), nuls("{artist=\"A|B\"}")},
      {"UTF-16 odd last byte completes a character", frame3("TRCK", {1, 0xFF, 0xFE, '1', 0, '2'}),
       "{track=\"12\"}"},
      {"NULs after the last value are padding", frame3("TIT2", cat({{0}, text("a\0\0\0"sv)})),
       "{title=\"a\"}"},
      {"year with TDAT (day, month) and TIME",
       cat({frame3("TYER", latin1("2004")), frame3("TDAT", latin1("0201")),
            frame3("TIME", latin1("1020"))}),
       "{year=\"2004-01-02 10:20:00\"}"},
      {"year that is no year dropped", frame3("TYER", latin1("04")), "none"},
      {"recording time before year",
       cat({frame3("TYER", latin1("2004")), frame3("TDRC", latin1("2010"))}), "{year=\"2010\"}"},
      {"recording time in its fields", frame3("TDRC", latin1("2004-1T3:5")),
       "{year=\"2004-01-03 05\"}"},
      {"recording time without a number", frame3("TDRC", latin1("abc")), "{year=\"\"}"},
      {"genre references and text", frame3("TCON", latin1("(17)(6)Grunge")),
       nuls("{genre=\"Rock|Grunge\"}")},
      {"genre number", frame3("TCON", latin1("0")), "{genre=\"Blues\"}"},
      {"genre numbers past the list",
       frame3("TCON", cat({{3},
                           text("191\0"
                                "200\0"
                                "300\0(250)X"sv)})),
       nuls("{genre=\"Psybient|Unknown|300|Unknown|X\"}")},
      {"genre remix, cover and an escaped parenthesis",
       frame3("TCON", cat({{3}, text("RX\0(CR)\0((Foo)"sv)})),
       nuls("{genre=\"Remix|Cover|(Foo)\"}")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(frames_of(tag(3, c.frames), thorough()), c.expected);
  }
}

TEST(Id3Thorough, Id3v1) {
  // An MPEG-1 layer III frame header starts the audio, so that the thorough reading looks.
  const Bytes audio = cat({{0xFF, 0xFB, 0x90, 0x64}, Bytes(413, 0), {0xFF, 0xFB, 0x90, 0x64}});
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"1.1 without an ID3v2 tag", cat({audio, v1_tag(5, 17)}),
       "{album=\"V1 Album\" artist=\"V1 Artist\" genre=\"Rock\" title=\"V1 Title\" track=\"5\" "
       "year=\"1999\"} v1=1.1"},
      {"1.0: no track, no genre", cat({audio, v1_tag(0, 255)}),
       "{album=\"V1 Album\" artist=\"V1 Artist\" title=\"V1 Title\" year=\"1999\"} v1=1.0"},
      {"genre past the list", cat({audio, v1_tag(0, 200)}),
       "{album=\"V1 Album\" artist=\"V1 Artist\" genre=\"Unknown\" title=\"V1 Title\" "
       "year=\"1999\"} v1=1.0"},
      {"fills what the ID3v2 tag lacks",
       cat({tag(3, frame3("TIT2", latin1("V2"))), audio, v1_tag(5, 255)}),
       "{album=\"V1 Album\" artist=\"V1 Artist\" title=\"V2\" track=\"5\" year=\"1999\"} v1=1.1"},
      {"TAG of an APEv2 footer", cat({audio, text("APE"), text("TAGEX"), Bytes(123, 0)}), "none"},
      {"no audio frame at the start", cat({Bytes(8, 0), v1_tag(5, 17)}), "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(frames_of(c.data, thorough()), c.expected);
  }
  // The default reading keeps to the tag at the start.
  EXPECT_TRUE(parsed(cat({audio, v1_tag(5, 17)}), "id3").empty());
}

TEST(Id3Thorough, CapsCompressedText) {
  // Frames of 2 MiB of "a" compressed to 2 KiB each: every text stops at its cap, and inflating
  // stops once the file's budget is spent.
  Bytes a(std::size_t{2} << 20U, 'a');
  a.front() = 0;
  const Bytes packed = deflated(a);
  Bytes body;
  for (const char* id :
       {"TIT2", "TPE1", "TALB", "TCOM", "TPE2", "TRCK", "TCON", "TDRC", "TIT2", "TPE1"}) {
    body = cat({body, frame4(id, cat({synchsafe(a.size()), packed}), 0x09)});
  }
  const Map id3 = parsed(tag(4, body), "id3", thorough());
  ASSERT_TRUE(id3.contains("frames"));
  for (const auto& [key, value] : id3.at("frames").as_map()) {
    SCOPED_TRACE(key);
    EXPECT_LE(value.as_string().size(), text_cap);
  }
  EXPECT_EQ(id3.at("frames").as_map().at("title").as_string().size(), text_cap);
  EXPECT_EQ(render(id3.at("truncated")), "[\"frames\"]");
}

TEST(Id3Thorough, CapsValuesPerFrameKind) {
  // Short values cost far more than their bytes: 5,000 in a frame and 5,000 new ones in a
  // repeat keep the first 4,096.
  std::string first;
  std::string again;
  for (int i = 0; i < 5000; ++i) {
    for (std::string* out : {&first, &again}) {
      out->push_back(out == &first ? 'a' : 'b');
      out->append(std::to_string(i)).push_back('\0');
    }
  }
  const Map id3 = parsed(tag(3, cat({frame3("TPE1", cat({{3}, text(first)})),
                                     frame3("TPE1", cat({{3}, text(again)}))})),
                         "id3", thorough());
  const std::string artist = id3.at("frames").as_map().at("artist").as_string();
  EXPECT_EQ(std::count(artist.begin(), artist.end(), '\0'), 4095);
  EXPECT_TRUE(artist.ends_with("a4095"));
  EXPECT_EQ(render(id3.at("truncated")), "[\"frames\"]");
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
