#include <trawl/value.hpp>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace trawl {

Namespace& Namespace::set(std::string_view key, Value value) {
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    entries_.emplace(std::string(key), std::move(value));
  } else {
    it->second = std::move(value);
  }
  return *this;
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  constexpr std::string_view digits = "0123456789abcdef";
  const std::size_t start = out.size();
  out.resize(start + bytes.size() * 2);
  const std::span<char> dst = std::span<char>(out).subspan(start);
  std::size_t i = 0;
#ifdef __SSE2__
  // Sixteen bytes at a time: split into nibbles, map 0-9 and a-f, interleave high and low.
  const __m128i low_mask = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero_char = _mm_set1_epi8('0');
  const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
  const auto to_chars = [&](__m128i nibbles) {
    const __m128i letters = _mm_cmpgt_epi8(nibbles, nine);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero_char), _mm_and_si128(letters, letter_gap));
  };
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&bytes[i])); // NOLINT
    const __m128i high = to_chars(_mm_and_si128(_mm_srli_epi16(v, 4), low_mask));
    const __m128i low = to_chars(_mm_and_si128(v, low_mask));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&dst[2 * i]), // NOLINT
                     _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&dst[2 * i + 16]), // NOLINT
                     _mm_unpackhi_epi8(high, low));
  }
#endif
  for (; i < bytes.size(); ++i) {
    dst[2 * i] = digits[bytes[i] >> 4U];
    dst[2 * i + 1] = digits[bytes[i] & 0x0FU];
  }
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

std::string render_bytes(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t shown = 64;
  if (bytes.size() <= shown) {
    return to_hex(bytes);
  }
  return to_hex(bytes.first(shown)) + "... (" + std::to_string(bytes.size()) + " bytes)";
}

} // namespace trawl
