#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

Map pdf(std::string_view body) {
  return parsed(text(body), "pdf");
}

TEST(PdfExtractor, StructureCounts) {
  EXPECT_EQ(render(pdf("%PDF-\n")), "{encrypted=false linearized=false object_count=0 "
                                    "page_count=0 version=\"\"}");
  struct Case {
    const char* name;
    std::string_view body;
    std::string expected; // version, objects, pages
  };
  const std::vector<Case> cases = {
      {"line feed", "%PDF-1.7\n1 0 obj", "1.7 1 0"},
      {"carriage return", "%PDF-1.4\r\n", "1.4 0 0"},
      {"line break at 16", "%PDF-1.4 comment\n", "- 0 0"},
      {"trailing space kept", "%PDF-2.0 \n", "2.0  0 0"},
      {"\" obj\" inside words counts, endobj does not", "%PDF-1\n1 0 obj object endobj", "1 2 0"},
      {"pages, page trees and the spaced form",
       "%PDF-1\n/Type/Page/Parent /Type/Pages /Type /Page\n/Type /Pages", "1 0 2"},
      {"a page entry at the very end counts", "%PDF-1\n/Type/Page", "1 0 1"},
      {"other spacing is not seen", "%PDF-1\n/Type\n/Page /Type  /Page", "1 0 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map m = pdf(c.body);
    const std::string got = (m.contains("version") ? m.at("version").as_string() : "-") + " " +
                            std::to_string(m.at("object_count").as_uint()) + " " +
                            std::to_string(m.at("page_count").as_uint());
    EXPECT_EQ(got, c.expected);
  }
  // An empty buffer handed straight to the extractor gave the C library a null pointer.
  BufferSource empty(std::span<const std::uint8_t>{});
  const auto none = PdfExtractor().extract(empty, Probe{});
  ASSERT_TRUE(none);
  EXPECT_EQ(render(Value(none->entries())),
            "{encrypted=false linearized=false object_count=0 page_count=0}");
  const Map flags = pdf("%PDF-1.5\n<</Linearized 1>> <</Encrypt 5 0 R>>");
  EXPECT_TRUE(flags.at("linearized").as_bool());
  EXPECT_TRUE(flags.at("encrypted").as_bool());
}

TEST(PdfExtractor, DocumentInformationStrings) {
  struct Case {
    const char* name;
    std::string_view body;
    std::string expected; // the "info" map, or "none"
  };
  const std::vector<Case> cases = {
      {"nesting and escaped parentheses", "/Title (Report \\(final\\) (a (b) c))",
       "{title=\"Report (final) (a (b) c)\"}"},
      // Escapes used to be kept as their letters and digits.
      {"escapes", "/Title (x\\ny\\t\\\\\\101\\0501\\q)", "{title=\"x\ny\t\\A(1q\"}"},
      {"line continuation", "/Title (ab\\\r\ncd\\\nef)", "{title=\"abcdef\"}"},
      {"octal wraps at 256", "/Title (\\501)", "{title=\"A\"}"},
      // One or two octal digits end at the first byte that is not one.
      {"short octal escapes", "/Title (a\\53b\\7c)",
       "{title=\"a+b\x07"
       "c\"}"},
      {"backslash at the very end", "/Title (abc\\", "{title=\"abc\"}"},
      {"never closed", "/Author (runs on", "{author=\"runs on\"}"},
      {"line break before the string", "/Author\r\n (Ann)", "{author=\"Ann\"}"},
      {"hex string skipped, later title ignored", "/Title <FEFF> /Title (late)", "none"},
      {"reference skipped", "/Producer 12 0 R (x)", "none"},
      {"empty at the end", "/Subject (", "{subject=\"\"}"},
      // UTF-16BE titles used to come out as U+FFFD pairs and raw bytes.
      {"UTF-16BE", "/Title (\xFE\xFF\x00R\x00\xE9\xD8\x3D\xDE\x00)"sv,
       "{title=\"R\xC3\xA9\xF0\x9F\x98\x80\"}"},
      {"UTF-16BE with escaped bytes", "/Title (\xFE\xFF\\000A\\000\\050)", "{title=\"A(\"}"},
      {"UTF-8 with its mark", "/Title (\xEF\xBB\xBF\xC3\xA9t\xC3\xA9)",
       "{title=\"\xC3\xA9t\xC3\xA9\"}"},
      {"PDFDocEncoding", "/Title (Caf\xE9 \x93 \x80 \x18 \xA0)",
       "{title=\"Caf\xC3\xA9 \xEF\xAC\x81 \xE2\x80\xA2 \xCB\x98 \xE2\x82\xAC\"}"},
      {"dates stay raw", "/CreationDate (D:20240102030405+01'00') /ModDate(D:2024)",
       "{creation_date=\"D:20240102030405+01'00'\" modification_date=\"D:2024\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map got = parsed(cat({text("%PDF-1.7\n"), text(c.body)}), "pdf");
    EXPECT_EQ(got.contains("info") ? render(got.at("info")) : "none", c.expected);
  }
}

TEST(GzipExtractor, HeaderFields) {
  const Bytes minimal = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"minimal", minimal, "{compression_method=\"deflate\" os=\"Unix\"}"},
      {"time, OS 255, method 0",
       {0x1F, 0x8B, 0, 0, 0x00, 0xE1, 0xF5, 0x05, 0, 255},
       "{compression_method=\"unknown\" modification_time_unix=100000000 os=\"unknown\"}"},
      {"other OS",
       {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 1},
       "{compression_method=\"deflate\" os=\"other\"}"},
      {"name", cat({{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 11}, text("notes.txt\0"sv)}),
       "{compression_method=\"deflate\" original_filename=\"notes.txt\" os=\"NTFS\"}"},
      {"name after the extra field",
       cat({{0x1F, 0x8B, 8, 0x0C, 0, 0, 0, 0, 0, 7, 4, 0, 1, 2, 3, 4}, text("n\0"sv)}),
       "{compression_method=\"deflate\" original_filename=\"n\" os=\"macOS\"}"},
      // ISO 8859-1 names used to lose their accented letters.
      {"ISO 8859-1 name", cat({{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 0}, text("caf\xE9\0"sv)}),
       "{compression_method=\"deflate\" original_filename=\"caf\xC3\xA9\" os=\"FAT "
       "(Windows/DOS)\"}"},
      {"UTF-8 name kept", cat({{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3}, text("\xC3\xA9\0"sv)}),
       "{compression_method=\"deflate\" original_filename=\"\xC3\xA9\" os=\"Unix\"}"},
      {"unterminated name", cat({{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3}, text("abc")}),
       "{compression_method=\"deflate\" os=\"Unix\"}"},
      {"extra flag in 11 bytes reads the name at 10",
       {0x1F, 0x8B, 8, 0x0C, 0, 0, 0, 0, 0, 3, 0},
       "{compression_method=\"deflate\" original_filename=\"\" os=\"Unix\"}"},
      {"extra field past the data",
       {0x1F, 0x8B, 8, 0x0C, 0, 0, 0, 0, 0, 3, 9, 0, 0},
       "{compression_method=\"deflate\" os=\"Unix\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(render(parsed(c.data, "gzip")), c.expected);
  }
  EXPECT_EQ(errors_of(Bytes(minimal.begin(), minimal.end() - 1)),
            std::vector<std::string>{"gzip: malformed gzip: header too short"});
}

} // namespace
} // namespace trawl
