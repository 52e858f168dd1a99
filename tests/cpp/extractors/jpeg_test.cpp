#include <array>
#include <string>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

// ITU-T T.81 Table K.1, row by row.
constexpr std::array<unsigned, 64> table_k1 = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// The zigzag sequence walked diagonal by diagonal, alternating direction.
std::array<unsigned, 64> zigzag_positions() {
  std::array<unsigned, 64> out{};
  std::size_t k = 0;
  for (unsigned sum = 0; sum <= 14; ++sum) {
    for (unsigned i = 0; i <= sum; ++i) {
      const unsigned row = sum % 2 == 0 ? sum - i : i;
      const unsigned col = sum - row;
      if (row < 8 && col < 8) {
        out.at(k++) = row * 8 + col;
      }
    }
  }
  return out;
}

// libjpeg's jpeg_quality_scaling and jpeg_add_quant_table, stored in zigzag order.
Bytes ijg_table(unsigned quality) {
  const unsigned scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
  Bytes out;
  for (const unsigned pos : zigzag_positions()) {
    out.push_back(
        static_cast<std::uint8_t>(std::clamp((table_k1.at(pos) * scale + 50) / 100, 1U, 255U)));
  }
  return out;
}

TEST(EstimateIjgQuality, RecoversEveryIjgQuality) {
  for (unsigned q = 1; q <= 100; ++q) {
    EXPECT_EQ(estimate_ijg_quality(ijg_table(q)), q);
  }
  // A table between two qualities (the element-wise mean, rounded down) is nearer the upper
  // one only with libjpeg's rounding of each scaled element.
  for (const unsigned q : {10U, 50U, 75U, 90U}) {
    Bytes between = ijg_table(q);
    const Bytes upper = ijg_table(q + 1);
    for (std::size_t k = 0; k < between.size(); ++k) {
      between[k] = static_cast<std::uint8_t>((between[k] + upper[k]) / 2);
    }
    EXPECT_EQ(estimate_ijg_quality(between), q + 1) << q;
  }
  EXPECT_EQ(estimate_ijg_quality(Bytes(64, 1)), 100U);
  EXPECT_EQ(estimate_ijg_quality(Bytes(64, 255)), 1U);
}

const Bytes soi = {0xFF, 0xD8};
const Bytes jfif = cat({text("JFIF\0"sv), {1, 1, 1, 0, 72, 0, 72, 0, 0}});

TEST(JpegExtractor, WalkStopsAndSkipsAsMarkersSay) {
  struct Case {
    const char* name;
    Bytes data;
    std::vector<std::string> markers; // marker@offset
    std::optional<std::uint64_t> scan;
  };
  const Bytes sos = jpeg_segment(0xDA, Bytes(10, 0));
  const Case cases[] = {
      {"three bytes", {0xFF, 0xD8, 0xFF}, {}, {}},
      {"end of image first", cat({soi, {0xFF, 0xD9, 0, 0}}), {}, {}},
      {"restart markers and a second SOI",
       cat({soi, {0xFF, 0xD0, 0xFF, 0xD7, 0xFF, 0xD8}, sos}),
       {"FFDA@8"},
       22},
      {"stray bytes",
       cat({soi, jpeg_segment(0xFE, text("x")), {0x00, 0x12}, sos}),
       {"FFFE@2", "FFDA@9"},
       23},
      {"fill bytes read as a segment",
       cat({soi, {0xFF, 0xFF, 0x00, 0x02}, sos}),
       {"FFFF@2", "FFDA@6"},
       20},
      {"length below two still advances",
       cat({soi, {0xFF, 0xE5, 0x00, 0x00, 0xFF, 0xFF}, sos}),
       {"FFE5@2", "FFFF@6"},
       {}},
      {"scan offset past the data",
       cat({soi, {0xFF, 0xDA, 0x01, 0x00, 0x00, 0x00}}),
       {"FFDA@2"},
       260},
      {"segment past the data ends the walk",
       cat({soi, {0xFF, 0xFE, 0x00, 0x40}, sos}),
       {"FFFE@2"},
       {}},
      {"nothing after the scan is listed",
       cat({soi, sos, jpeg_segment(0xFE, text("x"))}),
       {"FFDA@2"},
       16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Map jpeg = parsed(c.data, "jpeg");
    std::vector<std::string> markers;
    for (const Value& s : jpeg.at("segments").as_list()) {
      markers.push_back(s.as_map().at("marker").as_string() + "@" +
                        std::to_string(s.as_map().at("offset").as_uint()));
    }
    EXPECT_EQ(markers, c.markers);
    EXPECT_EQ(jpeg.contains("scan_data_offset"), c.scan.has_value());
    if (c.scan) {
      EXPECT_EQ(jpeg.at("scan_data_offset").as_uint(), *c.scan);
    }
  }
}

TEST(JpegExtractor, SegmentFacts) {
  const Bytes data =
      cat({soi, jpeg_segment(0xE0, jfif), jpeg_segment(0xE1, text("Exif\0\0"sv)),
           jpeg_segment(0xE1, text("Exif\0\xFF"sv)),
           jpeg_segment(0xE2, text("ICC_PROFILE\0\x01\x01"sv)),
           jpeg_segment(0xED, text("Photoshop 3.0\0\x38"sv)), jpeg_segment(0xFE, text("Hi\0\0"sv)),
           jpeg_segment(0xFE, text("\xFF")), jpeg_segment(0xDA, Bytes(10, 0))});
  // Payloads named only after their whole signature; comments only when they are text.
  EXPECT_EQ(render(parsed(data, "jpeg").at("segments")),
            "[{density=\"72x72 dpi\" jfif_version=\"1.01\" length=16 marker=\"FFE0\" name=\"APP0\" "
            "offset=2} {length=8 marker=\"FFE1\" name=\"APP1\" offset=20 payload=\"EXIF\"} "
            "{length=8 marker=\"FFE1\" name=\"APP1\" offset=30} {length=16 marker=\"FFE2\" "
            "name=\"APP2\" offset=40 payload=\"ICC profile\"} {length=17 marker=\"FFED\" "
            "name=\"APP13\" offset=58 payload=\"Photoshop IRB (IPTC likely)\"} {comment=\"Hi\" "
            "length=6 marker=\"FFFE\" name=\"COM (comment)\" offset=77} {length=3 marker=\"FFFE\" "
            "name=\"COM (comment)\" offset=85} {length=12 marker=\"FFDA\" name=\"SOS (scan "
            "start)\" offset=90}]");
}

TEST(JpegExtractor, FrameQualityAndXmp) {
  struct Case {
    const char* name;
    Bytes segments;
    std::string expected; // key=value pairs of the namespace's scalar facts
  };
  const auto frame = [](std::uint8_t code, std::uint8_t components) {
    return jpeg_segment(code, {8, 0x01, 0xE0, 0x02, 0x80, components});
  };
  const auto dqt = [](std::uint8_t id, unsigned quality) {
    return jpeg_segment(0xDB, cat({{id}, ijg_table(quality)}));
  };
  const Bytes xmp = cat({text("http://ns.adobe.com/xap/1.0/\0"sv), text("<x>\xC3\xA9</x>")});
  const Case cases[] = {
      {"baseline", frame(0xC0, 3), "8 480x640 3 YCbCr/RGB progressive=0"},
      {"progressive with two components", frame(0xC2, 2), "8 480x640 2 unknown progressive=1"},
      {"SOF1 sets facts", frame(0xC1, 1), "8 480x640 1 grayscale progressive=0"},
      {"SOF5 does not", frame(0xC5, 1), ""},
      {"short frame payload", jpeg_segment(0xC0, {8, 0, 1, 0, 1}), ""},
      {"first table 0 wins", cat({dqt(0, 90), dqt(0, 50)}), "q=90"},
      {"table 1 first is skipped", cat({dqt(1, 90), dqt(0, 75)}), "q=75"},
      {"64-byte table is too short", jpeg_segment(0xDB, Bytes(64, 0)), ""},
      {"xmp packet bytes", jpeg_segment(0xE1, xmp), "xmp=9"},
      {"invalid xmp packet", jpeg_segment(0xE1, cat({xmp, {0xFF}})), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Map jpeg = parsed(cat({soi, c.segments, jpeg_segment(0xDA, Bytes(10, 0))}), "jpeg");
    std::string got;
    if (jpeg.contains("width")) {
      got = std::to_string(jpeg.at("bit_depth").as_uint()) + " " +
            std::to_string(jpeg.at("height").as_uint()) + "x" +
            std::to_string(jpeg.at("width").as_uint()) + " " +
            std::to_string(jpeg.at("components").as_uint()) + " " +
            jpeg.at("color_space_guess").as_string() +
            " progressive=" + (jpeg.at("progressive").as_bool() ? "1" : "0");
    }
    if (jpeg.contains("quality_estimate")) {
      got += "q=" + std::to_string(jpeg.at("quality_estimate").as_uint());
    }
    if (jpeg.contains("xmp_packet_chars")) {
      got += "xmp=" + std::to_string(jpeg.at("xmp_packet_chars").as_uint());
    }
    EXPECT_EQ(got, c.expected);
  }
}

} // namespace
} // namespace trawl
