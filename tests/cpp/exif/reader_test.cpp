#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "exif/number_text.hpp"
#include "exif/png_profile.hpp"
#include "exif/reader.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl::exif {
namespace {

using namespace std::string_view_literals;
using namespace testing;

TiffEntry shorts(std::uint16_t tag, std::vector<std::uint32_t> values) {
  Bytes b;
  for (const auto v : values) {
    b = cat({b, be16(v)});
  }
  return {tag, 3, static_cast<std::uint32_t>(values.size()), b};
}

TiffEntry bytes(std::uint16_t tag, std::uint16_t type, const Bytes& values) {
  return {tag, type, static_cast<std::uint32_t>(values.size()), values};
}

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

// The first field's display with its unit.
std::string first_display(const Bytes& data) {
  const auto read = read_exif(data);
  if (!read || read->fields().empty()) {
    return "<no field>";
  }
  return read->display_with_unit(read->fields().front());
}

TEST(ExifReader, DisplaysValuesTheExamplesDoNotReach) {
  struct Case {
    const char* name;
    TiffLayout layout;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"version with a two-digit minor", {.exif = {bytes(0x9000, 7, text("0305"))}}, "3.05"},
      {"largest version", {.exif = {bytes(0x9000, 7, text("9999"))}}, "99.99"},
      {"empty components", {.exif = {bytes(0x9101, 7, {})}}, ""},
      {"exposure time below a second", {.exif = {rationals(0x829A, {{2, 3}})}}, "1/1.5 s"},
      {"4:1:1 subsampling",
       {.ifd0 = {shorts(530, {4, 1})}},
       "quarter horizontally, full vertically (4:1:1)"},
      {"empty enumerated value", {.ifd0 = {shorts(274, {})}}, "[reserved orientation ]"},
      {"reserved code shows every element",
       {.ifd0 = {shorts(274, {9, 1})}},
       "[reserved orientation 9, 1]"},
      {"enumerated value of an unknown type",
       {.ifd0 = {{274, 13, 1, Bytes(4, 0)}}},
       "[reserved orientation unknown value (type=13, count=1, offset=0x12)]"},
      {"date with bytes after the seconds",
       {.ifd0 = {ascii(306, "2016:05:04 03:02:01.5\0"sv)}},
       "2016-05-04 03:02:01"},
      {"two-string ASCII ending in NULs", {.ifd0 = {ascii(271, "Canon\0\0"sv)}}, "\"Canon\", \"\""},
      {"reference letter stored as a byte", {.gps = {bytes(1, 1, {'N'})}}, "78"},
      {"GPS time with fractions",
       {.gps = {rationals(7, {{19, 2}, {10, 1}, {5999, 100}})}},
       "09.5:10:59.99"},
      {"GPS time dividing by zero",
       {.gps = {rationals(7, {{1, 0}, {0, 1}, {1, 3}})}},
       "inf:00:00.3333333333333333"},
      {"GPS date with a suffix", {.gps = {ascii(29, "2016:05:04x\0"sv)}}, "2016-05-04"},
      {"GPS version of five bytes", {.gps = {bytes(0, 1, {2, 3, 0, 0, 9})}}, "2.3.0.0"},
      {"altitude below sea level",
       {.gps = {rationals(6, {{7, 2}}), bytes(5, 1, {1})}},
       "3.5 meters below sea level"},
      // Floating-point types reach the shortest-decimal writer tested below.
      {"float", {.ifd0 = {{65000, 11, 1, be32(0x4A000001)}}}, "2097152.3"},
      {"double",
       {.ifd0 = {{65000, 12, 1, cat({be32(0x43100000), be32(0x00000001)})}}},
       "1125899906842624.3"},
      {"rational",
       {.ifd0 = {rationals(282, {{459023, 131072}})}},
       "3.5020675659179688 pixels per inch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(first_display(tiff(c.layout)), c.expected);
  }
}

// Shortest digits that read back, written without an exponent. Values exactly halfway between two
// shortest candidates take the upper one, whichever of the two has the even last digit; their
// neighbours one step away are no ties.
TEST(ExifReader, FormatsShortestDecimalsPositionally) {
  const std::vector<std::pair<double, std::string>> doubles = {
      {0.1, "0.1"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {-0.0, "-0"},
      {1.0 / 3.0, "0.3333333333333333"},
      {10.0 / 3.0, "3.3333333333333335"},
      {29.64, "29.64"},
      {123456789012345678.0, "123456789012345680"},
      {-2.5, "-2.5"},
      {3.50206756591796875, "3.5020675659179688"}, // 459023/131072, below it an odd 7
      {3.5020675659179683059, "3.5020675659179683"},
      {3.5020675659179691941, "3.502067565917969"},
      {190778244556020.875, "190778244556020.88"},
      {190778244556020.84375, "190778244556020.84"},
      {190778244556020.90625, "190778244556020.9"},
      {1125899906842624.25, "1125899906842624.3"}, // below it an even 2
      {-1125899906842624.25, "-1125899906842624.3"},
      {1125899906842624.5, "1125899906842624.5"},
  };
  for (const auto& [value, expected] : doubles) {
    EXPECT_EQ(format_decimal(value), expected) << expected;
  }
  const std::vector<std::pair<float, std::string>> floats = {
      {0.1F, "0.1"},
      {16777216.0F, "16777216"},
      {3.4028235e38F, "340282350000000000000000000000000000000"},
      {1.17549435e-38F, "0.000000000000000000000000000000000000011754944"},
      {265524.375F, "265524.38"}, // below it an odd 7
      {265524.34375F, "265524.34"},
      {265524.40625F, "265524.4"},
      {265524.625F, "265524.63"}, // below it an even 2
      {265524.59375F, "265524.6"},
      {265524.65625F, "265524.66"},
      {2097152.25F, "2097152.3"},
      {2097152.75F, "2097152.8"},
      {1048576.125F, "1048576.1"},
  };
  for (const auto& [value, expected] : floats) {
    EXPECT_EQ(format_decimal(value), expected) << expected;
  }
}

TEST(ExifReader, WorkIsBoundedByTheDataSize) {
  // 4000 Exif pointers at one Exif IFD of 1000 fields: four million fields if followed blindly.
  std::vector<TiffEntry> exif(1000, shorts(0xA001, {1}));
  std::vector<TiffEntry> ifd0(4000, TiffEntry{0x8769, 4, 1, {}});
  const std::uint32_t exif_at = 8 + testing::tiff_ifd_size(ifd0);
  for (TiffEntry& e : ifd0) {
    e.value = be32(exif_at);
  }
  const Bytes data = cat({text("MM"), be16(42), be32(8), testing::tiff_ifd(8, ifd0, 0),
                          testing::tiff_ifd(exif_at, exif, 0)});
  const auto read = read_exif(data);
  ASSERT_TRUE(read);
  EXPECT_LE(read->fields().size(), 8 * data.size() / 12 + 64);
  EXPECT_GE(read->fields().size(), 4000U); // several whole re-reads still happen
  ASSERT_FALSE(read->problems().empty());
  EXPECT_EQ(read->problems().back(), "Limit the fields read to the size of the data");
  EXPECT_EQ(read->stopped_in(), 0);
}

TEST(ExifReader, LimitsEndTheWalkInTheDirectoryTheyReach) {
  using testing::uniform_ifd;
  const Bytes header = cat({text("MM"), be16(42), be32(8)});
  // 65,535 distinct tags; the Exif, GPS and interoperability pointers and the next offset all
  // lead back to the same directory.
  const Bytes every_context = cat({header, uniform_ifd(65535, 0, 1, 8, 8)});
  const Bytes self_pointers = cat({header, uniform_ifd(65535, 0x8769, 0, 8, 0)});
  // 65 Exif pointers at one small Exif IFD: 66 IFDs to walk, in far less work than the data
  // allows.
  const Bytes pointers = cat({header, uniform_ifd(65, 0x8769, 0, 8 + 2 + 65 * 12 + 4, 0),
                              uniform_ifd(1, 0x9000, 0, 1, 0)});
  struct Case {
    const char* name;
    Bytes data;
    Keep keep;
    std::size_t fields;
    std::string_view last_problem;
    std::optional<std::uint8_t> stopped_in;
    std::string marked; // the extractor's "truncated", thumbnail size and numbered directories
  };
  const std::vector<Case> cases = {
      {"distinct tags in every context", every_context, Keep::Last, max_fields,
       "Limit the field count", 0, "[\"primary\"] 0"},
      {"a later directory names itself",
       cat({header, uniform_ifd(1, 256, 0, 1, 26), uniform_ifd(65535, 0, 1, 26, 0)}), Keep::Last,
       max_fields, "Limit the field count", 1, "[\"thumbnail\"] " + std::to_string(max_fields - 1)},
      {"repeated fields all kept", self_pointers, Keep::Every, max_fields, "Limit the field count",
       0, ""},
      {"repeated fields replaced", self_pointers, Keep::Last, 1,
       "Limit the fields read to the size of the data", 0, ""},
      {"one sub-IFD visited again and again", pointers, Keep::Last, 1, "Limit the walked IFD count",
       0, ""},
      // The chain's own limit of 8 top-level IFDs cuts nothing a real file holds.
      {"top-level chain back to itself", cat({header, uniform_ifd(1, 256, 0, 1, 8)}), Keep::Last, 8,
       "Limit the IFD count to 8", std::nullopt, " 1 ifd2 ifd3 ifd4 ifd5 ifd6 ifd7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = read_exif(c.data, c.keep);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->fields().size(), c.fields);
    ASSERT_FALSE(read->problems().empty());
    EXPECT_EQ(read->problems().back(), c.last_problem);
    EXPECT_EQ(read->stopped_in(), c.stopped_in);
    if (!c.marked.empty()) {
      const Map exif = parsed(c.data, "exif");
      std::string marked = exif.contains("truncated") ? render(exif.at("truncated")) : "";
      marked += " " + std::to_string(
                          exif.contains("thumbnail") ? exif.at("thumbnail").as_map().size() : 0);
      for (const auto& [key, value] : exif) {
        marked += key.starts_with("ifd") ? " " + key : "";
      }
      EXPECT_EQ(marked, c.marked);
    }
  }
}

// Lookups and units see the last field of a tag whether or not the earlier ones are kept.
TEST(ExifReader, KeepingOnlyTheLastFieldShowsTheSameValues) {
  const Bytes data = tiff({.ifd0 = {shorts(296, {3}), rationals(282, {{72, 1}}), shorts(296, {2}),
                                    ascii(270, "a\0"sv), ascii(270, "b\0"sv)}});
  const auto every = read_exif(data, Keep::Every);
  const auto last = read_exif(data, Keep::Last);
  ASSERT_TRUE(every && last);
  EXPECT_EQ(every->fields().size(), 5U);
  std::vector<std::string> shown;
  for (const Field& f : last->fields()) {
    shown.push_back(display_tag(f.tag) + ": " + last->display_with_unit(f));
  }
  EXPECT_EQ(shown,
            (std::vector<std::string>{"ResolutionUnit: inch", "XResolution: 72 pixels per inch",
                                      "ImageDescription: \"b\""}));
  for (const Field& f : every->fields()) {
    const Field* kept = last->find(f.tag, 0);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(last->display_with_unit(*kept), every->display_with_unit(*every->find(f.tag, 0)));
  }
  EXPECT_EQ(last->find({Context::Gps, 1}, 0), nullptr);
}

TEST(ExifReader, HugeDeclaredCountsAreTruncatedValues) {
  const Bytes data = tiff({.ifd0 = {{65000, 12, 0xFFFFFFFF, Bytes(8, 0)}, shorts(256, {7})}});
  const auto read = read_exif(data);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->fields().size(), 1U);
  EXPECT_EQ(read->display_with_unit(read->fields().front()), "7 pixels");
  EXPECT_EQ(std::vector<std::string_view>(read->problems().begin(), read->problems().end()),
            std::vector<std::string_view>{"Truncated field value"});
}

// BigTIFF in either byte order: header, IFD 0 at 16 (64-bit entry count, 20-byte entries with
// 64-bit counts, values over 8 bytes after the IFD), an Exif IFD after it when given.
struct BigEntry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint64_t count = 0;
  std::vector<std::uint64_t> values; // `width` bytes each
  std::size_t width = 0;
};

Bytes big_tiff(bool big, const std::vector<BigEntry>& ifd0,
               const std::vector<BigEntry>& exif = {}) {
  auto put = [big](std::uint64_t v, std::size_t width) { return uint_bytes(v, width, big); };
  auto ifd = [&](std::uint64_t at, std::vector<BigEntry> entries, std::uint64_t& end) {
    Bytes head = put(entries.size(), 8);
    Bytes values;
    std::uint64_t value_at = at + 8 + 20 * entries.size() + 8;
    for (const BigEntry& e : entries) {
      Bytes value;
      for (const std::uint64_t v : e.values) {
        value = cat({value, put(v, e.width)});
      }
      head = cat({head, put(e.tag, 2), put(e.type, 2), put(e.count, 8)});
      if (value.size() > 8) {
        head = cat({head, put(value_at + values.size(), 8)});
        values = cat({values, value});
      } else {
        value.resize(8, 0);
        head = cat({head, value});
      }
    }
    end = value_at + values.size();
    return cat({head, put(0, 8), values});
  };
  std::vector<BigEntry> first = ifd0;
  std::uint64_t end = 0;
  (void)ifd(16, first, end); // where the Exif IFD would start
  if (!exif.empty()) {
    first.push_back({0x8769, 18, 1, {end + 20}, 8}); // IFD8 pointer: one entry more
  }
  Bytes out = cat(
      {text(big ? "MM" : "II"), put(43, 2), put(8, 2), put(0, 2), put(16, 8), ifd(16, first, end)});
  if (!exif.empty()) {
    out = cat({out, ifd(end, exif, end)});
  }
  return out;
}

TEST(ExifReader, ReadsBigTiffAndItsFailures) {
  const std::vector<BigEntry> ifd0 = {{256, 3, 1, {640}, 2},
                                      {273, 16, 2, {std::uint64_t{1} << 40U, 5}, 8},
                                      {65000, 17, 1, {static_cast<std::uint64_t>(-2)}, 8}};
  const std::vector<BigEntry> exif = {{0x9000, 7, 4, {'0', '2', '3', '0'}, 1}};
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    const Bytes data = big_tiff(big, ifd0, exif);
    ASSERT_TRUE(is_big_tiff(ByteReader(data)));
    const auto read = read_big_tiff(ByteReader(data));
    ASSERT_TRUE(read);
    std::string shown;
    for (const Field& f : read->fields()) {
      shown += display_tag(f.tag) + "=" + read->display_with_unit(f) + ";";
    }
    EXPECT_EQ(shown, "ImageWidth=640 pixels;StripOffsets=1099511627776, 5;Tag(Tiff, 65000)=-2;"
                     "ExifVersion=2.3;");
    EXPECT_TRUE(read->problems().empty());
  }
  Bytes bad_offset_size = big_tiff(false, {{256, 3, 1, {1}, 2}});
  bad_offset_size[4] = 4;
  EXPECT_EQ(describe(read_big_tiff(ByteReader(bad_offset_size))),
            "outcome: error\nmessage: Invalid BigTIFF offset size\n");
  // The result views the bytes it was read from: they must outlive it.
  const Bytes huge_count =
      big_tiff(false, {{65000, 1, std::uint64_t{1} << 32U, {}, 1}, {256, 3, 1, {9}, 2}});
  const auto huge = read_big_tiff(ByteReader(huge_count));
  ASSERT_TRUE(huge);
  EXPECT_EQ(describe(huge), "outcome: partial\nmessage: Partial result with 1 fields and 1 "
                            "errors\ncollected: Truncated field value\nfields: 1\n0\tTiff\t256\t"
                            "SHORT\t1\tImageWidth\t9 pixels\t9\n");
  // The 64-bit types are unknown to classic TIFF.
  EXPECT_EQ(first_display(tiff({.ifd0 = {{65000, 16, 1, Bytes(8, 0)}}})),
            "unknown value (type=16, count=1, offset=0x12)");
}

// A value's display, or the error that ended the read.
std::string field_or_error(const Bytes& data, Depth depth, Tag tag) {
  const auto read = read_exif(data, Keep::Every, depth);
  if (!read) {
    return std::string(read.error().text);
  }
  const Field* field = read->find(tag, 0);
  return field == nullptr ? "<no field>" : read->display_value(*field);
}

// Hex text as image editors write a profile: name, length, then lines of hex digits.
std::string raw_profile(std::string_view name, const Bytes& data) {
  static constexpr std::string_view digits = "0123456789abcdef";
  std::string out = "\n" + std::string(name) + "\n" + std::to_string(data.size()) + "\n";
  for (std::size_t i = 0; i < data.size(); ++i) {
    out += digits.at(data[i] >> 4U);
    out += digits.at(data[i] & 0xFU);
    out += i % 36 == 35 ? "\n" : "";
  }
  return out + "\n";
}

TEST(ExifReader, ThoroughReadingFindsWhatEditorsWrite) {
  const Bytes block = tiff({.ifd0 = {ascii(0x010F, "Acme")}});
  const Bytes other = tiff({.ifd0 = {ascii(0x010F, "Other")}});
  const Bytes prefixed = cat({text("Exif\0\0"sv), block});
  const auto webp = [](const Bytes& exif) {
    const Bytes chunk = cat({text("EXIF"), le32(static_cast<std::uint32_t>(exif.size())), exif,
                             Bytes(exif.size() % 2, 0)});
    return cat(
        {text("RIFF"), le32(static_cast<std::uint32_t>(chunk.size() + 4)), text("WEBP"), chunk});
  };
  const auto png = [](std::initializer_list<Bytes> chunks) {
    return cat({text("\x89PNG\r\n\x1A\n"), cat(chunks), png_chunk("IEND", {})});
  };
  const auto profile = [](std::string_view type, std::string_view keyword, const Bytes& data) {
    return png_chunk(type, cat({text(keyword), {0}, text(raw_profile("exif", data))}));
  };
  // IFD 0 points at the Exif IFD with the IFD type (13), as some TIFF writers do.
  const Bytes typed_pointer = cat(
      {text("MM"), testing::be16(42), be32(8), testing::tiff_ifd(8, {{0x8769, 13, 1, be32(26)}}, 0),
       testing::tiff_ifd(26, {ascii(0x9003, "2021:02:03 04:05:06")}, 0)});
  struct Case {
    const char* name;
    Bytes data;
    Tag tag;
    const char* plain;
    const char* thorough;
  };
  const Tag make{Context::Tiff, 0x010F};
  const Case cases[] = {
      {"WebP chunk after Exif\\0\\0", webp(prefixed), make, "Invalid TIFF byte order", "\"Acme\""},
      {"WebP chunk of TIFF data", webp(block), make, "\"Acme\"", "\"Acme\""},
      {"PNG tEXt profile", png({profile("tEXt", "Raw profile type exif", prefixed)}), make,
       "No Exif data found in PNG", "\"Acme\""},
      {"PNG profile of APP1", png({profile("tEXt", "Raw profile type APP1", prefixed)}), make,
       "No Exif data found in PNG", "\"Acme\""},
      {"an exif profile wins over an APP1 one",
       png({profile("tEXt", "Raw profile type exif", block),
            profile("tEXt", "Raw profile type APP1", other)}),
       make, "No Exif data found in PNG", "\"Acme\""},
      {"PNG eXIf after Exif\\0\\0", png({png_chunk("eXIf", prefixed)}), make,
       "Invalid TIFF byte order", "\"Acme\""},
      {"PNG tEXt \"exif\" of the bytes themselves",
       png({png_chunk("tEXt", cat({text("exif\0"sv), prefixed}))}), make,
       "No Exif data found in PNG", "\"Acme\""},
      {"an eXIf chunk wins over a profile",
       png({profile("tEXt", "Raw profile type exif", other), png_chunk("eXIf", block)}), make,
       "\"Acme\"", "\"Acme\""},
      {"a profile without a length",
       png({png_chunk("tEXt", text("Raw profile type exif\0\nexif\n4d4d"sv))}), make,
       "No Exif data found in PNG", "No Exif data found in PNG"},
      {"a profile before a broken chunk",
       cat({png({profile("tEXt", "Raw profile type exif", block)}), be32(99), text("IDAT")}), make,
       "Broken PNG file", "\"Acme\""},
      {"Exif pointer of the IFD type",
       typed_pointer,
       {Context::Exif, 0x9003},
       "<no field>",
       "2021-02-03 04:05:06"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(field_or_error(c.data, Depth::Default, c.tag), c.plain);
    EXPECT_EQ(field_or_error(c.data, Depth::Thorough, c.tag), c.thorough);
  }
}

TEST(ExifReader, RawProfileText) {
  struct Case {
    const char* name;
    std::string_view text;
    std::optional<std::string> bytes;
  };
  const Case cases[] = {
      {"lines of hex digits", "\nexif\n       4\n4142\n4344\n", "ABCD"},
      {"the declared length ends it", "\nexif\n2\n414243", "AB"},
      {"the digits end first", "\nexif\n9\n4142", "AB"},
      {"upper-case digits", "\nexif\n1\n4A", "J"},
      {"a byte that is no digit ends it", "\nexif\n3\n41zz42", "A"},
      {"no length", "\nexif\nxyz", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bytes = decode_raw_profile(c.text);
    ASSERT_EQ(bytes.has_value(), c.bytes.has_value());
    if (bytes && c.bytes) {
      EXPECT_EQ(std::string(bytes->begin(), bytes->end()), *c.bytes);
    }
  }
}

} // namespace
} // namespace trawl::exif
