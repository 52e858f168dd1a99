#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

const Bytes ftyp = box("ftyp", text("isom"));

Bytes mvhd(std::uint8_t version, std::uint32_t timescale, std::uint64_t duration) {
  if (version == 1) {
    return box("mvhd", cat({{1, 0, 0, 0},
                            Bytes(16, 0),
                            be32(timescale),
                            be32(static_cast<std::uint32_t>(duration >> 32U)),
                            be32(static_cast<std::uint32_t>(duration))}));
  }
  return box("mvhd", cat({Bytes(12, 0), be32(timescale), be32(static_cast<std::uint32_t>(duration)),
                          Bytes(4, 0)}));
}

TEST(Mp4Extractor, BoxWalk) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty file-type box", box("ftyp", {}), "{top_level_boxes=[{size=8 type=\"ftyp\"}]}"},
      {"brands, two stray bytes ignored",
       box("ftyp", cat({text("isom"), be32(512), text("isomiso2mp41"), {1, 2}})),
       "{compatible_brands=[\"isom\" \"iso2\" \"mp41\"] major_brand=\"isom\" minor_version=512 "
       "top_level_boxes=[{size=30 type=\"ftyp\"}]}"},
      {"short file-type payload", box("ftyp", text("isom\0\0"sv)),
       "{major_brand=\"isom\" top_level_boxes=[{size=14 type=\"ftyp\"}]}"},
      {"size 0 reaches the end", cat({ftyp, be32(0), text("mdat"), Bytes(5, 0)}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"} {size=13 type=\"mdat\"}]}"},
      {"64-bit size", cat({ftyp, be32(1), text("mdat"), be32(0), be32(17), {9}}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"} {size=17 type=\"mdat\"}]}"},
      {"size 1 without room for the 64-bit size", cat({ftyp, be32(1), text("mdat"), Bytes(4, 0)}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"}]}"},
      {"size below the header ends the walk", cat({ftyp, be32(7), text("free"), ftyp}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"}]}"},
      {"box past the data ends the walk", cat({ftyp, be32(100), text("free"), Bytes(8, 0)}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"}]}"},
      {"trailing bytes under 8 are ignored", cat({ftyp, Bytes(7, 0)}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"}]}"},
      {"movie header version 0", cat({ftyp, box("moov", mvhd(0, 1000, 12345))}),
       "{duration_seconds=12.345 duration_units=12345 major_brand=\"isom\" timescale=1000 "
       "top_level_boxes=[{size=12 type=\"ftyp\"} {size=40 type=\"moov\"}]}"},
      {"movie header version 1", cat({ftyp, box("moov", mvhd(1, 10, 0x100000000ULL))}),
       "{duration_seconds=429496729.6 duration_units=4294967296 major_brand=\"isom\" "
       "timescale=10 top_level_boxes=[{size=12 type=\"ftyp\"} {size=48 type=\"moov\"}]}"},
      {"time scale 0 gives no seconds", cat({ftyp, box("moov", mvhd(0, 0, 5))}),
       "{duration_units=5 major_brand=\"isom\" timescale=0 "
       "top_level_boxes=[{size=12 type=\"ftyp\"} {size=40 type=\"moov\"}]}"},
      {"movie header inside a track is not seen",
       cat({ftyp, box("moov", box("trak", mvhd(0, 1000, 1)))}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"} {size=48 type=\"moov\"}]}"},
      // A bad box ends only the walk of its "moov"; the outer walk goes on after it.
      {"bad box inside moov",
       cat({ftyp, box("moov", cat({be32(3), text("junk")})), box("free", {})}),
       "{major_brand=\"isom\" top_level_boxes=[{size=12 type=\"ftyp\"} {size=16 type=\"moov\"} "
       "{size=8 type=\"free\"}]}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(render(parsed(c.data, "mp4")), c.expected);
  }
}

// Nested "moov" boxes (each followed, inside its parent, by a "free" box when `trailing`) with
// the movie header at the bottom.
Bytes nested_moov(std::size_t depth, bool trailing) {
  const Bytes tail = trailing ? box("free", {}) : Bytes{};
  const Bytes inner = mvhd(0, 1000, 1500);
  Bytes out;
  out.reserve(depth * (8 + tail.size()) + inner.size());
  for (std::size_t i = 0; i < depth; ++i) {
    const std::size_t size = (8 + tail.size()) * (depth - i) + inner.size();
    const Bytes header = cat({be32(static_cast<std::uint32_t>(size)), text("moov")});
    out.insert(out.end(), header.begin(), header.end());
  }
  out.insert(out.end(), inner.begin(), inner.end());
  for (std::size_t i = 0; i < depth; ++i) {
    out.insert(out.end(), tail.begin(), tail.end());
  }
  return out;
}

TEST(Mp4Extractor, DeepNestingNeedsNoCallStack) {
  for (const bool trailing : {false, true}) {
    SCOPED_TRACE(trailing ? "a box after every moov" : "moov boxes only");
    const std::size_t depth = trailing ? 200000 : 1000000;
    const Bytes data = cat({ftyp, nested_moov(depth, trailing), box("free", {})});
    const auto started = std::chrono::steady_clock::now();
    // The thorough reading looks into every "moov" for tracks as well.
    const Map mp4 = parsed(data, "mp4", testing::thorough());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(mp4.at("duration_seconds").as_float(), 1.5);
    const List& boxes = mp4.at("top_level_boxes").as_list();
    ASSERT_EQ(boxes.size(), 3U);
    EXPECT_EQ(boxes[1].as_map().at("type").as_string(), "moov");
    EXPECT_EQ(boxes[2].as_map().at("type").as_string(), "free");
  }
}

Bytes elf(std::uint8_t cls, std::uint8_t data, std::uint8_t abi, Bytes type_machine) {
  return cat({{0x7F, 'E', 'L', 'F', cls, data, 1, abi}, Bytes(8, 0), type_machine});
}

TEST(ElfExtractor, HeaderLabels) {
  struct Case {
    const char* name;
    Bytes data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"AArch64 Linux shared object", elf(2, 1, 3, {3, 0, 183, 0}),
       "{abi=\"Linux\" class=\"64-bit\" endianness=\"little\" machine=\"AArch64\" "
       "type=\"shared object\"}"},
      {"big-endian ARM executable", elf(1, 2, 0, {0, 2, 0, 40}),
       "{abi=\"System V\" class=\"32-bit\" endianness=\"big\" machine=\"ARM\" "
       "type=\"executable\"}"},
      {"x86 Solaris executable", elf(1, 1, 6, {2, 0, 3, 0}),
       "{abi=\"Solaris\" class=\"32-bit\" endianness=\"little\" machine=\"x86\" "
       "type=\"executable\"}"},
      {"same bytes little-endian", elf(1, 1, 0, {0, 2, 0, 40}),
       "{abi=\"System V\" class=\"32-bit\" endianness=\"little\" machine=\"other\" "
       "type=\"other\"}"},
      {"odd class, data and ABI bytes", elf(7, 0, 255, {4, 0, 243, 0}),
       "{abi=\"other\" class=\"32-bit\" endianness=\"big\" machine=\"other\" type=\"other\"}"},
      {"RISC-V core dump, FreeBSD", elf(2, 1, 9, {4, 0, 243, 0}),
       "{abi=\"FreeBSD\" class=\"64-bit\" endianness=\"little\" machine=\"RISC-V\" "
       "type=\"core dump\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(render(parsed(c.data, "elf")), c.expected);
  }
  const Bytes full = elf(2, 1, 3, {3, 0, 183, 0});
  EXPECT_EQ(errors_of(Bytes(full.begin(), full.begin() + 19)),
            std::vector<std::string>{"elf: I/O error: failed to fill whole buffer"});
}

// A full box: version and flags, then the payload.
Bytes full(std::string_view type, std::uint32_t flags, const Bytes& payload) {
  return box(type, cat({be32(flags), payload}));
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
      box("moov", cat({mvhd(0, 1000, 0), trak(1, 1000, 0, "vide", {}), box("mvex", trex(1, 40))}));
  const std::vector<Case> cases = {
      {"video and audio",
       cat({ftyp, box("moov", cat({mvhd(0, 1000, 2000), video,
                                   trak(2, 44100, 88200, "soun", audio_entry)}))}),
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
       cat({ftyp, box("moov", cat({mvhd(0, 1000, 500), trak(1, 1000, 500, "vide", {})})),
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
  const Bytes movie = box("moov", mvhd(0, 600, 1200));
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

struct Segment {
  std::uint32_t type = 0;
  Bytes body;
  std::optional<std::uint64_t> file_size = std::nullopt; // in place of the body's size
};

struct Elf {
  bool wide = true;
  bool big = false;
  std::uint16_t type = 3;
  std::uint16_t machine = 62;
  std::vector<Segment> segments = {};
  std::uint16_t entry_size = 0; // 0: the layout's size
  bool count_in_section_header = false;
};

// File header, program headers, then the segments' bodies in order; with
// count_in_section_header, e_phnum is PN_XNUM and section header 0 follows the bodies.
Bytes build(const Elf& e) {
  const std::size_t word = e.wide ? 8 : 4;
  const std::size_t header = e.wide ? 64 : 52;
  const std::size_t entry = e.entry_size != 0 ? e.entry_size : (e.wide ? 56 : 32);
  auto p = [&](std::uint64_t v, std::size_t width) { return uint_bytes(v, width, e.big); };
  std::uint64_t at = header + entry * e.segments.size();
  Bytes table;
  Bytes bodies;
  for (const Segment& s : e.segments) {
    const std::uint64_t size = s.file_size.value_or(s.body.size());
    const Bytes zero = p(0, word);
    Bytes ph = e.wide ? cat({p(s.type, 4), p(4, 4), p(at, 8), zero, zero, p(size, 8), zero, zero})
                      : cat({p(s.type, 4), p(at, 4), zero, zero, p(size, 4), zero, zero, zero});
    ph.resize(entry, 0);
    table = cat({table, ph});
    bodies = cat({bodies, s.body});
    at += s.body.size();
  }
  const std::uint64_t count = e.count_in_section_header ? 0xFFFF : e.segments.size();
  const std::uint64_t section_headers = e.count_in_section_header ? at : 0;
  Bytes out = cat({{0x7F, 'E', 'L', 'F', static_cast<std::uint8_t>(e.wide ? 2 : 1),
                    static_cast<std::uint8_t>(e.big ? 2 : 1), 1, 0},
                   Bytes(8, 0),
                   p(e.type, 2),
                   p(e.machine, 2),
                   p(1, 4),
                   p(0, word),
                   p(header, word),
                   p(section_headers, word),
                   p(0, 4),
                   p(header, 2),
                   p(entry, 2),
                   p(count, 2),
                   p(0, 2),
                   p(0, 2),
                   p(0, 2),
                   table,
                   bodies});
  if (e.count_in_section_header) {
    Bytes section(e.wide ? 64 : 40, 0);
    const Bytes info = p(e.segments.size(), 4);
    std::copy(info.begin(), info.end(), section.begin() + (e.wide ? 44 : 28));
    out = cat({out, section});
  }
  return out;
}

// Dynamic entries (tag, value) of a 64-bit little-endian file.
Bytes dynamic(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) {
  Bytes out;
  for (const auto& [tag, value] : entries) {
    out = cat({out, uint_bytes(tag, 8, false), uint_bytes(value, 8, false)});
  }
  return out;
}

constexpr std::uint32_t pt_interp = 3;
constexpr std::uint32_t pt_dynamic = 2;
constexpr std::uint64_t dt_flags_1 = 0x6FFFFFFB;
constexpr std::uint64_t pie_and_now = 0x08000001;
const Segment loader{pt_interp, text("/lib64/ld-linux-x86-64.so.2\0"sv)};

TEST(ElfDetails, ProgramHeadersInThoroughMode) {
  struct Case {
    const char* name;
    Elf elf;
    std::string expected; // interpreter, machine, pie and type as rendered
  };
  const std::vector<Case> cases = {
      {"PIE naming its loader",
       {.segments = {loader, {pt_dynamic, dynamic({{1, 5}, {dt_flags_1, pie_and_now}, {0, 0}})}}},
       "/lib64/ld-linux-x86-64.so.2 x86-64 true executable"},
      // libc.so.6 names a loader and is run, yet readelf and the loader call it a library.
      {"shared object naming a loader",
       {.segments = {loader, {pt_dynamic, dynamic({{dt_flags_1, 1}, {0, 0}})}}},
       "/lib64/ld-linux-x86-64.so.2 x86-64 false shared object"},
      {"static PIE",
       {.segments = {{pt_dynamic, dynamic({{dt_flags_1, pie_and_now}})}}},
       "- x86-64 true executable"},
      {"the end entry comes before the flags",
       {.segments = {{pt_dynamic, dynamic({{0, 0}, {dt_flags_1, pie_and_now}})}}},
       "- x86-64 false shared object"},
      {"PIE flag of a fixed-address executable",
       {.type = 2, .segments = {{pt_dynamic, dynamic({{dt_flags_1, pie_and_now}})}}},
       "- x86-64 false executable"},
      {"32-bit big-endian MIPS",
       {.wide = false,
        .big = true,
        .type = 2,
        .machine = 8,
        .segments = {{pt_interp, text("/lib/ld.so.1\0"sv)}}},
       "/lib/ld.so.1 MIPS R3000 false executable"},
      {"separate debug file keeps no path",
       {.segments = {{pt_interp, {}}}},
       "- x86-64 false shared object"},
      {"path cut by the end of the file",
       {.segments = {{pt_interp, text("/lib/l"), 28}}},
       "/lib/l x86-64 false shared object"},
      {"entries shorter than the layout",
       {.segments = {loader}, .entry_size = 40},
       "- x86-64 false shared object"},
      {"count in the first section header",
       {.segments = {loader}, .count_in_section_header = true},
       "/lib64/ld-linux-x86-64.so.2 x86-64 false shared object"},
      {"wider entries",
       {.segments = {loader}, .entry_size = 64},
       "/lib64/ld-linux-x86-64.so.2 x86-64 false shared object"},
      {"machine 0", {.machine = 0}, "- None false shared object"},
      {"Alpha's unofficial number", {.machine = 0x9026}, "- Alpha false shared object"},
      {"machine outside the table", {.machine = 0x1234}, "- other false shared object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes data = build(c.elf);
    const Map m = parsed(data, "elf", thorough());
    const auto interp = m.find("interpreter");
    EXPECT_EQ((interp == m.end() ? "-" : interp->second.as_string()) + " " +
                  m.at("machine").as_string() + " " + render(m.at("pie")) + " " +
                  m.at("type").as_string(),
              c.expected);
    const Map plain = parsed(data, "elf");
    EXPECT_EQ(plain.size(), 5U);
    EXPECT_EQ(plain.at("type").as_string(), c.elf.type == 2 ? "executable" : "shared object");
  }
}

TEST(ElfDetails, BothReadingsNameTheDefaultMachinesAlike) {
  for (const std::uint16_t machine : std::vector<std::uint16_t>{3, 40, 62, 183, 243, 8}) {
    SCOPED_TRACE(machine);
    const Bytes data = build({.machine = machine});
    const std::string plain = parsed(data, "elf").at("machine").as_string();
    const std::string named = parsed(data, "elf", thorough()).at("machine").as_string();
    EXPECT_EQ(named == plain, machine != 8);
  }
}

TEST(ElfDetails, OddClassGetsTheMachineOnly) {
  Bytes data = build({.machine = 22});
  data[4] = 7;
  const Map m = parsed(data, "elf", thorough());
  EXPECT_EQ(render(m), "{abi=\"System V\" class=\"32-bit\" endianness=\"little\" "
                       "machine=\"IBM S/390\" type=\"shared object\"}");
}

} // namespace
} // namespace trawl
