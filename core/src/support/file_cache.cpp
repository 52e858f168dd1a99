#include "file_cache.hpp"

#include <algorithm>

#include "byte_search.hpp"

namespace trawl {

namespace {

// Views longer than this many pages are read straight into their own copy, so that one long
// field does not push every other page out of the cache.
constexpr std::size_t direct_pages = 4;

// Room for n bytes, left as they are until read into.
SharedBytes make_shared_bytes(std::size_t n) {
  return SharedBytes(new std::uint8_t[n]); // NOLINT(modernize-make-shared)
}

bool all_zero(std::span<const std::uint8_t> bytes) {
  return first_nonzero(bytes, 0, bytes.size()) == bytes.size();
}

} // namespace

void FileCache::note_zero_pages(std::uint64_t offset, std::span<const std::uint8_t> block) {
  if (zero_pages_.empty()) {
    zero_pages_.assign(static_cast<std::size_t>((len_ + page_size - 1) / page_size), false);
  }
  for (std::size_t at = 0; at < block.size(); at += page_size) {
    const std::uint64_t page = (offset + at) / page_size;
    const auto part = block.subspan(at, std::min(page_size, block.size() - at));
    // A page counts only when the block holds all of it.
    if (page < zero_pages_.size() && part.size() == page_length(page) && all_zero(part)) {
      zero_pages_[static_cast<std::size_t>(page)] = true;
    }
  }
}

bool FileCache::known_zero(std::uint64_t page) const noexcept {
  return page < zero_pages_.size() && zero_pages_[static_cast<std::size_t>(page)];
}

std::span<const std::uint8_t> FileCache::page_bytes(const Slot& slot, std::uint64_t page,
                                                    std::size_t within) const noexcept {
  return std::span<const std::uint8_t>(slot.bytes.get(), page_length(page)).subspan(within);
}

std::uint64_t FileCache::after_zero_page(std::uint64_t page, std::uint64_t end) const noexcept {
  const std::uint64_t next = (page + 1) * page_size;
  if (next >= end) {
    return end;
  }
  // Holes of a sparse file are found without reading them; elsewhere reading goes on.
  const std::uint64_t data = platform::next_data(file_, next, end);
  return std::max(next, data / page_size * page_size);
}

std::uint64_t FileCache::skip_zeros(std::uint64_t offset, std::uint64_t end) {
  end = std::min(end, len_);
  while (offset < end) {
    const std::uint64_t page = offset / page_size;
    if (known_zero(page)) {
      offset = (page + 1) * page_size;
      continue;
    }
    const auto within = static_cast<std::size_t>(offset % page_size);
    const Slot& slot = page_slot(page);
    const auto rest = page_bytes(slot, page, within)
                          .first(static_cast<std::size_t>(
                              std::min<std::uint64_t>(page_length(page) - within, end - offset)));
    const std::size_t zeros = first_nonzero(rest, 0, rest.size());
    offset += zeros;
    if (zeros != rest.size()) {
      break;
    }
    if (within == 0 && rest.size() == page_length(page)) {
      offset = after_zero_page(page, end);
    }
  }
  return std::min(offset, end);
}

std::uint64_t FileCache::find(std::uint8_t byte, std::uint64_t offset, std::uint64_t end) {
  end = std::min(end, len_);
  while (offset < end) {
    const std::uint64_t page = offset / page_size;
    if (byte != 0 && known_zero(page)) {
      offset = (page + 1) * page_size;
      continue;
    }
    const auto within = static_cast<std::size_t>(offset % page_size);
    const Slot& slot = page_slot(page);
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(page_length(page) - within, end - offset));
    const auto part = page_bytes(slot, page, within).first(n);
    if (const std::size_t hit = find_byte(part, byte, 0, part.size()); hit != part.size()) {
      return offset + hit;
    }
    offset += n;
    if (byte != 0 && within == 0 && n == page_length(page) && all_zero(part)) {
      offset = after_zero_page(page, end);
    }
  }
  return end;
}

std::size_t FileCache::page_length(std::uint64_t page) const noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(page_size, len_ - page * page_size));
}

void FileCache::fill(Slot& slot, std::uint64_t page) {
  // A page still held by a view stays with it; the slot takes fresh memory.
  if (!slot.bytes || slot.bytes.use_count() > 1) {
    slot.bytes = make_shared_bytes(page_size);
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
    std::copy_n(page_bytes(slot, page, within).begin(), n, out.begin());
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
    return ByteView(page_bytes(slot, page, within).first(n), slot.bytes);
  }
  auto owned = make_shared_bytes(n);
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
