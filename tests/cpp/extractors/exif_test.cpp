#include <optional>
#include <string>
#include <vector>

#include "exif/reader.hpp"
#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

TiffEntry ascii(std::uint16_t tag, std::string_view s) {
  return {tag, 2, static_cast<std::uint32_t>(s.size()), text(s)};
}

TiffEntry dms(std::uint16_t tag, std::vector<std::uint32_t> parts, std::uint16_t type = 5) {
  Bytes b;
  for (const auto v : parts) {
    b = cat({b, be32(v)});
  }
  return {tag, type, static_cast<std::uint32_t>(parts.size() / 2), b};
}

TiffEntry width(std::uint32_t w) {
  return {256, 4, 1, be32(w)};
}

TEST(ExifExtractor, GroupsFieldsByDirectoryAndKeepsTheLaterDuplicate) {
  const Map exif = parsed(tiff({.ifd0 = {width(1), ascii(270, "first\0"sv), width(3)},
                                .exif = {{36864, 7, 4, text("0232")}},
                                .ifd1 = {ascii(270, "thumb\0"sv), {65000, 3, 1, {0, 9}}}}),
                          "exif");
  const Map& primary = exif.at("primary").as_map();
  EXPECT_EQ(primary.at("ImageWidth").as_string(), "3 pixels");
  EXPECT_EQ(primary.at("ImageDescription").as_string(), "\"first\"");
  EXPECT_EQ(primary.at("ExifVersion").as_string(), "2.32");
  EXPECT_EQ(primary.size(), 3U);
  const Map& thumbnail = exif.at("thumbnail").as_map();
  EXPECT_EQ(thumbnail.at("ImageDescription").as_string(), "\"thumb\"");
  EXPECT_EQ(thumbnail.at("Tag(Tiff, 65000)").as_string(), "9");
  EXPECT_FALSE(exif.contains("gps_decimal"));
}

// A limit that ends the walk marks the directory it cut; the chain's own limit of 8 top-level
// IFDs cuts nothing a real file holds.
TEST(ExifExtractor, LimitsMarkTheDirectoryTheyCut) {
  using testing::uniform_ifd;
  const Bytes header = cat({text("MM"), be16(42), be32(8)});
  struct Case {
    const char* name;
    Bytes data;
    std::string truncated;
    std::size_t thumbnail_keys;
    std::string numbered; // the directories after the thumbnail
  };
  const std::vector<Case> cases = {
      {"distinct tags in every context", cat({header, uniform_ifd(65535, 0, 1, 8, 8)}),
       "[\"primary\"]", 0, ""},
      {"limit reached in the thumbnail",
       cat({header, uniform_ifd(1, 256, 0, 1, 26), uniform_ifd(65535, 0, 1, 26, 0)}),
       "[\"thumbnail\"]", exif::max_fields - 1, ""},
      {"top-level chain back to itself", cat({header, uniform_ifd(1, 256, 0, 1, 8)}), "", 1,
       "ifd2 ifd3 ifd4 ifd5 ifd6 ifd7 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map exif = parsed(c.data, "exif");
    EXPECT_EQ(exif.contains("truncated") ? testing::render(exif.at("truncated")) : "", c.truncated);
    EXPECT_EQ(exif.contains("thumbnail") ? exif.at("thumbnail").as_map().size() : 0,
              c.thumbnail_keys);
    std::string numbered;
    for (const auto& [key, value] : exif) {
      numbered += key.starts_with("ifd") ? key + " " : "";
    }
    EXPECT_EQ(numbered, c.numbered);
  }
}

TEST(ExifExtractor, GpsPositionInSignedDecimalDegrees) {
  const TiffEntry paris_lat = dms(2, {48, 1, 51, 1, 2964, 100});
  const TiffEntry paris_lon = dms(4, {2, 1, 21, 1, 0, 1});
  struct Case {
    const char* name;
    std::vector<TiffEntry> gps;
    std::optional<std::pair<double, double>> expected;
  };
  const std::vector<Case> cases = {
      {"north and west",
       {ascii(1, "N\0"sv), paris_lat, ascii(3, "W\0"sv), paris_lon},
       std::pair{48.85823333333334, -2.35}},
      {"south and east",
       {ascii(1, "S\0"sv), paris_lat, ascii(3, "E\0"sv), paris_lon},
       std::pair{-48.85823333333334, 2.35}},
      {"missing references are positive",
       {paris_lat, paris_lon},
       std::pair{48.85823333333334, 2.35}},
      {"lower-case and longer references are positive",
       {ascii(1, "s\0"sv), paris_lat, ascii(3, "WEST\0"sv), paris_lon},
       std::pair{48.85823333333334, 2.35}},
      {"signed rationals give no position", {dms(2, {1, 1, 0, 1, 0, 1}, 10), paris_lon}, {}},
      {"two components give no position", {dms(2, {1, 1, 0, 1}), paris_lon}, {}},
      {"latitude alone gives no position", {paris_lat}, {}},
      // A zero denominator would make an infinite or undefined coordinate.
      {"zero denominator gives no position", {paris_lat, dms(4, {2, 0, 21, 1, 0, 1})}, {}},
      {"zero over zero gives no position", {dms(2, {0, 0, 0, 1, 0, 1}), paris_lon}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map exif = parsed(tiff({.ifd0 = {width(1)}, .gps = c.gps}), "exif");
    ASSERT_TRUE(exif.contains("primary"));
    if (!c.expected) {
      EXPECT_FALSE(exif.contains("gps_decimal"));
      continue;
    }
    ASSERT_TRUE(exif.contains("gps_decimal"));
    const Map& position = exif.at("gps_decimal").as_map();
    EXPECT_EQ(position.at("latitude").as_float(), c.expected->first);
    EXPECT_EQ(position.at("longitude").as_float(), c.expected->second);
  }
}

TEST(ExifExtractor, OutcomesOfTheReader) {
  const Bytes png_signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const Bytes ihdr = testing::png_chunk("IHDR", cat({be32(1), be32(1), {8, 6, 0, 0, 0}}));
  struct Case {
    const char* name;
    Bytes data;
    std::vector<std::string> errors;
  };
  const std::vector<Case> cases = {
      {"PNG without EXIF", cat({png_signature, ihdr, testing::png_chunk("IEND", {})}), {}},
      {"PNG cut inside a chunk",
       cat({png_signature, ihdr, be32(100), text("IDAT")}),
       {"exif: Broken PNG file"}},
      {"TIFF whose first directory is missing",
       cat({text("II*\0"sv), Bytes{8, 0, 0, 0}, Bytes(2, 0)}),
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(parsed(c.data, "exif").empty());
    std::vector<std::string> exif_errors;
    for (const auto& e : testing::errors_of(c.data)) {
      if (e.starts_with("exif")) {
        exif_errors.push_back(e);
      }
    }
    EXPECT_EQ(exif_errors, c.errors);
  }
}

TEST(ExifExtractor, OnlySniffedImageTypesAreOffered) {
  const ExifExtractor exif;
  for (const auto& [mime, offered] :
       std::vector<std::pair<std::optional<std::string_view>, bool>>{{"image/jpeg", true},
                                                                     {"image/heic", true},
                                                                     {"image/webp", true},
                                                                     {"image/x-canon-cr2", false},
                                                                     {"image/avif", false},
                                                                     {std::nullopt, false}}) {
    Probe probe;
    probe.mime = mime;
    EXPECT_EQ(exif.supports(probe), offered) << mime.value_or("none");
  }
  // A BigTIFF head has no sniffed type: the thorough reading alone takes it.
  for (const auto head : {"II\x2B\0"sv, "MM\0\x2B"sv, "II\x2A\0"sv}) {
    const Bytes bytes = text(head);
    Probe probe;
    probe.head = bytes;
    EXPECT_FALSE(exif.supports(probe));
    probe.thorough = true;
    EXPECT_EQ(exif.supports(probe), head[2] == '\x2B' || head[3] == '\x2B');
  }
}

} // namespace
} // namespace trawl
