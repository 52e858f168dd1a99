// A lazily filled private copy of an open file at the file's own offsets, so that the format
// readers can look at any part of a file of any size through plain spans.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "platform.hpp"

namespace trawl {

/// Address space for the whole file, reserved up front; pages are read on first use and at
/// most `resident_budget` bytes of them stay in memory. The oldest pages beyond that are given
/// back and read again when next loaded, which only crafted inputs reach: no format reader keeps
/// more than a few MiB of a real file in use at once.
class FileMirror {
public:
  /// A mirror of the first `len` bytes of `file` (not owned), or null when the address space
  /// cannot be had.
  [[nodiscard]] static std::unique_ptr<FileMirror> create(platform::FileId file, std::uint64_t len);

  FileMirror(const FileMirror&) = delete;
  FileMirror& operator=(const FileMirror&) = delete;
  FileMirror(FileMirror&&) = delete;
  FileMirror& operator=(FileMirror&&) = delete;
  ~FileMirror();

  /// The whole mirror; only bytes passed to load() hold file data.
  [[nodiscard]] std::span<const std::uint8_t> data() const noexcept { return whole_; }

  /// Makes `part` (a piece of data()) hold the file's bytes. Bytes the file no longer has (it
  /// shrank) and bytes that cannot be read stay zero.
  void load(std::span<const std::uint8_t> part) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(part.data()); // NOLINT
    if (start >= hot_begin_ && start < hot_end_ && part.size() <= hot_end_ - start) {
      return;
    }
    load_pages(part);
  }

  static constexpr std::size_t page_size = std::size_t{64} * 1024;
  static constexpr std::size_t resident_budget = std::size_t{32} << 20U;

private:
  FileMirror(platform::FileId file, std::span<std::uint8_t> whole) noexcept
      : file_(file), whole_(whole) {}
  void load_pages(std::span<const std::uint8_t> part) noexcept;
  [[nodiscard]] bool resident(std::size_t page) const noexcept;
  void read_page(std::size_t page) noexcept;
  void release_oldest() noexcept;

  static constexpr std::size_t max_pages = resident_budget / page_size;

  platform::FileId file_;
  std::span<std::uint8_t> whole_;
  // Resident pages as a ring, oldest at `oldest_`; fixed so that loading never allocates.
  std::array<std::size_t, max_pages> ring_{};
  std::size_t oldest_ = 0;
  std::size_t count_ = 0;
  std::uintptr_t hot_begin_ = 0; // addresses of the last range loaded, all of it resident
  std::uintptr_t hot_end_ = 0;
};

} // namespace trawl
