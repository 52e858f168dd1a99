// A source over bytes that serves short reads and can fail from a given read on.
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <trawl/extractor.hpp>

#include "sources.hpp"

namespace trawl::testing {

class FakeSource final : public Source {
public:
  /// `chunk` caps every read; reads from number `fail_at` on (1-based) fail with EIO.
  FakeSource(std::vector<std::uint8_t> data, std::size_t chunk, std::size_t fail_at = 0)
      : data_(std::move(data)), inner_(data_), chunk_(chunk), fail_at_(fail_at) {}

  [[nodiscard]] IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    ++reads_;
    if (fail_at_ != 0 && reads_ >= fail_at_) {
      return IoError::from_os(EIO);
    }
    return inner_.read(buffer.first(std::min(buffer.size(), chunk_)));
  }
  [[nodiscard]] IoResult<std::uint64_t> seek_to(std::uint64_t offset) override {
    return inner_.seek_to(offset);
  }
  [[nodiscard]] IoResult<std::uint64_t> seek(SeekBase base, std::int64_t offset) override {
    return inner_.seek(base, offset);
  }
  [[nodiscard]] IoResult<std::span<const std::uint8_t>> contents() override {
    loaded_ = true;
    return std::span<const std::uint8_t>(data_);
  }
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> contents_if_ready() const override {
    if (!loaded_) {
      return std::nullopt;
    }
    return std::span<const std::uint8_t>(data_);
  }

  [[nodiscard]] std::size_t reads() const { return reads_; }

private:
  std::vector<std::uint8_t> data_;
  BufferSource inner_;
  std::size_t chunk_;
  std::size_t fail_at_;
  std::size_t reads_ = 0;
  bool loaded_ = false;
};

} // namespace trawl::testing
