#include "text.hpp"

#include <cmath>
#include <cstdint>

namespace trawl {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// The allowed range of the second byte after a lead byte (Unicode table 3-7); the later
// bytes of a sequence are always 80..BF.
struct LeadRule {
  std::uint8_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
};

constexpr LeadRule lead_rule(std::uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) {
    return {2};
  }
  if (b == 0xE0) {
    return {3, 0xA0, 0xBF};
  }
  if (b == 0xED) {
    return {3, 0x80, 0x9F};
  }
  if (b >= 0xE1 && b <= 0xEF) {
    return {3};
  }
  if (b == 0xF0) {
    return {4, 0x90, 0xBF};
  }
  if (b == 0xF4) {
    return {4, 0x80, 0x8F};
  }
  if (b >= 0xF1 && b <= 0xF3) {
    return {4};
  }
  return {};
}

// The length of the sequence starting at `bytes[i]` (a non-ASCII byte) that is well-formed,
// or of its maximal invalid prefix; `valid` tells which.
std::size_t sequence_at(std::string_view bytes, std::size_t i, bool& valid) noexcept {
  const LeadRule rule = lead_rule(static_cast<std::uint8_t>(bytes[i]));
  std::size_t taken = 1;
  while (taken < rule.length && i + taken < bytes.size()) {
    const auto c = static_cast<std::uint8_t>(bytes[i + taken]);
    const std::uint8_t low = taken == 1 ? rule.low : 0x80;
    const std::uint8_t high = taken == 1 ? rule.high : 0xBF;
    if (c < low || c > high) {
      break;
    }
    ++taken;
  }
  valid = rule.length != 0 && taken == rule.length;
  return taken;
}

} // namespace

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0U | (cp >> 6U)));
    out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0U | (cp >> 12U)));
    out.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
  } else {
    out.push_back(static_cast<char>(0xF0U | (cp >> 18U)));
    out.push_back(static_cast<char>(0x80U | ((cp >> 12U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
  }
}

std::string utf16_to_utf8(std::string_view bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  const auto unit_at = [&](std::size_t i) -> std::uint32_t {
    const auto a = static_cast<std::uint8_t>(bytes[i]);
    const auto b = static_cast<std::uint8_t>(bytes[i + 1]);
    return big_endian ? (std::uint32_t{a} << 8U) | b : (std::uint32_t{b} << 8U) | a;
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t u = 0; u < units; ++u) {
    const std::uint32_t unit = unit_at(2 * u);
    if (unit >= 0xD800 && unit <= 0xDBFF && u + 1 < units) {
      const std::uint32_t low = unit_at(2 * (u + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10U) + (low - 0xDC00));
        ++u;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      out.append(replacement);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    bool valid = false;
    i += sequence_at(bytes, i, valid);
    if (!valid) {
      return false;
    }
  }
  return true;
}

std::string latin1_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto b = static_cast<std::uint8_t>(ch);
    if (b < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0U | (b >> 6U)));
      out.push_back(static_cast<char>(0x80U | (b & 0x3FU)));
    }
  }
  return out;
}

std::string utf8_or_latin1(std::string_view bytes) {
  return is_valid_utf8(bytes) ? std::string(bytes) : latin1_to_utf8(bytes);
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      out.push_back(bytes[i]);
      ++i;
      continue;
    }
    bool valid = false;
    const std::size_t taken = sequence_at(bytes, i, valid);
    if (valid) {
      out.append(bytes.substr(i, taken));
    } else {
      out.append(replacement);
    }
    i += taken;
  }
  return out;
}

double round_to(double x, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(x * scale) / scale;
}

} // namespace trawl
