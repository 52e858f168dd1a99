// zlib streams (RFC 1950) inflated up to a cap, and the budget one input's inflating shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "byte_reader.hpp"

namespace trawl {

/// What one inflate gave.
struct Inflated {
  std::vector<std::uint8_t> bytes;
  bool cut = false;    ///< the cap ended the output before the stream's end
  bool broken = false; ///< the stream is damaged or ends early: `bytes` holds what came before
};

/// How the deflate data is wrapped.
enum class Wrapping : std::uint8_t { Zlib, Raw };

/// Inflates the stream of `prefix` followed by `input`, keeping at most `cap` bytes; bytes after
/// the stream's end are ignored. `input` is read a block at a time.
[[nodiscard]] Inflated inflate_data(const ByteReader& input, std::size_t cap,
                                    Wrapping wrapping = Wrapping::Zlib,
                                    std::span<const std::uint8_t> prefix = {});

/// Inflates the zlib stream at the start of `input`, keeping at most `cap` bytes.
[[nodiscard]] Inflated inflate_zlib(std::span<const std::uint8_t> input, std::size_t cap);

/// The decompressed bytes one input may produce in all: crafted chunks of a few bytes each that
/// inflate a thousandfold stay within a small multiple of the input.
class InflateBudget {
public:
  explicit InflateBudget(std::uint64_t input_size) noexcept
      : left_((std::uint64_t{4} << 20U) + 4 * input_size) {}

  /// The cap for the next stream: `cap`, or less once the budget runs low.
  [[nodiscard]] std::size_t cap(std::size_t cap) const noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(cap, left_));
  }
  /// Counts `n` produced bytes.
  void spend(std::size_t n) noexcept { left_ -= std::min<std::uint64_t>(n, left_); }

private:
  std::uint64_t left_;
};

} // namespace trawl
