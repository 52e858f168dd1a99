// The two sources: a caller's buffer (zero copy) and an open file behind an 8 KiB buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <trawl/extractor.hpp>

#include "support/file_cache.hpp"
#include "support/platform.hpp"

namespace trawl {

/// A borrowed buffer and a position; reads past the end return 0.
class BufferSource final : public Source {
public:
  explicit BufferSource(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  [[nodiscard]] IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  [[nodiscard]] IoResult<std::uint64_t> seek_to(std::uint64_t offset) override;
  [[nodiscard]] IoResult<std::uint64_t> seek(SeekBase base, std::int64_t offset) override;
  [[nodiscard]] IoResult<std::span<const std::uint8_t>> contents() override { return data_; }
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> contents_if_ready() const override {
    return data_;
  }
  [[nodiscard]] IoResult<std::uint64_t> read_to_end(std::vector<std::uint8_t>& out) override;

private:
  std::span<const std::uint8_t> data_;
  std::uint64_t pos_ = 0;
};

/// An open file (not owned) read through an 8192-byte buffer, never past the size it had when
/// opened. A file of at most `whole_limit` bytes is read whole once and served from memory;
/// random access to a larger one goes through a bounded page cache.
class FileSource final : public Source {
public:
  /// `limit` is the file's size when opened, or nothing for a special file read to its end.
  /// Files up to `whole_up_to` bytes are kept whole; 0 sends every read through the cache.
  FileSource(platform::FileId file, std::optional<std::uint64_t> limit,
             std::uint64_t whole_up_to = whole_limit)
      : file_(file), limit_(limit), whole_up_to_(whole_up_to), buffer_(capacity) {}

  /// Says that the file was just opened, so that going to its start needs no system call.
  void opened_here() noexcept { untouched_ = true; }
  /// Asked when a read is interrupted by a signal: true makes the read fail instead of retrying.
  void set_stop_requested(std::function<bool()> stop) { stop_requested_ = std::move(stop); }

  [[nodiscard]] IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  [[nodiscard]] IoResult<std::uint64_t> seek_to(std::uint64_t offset) override;
  [[nodiscard]] IoResult<std::uint64_t> seek(SeekBase base, std::int64_t offset) override;
  [[nodiscard]] IoResult<std::span<const std::uint8_t>> contents() override;
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> contents_if_ready() const override;
  [[nodiscard]] FileCache* cache(std::uint64_t len) override;
  void keep(WholeInput whole, std::size_t filled) override;
  [[nodiscard]] bool wants_whole(std::uint64_t len) const override;

  /// Whether a read ended before the size the file had when opened.
  [[nodiscard]] bool came_short() const noexcept {
    return came_short_ || (cache_ && cache_->came_short());
  }

  static constexpr std::size_t capacity = 8192;
  /// Files up to this size are kept in memory whole once read: the cache's own budget.
  static constexpr std::uint64_t whole_limit = FileCache::budget;
  /// Files up to this size are read whole even when no reader needs every byte.
  static constexpr std::uint64_t small_file = std::uint64_t{256} * 1024;

private:
  [[nodiscard]] IoResult<std::size_t> read_file(std::span<std::uint8_t> buffer);
  void discard_buffer() noexcept { pos_ = filled_ = 0; }

  platform::FileId file_;
  std::optional<std::uint64_t> limit_;
  std::uint64_t whole_up_to_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t at_ = 0; // the logical position
  WholeInput whole_;
  std::size_t whole_size_ = 0;
  bool has_whole_ = false;
  std::unique_ptr<FileCache> cache_;
  bool came_short_ = false;
  bool untouched_ = false; // at the file's start, nothing read or moved since it was opened
  std::function<bool()> stop_requested_;
};

} // namespace trawl
