// Bounds-checked reading of file structures: every read either succeeds whole or gives nothing
// and leaves the cursor where it was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace trawl {

/// A non-owning view of bytes with a cursor.
class ByteReader {
public:
  explicit ByteReader(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  [[nodiscard]] std::size_t position() const noexcept { return pos_; }
  [[nodiscard]] std::size_t remaining() const noexcept { return data_.size() - pos_; }
  [[nodiscard]] std::size_t size() const noexcept { return data_.size(); }
  [[nodiscard]] bool at_end() const noexcept { return pos_ == data_.size(); }

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
    pos_ += out.size();
    return out;
  }
  /// A child reader over the next n bytes; the cursor moves past them.
  [[nodiscard]] std::optional<ByteReader> sub(std::uint64_t n) noexcept {
    const auto part = bytes(n);
    if (!part) {
      return std::nullopt;
    }
    return ByteReader(*part);
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
    return data_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n));
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
  std::size_t pos_ = 0;
};

} // namespace trawl
