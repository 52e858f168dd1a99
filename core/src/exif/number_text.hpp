// Number text for EXIF values: integers, and the shortest decimal that reads back as the same
// binary value, ties to the larger magnitude, laid out without an exponent.
#pragma once

#include <cstdint>
#include <string>

namespace trawl::exif {

void append_digits(std::string& out, std::int64_t v);
void append_digits(std::string& out, std::uint64_t v);

/// Shortest decimal text that reads back as the same double, laid out without an exponent.
[[nodiscard]] std::string format_decimal(double value);
/// The same for a single-precision value, with digits chosen for single precision.
[[nodiscard]] std::string format_decimal(float value);

} // namespace trawl::exif
