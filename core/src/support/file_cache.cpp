#include "file_cache.hpp"

#include <algorithm>

namespace trawl {

namespace {

// Views longer than this many pages are read straight into their own copy, so that one long
// field does not push every other page out of the cache.
constexpr std::size_t direct_pages = 4;

} // namespace

std::size_t FileCache::page_length(std::uint64_t page) const noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(page_size, len_ - page * page_size));
}

void FileCache::fill(Slot& slot, std::uint64_t page) {
  // A page still held by a view stays with it; the slot takes fresh memory.
  if (!slot.bytes || slot.bytes.use_count() > 1) {
    slot.bytes = std::make_shared_for_overwrite<std::uint8_t[]>(page_size);
  }
  const std::span<std::uint8_t> dst(slot.bytes.get(), page_length(page));
  const std::size_t done = platform::read_at(file_, dst, page * page_size);
  if (done < dst.size()) {
    // The file shrank: what it no longer has reads as zero.
    came_short_ = true;
    std::fill(dst.begin() + static_cast<std::ptrdiff_t>(done), dst.end(), std::uint8_t{0});
  }
  slot.page = page;
  slot.filled = true;
}

FileCache::Slot& FileCache::free_slot() {
  if (used_slots_ < slot_count) {
    return slots_.at(used_slots_++);
  }
  // The least recently used page goes.
  return *std::min_element(slots_.begin(), slots_.end(),
                           [](const Slot& a, const Slot& b) { return a.last_use < b.last_use; });
}

FileCache::Slot& FileCache::page_slot(std::uint64_t page) {
  ++clock_;
  Slot* slot = &slots_.at(last_);
  if (!slot->filled || slot->page != page) {
    std::uint16_t& hint = hints_.at(static_cast<std::size_t>(page % hint_count));
    slot = &slots_.at(hint);
    if (!slot->filled || slot->page != page) {
      const auto used = std::span(slots_).first(used_slots_);
      const auto it = std::find_if(used.begin(), used.end(),
                                   [page](const Slot& s) { return s.filled && s.page == page; });
      if (it != used.end()) {
        slot = &*it;
      } else {
        slot = &free_slot();
        fill(*slot, page);
      }
      hint = static_cast<std::uint16_t>(slot - slots_.data());
    }
    last_ = static_cast<std::size_t>(slot - slots_.data());
  }
  slot->last_use = clock_;
  return *slot;
}

void FileCache::copy(std::uint64_t offset, std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::uint64_t page = offset / page_size;
    const auto within = static_cast<std::size_t>(offset % page_size);
    const Slot& slot = page_slot(page);
    const std::size_t n = std::min(out.size(), page_length(page) - within);
    std::copy_n(slot.bytes.get() + within, n, out.begin());
    out = out.subspan(n);
    offset += n;
  }
}

ByteView FileCache::view(std::uint64_t offset, std::size_t n) {
  if (n == 0) {
    return {};
  }
  const std::uint64_t page = offset / page_size;
  const auto within = static_cast<std::size_t>(offset % page_size);
  if (n <= page_length(page) - within) {
    const Slot& slot = page_slot(page);
    return ByteView({slot.bytes.get() + within, n}, slot.bytes);
  }
  auto owned = std::make_shared_for_overwrite<std::uint8_t[]>(n);
  const std::span<std::uint8_t> dst(owned.get(), n);
  if (n > direct_pages * page_size) {
    const std::size_t done = platform::read_at(file_, dst, offset);
    if (done < n) {
      came_short_ = true;
      std::fill(dst.begin() + static_cast<std::ptrdiff_t>(done), dst.end(), std::uint8_t{0});
    }
  } else {
    copy(offset, dst);
  }
  return ByteView(dst, std::move(owned));
}

} // namespace trawl
