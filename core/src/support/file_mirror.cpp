#include "file_mirror.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <sys/mman.h>
#include <unistd.h>

namespace trawl {

std::unique_ptr<FileMirror> FileMirror::create(int fd, std::uint64_t len) {
  if (len == 0 || len > std::uint64_t{std::numeric_limits<std::size_t>::max() / 2}) {
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(len);
  // Reserved without commitment: untouched pages cost no memory and read as zero.
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, // NOLINT(hicpp-signed-bitwise)
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) {
    return nullptr;
  }
  return std::unique_ptr<FileMirror>(new FileMirror(fd, {static_cast<std::uint8_t*>(base), size}));
}

FileMirror::~FileMirror() {
  ::munmap(whole_.data(), whole_.size());
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
  std::size_t done = 0;
  while (done < dst.size()) {
    const std::span<std::uint8_t> rest = dst.subspan(done);
    const ssize_t got = ::pread(fd_, rest.data(), rest.size(), static_cast<off_t>(at + done));
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ring_.at((oldest_ + count_) % max_pages) = page;
  ++count_;
}

void FileMirror::release_oldest() noexcept {
  const std::size_t page = ring_.at(oldest_);
  oldest_ = (oldest_ + 1) % max_pages;
  --count_;
  const std::size_t at = page * page_size;
  // Private anonymous pages given back read as zero on the next touch.
  const std::span<std::uint8_t> page_bytes =
      whole_.subspan(at, std::min(page_size, whole_.size() - at));
  ::madvise(page_bytes.data(), page_bytes.size(), MADV_DONTNEED);
  hot_begin_ = hot_end_ = 0;
}

} // namespace trawl
