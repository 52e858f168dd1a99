#include <optional>
#include <string>
#include <vector>

#include "extractors/extractors.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace std::string_view_literals;
using testing::Bytes;
using testing::cat;
using testing::parsed;
using testing::render;
using testing::text;
using testing::thorough;

// Integers of either width and byte order.
Bytes put(std::uint64_t v, std::size_t width, bool big) {
  Bytes out(width);
  for (std::size_t i = 0; i < width; ++i) {
    out[big ? width - 1 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return out;
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
  auto p = [&](std::uint64_t v, std::size_t width) { return put(v, width, e.big); };
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
    out = cat({out, put(tag, 8, false), put(value, 8, false)});
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
