// Random access to a large open file through a fixed number of pages keyed by file offset, so
// that memory stays bounded whatever the file's size and no address space is reserved for it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform.hpp"

namespace trawl {

/// Shared storage for bytes read from a file, not zeroed before the read fills it.
using SharedBytes = std::shared_ptr<std::uint8_t[]>; // NOLINT(modernize-avoid-c-arrays)

/// Bytes of the input kept alive for as long as the view lives: a page of a file's cache that
/// is never reused under it, an owned copy, or a borrowed span of memory that outlives the parse.
/// It is not a range, and a temporary one gives no span, so that no span outlives its view.
class ByteView {
public:
  ByteView() = default;
  explicit ByteView(std::span<const std::uint8_t> bytes, SharedBytes hold = nullptr) noexcept
      : bytes_(bytes), hold_(std::move(hold)) {}

  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  [[nodiscard]] std::uint8_t operator[](std::size_t i) const noexcept { return bytes_[i]; }
  [[nodiscard]] std::uint8_t front() const noexcept { return bytes_.front(); }
  /// The bytes as a span, valid while this view lives.
  [[nodiscard]] std::span<const std::uint8_t> span() const& noexcept { return bytes_; }
  // A temporary view gives no span: it would not outlive the statement.
  [[nodiscard]] std::span<const std::uint8_t> span() const&& = delete;
  operator std::span<const std::uint8_t>() const& noexcept { return bytes_; } // NOLINT
  operator std::span<const std::uint8_t>() const&& = delete;

private:
  std::span<const std::uint8_t> bytes_;
  SharedBytes hold_;
};

/// The first `len` bytes of an open file (not owned), read a page at a time as readers reach
/// them. At most `budget` bytes of pages are kept; a page still held by a view is left to that
/// view and the cache takes a new one, so a view never changes under its reader.
class FileCache {
public:
  FileCache(platform::FileId file, std::uint64_t len) noexcept : file_(file), len_(len) {}

  [[nodiscard]] std::uint64_t size() const noexcept { return len_; }
  /// Copies the bytes at `offset` into `out`; offset + out.size() must not pass size().
  void copy(std::uint64_t offset, std::span<std::uint8_t> out);
  /// A view of `n` bytes at `offset`; offset + n must not pass size().
  [[nodiscard]] ByteView view(std::uint64_t offset, std::size_t n);
  /// Whether some read found the file shorter than size().
  [[nodiscard]] bool came_short() const noexcept { return came_short_; }

  /// Notes, from a read of the whole file in order, which pages hold only zero bytes, so that
  /// searches and walks cross them without reading them again. `block` starts at `offset`, a
  /// multiple of page_size.
  void note_zero_pages(std::uint64_t offset, std::span<const std::uint8_t> block);
  /// The offset of the first byte at or after `offset` (before `end`) that is not zero, or `end`.
  [[nodiscard]] std::uint64_t skip_zeros(std::uint64_t offset, std::uint64_t end);
  /// The offset of the first `byte` at or after `offset` (before `end`), or `end`.
  [[nodiscard]] std::uint64_t find(std::uint8_t byte, std::uint64_t offset, std::uint64_t end);

  static constexpr std::size_t page_size = std::size_t{64} * 1024;
  static constexpr std::size_t budget = std::size_t{32} << 20U;

private:
  struct Slot {
    SharedBytes bytes;
    std::uint64_t page = 0;
    std::uint64_t last_use = 0;
    bool filled = false;
  };
  [[nodiscard]] Slot& page_slot(std::uint64_t page);
  [[nodiscard]] Slot& free_slot();
  void fill(Slot& slot, std::uint64_t page);
  [[nodiscard]] std::size_t page_length(std::uint64_t page) const noexcept;
  [[nodiscard]] bool known_zero(std::uint64_t page) const noexcept;
  // After a page of zeros, where the data goes on: past a hole, without reading it.
  [[nodiscard]] std::uint64_t after_zero_page(std::uint64_t page, std::uint64_t end) const noexcept;
  // The bytes of a loaded page from `within` on.
  [[nodiscard]] std::span<const std::uint8_t> page_bytes(const Slot& slot, std::uint64_t page,
                                                         std::size_t within) const noexcept;

  static constexpr std::size_t slot_count = budget / page_size;
  static constexpr std::size_t hint_count = 2 * slot_count;

  platform::FileId file_;
  std::uint64_t len_;
  std::array<Slot, slot_count> slots_{};
  std::size_t used_slots_ = 0;
  std::size_t last_ = 0; // the slot of the latest hit, tried first
  // Where a page was last seen, by page number modulo the table's size; checked before use.
  std::array<std::uint16_t, hint_count> hints_{};
  std::uint64_t clock_ = 0;
  bool came_short_ = false;
  std::vector<bool> zero_pages_; // one flag per page, once a whole read has noted them
};

} // namespace trawl
