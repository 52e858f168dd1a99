// Text decoding and number formatting shared by the extractors.
#pragma once

#include <string>
#include <string_view>

namespace trawl {

/// UTF-8 with each maximal invalid subsequence replaced by U+FFFD.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

/// Rounds to `decimals` places, halves away from zero.
[[nodiscard]] double round_to(double x, int decimals);

} // namespace trawl
