#include <trawl/value.hpp>

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

std::string to_hex(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4U]);
    out.push_back(digits[b & 0x0FU]);
  }
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
