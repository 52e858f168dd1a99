// Small byte builders so that each test row shows only the bytes that matter.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include <trawl/trawl.hpp>

#include "sources.hpp"

namespace trawl::testing {

using Bytes = std::vector<std::uint8_t>;

/// Bytes of a text, embedded NULs included when given as a string_view with its length.
inline Bytes text(std::string_view s) {
  return {s.begin(), s.end()};
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

inline Bytes be16(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 8U), static_cast<std::uint8_t>(v)};
}
inline Bytes le16(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8U)};
}
inline Bytes be32(std::uint32_t v) {
  return cat({be16(v >> 16U), be16(v & 0xFFFFU)});
}
inline Bytes le32(std::uint32_t v) {
  return cat({le16(v & 0xFFFFU), le16(v >> 16U)});
}

/// A JPEG marker segment whose length field counts itself and the payload.
inline Bytes jpeg_segment(std::uint8_t code, const Bytes& payload) {
  return cat({{0xFF, code}, be16(static_cast<std::uint32_t>(payload.size() + 2)), payload});
}

/// A PNG chunk; the CRC is never checked, so zeros stand in for it.
inline Bytes png_chunk(std::string_view type, const Bytes& data) {
  return cat({be32(static_cast<std::uint32_t>(data.size())), text(type), data, Bytes(4, 0)});
}

/// The namespace `name` of a parse over `data`, empty when absent.
inline Map parsed(const Bytes& data, std::string_view name) {
  const Report report = parse_buffer(data);
  const auto it = report.namespaces.find(name);
  return it == report.namespaces.end() ? Map{} : it->second;
}

/// The error messages of a parse over `data`.
inline std::vector<std::string> errors_of(const Bytes& data) {
  std::vector<std::string> out;
  for (const auto& e : parse_buffer(data).errors) {
    out.push_back(e.extractor + ": " + e.message);
  }
  return out;
}

} // namespace trawl::testing
