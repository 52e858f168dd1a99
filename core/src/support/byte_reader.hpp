// Bounds-checked reading of file structures: every read either succeeds whole or gives nothing
// and leaves the cursor where it was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "file_mirror.hpp"

namespace trawl {

/// A non-owning view of bytes with a cursor. Over a file's mirror, every read first loads the
/// bytes it returns, and child readers do the same.
class ByteReader {
public:
  explicit ByteReader(std::span<const std::uint8_t> data, FileMirror* mirror = nullptr) noexcept
      : data_(data), mirror_(mirror) {}

  [[nodiscard]] std::size_t position() const noexcept { return pos_; }
  [[nodiscard]] std::size_t remaining() const noexcept { return data_.size() - pos_; }
  [[nodiscard]] std::size_t size() const noexcept { return data_.size(); }
  [[nodiscard]] bool at_end() const noexcept { return pos_ == data_.size(); }
  /// The whole view, not loaded: only for handing on with mirror().
  [[nodiscard]] std::span<const std::uint8_t> data() const noexcept { return data_; }
  /// The file mirror the view lies in, or null.
  [[nodiscard]] FileMirror* mirror() const noexcept { return mirror_; }

  [[nodiscard]] std::optional<std::uint8_t> u8() noexcept {
    return narrow<std::uint8_t>(take<1, false>());
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_be() noexcept {
    return narrow<std::uint16_t>(take<2, true>());
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_le() noexcept {
    return narrow<std::uint16_t>(take<2, false>());
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_be() noexcept {
    return narrow<std::uint32_t>(take<4, true>());
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_le() noexcept {
    return narrow<std::uint32_t>(take<4, false>());
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_be() noexcept { return take<8, true>(); }
  [[nodiscard]] std::optional<std::uint64_t> u64_le() noexcept { return take<8, false>(); }

  /// The next n bytes as a sub-span.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> bytes(std::uint64_t n) noexcept {
    if (n > remaining()) {
      return std::nullopt;
    }
    const auto out = data_.subspan(pos_, static_cast<std::size_t>(n));
    touch(out);
    pos_ += out.size();
    return out;
  }
  /// A child reader over the next n bytes, loaded only as it reads them; the cursor moves
  /// past them.
  [[nodiscard]] std::optional<ByteReader> sub(std::uint64_t n) noexcept {
    auto child = sub_at(pos_, n);
    if (child) {
      pos_ += child->size();
    }
    return child;
  }
  /// Moves forward n bytes.
  [[nodiscard]] bool skip(std::uint64_t n) noexcept { return bytes(n).has_value(); }
  /// Moves to an absolute offset (the end itself is allowed).
  [[nodiscard]] bool seek(std::uint64_t offset) noexcept {
    if (offset > data_.size()) {
      return false;
    }
    pos_ = static_cast<std::size_t>(offset);
    return true;
  }

  /// Random access: the bytes at `offset`, without moving the cursor.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>>
  bytes_at(std::uint64_t offset, std::uint64_t n) const noexcept {
    if (offset > data_.size() || n > data_.size() - offset) {
      return std::nullopt;
    }
    const auto out = data_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n));
    touch(out);
    return out;
  }
  /// A child reader over n bytes at `offset`, without loading them yet.
  [[nodiscard]] std::optional<ByteReader> sub_at(std::uint64_t offset,
                                                 std::uint64_t n) const noexcept {
    if (offset > data_.size() || n > data_.size() - offset) {
      return std::nullopt;
    }
    return ByteReader(data_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n)),
                      mirror_);
  }
  [[nodiscard]] std::optional<std::uint8_t> u8_at(std::uint64_t offset) const noexcept {
    return narrow<std::uint8_t>(at<1, false>(offset));
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_be_at(std::uint64_t offset) const noexcept {
    return narrow<std::uint16_t>(at<2, true>(offset));
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_le_at(std::uint64_t offset) const noexcept {
    return narrow<std::uint16_t>(at<2, false>(offset));
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_be_at(std::uint64_t offset) const noexcept {
    return narrow<std::uint32_t>(at<4, true>(offset));
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_le_at(std::uint64_t offset) const noexcept {
    return narrow<std::uint32_t>(at<4, false>(offset));
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_be_at(std::uint64_t offset) const noexcept {
    return at<8, true>(offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_le_at(std::uint64_t offset) const noexcept {
    return at<8, false>(offset);
  }
  /// True when `text` lies at `offset` (and wholly inside the data).
  [[nodiscard]] bool matches_at(std::uint64_t offset, std::string_view text) const noexcept {
    const auto got = bytes_at(offset, text.size());
    if (!got) {
      return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((*got)[i] != static_cast<std::uint8_t>(text[i])) {
        return false;
      }
    }
    return true;
  }

private:
  void touch(std::span<const std::uint8_t> part) const noexcept {
    if (mirror_ != nullptr) {
      mirror_->load(part);
    }
  }
  template <std::size_t N, bool BigEndian>
  [[nodiscard]] std::optional<std::uint64_t> at(std::uint64_t offset) const noexcept {
    const auto got = bytes_at(offset, N);
    if (!got) {
      return std::nullopt;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < N; ++i) {
      const std::uint64_t b = (*got)[BigEndian ? i : N - 1 - i];
      v = (v << 8U) | b;
    }
    return v;
  }
  template <std::size_t N, bool BigEndian>
  [[nodiscard]] std::optional<std::uint64_t> take() noexcept {
    const auto v = at<N, BigEndian>(pos_);
    if (v) {
      pos_ += N;
    }
    return v;
  }
  template <class T>
  [[nodiscard]] static std::optional<T> narrow(std::optional<std::uint64_t> v) noexcept {
    if (!v) {
      return std::nullopt;
    }
    return static_cast<T>(*v);
  }

  std::span<const std::uint8_t> data_;
  FileMirror* mirror_ = nullptr;
  std::size_t pos_ = 0;
};

} // namespace trawl
