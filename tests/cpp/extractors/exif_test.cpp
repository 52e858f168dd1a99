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

TEST(ExifExtractor, GroupsFieldsByDirectoryAndKeepsTheLaterDuplicate) {
  const Map exif = parsed(tiff({.ifd0 = {TiffEntry{256, 4, 1, be32(1)}, ascii(270, "first\0"sv),
                                         TiffEntry{256, 4, 1, be32(3)}},
                                .exif = {{36864, 7, 4, text("0232")}},
                                .ifd1 = {ascii(270, "thumb\0"sv), {65000, 3, 1, {0, 9}}}}),
                          "exif");
  // No "gps_decimal" without a position.
  EXPECT_EQ(
      render(Value(exif)),
      "{primary={ExifVersion=\"2.32\" ImageDescription=\"\"first\"\" ImageWidth=\"3 pixels\"} "
      "thumbnail={ImageDescription=\"\"thumb\"\" Tag(Tiff, 65000)=\"9\"}}");
}

TEST(ExifExtractor, GpsPositionInSignedDecimalDegrees) {
  const TiffEntry paris_lat = rationals(2, {{48, 1}, {51, 1}, {2964, 100}});
  const TiffEntry paris_lon = rationals(4, {{2, 1}, {21, 1}, {0, 1}});
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
      {"signed rationals give no position",
       {rationals(2, {{1, 1}, {0, 1}, {0, 1}}, 10), paris_lon},
       {}},
      {"two components give no position", {rationals(2, {{1, 1}, {0, 1}}), paris_lon}, {}},
      {"latitude alone gives no position", {paris_lat}, {}},
      // A zero denominator would make an infinite or undefined coordinate.
      {"zero denominator gives no position",
       {paris_lat, rationals(4, {{2, 0}, {21, 1}, {0, 1}})},
       {}},
      {"zero over zero gives no position", {rationals(2, {{0, 0}, {0, 1}, {0, 1}}), paris_lon}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map exif = parsed(tiff({.ifd0 = {TiffEntry{256, 4, 1, be32(1)}}, .gps = c.gps}), "exif");
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
