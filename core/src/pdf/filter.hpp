// Stream filters of ISO 32000-1 7.4 that cross-reference, object and metadata streams use:
// FlateDecode (zlib) with PNG and TIFF predictors, ASCIIHexDecode, ASCII85Decode.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "object.hpp"

namespace trawl::pdf {

/// Decoded stream data; `capped` when the output reached the cap and was cut there.
struct Decoded {
  std::vector<std::uint8_t> bytes;
  bool capped = false;
};

/// Runs `data` through the filters named by `filter` (a name or an array of names, already
/// resolved) with their `parms` (a dictionary, an array of them, or null), producing at most
/// `cap` bytes. Nothing when a filter is unknown; damaged deflate data gives what came before
/// the damage.
[[nodiscard]] std::optional<Decoded> decode(std::span<const std::uint8_t> data,
                                            const Object* filter, const Object* parms,
                                            std::uint64_t cap);

/// zlib data, or raw deflate data where the zlib header is missing, inflated up to `cap` bytes.
[[nodiscard]] Decoded inflate(std::span<const std::uint8_t> data, std::uint64_t cap);

/// Undoes a predictor (/Predictor 2 or 10..15 with /Colors, /BitsPerComponent, /Columns);
/// nothing when the parameters make no sense.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> unpredict(std::vector<std::uint8_t> data,
                                                                 const Object& parms);

} // namespace trawl::pdf
