// Text decoding and number formatting shared by the extractors.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace trawl {

/// The bytes seen as characters, for comparisons and decoding.
[[nodiscard]] inline std::string_view as_chars(std::span<const std::uint8_t> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; // NOLINT
}

/// UTF-8 with each maximal invalid subsequence replaced by U+FFFD.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

/// True when `bytes` is well-formed UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

/// ISO 8859-1: each byte becomes the code point of the same value.
[[nodiscard]] std::string latin1_to_utf8(std::string_view bytes);

/// Text that is valid UTF-8 as it stands, otherwise read as ISO 8859-1; no byte is lost.
[[nodiscard]] std::string utf8_or_latin1(std::string_view bytes);

/// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, std::uint32_t code_point);

/// UTF-16 in the given byte order: an odd last byte is ignored, an unpaired surrogate becomes
/// U+FFFD, a byte-order mark is kept as U+FEFF or U+FFFE.
[[nodiscard]] std::string utf16_to_utf8(std::string_view bytes, bool big_endian);

/// Rounds to `decimals` places, halves away from zero.
[[nodiscard]] double round_to(double x, int decimals);

} // namespace trawl
