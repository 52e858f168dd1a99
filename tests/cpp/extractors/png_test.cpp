#include <string>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace std::string_view_literals;
using namespace testing;

const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

Bytes ihdr(std::uint8_t color_type, std::uint8_t interlace) {
  return png_chunk("IHDR", cat({be32(1), be32(1), {8, color_type, 0, 0, interlace}}));
}

TEST(PngExtractor, MinimalImage) {
  // Nothing after IEND is listed.
  EXPECT_EQ(render(parsed(cat({signature, ihdr(6, 0), png_chunk("IDAT", Bytes(3, 0)),
                               png_chunk("IEND", {}), png_chunk("tEXt", text("After\0x"sv))}),
                          "png")),
            "{bit_depth=8 chunks=[{length=13 offset=8 type=\"IHDR\"} {length=3 offset=33 "
            "type=\"IDAT\"} {length=0 offset=48 type=\"IEND\"}] color_type=\"RGBA\" height=1 "
            "interlaced=false width=1}");
}

TEST(PngExtractor, HeaderLabels) {
  struct Case {
    std::uint8_t color_type;
    std::uint8_t interlace;
    const char* label;
    bool interlaced;
  };
  const Case cases[] = {
      {0, 0, "grayscale", false}, {1, 1, "unknown", true},          {2, 2, "RGB", false},
      {3, 1, "palette", true},    {4, 0, "grayscale+alpha", false}, {5, 0, "unknown", false},
      {7, 0, "unknown", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.color_type);
    const Map png = parsed(cat({signature, ihdr(c.color_type, c.interlace)}), "png");
    EXPECT_EQ(png.at("color_type").as_string(), c.label);
    EXPECT_EQ(png.at("interlaced").as_bool(), c.interlaced);
  }
}

TEST(PngExtractor, AncillaryChunks) {
  const Map png = parsed(
      cat({signature, png_chunk("tEXt", text("Title\0A"sv)), png_chunk("tEXt", text("Title\0B"sv)),
           png_chunk("tEXt", text("Comment\0"sv)), png_chunk("tEXt", text("no separator")),
           // ISO 8859-1 text survives; UTF-8 text stays as it is.
           png_chunk("tEXt", text("Author\0Ren\xE9"sv)),
           png_chunk("tEXt", text("Caf\xC3\xA9\0ok"sv)),
           png_chunk("tIME", {0x07, 0xE8, 3, 9, 7, 5, 0}), png_chunk("gAMA", be32(45455)),
           png_chunk("pHYs", cat({be32(2835), be32(2835), {1}}))}),
      "png");
  EXPECT_EQ(render(png.at("text")),
            "{Author=\"Ren\xC3\xA9\" Caf\xC3\xA9=\"ok\" Comment=\"\" Title=\"B\"}");
  EXPECT_EQ(png.at("last_modified").as_string(), "2024-03-09T07:05:00Z");
  EXPECT_EQ(png.at("gamma").as_float(), 0.45455);
  EXPECT_EQ(png.at("dpi").as_float(), 72.0);
  // Density in metres only; times as written.
  for (const auto& [chunk, expected] : std::vector<std::pair<Bytes, std::string>>{
           {png_chunk("pHYs", cat({be32(3780), be32(3780), {1}})), "{dpi=96.}"},
           {png_chunk("pHYs", cat({be32(2835), be32(2835), {0}})), "{}"},
           {png_chunk("tIME", {0, 99, 13, 1, 0, 0, 0}),
            "{last_modified=\"0099-13-01T00:00:00Z\"}"}}) {
    Map alone = parsed(cat({signature, chunk}), "png");
    alone.erase("chunks");
    EXPECT_EQ(render(Value(alone)), expected);
  }
}

TEST(PngExtractor, WalkEnds) {
  struct Case {
    const char* name;
    Bytes data;
    std::vector<std::string> types;
  };
  const Case cases[] = {
      {"signature and 7 more bytes", cat({signature, Bytes(7, 0)}), {}},
      {"declared length runs past the data",
       cat({signature, be32(0xFFFFFFFF), text("IDAT"), png_chunk("IEND", {})}),
       {"IDAT"}},
      {"header cut short", cat({signature, ihdr(2, 0), be32(0), text("IE")}), {"IHDR"}},
      {"high type byte listed, not read",
       cat({signature, png_chunk("\xC9HDR", cat({be32(5), be32(5), Bytes(5, 0)}))}),
       {"\xC3\x89HDR"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Map png = parsed(c.data, "png");
    std::vector<std::string> types;
    for (const Value& chunk : png.at("chunks").as_list()) {
      types.push_back(chunk.as_map().at("type").as_string());
    }
    EXPECT_EQ(types, c.types);
  }
  const Map huge = parsed(cat({signature, be32(0xFFFFFFFF), text("IDAT")}), "png");
  EXPECT_EQ(huge.at("chunks").as_list().at(0).as_map().at("length").as_uint(), 4294967295U);
}

TEST(PngExtractor, ThoroughReadingTakesCompressedAndInternationalText) {
  struct Case {
    const char* name;
    Bytes chunks;
    const char* text;      // render of "text", or "" for none
    const char* languages; // render of "text_languages", or "" for none
    const char* truncated;
  };
  const Bytes zipped_hello = deflated(text("hello"));
  const Case cases[] = {
      {"zTXt", png_chunk("zTXt", cat({text("Comment\0\0"sv), zipped_hello})),
       R"({Comment="hello"})", "", ""},
      {"zTXt in ISO 8859-1, as tEXt",
       png_chunk("zTXt", cat({text("A\0\0"sv), deflated(text("\xE9"))})), "{A=\"\xC3\xA9\"}", "",
       ""},
      {"iTXt with language and translated keyword",
       png_chunk("iTXt", text("Title\0\0\0de\0Titel\0Gr\xC3\xBC\xC3\x9F\xFF"sv)),
       "{Title=\"Gr\xC3\xBC\xC3\x9F\xEF\xBF\xBD\"}",
       R"({Title={language="de" translated_keyword="Titel"}})", ""},
      {"compressed iTXt", png_chunk("iTXt", cat({text("X\0\1\0\0\0"sv), zipped_hello})),
       R"({X="hello"})", "", ""},
      {"a later tEXt drops the language",
       cat({png_chunk("iTXt", text("T\0\0\0en\0\0a"sv)), png_chunk("tEXt", text("T\0b"sv))}),
       R"({T="b"})", "", ""},
      {"unknown compression method", png_chunk("zTXt", cat({text("M\0\1"sv), zipped_hello})), "",
       "", ""},
      {"iTXt without its translated keyword's end", png_chunk("iTXt", text("K\0\0\0en\0x"sv)), "",
       "", ""},
      {"stream cut short keeps what it gave",
       png_chunk("zTXt",
                 cat({text("C\0\0"sv), Bytes(zipped_hello.begin(), zipped_hello.end() - 4)})),
       R"({C="hello"})", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Map png = parsed(cat({signature, ihdr(0, 0), c.chunks}), "png", testing::thorough());
    EXPECT_EQ(png.contains("text") ? render(png.at("text")) : "", c.text);
    EXPECT_EQ(png.contains("text_languages") ? render(png.at("text_languages")) : "", c.languages);
    EXPECT_EQ(png.contains("truncated") ? render(png.at("truncated")) : "", c.truncated);
    // The default reading reads tEXt alone.
    const Map plain = parsed(cat({signature, ihdr(0, 0), c.chunks}), "png");
    EXPECT_FALSE(plain.contains("text_languages"));
  }
}

TEST(PngExtractor, CompressedTextStopsAtItsCap) {
  // 4 MiB of zeros deflate to about 4 KiB; the text keeps text_cap bytes of them.
  const Bytes bomb = cat({text("Z\0\0"sv), deflated(Bytes(std::size_t{4} << 20U, '0'))});
  const Map png = parsed(cat({signature, png_chunk("zTXt", bomb), png_chunk("zTXt", bomb)}), "png",
                         testing::thorough());
  EXPECT_EQ(png.at("text").as_map().at("Z").as_string().size(), text_cap);
  EXPECT_EQ(render(png.at("truncated")), R"(["text"])");
}

} // namespace
} // namespace trawl
