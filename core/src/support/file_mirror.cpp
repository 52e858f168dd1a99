#include "file_mirror.hpp"

#include <algorithm>
#include <limits>

namespace trawl {

std::unique_ptr<FileMirror> FileMirror::create(platform::FileId file, std::uint64_t len) {
  if (len == 0 || len > std::uint64_t{std::numeric_limits<std::size_t>::max() / 2}) {
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(len);
  std::uint8_t* base = platform::reserve(size);
  if (base == nullptr) {
    return nullptr;
  }
  return std::unique_ptr<FileMirror>(new FileMirror(file, {base, size}));
}

FileMirror::~FileMirror() {
  platform::unreserve(whole_);
}

bool FileMirror::resident(std::size_t page) const noexcept {
  for (std::size_t i = 0; i < count_; ++i) {
    if (ring_.at((oldest_ + i) % max_pages) == page) {
      return true;
    }
  }
  return false;
}

void FileMirror::load_pages(std::span<const std::uint8_t> part) noexcept {
  // Views of other memory (a joined copy, the caller's buffer) have nothing to load.
  const auto start = reinterpret_cast<std::uintptr_t>(part.data());  // NOLINT
  const auto base = reinterpret_cast<std::uintptr_t>(whole_.data()); // NOLINT
  const std::size_t len = whole_.size();
  if (part.empty() || start < base || part.size() > len || start - base > len - part.size()) {
    return;
  }
  const auto offset = static_cast<std::size_t>(start - base);
  const std::size_t first = offset / page_size;
  const std::size_t last = (offset + part.size() - 1) / page_size;
  for (std::size_t page = first; page <= last; ++page) {
    if (resident(page)) {
      continue;
    }
    if (count_ == max_pages) {
      release_oldest();
    }
    read_page(page);
  }
  if (last - first < max_pages) {
    hot_begin_ = base + first * page_size;
    hot_end_ = base + std::min(len, (last + 1) * page_size);
  }
}

void FileMirror::read_page(std::size_t page) noexcept {
  const std::size_t at = page * page_size;
  const std::span<std::uint8_t> dst = whole_.subspan(at, std::min(page_size, whole_.size() - at));
  const std::size_t done = platform::read_at(file_, dst, at);
  // A page given back may hold old bytes; past the file's end it must read as zero.
  std::fill(dst.begin() + static_cast<std::ptrdiff_t>(done), dst.end(), std::uint8_t{0});
  ring_.at((oldest_ + count_) % max_pages) = page;
  ++count_;
}

void FileMirror::release_oldest() noexcept {
  const std::size_t page = ring_.at(oldest_);
  oldest_ = (oldest_ + 1) % max_pages;
  --count_;
  const std::size_t at = page * page_size;
  const std::span<std::uint8_t> page_bytes =
      whole_.subspan(at, std::min(page_size, whole_.size() - at));
  platform::discard(page_bytes);
  hot_begin_ = hot_end_ = 0;
}

} // namespace trawl
