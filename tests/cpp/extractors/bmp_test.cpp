#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

Bytes bmp(std::uint32_t dib, std::int32_t width, std::int32_t height, std::uint32_t compression,
          std::size_t size = 54) {
  Bytes out = cat({text("BM"), le32(static_cast<std::uint32_t>(size)), Bytes(8, 0), le32(dib),
                   le32(static_cast<std::uint32_t>(width)),
                   le32(static_cast<std::uint32_t>(height)), le16(1), le16(24), le32(compression)});
  out.resize(size, 0);
  return out;
}

TEST(BmpExtractor, HeaderFields) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
    const char* thorough = nullptr; // when the thorough reading differs
  };
  // The OS/2 core header: 16-bit width, height, planes and bits per pixel.
  Bytes core =
      cat({text("BM"), le32(40), Bytes(8, 0), le32(12), le16(65535), le16(64), le16(1), le16(8)});
  core.resize(40, 0);
  const Case cases[] = {
      {"bottom-up", bmp(40, 640, 480, 0), "640x480 down=0 24 none (BI_RGB)"},
      {"top-down", bmp(124, 640, -480, 3), "640x480 down=1 24 bitfields"},
      {"most negative width", bmp(40, std::numeric_limits<std::int32_t>::min(), 1, 6),
       "2147483648x1 down=0 24 other"},
      {"compression 11", bmp(40, 1, 1, 11), "1x1 down=0 24 other"},
      {"core header of 12 bytes", core, "", "65535x64 down=0 8 none (BI_RGB)"},
      {"info header in a short file", bmp(40, 640, 480, 0, 53), ""},
  };
  for (const auto& c : cases) {
    for (const bool thorough : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (thorough ? " (thorough)" : ""));
      const Map m = parsed(c.data, "bmp", thorough ? testing::thorough() : RunOptions{});
      EXPECT_EQ(m.at("file_size_header").as_uint(), c.data.size());
      std::string got;
      if (m.contains("width")) {
        got = std::to_string(m.at("width").as_uint()) + "x" +
              std::to_string(m.at("height").as_uint()) +
              " down=" + (m.at("top_down").as_bool() ? "1" : "0") + " " +
              std::to_string(m.at("bit_depth").as_uint()) + " " + m.at("compression").as_string();
      }
      EXPECT_EQ(got, thorough && c.thorough != nullptr ? c.thorough : c.expected);
    }
  }
  EXPECT_EQ(errors_of(bmp(40, 1, 1, 0, 29)),
            (std::vector<std::string>{"bmp: malformed bmp: header too short"}));
}

Bytes riff(std::string_view form, const Bytes& chunks) {
  return cat(
      {text("RIFF"), le32(static_cast<std::uint32_t>(chunks.size() + 4)), text(form), chunks});
}
Bytes chunk(std::string_view id, const Bytes& body, std::optional<std::uint32_t> size = {}) {
  return cat({text(id), le32(size.value_or(static_cast<std::uint32_t>(body.size()))), body});
}
const Bytes pcm_format = cat({le16(1), le16(2), le32(44100), le32(176400), le16(4), le16(16)});

TEST(RiffExtractor, FormsAndTheirHeaders) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"bare WAVE", riff("WAVE", {}), "{form_type=\"WAVE\" media_kind=\"audio (WAV)\"}"},
      {"PCM format chunk", riff("WAVE", chunk("fmt ", pcm_format)),
       "{audio_format_tag=1 bits_per_sample=16 channels=2 form_type=\"WAVE\" "
       "media_kind=\"audio (WAV)\" sample_rate=44100}"},
      // An odd-sized chunk has a pad byte: the format chunk is at 12 + 8 + 25 + 1 = 46.
      {"odd chunk padded",
       riff("WAVE", cat({chunk("LIST", Bytes(25, 0)), {0}, chunk("fmt ", pcm_format)})),
       "{audio_format_tag=1 bits_per_sample=16 channels=2 form_type=\"WAVE\" "
       "media_kind=\"audio (WAV)\" sample_rate=44100}"},
      {"format chunk too short", riff("WAVE", chunk("fmt ", Bytes(8, 1))),
       "{form_type=\"WAVE\" media_kind=\"audio (WAV)\"}"},
      {"lossy WebP",
       riff("WEBP",
            chunk("VP8 ", cat({Bytes(3, 0), {0x9D, 0x01, 0x2A}, le16(320 | 0x4000), le16(240)}))),
       "{form_type=\"WEBP\" height=240 media_kind=\"image (WebP)\" webp_format=\"lossy\" "
       "width=320}"},
      {"lossy WebP without its start code",
       riff("WEBP", chunk("VP8 ", cat({Bytes(3, 0), {0x9D, 0x01, 0x2B}, le16(320), le16(240)}))),
       "{form_type=\"WEBP\" media_kind=\"image (WebP)\" webp_format=\"lossy\"}"},
      {"lossless WebP stores size minus one",
       riff("WEBP", chunk("VP8L", cat({{0x2F}, le32((199U) | (149U << 14U))}))),
       "{form_type=\"WEBP\" height=150 media_kind=\"image (WebP)\" webp_format=\"lossless\" "
       "width=200}"},
      {"extended WebP", riff("WEBP", chunk("VP8X", cat({{0x1A, 0, 0, 0}, {63, 0, 0}, {47, 0, 0}}))),
       "{form_type=\"WEBP\" has_alpha=true has_animation=true has_exif=true height=48 "
       "media_kind=\"image (WebP)\" webp_format=\"extended\" width=64}"},
      // Read a byte past the data before the length was checked.
      {"cut after \"VP8\"", cat({text("RIFF"), le32(7), text("WEBPVP8")}),
       "{form_type=\"WEBP\" media_kind=\"image (WebP)\"}"},
      {"alpha chunk first", riff("WEBP", chunk("ALPH", Bytes(20, 0))),
       "{form_type=\"WEBP\" media_kind=\"image (WebP)\"}"},
      {"VP8 with another fourth byte", riff("WEBP", chunk("VP8Q", Bytes(20, 0))),
       "{form_type=\"WEBP\" media_kind=\"image (WebP)\"}"},
      {"truncated AVI", cat({text("RIFF"), le32(0), text("AVI ")}),
       "{form_type=\"AVI \" media_kind=\"video (AVI)\"}"},
      {"form type that is not UTF-8", riff("WAV\xFF"sv, chunk("fmt ", pcm_format)),
       "{form_type=\"WAV\xEF\xBF\xBD\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(render(parsed(c.data, "riff")), c.expected);
  }
  EXPECT_EQ(errors_of(text("RIFF\0\0\0\0WAV"sv)),
            std::vector<std::string>{"riff: malformed riff: header too short"});
}

// Format chunk: tag, channels, sample rate, byte rate, block align, bits per sample.
Bytes format(std::uint16_t tag, std::uint32_t rate, std::uint32_t byte_rate) {
  return chunk("fmt ", cat({le16(tag), le16(1), le32(rate), le32(byte_rate), le16(1), le16(8)}));
}

TEST(WaveDuration, DataOverByteRateOrFactOverRate) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const Bytes pcm = format(1, 1000, 1000);
  const std::vector<Case> cases = {
      {"PCM", riff("WAVE", cat({pcm, chunk("data", Bytes(1234, 0))})), "1.234"},
      {"rounded to milliseconds", riff("WAVE", cat({format(1, 3, 3), chunk("data", {0})})),
       "0.333"},
      {"data running past the end counts the bytes present",
       riff("WAVE", cat({pcm, chunk("data", Bytes(500, 0), 100000)})), "0.5"},
      {"odd chunk with its pad byte before the data",
       riff("WAVE", cat({pcm, chunk("LIST", Bytes(3, 0)), {0}, chunk("data", Bytes(250, 0))})),
       "0.25"},
      {"data before the format", riff("WAVE", cat({chunk("data", Bytes(250, 0)), pcm})), "0.25"},
      {"compressed: the fact chunk's samples",
       riff("WAVE",
            cat({format(2, 8000, 4000), chunk("fact", le32(12000)), chunk("data", Bytes(9, 0))})),
       "1.5"},
      {"compressed without a fact chunk",
       riff("WAVE", cat({format(2, 8000, 4000), chunk("data", Bytes(2000, 0))})), "0.5"},
      {"extensible format ignores the fact chunk",
       riff("WAVE", cat({format(0xFFFE, 8000, 1000), chunk("fact", le32(12000)),
                         chunk("data", Bytes(250, 0))})),
       "0.25"},
      {"byte rate 0", riff("WAVE", cat({format(1, 1000, 0), chunk("data", Bytes(250, 0))})), "-"},
      {"no data chunk", riff("WAVE", pcm), "-"},
      {"no format chunk", riff("WAVE", chunk("data", Bytes(250, 0))), "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Map m = parsed(c.data, "riff", thorough());
    const auto it = m.find("duration_seconds");
    EXPECT_EQ(it == m.end() ? "-" : render(it->second), c.expected);
    EXPECT_FALSE(parsed(c.data, "riff").contains("duration_seconds"));
  }
}

} // namespace
} // namespace trawl
