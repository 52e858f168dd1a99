// ISO base media files (ISO/IEC 14496-12: MP4, QuickTime, HEIF): outermost boxes, file-type
// brands and movie duration; ELF file headers (System V ABI): class, byte order, ABI, type and
// machine.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "../support/byte_reader.hpp"
#include "../support/iso_box.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "media_thorough.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// The four type bytes as text; only a type that decodes to four bytes can name a known box.
std::string box_type(std::span<const std::uint8_t> type) {
  return utf8_lossy(as_chars(type));
}

void read_file_type(Namespace& ns, ByteReader r) {
  const auto major = r.take_fixed<4>();
  if (!major) {
    return;
  }
  ns.set("major_brand", box_type(major->bytes<0, 4>()));
  const auto minor = r.take_fixed<4>();
  if (!minor) {
    return;
  }
  ns.set("minor_version", minor->u32_be<0>());
  List brands;
  const std::uint64_t cap = 4096;
  while (const auto brand = r.take_fixed<4>()) {
    if (brands.size() == cap) {
      mark_truncated(ns, "compatible_brands");
      break;
    }
    brands.emplace_back(box_type(brand->bytes<0, 4>()));
  }
  if (!brands.empty()) {
    ns.set("compatible_brands", std::move(brands));
  }
}

// Movie header: its timescale and duration.
void read_movie_header(Namespace& ns, const ByteReader& p) {
  const auto times = header_times(p);
  if (!times) {
    return;
  }
  const auto [timescale, duration] = times.value_or(HeaderTimes{});
  ns.set("timescale", timescale).set("duration_units", duration);
  if (timescale != 0) {
    ns.set("duration_seconds",
           Value::from_float(round_to(static_cast<double>(duration) / timescale, 3)));
  }
}

// Boxes at one level: the outermost ones are listed, those inside "moov" only read.
struct Level {
  ByteReader boxes;
  bool outermost = true;
};

// Lists the outermost boxes and sets the file-type and movie-header keys; `tracks`, when given,
// reads the movies' tracks and fragments. Entering a "moov" keeps the enclosing level only when
// boxes follow the "moov" in it, so a file of nested "moov" boxes needs no stack at all, and any
// file at most one entry per 8 bytes it still has to walk.
void walk_boxes(const ByteReader& r, List& top_level_boxes, Namespace& ns, Mp4Tracks* tracks) {
  std::vector<Level> pending;
  const std::uint64_t cap = list_cap(r.size(), 1024);
  Level level{r, true};
  for (;;) {
    ByteReader& boxes = level.boxes;
    const auto box = next_box(boxes);
    if (!box) {
      if (pending.empty()) {
        return;
      }
      level = pending.back();
      pending.pop_back();
      continue;
    }
    if (level.outermost && top_level_boxes.size() < cap) {
      Map entry;
      entry.emplace("type", Value(box_type(box->type)));
      entry.emplace("size", Value(box->size));
      top_level_boxes.emplace_back(std::move(entry));
    } else if (level.outermost) {
      mark_truncated(ns, "top_level_boxes");
    }
    // Only the boxes read here are loaded; media data is skipped unread.
    if (box->is("ftyp")) {
      read_file_type(ns, box->payload);
    } else if (box->is("mvhd")) {
      read_movie_header(ns, box->payload);
    } else if (box->is("moof") && tracks != nullptr) {
      tracks->read_fragment(box->payload);
    } else if (box->is("moov")) {
      if (tracks != nullptr) {
        tracks->read_movie(box->payload);
      }
      if (boxes.remaining() >= 8) {
        pending.push_back(level);
      }
      level = Level{box->payload, false};
    }
  }
}

} // namespace

bool Mp4Extractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(4, "ftyp") ||
         (probe.thorough && starts_with_movie_box(probe));
}

ExtractResult Mp4Extractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  Namespace ns(name());
  List boxes;
  Mp4Tracks tracks;
  walk_boxes(*input, boxes, ns, probe.thorough ? &tracks : nullptr);
  ns.set("top_level_boxes", std::move(boxes));
  if (probe.thorough) {
    tracks.report(ns);
  }
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

// The default reading names five machines (in readelf's words), the thorough reading all.
std::string_view machine_label(std::uint16_t code, bool thorough) {
  const bool named = code == 3 || code == 40 || code == 62 || code == 183 || code == 243;
  return thorough || named ? elf_machine_label(code) : "other";
}

} // namespace

bool ElfExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head)
      .matches_at(0, "\x7F"
                     "ELF"sv);
}

ExtractResult ElfExtractor::extract(Source& source, const Probe& probe) const {
  std::array<std::uint8_t, 20> header{};
  if (const auto read = source.read_exact(header); !read) {
    return io_error(read.error());
  }
  // e_ident (class, data encoding, version, ABI), then e_type and e_machine in that encoding.
  const bool little = header[5] == 1;
  const Fixed<20> h(header, little ? ByteOrder::Little : ByteOrder::Big);
  Namespace ns(name());
  ns.set("class", h.u8<4>() == 2 ? "64-bit" : "32-bit")
      .set("endianness", little ? "little" : "big")
      .set("abi", abi_label(h.u8<7>()))
      .set("type", type_label(h.u16<16>()))
      .set("machine", machine_label(h.u16<18>(), probe.thorough));
  if (probe.thorough) {
    const auto input = whole_input(*this, source, probe);
    if (!input) {
      return input.error();
    }
    read_elf_details(ns, *input);
  }
  return ns;
}

} // namespace trawl
