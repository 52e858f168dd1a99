// ISO base media files (ISO/IEC 14496-12: MP4, QuickTime, HEIF): outermost boxes, file-type
// brands and movie duration; ELF file headers (System V ABI): class, byte order, ABI, type and
// machine.
#include <array>
#include <vector>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// The four type bytes as text; only a type that decodes to four bytes can name a known box.
std::string box_type(std::span<const std::uint8_t> type) {
  return utf8_lossy(as_chars(type));
}

void read_file_type(Namespace& ns, const ByteReader& p) {
  if (p.size() < 4) {
    return;
  }
  ns.set("major_brand", box_type(*p.bytes_at(0, 4)));
  if (p.size() < 8) {
    return;
  }
  ns.set("minor_version", *p.u32_be_at(4));
  List brands;
  const std::uint64_t cap = 4096;
  for (std::uint64_t at = 8; at + 4 <= p.size(); at += 4) {
    if (brands.size() == cap) {
      mark_truncated(ns, "compatible_brands");
      break;
    }
    brands.emplace_back(box_type(*p.bytes_at(at, 4)));
  }
  if (!brands.empty()) {
    ns.set("compatible_brands", std::move(brands));
  }
}

// Movie header: version 0 has 32-bit times, version 1 a 64-bit duration.
void read_movie_header(Namespace& ns, const ByteReader& p) {
  if (p.size() < 20) {
    return;
  }
  const bool v1 = *p.u8_at(0) == 1 && p.size() >= 32;
  const std::uint32_t timescale = *p.u32_be_at(v1 ? 20 : 12);
  const std::uint64_t duration = v1 ? *p.u64_be_at(24) : *p.u32_be_at(16);
  ns.set("timescale", timescale).set("duration_units", duration);
  if (timescale != 0) {
    ns.set("duration_seconds",
           Value::from_float(round_to(static_cast<double>(duration) / timescale, 3)));
  }
}

// A range of boxes still to walk, and where the walk goes on once it is done.
struct Range {
  std::uint64_t cursor = 0;
  std::uint64_t end = 0;
  std::uint64_t resume = 0;
  bool outermost = true;
};

} // namespace

void walk_boxes(const ByteReader& r, std::uint64_t start, std::uint64_t end, unsigned level,
                List& top_level_boxes, Namespace& ns) {
  // Entering a "moov" saves the enclosing range only when boxes follow the "moov" in it, so a
  // file of nested "moov" boxes needs no stack at all, and any file at most one entry per 8
  // bytes it still has to walk.
  std::vector<Range> pending;
  const std::uint64_t cap = list_cap(r.size(), 1024);
  Range range{start, std::min<std::uint64_t>(end, r.size()), 0, level == 0};
  for (;;) {
    const std::uint64_t at = range.cursor;
    std::uint64_t size = 0;
    std::uint64_t header = 8;
    bool valid = at + 8 <= range.end;
    if (valid) {
      const std::uint32_t size32 = *r.u32_be_at(at);
      size = size32;
      if (size32 == 0) {
        size = range.end - at;
      } else if (size32 == 1 && range.end - at >= 16) {
        size = *r.u64_be_at(at + 8);
        header = 16;
      }
      valid = size >= header && size <= range.end - at;
    }
    if (!valid) {
      if (pending.empty()) {
        return;
      }
      const std::uint64_t resume = range.resume;
      range = pending.back();
      pending.pop_back();
      range.cursor = resume;
      continue;
    }
    const std::string type = box_type(*r.bytes_at(at + 4, 4));
    if (range.outermost && top_level_boxes.size() < cap) {
      Map box;
      box.emplace("type", Value(type));
      box.emplace("size", Value(size));
      top_level_boxes.emplace_back(std::move(box));
    } else if (range.outermost) {
      mark_truncated(ns, "top_level_boxes");
    }
    // Only the boxes read here are loaded; media data is skipped unread.
    const ByteReader payload = *r.sub_at(at + header, size - header);
    range.cursor = at + size;
    if (type == "ftyp") {
      read_file_type(ns, payload);
    } else if (type == "mvhd") {
      read_movie_header(ns, payload);
    } else if (type == "moov") {
      Range inner{at + header, at + size, range.resume, false};
      if (range.cursor + 8 <= range.end) {
        pending.push_back(range);
        inner.resume = range.cursor;
      }
      range = inner;
    }
  }
}

bool Mp4Extractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(4, "ftyp");
}

ExtractResult Mp4Extractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  Namespace ns(name());
  List boxes;
  walk_boxes(*input, 0, input->size(), 0, boxes, ns);
  ns.set("top_level_boxes", std::move(boxes));
  return ns;
}

namespace {

std::string_view abi_label(std::uint8_t code) {
  switch (code) {
  case 0:
    return "System V";
  case 3:
    return "Linux";
  case 6:
    return "Solaris";
  case 9:
    return "FreeBSD";
  default:
    return "other";
  }
}

std::string_view type_label(std::uint16_t code) {
  switch (code) {
  case 1:
    return "relocatable";
  case 2:
    return "executable";
  case 3:
    return "shared object";
  case 4:
    return "core dump";
  default:
    return "other";
  }
}

std::string_view machine_label(std::uint16_t code) {
  switch (code) {
  case 3:
    return "x86";
  case 40:
    return "ARM";
  case 62:
    return "x86-64";
  case 183:
    return "AArch64";
  case 243:
    return "RISC-V";
  default:
    return "other";
  }
}

} // namespace

bool ElfExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head)
      .matches_at(0, "\x7F"
                     "ELF"sv);
}

ExtractResult ElfExtractor::extract(Source& source, const Probe& /*probe*/) const {
  std::array<std::uint8_t, 20> header{};
  if (const auto read = source.read_exact(header); !read) {
    return io_error(read.error());
  }
  const ByteReader r(header);
  const bool little = header[5] == 1;
  const std::uint16_t type = little ? *r.u16_le_at(16) : *r.u16_be_at(16);
  const std::uint16_t machine = little ? *r.u16_le_at(18) : *r.u16_be_at(18);
  Namespace ns(name());
  ns.set("class", header[4] == 2 ? "64-bit" : "32-bit")
      .set("endianness", little ? "little" : "big")
      .set("abi", abi_label(header[7]))
      .set("type", type_label(type))
      .set("machine", machine_label(machine));
  return ns;
}

} // namespace trawl
