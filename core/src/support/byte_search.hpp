// The next byte of a small set in memory: memchr for one byte, 16 bytes at a time with SSE2
// for more, one at a time elsewhere. The streaming scans and the reader's find share it.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trawl {

/// The index of the first `byte` in bytes[from, to), or `to`.
[[nodiscard]] inline std::size_t find_byte(std::span<const std::uint8_t> bytes, std::uint8_t byte,
                                           std::size_t from, std::size_t to) noexcept {
  if (from >= to) {
    return to;
  }
  const auto range = bytes.subspan(from, to - from);
  const void* hit = std::memchr(range.data(), byte, range.size());
  return hit == nullptr ? to
                        : from + static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) -
                                                          range.data());
}

/// The index of the first byte that is not zero in bytes[from, to), or `to`; 32 bytes at a time,
/// so that a page of zeros costs little and real data ends the loop at once.
[[nodiscard]] inline std::size_t first_nonzero(std::span<const std::uint8_t> bytes,
                                               std::size_t from, std::size_t to) noexcept {
  constexpr std::size_t stride = 32;
  std::size_t i = from;
  for (; i < to && to - i >= stride; i += stride) {
    std::uint8_t any = 0;
    for (const std::uint8_t b : bytes.subspan(i, stride)) {
      any |= b;
    }
    if (any != 0) {
      break;
    }
  }
  for (; i < to; ++i) {
    if (bytes[i] != 0) {
      return i;
    }
  }
  return to;
}

/// The index of the first byte of `set` in bytes[from, to), or `to`.
template <std::uint8_t... set>
[[nodiscard]] std::size_t find_any(std::span<const std::uint8_t> bytes, std::size_t from,
                                   std::size_t to) noexcept {
  if constexpr (sizeof...(set) == 1) {
    return find_byte(bytes, set..., from, to);
  } else {
    std::size_t i = from;
#if defined(__SSE2__)
    for (; i < to && to - i >= 16; i += 16) {
      const __m128i x =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.subspan(i, 16).data())); // NOLINT
      __m128i hit = _mm_setzero_si128();
      ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(set))))), ...);
      const int mask = _mm_movemask_epi8(hit);
      if (mask != 0) {
        return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
      }
    }
#endif
    for (; i < to; ++i) {
      if (((bytes[i] == set) || ...)) {
        return i;
      }
    }
    return to;
  }
}

} // namespace trawl
