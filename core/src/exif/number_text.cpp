#include "number_text.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <locale>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace trawl::exif {

void append_digits(std::string& out, std::int64_t v) {
  std::array<char, 24> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  out.append(buf.data(), r.ptr);
}

void append_digits(std::string& out, std::uint64_t v) {
  std::array<char, 24> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  out.append(buf.data(), r.ptr);
}

namespace {

// Significant digits and the decimal exponent of the first: d1.d2d3... * 10^exponent.
struct Digits {
  std::array<char, 32> text{};
  std::size_t size = 0;
  int exponent = 0;
  [[nodiscard]] std::string_view view() const noexcept { return {text.data(), size}; }
};

// Shortest (precision < 0) or rounded scientific digits of a value, via std::to_chars.
template <class F> Digits scientific(F value, int precision = -1) {
  std::array<char, 64> buf{};
  const auto r = precision < 0 ? std::to_chars(buf.data(), std::to_address(buf.end()), value,
                                               std::chars_format::scientific)
                               : std::to_chars(buf.data(), std::to_address(buf.end()), value,
                                               std::chars_format::scientific, precision);
  const std::string_view sci(buf.data(), static_cast<std::size_t>(r.ptr - buf.data()));
  Digits d;
  const std::size_t e = sci.find('e');
  for (const char c : sci.substr(0, e)) {
    if (c != '.') {
      d.text.at(d.size++) = c;
    }
  }
  // The exponent always carries its sign: "e+05", "e-324".
  for (const char c : sci.substr(e + 2)) {
    d.exponent = d.exponent * 10 + (c - '0');
  }
  if (sci[e + 1] == '-') {
    d.exponent = -d.exponent;
  }
  return d;
}

// The power of two of the lowest set bit of a finite non-zero value: its last decimal digit
// sits at that power of ten when the power is negative.
template <class F> int lowest_bit_exponent(F value) {
  constexpr int bits = std::numeric_limits<F>::digits;
  int exponent = 0;
  const F fraction = std::frexp(value, &exponent);
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, bits));
  return exponent - bits + std::countr_zero(mantissa);
}

// Whether the shortest digits are the lower of two candidates equally close to the value: the
// value is exactly those digits followed by one 5. The shortest digits come back with ties to
// even, so when the upper candidate is the even one they already are the answer.
template <class F> bool is_tie_below(F magnitude, const Digits& shortest) {
  // Both neighbours of such a midpoint read back as the value only when the digits are about as
  // many as the mantissa holds: at least 16 for a double, 7 for a float (fewer for subnormals).
  constexpr std::size_t min_digits = std::numeric_limits<F>::digits10 + 1;
  if (magnitude == 0 || (shortest.size < min_digits && std::isnormal(magnitude))) {
    return false;
  }
  const Digits longer = scientific(magnitude, static_cast<int>(shortest.size));
  const int last_digit = longer.exponent - static_cast<int>(shortest.size);
  return longer.exponent == shortest.exponent && longer.view().back() == '5' &&
         longer.view().starts_with(shortest.view()) && last_digit < 0 &&
         last_digit == lowest_bit_exponent(magnitude);
}

// Correctly rounded text to value. Standard libraries without floating-point from_chars
// (libc++ before 20) parse with a stream in the classic locale, so never with a decimal comma.
template <class F> F read_float(const std::string& text) {
  F back{};
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
  std::from_chars(std::to_address(text.begin()), std::to_address(text.end()), back);
#else
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> back;
#endif
  return back;
}

// The upper of two tied candidates, when it reads back as the same value.
template <class F> std::optional<Digits> round_up(F magnitude, const Digits& digits) {
  Digits up = digits;
  std::size_t i = up.size;
  while (i > 0 && up.text.at(i - 1) == '9') {
    up.text.at(--i) = '0';
  }
  if (i == 0) {
    up.text.at(0) = '1'; // 99.9 becomes 100, one digit fewer after the trailing zeros go
    ++up.exponent;
  } else {
    ++up.text.at(i - 1);
  }
  std::string text(1, up.text.front());
  text += '.';
  text.append(up.view().substr(1));
  text += 'e';
  text += std::to_string(up.exponent);
  const F back = read_float<F>(text);
  return back == magnitude ? std::optional<Digits>(up) : std::nullopt;
}

// Shortest digits that read back as the value, ties to the larger magnitude, written without
// an exponent.
template <class F> std::string format_float(F value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "inf" : "-inf";
  }
  const F magnitude = std::fabs(value);
  Digits d = scientific(magnitude);
  if (is_tie_below(magnitude, d)) {
    d = round_up(magnitude, d).value_or(d);
  }
  while (d.size > 1 && d.text.at(d.size - 1) == '0') {
    --d.size;
  }

  std::string out = std::signbit(value) ? "-" : "";
  const std::string_view digits = d.view();
  const auto n = static_cast<int>(digits.size());
  if (d.exponent >= n - 1) {
    out += digits;
    const int zeros = d.exponent - (n - 1);
    out.append(static_cast<std::size_t>(zeros), '0');
  } else if (d.exponent < 0) {
    out += "0.";
    const int zeros = -d.exponent - 1;
    out.append(static_cast<std::size_t>(zeros), '0');
    out += digits;
  } else {
    const int integer_digits = d.exponent + 1;
    const auto point = static_cast<std::size_t>(integer_digits);
    out += digits.substr(0, point);
    out += '.';
    out += digits.substr(point);
  }
  return out;
}

} // namespace

std::string format_decimal(double value) {
  return format_float(value);
}

std::string format_decimal(float value) {
  return format_float(value);
}

} // namespace trawl::exif
