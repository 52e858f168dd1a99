// A lenient reading of the MS-CFB container: header, DIFAT, FAT, directory tree and MiniFAT
// are checked for consistency before the root entry's class id is trusted.
#include "compound_file.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace trawl {

namespace {

using namespace std::string_view_literals;

constexpr std::uint32_t free_sector = 0xFFFFFFFF;
constexpr std::uint32_t end_of_chain = 0xFFFFFFFE;
constexpr std::uint32_t fat_sector = 0xFFFFFFFD;
constexpr std::uint32_t difat_sector = 0xFFFFFFFC;
constexpr std::uint32_t invalid_sector = 0xFFFFFFFB;
constexpr std::uint32_t max_regular = 0xFFFFFFFA;
constexpr std::uint32_t no_stream = 0xFFFFFFFF;
constexpr std::size_t header_difat_count = 109;
constexpr std::size_t entry_size = 128;

constexpr std::string_view signature = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv;

// A directory entry name: at most 31 UTF-16 units, so at most 31 code points.
struct Name {
  std::array<std::uint32_t, 32> chars{};
  std::size_t size = 0;
};

struct Entry {
  Name name;
  std::uint8_t type = 0;
  std::uint32_t left = no_stream;
  std::uint32_t right = no_stream;
  std::uint32_t child = no_stream;
  std::uint64_t stream_size = 0;
};

class CompoundFile {
public:
  explicit CompoundFile(const ByteReader& head) : h_(head) {}

  // True when every structure is consistent; the root class id is then at offset 80 of
  // directory entry 0.
  bool parse();
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> root_class_id() const {
    return h_.bytes_at(root_entry_offset_ + 80, 16);
  }

private:
  bool read_header();
  bool read_difat();
  bool read_fat();
  bool read_directory();
  [[nodiscard]] bool check_tree() const;
  [[nodiscard]] bool read_minifat() const;

  [[nodiscard]] std::optional<std::span<const std::uint8_t>> sector(std::uint32_t i) const;
  [[nodiscard]] bool append_sector_values(std::uint32_t i, std::vector<std::uint32_t>& out,
                                          std::size_t count) const;
  [[nodiscard]] std::optional<std::uint32_t> next(std::uint32_t i) const;
  [[nodiscard]] bool read_entry(std::span<const std::uint8_t> bytes);

  const ByteReader& h_;
  std::uint32_t sector_size_ = 0;
  std::uint32_t sector_count_ = 0;
  std::uint16_t major_ = 0;
  std::uint32_t fat_sectors_ = 0;
  std::uint32_t first_directory_ = 0;
  std::uint32_t first_minifat_ = 0;
  std::uint32_t first_difat_ = 0;
  std::vector<std::uint32_t> difat_;
  std::vector<std::uint32_t> difat_chain_;
  std::vector<std::uint32_t> fat_;
  std::vector<Entry> entries_;
  std::uint64_t root_entry_offset_ = 0;
};

bool CompoundFile::read_header() {
  const std::size_t n = h_.size();
  if (n < 512 || !h_.matches_at(0, signature) || h_.u16_le_at(28) != 0xFFFE) {
    return false;
  }
  major_ = *h_.u16_le_at(26);
  const std::uint16_t shift = *h_.u16_le_at(30);
  if (!((major_ == 3 && shift == 9) || (major_ == 4 && shift == 12))) {
    return false;
  }
  if (h_.u16_le_at(32) != 6 || h_.u32_le_at(56) != 4096U) {
    return false;
  }
  sector_size_ = major_ == 3 ? 512 : 4096;
  if (n < sector_size_) {
    return false;
  }
  // Sector i lives at (i + 1) * size; a partial last sector still counts.
  sector_count_ = static_cast<std::uint32_t>((n + sector_size_ - 1) / sector_size_ - 1);
  fat_sectors_ = *h_.u32_le_at(44);
  first_directory_ = *h_.u32_le_at(48);
  first_minifat_ = *h_.u32_le_at(60);
  first_difat_ = *h_.u32_le_at(68);
  if (first_difat_ == free_sector) {
    first_difat_ = end_of_chain;
  }
  bool ended = false;
  difat_.reserve(header_difat_count);
  ByteReader listed = *h_.sub_at(76, 4 * header_difat_count);
  while (const auto v = listed.u32_le()) {
    ended = ended || *v == free_sector;
    if (!ended && *v >= invalid_sector) {
      return false;
    }
    difat_.push_back(ended ? free_sector : *v);
  }
  return true;
}

std::optional<std::span<const std::uint8_t>> CompoundFile::sector(std::uint32_t i) const {
  if (i >= sector_count_) {
    return std::nullopt;
  }
  return h_.bytes_at((std::uint64_t{i} + 1) * sector_size_, sector_size_);
}

bool CompoundFile::append_sector_values(std::uint32_t i, std::vector<std::uint32_t>& out,
                                        std::size_t count) const {
  const auto bytes = sector(i);
  if (!bytes) {
    return false;
  }
  ByteReader r(*bytes);
  for (std::size_t k = 0; k < count; ++k) {
    const auto v = r.u32_le();
    if (!v) {
      return false;
    }
    out.push_back(*v);
  }
  return true;
}

std::optional<std::uint32_t> CompoundFile::next(std::uint32_t i) const {
  if (i >= sector_count_) {
    return std::nullopt;
  }
  const std::uint32_t v = fat_[i];
  if (v == end_of_chain || (v <= max_regular && v < sector_count_)) {
    return v;
  }
  return std::nullopt;
}

bool CompoundFile::read_difat() {
  const std::size_t per_sector = sector_size_ / 4;
  std::uint32_t x = first_difat_;
  while (x != end_of_chain && x != free_sector) {
    if (x > max_regular || x >= sector_count_ ||
        std::find(difat_chain_.begin(), difat_chain_.end(), x) != difat_chain_.end()) {
      return false;
    }
    difat_chain_.push_back(x);
    std::vector<std::uint32_t> values;
    if (!append_sector_values(x, values, per_sector)) {
      return false;
    }
    for (std::size_t k = 0; k + 1 < per_sector; ++k) {
      if (values[k] != free_sector && values[k] > max_regular) {
        return false;
      }
      difat_.push_back(values[k]);
    }
    x = values.back();
  }
  while (difat_.size() > header_difat_count && difat_.size() > fat_sectors_ && difat_.back() == 0) {
    difat_.pop_back();
  }
  while (!difat_.empty() && difat_.back() == free_sector) {
    difat_.pop_back();
  }
  return true;
}

bool CompoundFile::read_fat() {
  fat_.reserve(difat_.size() * (sector_size_ / 4));
  for (const std::uint32_t s : difat_) {
    if (!append_sector_values(s, fat_, sector_size_ / 4)) {
      return false;
    }
  }
  const auto unused = [](std::uint32_t v) {
    return v == 0 || v == difat_sector || v == fat_sector || v == free_sector;
  };
  while (fat_.size() > sector_count_ && unused(fat_.back())) {
    fat_.pop_back();
  }
  if (fat_.size() > sector_count_) {
    return false;
  }
  fat_.resize(sector_count_, free_sector);
  for (const std::uint32_t s : difat_chain_) {
    fat_[s] = difat_sector;
  }
  for (const std::uint32_t s : difat_) {
    fat_[s] = fat_sector;
  }
  // No sector may be the successor of two others.
  std::vector<bool> pointed(sector_count_, false);
  for (const std::uint32_t v : fat_) {
    if (v == invalid_sector) {
      return false;
    }
    if (v <= max_regular) {
      if (v >= sector_count_ || pointed[v]) {
        return false;
      }
      pointed[v] = true;
    }
  }
  return true;
}

// UTF-16 to code points; nothing for an unpaired surrogate.
std::optional<Name> decode_name(ByteReader units) {
  Name out;
  const auto push = [&out](std::uint32_t c) { out.chars.at(out.size++) = c; };
  while (const auto unit = units.u16_le()) {
    const std::uint32_t u = *unit;
    if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;
    }
    if (u >= 0xD800 && u <= 0xDBFF) {
      const std::uint32_t low = units.u16_le().value_or(0);
      if (low < 0xDC00 || low > 0xDFFF) {
        return std::nullopt;
      }
      push(0x10000 + ((u - 0xD800) << 10U) + (low - 0xDC00));
      continue;
    }
    push(u);
  }
  return out;
}

bool CompoundFile::read_entry(std::span<const std::uint8_t> bytes) {
  const ByteReader r(bytes);
  const std::uint16_t name_len = *r.u16_le_at(64);
  if (name_len > 64 || name_len % 2 != 0) {
    return false;
  }
  const std::size_t units = name_len == 0 ? 0 : name_len / 2U - 1U;
  auto name = decode_name(*r.sub_at(0, 2 * units));
  if (!name) {
    return false;
  }
  Entry e;
  e.type = *r.u8_at(66);
  if (e.type != 0 && e.type != 1 && e.type != 2 && e.type != 5) {
    return false;
  }
  const auto chars = std::span(name->chars).first(name->size);
  if (e.type != 5 && std::any_of(chars.begin(), chars.end(), [](std::uint32_t c) {
        return c == '/' || c == '\\' || c == ':' || c == '!';
      })) {
    return false;
  }
  if (*r.u8_at(67) > 1) {
    return false;
  }
  e.left = *r.u32_le_at(68);
  e.right = *r.u32_le_at(72);
  e.child = *r.u32_le_at(76);
  const auto link_ok = [](std::uint32_t v) { return v == no_stream || v <= max_regular; };
  if (!link_ok(e.left) || !link_ok(e.right)) {
    return false;
  }
  if (e.child != no_stream && (e.type == 2 || e.child > max_regular)) {
    return false;
  }
  e.stream_size = *r.u64_le_at(120);
  if (major_ == 3) {
    e.stream_size &= 0xFFFFFFFFU;
  }
  if (e.type == 1) {
    e.stream_size = 0;
  }
  if (e.type == 5) {
    const std::string_view root = "Root Entry";
    std::copy(root.begin(), root.end(), e.name.chars.begin());
    e.name.size = root.size();
  } else {
    e.name = *name;
  }
  entries_.push_back(e);
  return true;
}

bool CompoundFile::read_directory() {
  std::vector<std::uint32_t> visited;
  std::uint32_t d = first_directory_;
  while (d != end_of_chain) {
    if (d > max_regular || d >= sector_count_ ||
        std::find(visited.begin(), visited.end(), d) != visited.end()) {
      return false;
    }
    visited.push_back(d);
    const auto bytes = sector(d);
    if (!bytes) {
      return false;
    }
    if (entries_.empty()) {
      root_entry_offset_ = (std::uint64_t{d} + 1) * sector_size_;
    }
    for (std::size_t k = 0; k < sector_size_ / entry_size; ++k) {
      if (!read_entry(bytes->subspan(k * entry_size, entry_size))) {
        return false;
      }
    }
    const auto following = next(d);
    if (!following) {
      return false;
    }
    d = *following;
  }
  return true;
}

// Simple upper-case mapping for the scripts that directory names use in practice.
std::uint32_t upper(std::uint32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
      (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) || (c >= 0x430 && c <= 0x44F)) {
    return c - 0x20;
  }
  if (c == 0xFF) {
    return 0x178;
  }
  if (c >= 0x450 && c <= 0x45F) {
    return c - 0x50;
  }
  if (c >= 0xFF41 && c <= 0xFF5A) {
    return c - 0x20;
  }
  const bool latin_a = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
  if (latin_a && c % 2 == 1) {
    return c - 1;
  }
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && c % 2 == 0) {
    return c - 1;
  }
  return c;
}

// Shorter names first; equal lengths compare character by character, ignoring case.
bool name_less(const Name& a, const Name& b) {
  if (a.size != b.size) {
    return a.size < b.size;
  }
  for (std::size_t i = 0; i < a.size; ++i) {
    const std::uint32_t x = upper(a.chars.at(i));
    const std::uint32_t y = upper(b.chars.at(i));
    if (x != y) {
      return x < y;
    }
  }
  return false;
}

bool CompoundFile::check_tree() const {
  if (entries_.empty() || entries_[0].type != 5 || entries_[0].stream_size % 64 != 0) {
    return false;
  }
  // Iterative walk from the root over sibling and child links; the tree is small (the head
  // holds at most 64 entries) and each entry may be reached once.
  std::vector<bool> seen(entries_.size(), false);
  std::vector<std::uint32_t> pending = {0};
  seen[0] = true;
  while (!pending.empty()) {
    const std::uint32_t at = pending.back();
    pending.pop_back();
    const Entry& e = entries_[at];
    if (at != 0 && e.type != 1 && e.type != 2) {
      return false;
    }
    for (const std::uint32_t link : {e.left, e.right, e.child}) {
      if (link == no_stream) {
        continue;
      }
      if (link >= entries_.size() || seen[link]) {
        return false;
      }
      seen[link] = true;
      pending.push_back(link);
    }
    if (e.left != no_stream && !name_less(entries_[e.left].name, e.name)) {
      return false;
    }
    if (e.right != no_stream && !name_less(e.name, entries_[e.right].name)) {
      return false;
    }
  }
  return true;
}

bool CompoundFile::read_minifat() const {
  if (first_minifat_ == end_of_chain) {
    return true;
  }
  std::vector<std::uint32_t> minifat;
  std::uint32_t s = first_minifat_;
  // Chains cannot merge (checked in the FAT), so a loop can only come back to the start; the
  // step limit guards the walk anyway.
  for (std::uint32_t steps = 0; s != end_of_chain; ++steps) {
    if (steps > sector_count_) {
      return false;
    }
    const auto following = next(s);
    if (!following || !append_sector_values(s, minifat, sector_size_ / 4)) {
      return false;
    }
    if (*following == first_minifat_) {
      return false;
    }
    s = *following;
  }
  while (!minifat.empty() && minifat.back() == free_sector) {
    minifat.pop_back();
  }
  const std::uint64_t limit = entries_[0].stream_size / 64;
  if (minifat.size() > limit) {
    minifat.resize(static_cast<std::size_t>(limit));
  }
  std::vector<bool> pointed(minifat.size(), false);
  for (const std::uint32_t v : minifat) {
    if (v <= max_regular) {
      if (v >= minifat.size() || pointed[v]) {
        return false;
      }
      pointed[v] = true;
    }
  }
  return true;
}

bool CompoundFile::parse() {
  return read_header() && read_difat() && read_fat() && read_directory() && check_tree() &&
         read_minifat();
}

constexpr std::array<std::uint8_t, 16> clsid(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  return {a, b, c, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
}

} // namespace

CompoundKind compound_file_kind(const ByteReader& head) noexcept {
  if (!head.matches_at(0, signature) || head.size() < 512) {
    return CompoundKind::None;
  }
  CompoundFile file(head);
  if (!file.parse()) {
    return CompoundKind::None;
  }
  const auto id = file.root_class_id();
  if (!id) {
    return CompoundKind::None;
  }
  constexpr auto excel5 = clsid(0x10, 0x08, 0x02);
  constexpr auto excel8 = clsid(0x20, 0x08, 0x02);
  constexpr auto word = clsid(0x06, 0x09, 0x02);
  constexpr std::array<std::uint8_t, 16> powerpoint = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F,
                                                       0xCF, 0x11, 0x86, 0xEA, 0x00, 0xAA,
                                                       0x00, 0xB9, 0x29, 0xE8};
  const auto is = [&](const std::array<std::uint8_t, 16>& want) {
    return std::equal(want.begin(), want.end(), id->begin(), id->end());
  };
  if (is(word)) {
    return CompoundKind::Word;
  }
  if (is(excel5) || is(excel8)) {
    return CompoundKind::Excel;
  }
  if (is(powerpoint)) {
    return CompoundKind::PowerPoint;
  }
  return CompoundKind::None;
}

} // namespace trawl
