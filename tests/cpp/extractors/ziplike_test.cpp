#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

// Central-directory header: method, DOS time and date, sizes, name, extra field, comment.
Bytes central(std::string_view name, std::uint16_t method = 8, std::uint32_t compressed = 1,
              std::uint32_t uncompressed = 3, std::string_view extra = {},
              std::string_view comment = {}) {
  const auto size = [](std::string_view part) {
    return le16(static_cast<std::uint16_t>(part.size()));
  };
  return cat({text("PK\x01\x02"sv), Bytes(6, 0), le16(method), le16(0x53D8), le16(0x56EF),
              Bytes(4, 0), le32(compressed), le32(uncompressed), size(name), size(extra),
              size(comment), Bytes(12, 0), text(name), text(extra), text(comment)});
}
Bytes end_record(std::uint16_t count, std::uint32_t directory, const Bytes& comment = {},
                 std::uint32_t size = 0) {
  return cat({text("PK\x05\x06"sv), Bytes(6, 0), le16(count), le32(size), le32(directory),
              le16(static_cast<std::uint16_t>(comment.size())), comment});
}
// A local header stands first so that the input is offered to the extractor.
const Bytes local = text("PK\x03\x04"sv);
Bytes archive(const std::vector<std::string_view>& names, std::uint16_t count) {
  Bytes directory;
  for (const auto n : names) {
    directory = cat({directory, central(n)});
  }
  return cat({local, directory, end_record(count, 4)});
}

std::string kind_of(const std::vector<std::string_view>& names) {
  return parsed(archive(names, 1), "zip").at("container_kind").as_string();
}

TEST(ZipExtractor, EndRecordAndEntries) {
  EXPECT_EQ(render(parsed(end_record(0, 0), "zip")),
            "{container_kind=\"plain zip\" entries=[] entry_count=0}");
  EXPECT_EQ(render(parsed(cat({local, central("a.txt"), end_record(1, 4)}), "zip")),
            "{compression_ratio=0.333 container_kind=\"plain zip\" entries=[{compressed=1 "
            "method=\"deflate\" modified=\"2023-07-15T10:30:48\" name=\"a.txt\" uncompressed=3}] "
            "entry_count=1}");
  const Bytes cut_header = central("abcdef");
  const Bytes record = end_record(1, 4);
  struct Case {
    const char* name;
    Bytes data;
    std::string entries;            // the names read, or the error
    const char* thorough = nullptr; // when the thorough reading differs
  };
  const auto size = static_cast<std::uint32_t>(central("a").size());
  const std::vector<Case> cases = {
      {"record found inside a comment",
       cat({local, central("a"), end_record(1, 4, cat({end_record(0, 99), text("tail")}))}),
       "count 0 []"},
      {"signature too close to the end",
       cat({local, central("a"), end_record(1, 4, text("PK\x05\x06 short"sv))}),
       "zip: malformed zip: truncated end-of-central-directory record"},
      {"record one byte short", cat({local, central("a"), Bytes(record.begin(), record.end() - 1)}),
       "zip: malformed zip: truncated end-of-central-directory record"},
      {"no record", cat({local, central("a")}),
       "zip: malformed zip: no end-of-central-directory record"},
      {"directory past the data", cat({local, central("a"), end_record(1, 4000)}), "count 1 []"},
      {"headers outnumber the count", archive({"a", "b", "c"}, 1), "count 1 [a b c]"},
      {"extra field and comment before the next header",
       cat({local, central("a", 8, 1, 3, "xtra", "a comment"), central("b"), end_record(2, 4)}),
       "count 2 [a b]"},
      {"count outnumbers the headers", archive({"a"}, 9), "count 9 [a]"},
      {"name cut at the end of the data",
       cat({end_record(1, 22), Bytes(cut_header.begin(), cut_header.end() - 3)}), "count 1 [abc]"},
      {"recorded offset one byte off, the directory before the end record",
       cat({local, central("a"), end_record(1, 5, {}, size)}), "count 1 []", "count 1 [a]"},
      {"the place before the end record holds no header either",
       cat({local, central("a"), Bytes(1, 0), end_record(1, 5, {}, size)}), "count 1 []"},
  };
  for (const Case& c : cases) {
    for (const bool thorough : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (thorough ? " (thorough)" : ""));
      const RunOptions options = thorough ? testing::thorough() : RunOptions{};
      const auto errors = errors_of(c.data, options);
      std::string got;
      if (!errors.empty() && errors.back().starts_with("zip")) {
        got = errors.back();
      } else {
        const Map zip = parsed(c.data, "zip", options);
        got = "count " + std::to_string(zip.at("entry_count").as_uint()) + " [";
        for (const Value& e : zip.at("entries").as_list()) {
          got += (got.ends_with("[") ? "" : " ") + e.as_map().at("name").as_string();
        }
        got += "]";
      }
      EXPECT_EQ(got, thorough && c.thorough != nullptr ? c.thorough : c.entries);
    }
  }
}

TEST(ZipExtractor, HeadersPastTheCapAreWalkedButNotListed) {
  // The cap grows with the input: enough empty-named headers outnumber it.
  const Bytes header = central("", 8, 1, 3);
  Bytes data = local;
  for (int i = 0; i < 110000; ++i) {
    data.insert(data.end(), header.begin(), header.end());
  }
  data = cat({data, central("mimetype"), end_record(0, 4)});
  const Map zip = parsed(data, "zip");
  EXPECT_EQ(zip.at("entries").as_list().size(), list_cap(data.size(), 128));
  EXPECT_EQ(render(zip.at("truncated")), "[\"entries\"]");
  EXPECT_EQ(zip.at("container_kind").as_string(), "EPUB/OpenDocument");
}

TEST(ZipExtractor, EntryFacts) {
  const Map zip = parsed(cat({local, central("x", 99, 0, 0), central("y", 12, 0, 0),
                              central("z\xFF", 0, 5, 0), end_record(3, 4)}),
                         "zip");
  std::vector<std::string> got;
  for (const Value& e : zip.at("entries").as_list()) {
    got.push_back(e.as_map().at("name").as_string() + ":" + e.as_map().at("method").as_string());
  }
  EXPECT_EQ(got, (std::vector<std::string>{"x:AES encrypted", "y:other", "z\xEF\xBF\xBD:stored"}));
  EXPECT_FALSE(zip.contains("compression_ratio")); // nothing uncompressed
  const Bytes zero_time = cat({local, text("PK\x01\x02"sv), Bytes(42, 0), end_record(1, 4)});
  EXPECT_EQ(parsed(zero_time, "zip").at("entries").as_list()[0].as_map().at("modified").as_string(),
            "1980-00-00T00:00:00");
}

TEST(ZipExtractor, ContainerKindRulesInOrder) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
      {{"xl/styles.xml", "word/document.xml"}, "Word document (docx)"},
      {{"ppt/slide.xml", "xl/book.xml"}, "Excel workbook (xlsx)"},
      {{"mimetype", "ppt/x"}, "PowerPoint (pptx)"},
      {{"AndroidManifest.xml", "META-INF/MANIFEST.MF"}, "Java archive (jar)"},
      {{"mimetype", "AndroidManifest.xml"}, "Android package (apk)"},
      {{"a", "mimetype"}, "EPUB/OpenDocument"},
      {{"XL/book.xml", "meta-inf/manifest.mf", "word/document.xml/"}, "plain zip"},
      {{}, "plain zip"},
  };
  for (const auto& [names, expected] : cases) {
    EXPECT_EQ(kind_of(names), expected) << expected;
  }
}

} // namespace
} // namespace trawl
