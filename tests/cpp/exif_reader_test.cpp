#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/exif.hpp"
#include <gtest/gtest.h>

namespace trawl::exif {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::filesystem::path shared_dir = std::filesystem::path(TRAWL_CORPUS_DIR).parent_path();

std::string type_name(std::uint16_t type) {
  static constexpr std::array<std::string_view, 13> names = {
      "",          "BYTE",   "ASCII", "SHORT",     "LONG",  "RATIONAL", "SBYTE",
      "UNDEFINED", "SSHORT", "SLONG", "SRATIONAL", "FLOAT", "DOUBLE"};
  if (type >= 1 && type < names.size()) {
    return std::string(names.at(type));
  }
  return "UNKNOWN(" + std::to_string(type) + ")";
}

// The reader's outcome in the layout of the worked examples.
std::string describe(const Expected<ExifData, ReadError>& read) {
  static constexpr std::array<std::string_view, 4> contexts = {"Tiff", "Exif", "Gps", "Interop"};
  if (!read) {
    return std::string("outcome: ") +
           (read.error().kind == ReadError::Kind::NotFound ? "not_found" : "error") +
           "\nmessage: " + std::string(read.error().text) + "\n";
  }
  std::string out;
  if (read->problems().empty()) {
    out = "outcome: ok\n";
  } else {
    out = "outcome: partial\nmessage: Partial result with " +
          std::to_string(read->fields().size()) + " fields and " +
          std::to_string(read->problems().size()) + " errors\n";
    for (const auto problem : read->problems()) {
      out += "collected: " + std::string(problem) + "\n";
    }
  }
  out += "fields: " + std::to_string(read->fields().size()) + "\n";
  for (const Field& f : read->fields()) {
    const bool ascii = f.type == static_cast<std::uint16_t>(Type::Ascii);
    out += std::to_string(f.ifd) + "\t" +
           std::string(contexts.at(static_cast<std::size_t>(f.tag.context))) + "\t" +
           std::to_string(f.tag.number) + "\t" + type_name(f.type) + "\t" +
           std::to_string(read->element_count(f)) + (ascii ? "str" : "") + "\t" +
           display_tag(f.tag) + "\t" + read->display_with_unit(f) + "\t" + read->display_value(f) +
           "\n";
  }
  return out;
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Example {
  std::string file;
  std::string expected;
};

// The "== path" blocks of the reader's document, each with the output it gives.
std::vector<Example> worked_examples() {
  std::ifstream doc(shared_dir / "exif-reader.md");
  std::vector<Example> examples;
  std::string line;
  bool in_block = false;
  while (std::getline(doc, line)) {
    if (line.starts_with("```")) {
      in_block = !in_block;
      continue;
    }
    if (!in_block) {
      continue;
    }
    if (line.starts_with("== shared/")) {
      examples.push_back({line.substr(10), ""});
    } else if (!examples.empty() && !line.empty()) {
      examples.back().expected += line + "\n";
    }
  }
  return examples;
}

TEST(ExifReader, ReproducesEveryWorkedExample) {
  const auto examples = worked_examples();
  if (examples.empty()) {
    GTEST_SKIP() << "reader document not found in " << shared_dir;
  }
  EXPECT_GE(examples.size(), 51U);
  for (const Example& example : examples) {
    SCOPED_TRACE(example.file);
    const auto path = shared_dir / example.file;
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    const Bytes data = read_file(path);
    EXPECT_EQ(describe(read_exif(data)), example.expected);
  }
}

} // namespace
} // namespace trawl::exif
