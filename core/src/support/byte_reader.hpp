// Bounds-checked reading of file structures: every read either succeeds whole or gives nothing
// and leaves the cursor where it was. Reads through a file's cache may throw std::bad_alloc,
// which the registry turns into the extractor's "out of memory".
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "byte_search.hpp"
#include "file_cache.hpp"

namespace trawl {

/// Which end of a multi-byte field comes first, for formats that say so in their header.
enum class ByteOrder : std::uint8_t { Little, Big };

/// Exactly N bytes of a fixed layout (a header, a record), copied out of the input: fields are
/// read at offsets the compiler checks against N, so none can fail.
template <std::size_t N> class Fixed {
public:
  explicit Fixed(const std::array<std::uint8_t, N>& bytes,
                 ByteOrder order = ByteOrder::Little) noexcept
      : bytes_(bytes), order_(order) {}

  template <std::size_t at> [[nodiscard]] std::uint8_t u8() const noexcept {
    return static_cast<std::uint8_t>(get<at, 1>(true));
  }
  template <std::size_t at> [[nodiscard]] std::uint16_t u16_be() const noexcept {
    return static_cast<std::uint16_t>(get<at, 2>(true));
  }
  template <std::size_t at> [[nodiscard]] std::uint16_t u16_le() const noexcept {
    return static_cast<std::uint16_t>(get<at, 2>(false));
  }
  template <std::size_t at> [[nodiscard]] std::uint32_t u24_be() const noexcept {
    return static_cast<std::uint32_t>(get<at, 3>(true));
  }
  template <std::size_t at> [[nodiscard]] std::uint32_t u24_le() const noexcept {
    return static_cast<std::uint32_t>(get<at, 3>(false));
  }
  template <std::size_t at> [[nodiscard]] std::uint32_t u32_be() const noexcept {
    return static_cast<std::uint32_t>(get<at, 4>(true));
  }
  template <std::size_t at> [[nodiscard]] std::uint32_t u32_le() const noexcept {
    return static_cast<std::uint32_t>(get<at, 4>(false));
  }
  template <std::size_t at> [[nodiscard]] std::uint64_t u64_be() const noexcept {
    return get<at, 8>(true);
  }
  /// In the byte order of the reader the layout came from.
  template <std::size_t at> [[nodiscard]] std::uint16_t u16() const noexcept {
    return static_cast<std::uint16_t>(get<at, 2>(order_ == ByteOrder::Big));
  }
  template <std::size_t at> [[nodiscard]] std::uint32_t u32() const noexcept {
    return static_cast<std::uint32_t>(get<at, 4>(order_ == ByteOrder::Big));
  }
  template <std::size_t at> [[nodiscard]] std::uint64_t u64() const noexcept {
    return get<at, 8>(order_ == ByteOrder::Big);
  }
  /// The n bytes at `at`.
  template <std::size_t at, std::size_t n>
  [[nodiscard]] std::span<const std::uint8_t, n> bytes() const noexcept {
    static_assert(at + n <= N, "field past the end of the layout");
    return std::span<const std::uint8_t, N>(bytes_).template subspan<at, n>();
  }

private:
  template <std::size_t at, std::size_t n>
  [[nodiscard]] std::uint64_t get(bool big_endian) const noexcept {
    static_assert(at + n <= N, "field past the end of the layout");
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t b = bytes_[at + (big_endian ? i : n - 1 - i)];
      v = (v << 8U) | b;
    }
    return v;
  }

  std::array<std::uint8_t, N> bytes_;
  ByteOrder order_;
};

/// A view of bytes with a cursor: either memory that outlives the reader (a caller's buffer, a
/// file read whole) or a range of a large file, read through its cache as the reader goes.
class ByteReader {
public:
  explicit ByteReader(std::span<const std::uint8_t> data) noexcept
      : data_(data), size_(data.size()) {}
  /// The whole of a file behind `cache`.
  explicit ByteReader(FileCache& cache) noexcept
      : cache_(&cache), size_(static_cast<std::size_t>(cache.size())) {}

  [[nodiscard]] std::size_t position() const noexcept { return pos_; }
  [[nodiscard]] std::size_t remaining() const noexcept { return size_ - pos_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool at_end() const noexcept { return pos_ == size_; }

  [[nodiscard]] std::optional<std::uint8_t> u8() { return narrow<std::uint8_t>(take<1, false>()); }
  [[nodiscard]] std::optional<std::uint16_t> u16_be() {
    return narrow<std::uint16_t>(take<2, true>());
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_le() {
    return narrow<std::uint16_t>(take<2, false>());
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_be() {
    return narrow<std::uint32_t>(take<4, true>());
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_le() {
    return narrow<std::uint32_t>(take<4, false>());
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_be() { return take<8, true>(); }
  [[nodiscard]] std::optional<std::uint64_t> u64_le() { return take<8, false>(); }

  /// The same bytes read in `order` by u16_at, u32_at and fixed layouts' u16, u32.
  [[nodiscard]] ByteReader with_order(ByteOrder order) const noexcept {
    ByteReader out = *this;
    out.order_ = order;
    return out;
  }
  [[nodiscard]] ByteOrder order() const noexcept { return order_; }

  /// The N bytes at `offset` as a fixed layout in this reader's byte order.
  template <std::size_t N> [[nodiscard]] std::optional<Fixed<N>> fixed(std::uint64_t offset) const {
    if (!fits(offset, N)) {
      return std::nullopt;
    }
    std::array<std::uint8_t, N> got{};
    copy(offset, got);
    return Fixed<N>(got, order_);
  }
  /// The next N bytes as a fixed layout; the cursor moves past them.
  template <std::size_t N> [[nodiscard]] std::optional<Fixed<N>> take_fixed() {
    auto out = fixed<N>(pos_);
    if (out) {
      pos_ += N;
    }
    return out;
  }
  /// Every byte of the reader.
  [[nodiscard]] ByteView whole() const { return clipped_at(0, size_); }
  /// The bytes from `offset`, at most n of them: fewer where the data ends first.
  [[nodiscard]] ByteView clipped_at(std::uint64_t offset, std::uint64_t n) const {
    const std::uint64_t from = std::min<std::uint64_t>(offset, size_);
    const std::uint64_t count = std::min<std::uint64_t>(n, size_ - from);
    if (cache_ == nullptr) {
      return ByteView(
          data_.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(count)));
    }
    return cache_->view(base_ + from, static_cast<std::size_t>(count));
  }
  /// A child reader over the next n bytes, fewer where the data ends first; the cursor moves
  /// past them.
  [[nodiscard]] ByteReader sub_clipped(std::uint64_t n) noexcept {
    ByteReader child = sub_clipped_at(pos_, n);
    pos_ += child.size_;
    return child;
  }
  /// A child reader over the bytes from `offset`, at most n of them: fewer where the data ends
  /// first, none from past its end.
  [[nodiscard]] ByteReader sub_clipped_at(std::uint64_t offset, std::uint64_t n) const noexcept {
    const std::uint64_t from = std::min<std::uint64_t>(offset, size_);
    ByteReader child = *this;
    child.pos_ = 0;
    child.size_ = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - from));
    if (cache_ == nullptr) {
      child.data_ = data_.subspan(static_cast<std::size_t>(from), child.size_);
    } else {
      child.base_ = base_ + from;
    }
    return child;
  }

  /// The next n bytes.
  [[nodiscard]] std::optional<ByteView> bytes(std::uint64_t n) {
    auto out = bytes_at(pos_, n);
    if (out) {
      pos_ += out->size();
    }
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
  /// Moves forward n bytes without reading them.
  [[nodiscard]] bool skip(std::uint64_t n) noexcept {
    if (n > remaining()) {
      return false;
    }
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  /// Moves to an absolute offset (the end itself is allowed).
  [[nodiscard]] bool seek(std::uint64_t offset) noexcept {
    if (offset > size_) {
      return false;
    }
    pos_ = static_cast<std::size_t>(offset);
    return true;
  }

  /// Random access: the bytes at `offset`, without moving the cursor.
  [[nodiscard]] std::optional<ByteView> bytes_at(std::uint64_t offset, std::uint64_t n) const {
    if (!fits(offset, n)) {
      return std::nullopt;
    }
    if (cache_ == nullptr) {
      return ByteView(data_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n)));
    }
    return cache_->view(base_ + offset, static_cast<std::size_t>(n));
  }
  /// A child reader over n bytes at `offset`, read only as it reads them.
  [[nodiscard]] std::optional<ByteReader> sub_at(std::uint64_t offset,
                                                 std::uint64_t n) const noexcept {
    if (!fits(offset, n)) {
      return std::nullopt;
    }
    ByteReader child = *this;
    child.pos_ = 0;
    child.size_ = static_cast<std::size_t>(n);
    if (cache_ == nullptr) {
      child.data_ = data_.subspan(static_cast<std::size_t>(offset), child.size_);
    } else {
      child.base_ = base_ + offset;
    }
    return child;
  }
  [[nodiscard]] std::optional<std::uint8_t> u8_at(std::uint64_t offset) const {
    return narrow<std::uint8_t>(at<1, false>(offset));
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_be_at(std::uint64_t offset) const {
    return narrow<std::uint16_t>(at<2, true>(offset));
  }
  [[nodiscard]] std::optional<std::uint16_t> u16_le_at(std::uint64_t offset) const {
    return narrow<std::uint16_t>(at<2, false>(offset));
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_be_at(std::uint64_t offset) const {
    return narrow<std::uint32_t>(at<4, true>(offset));
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_le_at(std::uint64_t offset) const {
    return narrow<std::uint32_t>(at<4, false>(offset));
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_be_at(std::uint64_t offset) const {
    return at<8, true>(offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_le_at(std::uint64_t offset) const {
    return at<8, false>(offset);
  }
  /// In this reader's byte order.
  [[nodiscard]] std::optional<std::uint16_t> u16_at(std::uint64_t offset) const {
    return order_ == ByteOrder::Big ? u16_be_at(offset) : u16_le_at(offset);
  }
  [[nodiscard]] std::optional<std::uint32_t> u32_at(std::uint64_t offset) const {
    return order_ == ByteOrder::Big ? u32_be_at(offset) : u32_le_at(offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> u64_at(std::uint64_t offset) const {
    return order_ == ByteOrder::Big ? u64_be_at(offset) : u64_le_at(offset);
  }
  /// The offset of the first `byte` at or after `offset`, or size(). Pages of a large file that
  /// its whole read found to be zeros are not read again.
  [[nodiscard]] std::uint64_t find(std::uint8_t byte, std::uint64_t offset) const {
    if (offset >= size_) {
      return size_;
    }
    if (cache_ != nullptr) {
      return cache_->find(byte, base_ + offset, base_ + size_) - base_;
    }
    return find_byte(data_, byte, static_cast<std::size_t>(offset), size_);
  }
  /// How many zero bytes start at `offset`.
  [[nodiscard]] std::uint64_t zeros_at(std::uint64_t offset) const {
    if (offset >= size_) {
      return 0;
    }
    if (cache_ != nullptr) {
      return cache_->skip_zeros(base_ + offset, base_ + size_) - (base_ + offset);
    }
    return first_nonzero(data_, static_cast<std::size_t>(offset), size_) - offset;
  }

  /// True when `text` lies at `offset` (and wholly inside the data).
  [[nodiscard]] bool matches_at(std::uint64_t offset, std::string_view text) const {
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

  /// Whether n bytes at `offset` lie inside the data, without reading them.
  [[nodiscard]] bool fits(std::uint64_t offset, std::uint64_t n) const noexcept {
    return offset <= size_ && n <= size_ - offset;
  }

private:
  // Copies the bytes at `offset`, which fit.
  template <std::size_t N> void copy(std::uint64_t offset, std::array<std::uint8_t, N>& out) const {
    if (cache_ == nullptr) {
      const auto part = data_.subspan(static_cast<std::size_t>(offset), N);
      std::copy(part.begin(), part.end(), out.begin());
    } else {
      cache_->copy(base_ + offset, out);
    }
  }
  template <std::size_t N, bool BigEndian>
  [[nodiscard]] std::optional<std::uint64_t> at(std::uint64_t offset) const {
    if (!fits(offset, N)) {
      return std::nullopt;
    }
    std::array<std::uint8_t, N> got{};
    copy(offset, got);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < N; ++i) {
      const std::uint64_t b = got[BigEndian ? i : N - 1 - i];
      v = (v << 8U) | b;
    }
    return v;
  }
  template <std::size_t N, bool BigEndian> [[nodiscard]] std::optional<std::uint64_t> take() {
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

  std::span<const std::uint8_t> data_; // without a cache
  FileCache* cache_ = nullptr;
  std::uint64_t base_ = 0; // with a cache: where the view starts in the file
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  ByteOrder order_ = ByteOrder::Little;
};

} // namespace trawl
