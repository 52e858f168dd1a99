// The two sources: a caller's buffer (zero copy) and an open file behind an 8 KiB buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <trawl/extractor.hpp>

#include "support/file_mirror.hpp"
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

/// An open file (not owned) read through an 8192-byte buffer; random access goes
/// through a mirror, never through a copy of the whole file.
class FileSource final : public Source {
public:
  explicit FileSource(platform::FileId file) : file_(file), buffer_(capacity) {}

  /// Asked when a read is interrupted by a signal: true makes the read fail instead of retrying.
  void set_stop_requested(std::function<bool()> stop) { stop_requested_ = std::move(stop); }

  [[nodiscard]] IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  [[nodiscard]] IoResult<std::uint64_t> seek_to(std::uint64_t offset) override;
  [[nodiscard]] IoResult<std::uint64_t> seek(SeekBase base, std::int64_t offset) override;
  [[nodiscard]] IoResult<std::span<const std::uint8_t>> contents() override;
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> contents_if_ready() const override;
  [[nodiscard]] IoResult<std::uint64_t> read_to_end(std::vector<std::uint8_t>& out) override;
  [[nodiscard]] FileMirror* mirror(std::uint64_t len) override;

  static constexpr std::size_t capacity = 8192;

private:
  [[nodiscard]] IoResult<std::size_t> read_file(std::span<std::uint8_t> buffer) const;
  void discard_buffer() noexcept { pos_ = filled_ = 0; }

  platform::FileId file_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  std::unique_ptr<FileMirror> mirror_;
  std::function<bool()> stop_requested_;
};

} // namespace trawl
