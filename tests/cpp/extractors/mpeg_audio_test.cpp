#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

// One frame: its four header bytes, then zeros up to its length (worked out by hand per row).
Bytes frame(const Bytes& header, std::size_t length) {
  return cat({header, Bytes(length - header.size(), 0)});
}
Bytes frames(const Bytes& header, std::size_t length, std::size_t count) {
  Bytes out;
  for (std::size_t i = 0; i < count; ++i) {
    out = cat({out, frame(header, length)});
  }
  return out;
}

// MPEG 1 layer III, 128 kbps, 44.1 kHz, joint stereo: 417 bytes a frame.
const Bytes l3 = {0xFF, 0xFB, 0x90, 0x64};
// The first frame of a stream with its stream header 32 bytes after the frame header.
Bytes header_frame(const Bytes& stream_header) {
  Bytes f = cat({l3, Bytes(32, 0), stream_header});
  f.resize(417, 0);
  return f;
}
Bytes lame_tag(std::uint32_t delay, std::uint32_t padding) {
  const std::uint32_t both = (delay << 12U) | padding;
  return cat({text("LAME3.100"),
              {0x03},
              Bytes(11, 0),
              {static_cast<std::uint8_t>(both >> 16U), static_cast<std::uint8_t>(both >> 8U),
               static_cast<std::uint8_t>(both)},
              Bytes(12, 0)});
}
Bytes id3_padding(std::uint8_t size) {
  return cat({text("ID3"), {3, 0, 0, 0, 0, 0, size}, Bytes(size, 0)});
}

// The facts of a stream of `l3` frames.
std::string l3_facts(const char* rate, const char* seconds, const char* offset,
                     const char* vbr = nullptr) {
  return std::string("{bitrate_bps=") + rate +
         " channel_mode=\"joint stereo\" channels=2 duration_seconds=" + seconds +
         " first_frame_offset=" + offset + " layer=3 sample_rate=44100 " +
         (vbr != nullptr ? std::string("vbr_header=\"") + vbr + "\" " : "") + "version=\"1\"}";
}

std::string mpeg_of(const Bytes& data) {
  const Map mpeg = parsed(data, "mpeg", thorough());
  return mpeg.empty() ? "none" : render(Value(mpeg));
}

TEST(MpegAudio, FramesAndLength) {
  // A table of 100 bytes flagged, 50 of them there: the lone frame is then not confirmed.
  Bytes xing_cut = header_frame(cat({text("Xing"), be32(4)}));
  xing_cut.resize(94);
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // Without a stream header the length is the bytes from the first frame at its rate.
      {"MPEG 1 layer III", frames(l3, 417, 10), l3_facts("128000", "0.261", "0")},
      {"MPEG 2.5 layer III, 8 kbps, 8 kHz, mono", frames({0xFF, 0xE3, 0x18, 0xC0}, 72, 10),
       "{bitrate_bps=8000 channel_mode=\"mono\" channels=1 duration_seconds=0.72 "
       "first_frame_offset=0 layer=3 sample_rate=8000 version=\"2.5\"}"},
      {"MPEG 2 layer II, 64 kbps, 22.05 kHz", frames({0xFF, 0xF5, 0x80, 0x00}, 417, 10),
       "{bitrate_bps=64000 channel_mode=\"stereo\" channels=2 duration_seconds=0.521 "
       "first_frame_offset=0 layer=2 sample_rate=22050 version=\"2\"}"},
      {"MPEG 1 layer I, 384 kbps, 48 kHz, dual channel", frames({0xFF, 0xFF, 0xC4, 0x80}, 384, 10),
       "{bitrate_bps=384000 channel_mode=\"dual channel\" channels=2 duration_seconds=0.08 "
       "first_frame_offset=0 layer=1 sample_rate=48000 version=\"1\"}"},
      // A header at 30 whose next frame is not there, then the stream at 33.
      {"false sync after the tag", cat({id3_padding(20), {0xFF, 0xFB, 0x90}, frames(l3, 417, 10)}),
       l3_facts("128000", "0.261", "33")},
      {"stacked ID3v2 tags", cat({id3_padding(5), id3_padding(7), frames(l3, 417, 4)}),
       l3_facts("128000", "0.104", "32")},
      {"two frames are enough when nothing better follows", frames(l3, 417, 2),
       l3_facts("128000", "0.052", "0")},
      {"one frame confirms nothing", frame(l3, 417), "none"},
      {"a frame of another rate does not confirm",
       cat({frame(l3, 417), frame({0xFF, 0xFB, 0x94, 0x64}, 384)}), "none"},
      // 100 frames of 1152 samples less 1576 trimmed; 41,700 bytes after the header frame.
      {"Xing with LAME delay and padding",
       cat({header_frame(cat({text("Xing"), be32(0x0F), be32(100), be32(42117), Bytes(100, 0),
                              be32(50), lame_tag(576, 1000)})),
            frames(l3, 417, 3)}),
       l3_facts("127706", "2.577", "0", "Xing")},
      {"Info with a frame count only", header_frame(cat({text("Info"), be32(1), be32(50)})),
       l3_facts("128000", "1.306", "0", "Info")},
      {"Xing without a frame count",
       cat({header_frame(cat({text("Xing"), be32(2), be32(9999)})), frames(l3, 417, 3)}),
       l3_facts("128000", "0.104", "0", "Xing")},
      {"Xing cut short is no stream header", xing_cut, "none"},
      {"VBRI",
       header_frame(cat({text("VBRI"), be16(1), be16(0), be16(75), be32(50000), be32(100), be16(0),
                         be16(1), be16(2), be16(1)})),
       l3_facts("153125", "2.612", "0", "VBRI")},
      {"VBRI of another version", header_frame(cat({text("VBRI"), be16(2), Bytes(20, 0)})), "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(mpeg_of(c.data), c.expected);
  }
}

TEST(MpegAudio, ThoroughOnly) {
  const Bytes mpeg25 = frames({0xFF, 0xE3, 0x18, 0xC0}, 72, 4);
  const Bytes layer2 = frames({0xFF, 0xFD, 0x60, 0x00}, 313, 4); // 96 kbps, 44.1 kHz
  EXPECT_TRUE(parsed(mpeg25, "mpeg").empty());
  // The table of first bytes does not know MPEG 2.5 or layer II; the thorough reading does.
  EXPECT_FALSE(parsed(mpeg25, "file").contains("mime_detected"));
  const Map file = parsed(mpeg25, "file", thorough());
  EXPECT_EQ(file.at("mime_detected").as_string(), "audio/mpeg");
  EXPECT_EQ(file.at("extension_canonical").as_string(), "mp3");
  EXPECT_EQ(parsed(layer2, "file", thorough()).at("extension_canonical").as_string(), "mp2");
}

} // namespace
} // namespace trawl
