// ELF program headers (System V gABI): the program interpreter, and the dynamic section's
// DF_1_PIE flag, which tells a position-independent executable from a shared object.
#include <optional>

#include "../support/text.hpp"
#include "media_thorough.hpp"

namespace trawl {

namespace {

constexpr std::uint32_t pt_dynamic = 2;
constexpr std::uint32_t pt_interp = 3;
constexpr std::uint64_t dt_null = 0;
constexpr std::uint64_t dt_flags_1 = 0x6FFFFFFB;
constexpr std::uint64_t df_1_pie = 0x08000000;
constexpr std::uint16_t et_dyn = 3;
// e_phnum's escape: the count is in the first section header's sh_info.
constexpr std::uint16_t pn_xnum = 0xFFFF;
// A path longer than PATH_MAX names no interpreter a loader would run.
constexpr std::uint64_t interpreter_cap = 4096;

struct Segment {
  std::uint32_t type = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0; // in the file
};

// The program header table: where it starts, its entry count and stride.
struct Table {
  std::uint64_t offset = 0;
  std::uint64_t count = 0;
  std::uint64_t stride = 0;
};

// The table as the file header gives it (ELF32: 52 bytes, ELF64: 64 bytes); nothing when an
// entry would be shorter than its layout.
std::optional<Table> program_header_table(const ByteReader& r, bool wide) {
  Table t;
  std::uint64_t section_headers = 0;
  if (wide) {
    const auto h = r.fixed<64>(0);
    if (!h) {
      return std::nullopt;
    }
    t = {h->u64<32>(), h->u16<56>(), h->u16<54>()};
    section_headers = h->u64<40>();
  } else {
    const auto h = r.fixed<52>(0);
    if (!h) {
      return std::nullopt;
    }
    t = {h->u32<28>(), h->u16<44>(), h->u16<42>()};
    section_headers = h->u32<32>();
  }
  if (t.stride < (wide ? 56U : 32U)) {
    return std::nullopt;
  }
  if (t.count == pn_xnum) {
    const auto sh_info = r.u32_at(section_headers + (wide ? 44U : 28U));
    if (!sh_info || section_headers > r.size()) {
      return std::nullopt;
    }
    t.count = *sh_info;
  }
  return t;
}

// The next program header (ELF32: 32 bytes, ELF64: 56 bytes), the cursor moved past its stride.
std::optional<Segment> next_segment(ByteReader& walk, bool wide, std::uint64_t stride) {
  Segment s;
  if (wide) {
    const auto p = walk.fixed<56>(walk.position());
    if (!p) {
      return std::nullopt;
    }
    s = {p->u32<0>(), p->u64<8>(), p->u64<32>()};
  } else {
    const auto p = walk.fixed<32>(walk.position());
    if (!p) {
      return std::nullopt;
    }
    s = {p->u32<0>(), p->u32<4>(), p->u32<16>()};
  }
  // The last entry may end the file without the padding of a wider stride.
  if (!walk.skip(stride)) {
    (void)walk.seek(walk.size());
  }
  return s;
}

// The bytes of the interpreter's path up to its terminating NUL.
std::string interpreter(const ByteReader& r, const Segment& s) {
  const ByteView bytes = r.clipped_at(s.offset, std::min(s.size, interpreter_cap));
  std::string_view path = as_chars(bytes.span());
  path = path.substr(0, path.find('\0'));
  return utf8_lossy(path);
}

// Whether the dynamic section (ELF32: 8-byte, ELF64: 16-byte entries) sets DF_1_PIE in its first
// DT_FLAGS_1, the entry readelf goes by.
bool dynamic_pie(const ByteReader& r, const Segment& s, bool wide) {
  ByteReader walk = r;
  if (!walk.seek(s.offset)) {
    return false;
  }
  ByteReader entries = walk.sub_clipped(s.size);
  for (;;) {
    std::uint64_t tag = 0;
    std::uint64_t value = 0;
    if (wide) {
      const auto d = entries.take_fixed<16>();
      if (!d) {
        return false;
      }
      tag = d->u64<0>();
      value = d->u64<8>();
    } else {
      const auto d = entries.take_fixed<8>();
      if (!d) {
        return false;
      }
      tag = d->u32<0>();
      value = d->u32<4>();
    }
    if (tag == dt_null) {
      return false;
    }
    if (tag == dt_flags_1) {
      return (value & df_1_pie) != 0;
    }
  }
}

} // namespace

void read_elf_details(Namespace& ns, const ByteReader& input) {
  const auto ident = input.fixed<20>(0);
  if (!ident) {
    return;
  }
  // e_ident: class and data encoding; then the header in that encoding.
  const std::uint8_t cls = ident->u8<4>();
  const std::uint8_t data = ident->u8<5>();
  const ByteReader r = input.with_order(data == 1 ? ByteOrder::Little : ByteOrder::Big);
  const auto h = r.fixed<20>(0);
  if (!h) {
    return;
  }
  // Program headers are laid out only for the two classes and encodings the ABI defines.
  if ((cls != 1 && cls != 2) || (data != 1 && data != 2)) {
    return;
  }
  const bool wide = cls == 2;
  std::optional<Segment> dynamic;
  std::optional<Segment> interp;
  ByteReader walk = r;
  const auto table = program_header_table(r, wide);
  // Each entry read takes at least 32 bytes of the file: the count cannot make the walk long.
  if (table && walk.seek(table->offset)) {
    for (std::uint64_t i = 0; i < table->count; ++i) {
      const auto s = next_segment(walk, wide, table->stride);
      if (!s) {
        break;
      }
      // The first of each, as loaders and readelf take them.
      if (s->type == pt_interp && !interp) {
        interp = s;
      } else if (s->type == pt_dynamic && !dynamic) {
        dynamic = s;
      }
    }
  }
  // A separate debug file keeps the header but not the path (a file size of 0).
  if (interp && interp->size != 0 && interp->offset < r.size()) {
    ns.set("interpreter", interpreter(r, *interp));
  }
  const bool pie = h->u16<16>() == et_dyn && dynamic && dynamic_pie(r, *dynamic, wide);
  ns.set("pie", pie);
  if (pie) {
    ns.set("type", "executable");
  }
}

} // namespace trawl
