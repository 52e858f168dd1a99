#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace std::string_view_literals;
using testing::be16;
using testing::be32;
using testing::box;
using testing::Bytes;
using testing::cat;
using testing::parsed;
using testing::render;
using testing::text;
using testing::thorough;

const Bytes ftyp = box("ftyp", text("isom"));

// A full box: version and flags, then the payload.
Bytes full(std::string_view type, std::uint32_t flags, const Bytes& payload) {
  return box(type, cat({be32(flags), payload}));
}
Bytes mvhd(std::uint32_t timescale, std::uint32_t duration) {
  return full("mvhd", 0, cat({Bytes(8, 0), be32(timescale), be32(duration), Bytes(4, 0)}));
}
// A track: ID, media time scale and duration, handler and one sample entry (empty: none).
Bytes trak(std::uint32_t id, std::uint32_t timescale, std::uint32_t duration,
           std::string_view handler, const Bytes& entry) {
  const Bytes stsd = full("stsd", 0, cat({be32(entry.empty() ? 0 : 1), entry}));
  return box(
      "trak",
      cat({full("tkhd", 3, cat({Bytes(8, 0), be32(id), Bytes(64, 0)})),
           box("mdia", cat({full("mdhd", 0, cat({Bytes(8, 0), be32(timescale), be32(duration)})),
                            full("hdlr", 0, cat({Bytes(4, 0), text(handler), Bytes(12, 0)})),
                            box("minf", box("stbl", stsd))}))}));
}
// Visual sample entry: 8 bytes of sample entry, 16 reserved, width, height, the rest.
Bytes visual(std::string_view codec, std::uint16_t width, std::uint16_t height) {
  return box(codec, cat({Bytes(24, 0), be16(width), be16(height), Bytes(50, 0)}));
}
const Bytes audio_entry = box("mp4a", Bytes(28, 0));
Bytes trex(std::uint32_t id, std::uint32_t duration) {
  return full("trex", 0, cat({be32(id), be32(1), be32(duration), Bytes(8, 0)}));
}
// A fragment of one run: the header's default duration (flag 8) when given, then the run's
// per-sample durations (flag 0x100) when given, or its sample count.
Bytes moof(std::uint32_t id, std::optional<std::uint32_t> header_default, std::uint32_t count,
           const std::vector<std::uint32_t>& durations = {}) {
  const Bytes tfhd = header_default ? full("tfhd", 8, cat({be32(id), be32(*header_default)}))
                                    : full("tfhd", 0, be32(id));
  Bytes samples;
  for (const std::uint32_t d : durations) {
    samples = cat({samples, be32(d), be32(7)}); // duration and size
  }
  const Bytes trun = full("trun", durations.empty() ? 0 : 0x300, cat({be32(count), samples}));
  return box("moof", box("traf", cat({tfhd, trun})));
}

std::string facts(const Map& m) {
  std::string out;
  for (const char* key : {"video_codec", "width", "height", "audio_codec", "duration_seconds"}) {
    const auto it = m.find(key);
    if (!out.empty()) {
      out += ' ';
    }
    out += it == m.end() ? std::string("-") : render(it->second);
  }
  return out;
}

TEST(Mp4Tracks, CodecsSizeAndFragmentDuration) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected; // video codec, width, height, audio codec, duration
  };
  const Bytes video = trak(1, 12800, 25600, "vide", visual("avc1", 320, 240));
  const Bytes fragmented_movie =
      box("moov", cat({mvhd(1000, 0), trak(1, 1000, 0, "vide", {}), box("mvex", trex(1, 40))}));
  const std::vector<Case> cases = {
      {"video and audio",
       cat({ftyp, box("moov",
                      cat({mvhd(1000, 2000), video, trak(2, 44100, 88200, "soun", audio_entry)}))}),
       "\"avc1\" 320 240 \"mp4a\" 2."},
      {"the first video track",
       box("moov", cat({trak(1, 1, 1, "soun", audio_entry), video,
                        trak(3, 1, 1, "vide", visual("hvc1", 64, 48))})),
       "\"avc1\" 320 240 \"mp4a\" -"},
      {"visual entry too short for the size", box("moov", trak(1, 1, 1, "vide", box("jpeg", {}))),
       "\"jpeg\" - - - -"},
      {"track without a sample entry", box("moov", trak(1, 1, 1, "vide", {})), "- - - - -"},
      {"other handlers", box("moov", trak(1, 1, 1, "text", box("tx3g", {}))), "- - - - -"},
      {"fragments of the movie extends default",
       cat({ftyp, fragmented_movie, moof(1, std::nullopt, 25), moof(1, std::nullopt, 25)}),
       "- - - - 2."},
      {"fragment header default, then per-sample durations",
       cat({ftyp, fragmented_movie, moof(1, 100, 3), moof(1, 100, 3, {10, 20, 30})}),
       "- - - - 0.36"},
      {"samples in the movie box count too",
       cat({ftyp, box("moov", cat({mvhd(1000, 500), trak(1, 1000, 500, "vide", {})})),
            moof(1, 300, 5)}),
       "- - - - 2."},
      {"fragment of an unknown track", cat({ftyp, fragmented_movie, moof(9, 100, 3)}),
       "- - - - 0."},
      {"run claiming more samples than it holds",
       cat({ftyp, fragmented_movie, moof(1, std::nullopt, 1000, {250, 250})}), "- - - - 0.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Files without a file-type box start with "moov" here: read in thorough mode only.
    EXPECT_EQ(facts(parsed(c.data, "mp4", thorough())), c.expected);
    EXPECT_EQ(facts(parsed(c.data, "mp4")).substr(0, 8), "- - - - ");
  }
}

TEST(Mp4Tracks, MovieBoxesStartingQuickTimeFiles) {
  struct Case {
    const char* name;
    Bytes data;
    bool read;
  };
  const Bytes movie = box("moov", mvhd(600, 1200));
  const std::vector<Case> cases = {
      {"wide, then media data", cat({box("wide", {}), box("mdat", Bytes(4, 0)), movie}), true},
      {"movie first", movie, true},
      {"media data to the end", cat({be32(0), text("mdat"), Bytes(9, 0)}), true},
      {"preview", cat({box("pnot", Bytes(12, 0)), movie}), true},
      {"text that reads free", text("Use free software, and more"), false},
      {"unknown first box", cat({box("junk", {}), movie}), false},
      {"box larger than the input", cat({be32(100), text("skip"), Bytes(8, 0)}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parsed(c.data, "mp4", thorough()).contains("top_level_boxes"), c.read);
    EXPECT_FALSE(parsed(c.data, "mp4").contains("top_level_boxes"));
  }
}

} // namespace
} // namespace trawl
