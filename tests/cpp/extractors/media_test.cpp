#include <chrono>
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

} // namespace
} // namespace trawl
