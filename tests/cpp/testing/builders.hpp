// Small byte builders so that each test row shows only the bytes that matter.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include <trawl/trawl.hpp>

#include "sources.hpp"
#include <zlib.h>

namespace trawl::testing {

// Tests take every builder with `using namespace testing;`, the literals included.
using namespace std::string_view_literals;

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

/// `v` in `width` bytes of either byte order.
inline Bytes uint_bytes(std::uint64_t v, std::size_t width, bool big) {
  Bytes out(width);
  for (std::size_t i = 0; i < width; ++i) {
    out[big ? width - 1 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return out;
}

/// A zlib stream made by zlib itself.
inline Bytes deflated(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  compress(out.data(), &size, data.data(), static_cast<uLong>(data.size()));
  out.resize(size);
  return out;
}

/// A JPEG marker segment whose length field counts itself and the payload.
inline Bytes jpeg_segment(std::uint8_t code, const Bytes& payload) {
  return cat({{0xFF, code}, be16(static_cast<std::uint32_t>(payload.size() + 2)), payload});
}

/// A PNG chunk; the CRC is never checked, so zeros stand in for it.
inline Bytes png_chunk(std::string_view type, const Bytes& data) {
  return cat({be32(static_cast<std::uint32_t>(data.size())), text(type), data, Bytes(4, 0)});
}

/// A TIFF directory entry with its value's bytes (big-endian); values over 4 bytes are placed
/// after the directory.
struct TiffEntry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  Bytes value;
};

inline TiffEntry ascii(std::uint16_t tag, std::string_view s) {
  return {tag, 2, static_cast<std::uint32_t>(s.size()), text(s)};
}
inline TiffEntry rationals(std::uint16_t tag,
                           const std::vector<std::pair<std::uint32_t, std::uint32_t>>& values,
                           std::uint16_t type = 5) {
  Bytes b;
  for (const auto& [n, d] : values) {
    b = cat({b, be32(n), be32(d)});
  }
  return {tag, type, static_cast<std::uint32_t>(values.size()), b};
}

inline std::uint32_t tiff_ifd_size(const std::vector<TiffEntry>& entries) {
  std::size_t size = 2 + 12 * entries.size() + 4;
  for (const TiffEntry& e : entries) {
    size += e.value.size() > 4 ? e.value.size() : 0;
  }
  return static_cast<std::uint32_t>(size);
}

/// One directory laid out at offset `at`, followed by its long values.
inline Bytes tiff_ifd(std::uint32_t at, const std::vector<TiffEntry>& entries, std::uint32_t next) {
  Bytes out = be16(static_cast<std::uint32_t>(entries.size()));
  Bytes values;
  auto value_at = static_cast<std::uint32_t>(at + 2 + 12 * entries.size() + 4);
  for (const TiffEntry& e : entries) {
    out = cat({out, be16(e.tag), be16(e.type), be32(e.count)});
    if (e.value.size() > 4) {
      out = cat({out, be32(value_at + static_cast<std::uint32_t>(values.size()))});
      values = cat({values, e.value});
    } else {
      Bytes inline_value = e.value;
      inline_value.resize(4, 0);
      out = cat({out, inline_value});
    }
  }
  return cat({out, be32(next), values});
}

/// Directories of a TIFF; the Exif and GPS ones are pointed to from the end of IFD 0.
struct TiffLayout {
  std::vector<TiffEntry> ifd0 = {};
  std::vector<TiffEntry> exif = {};
  std::vector<TiffEntry> gps = {};
  std::vector<TiffEntry> ifd1 = {};
};

/// A big-endian TIFF laid out as IFD 0, Exif IFD, GPS IFD, IFD 1.
inline Bytes tiff(TiffLayout layout) {
  std::vector<TiffEntry>& ifd0 = layout.ifd0;
  if (!layout.exif.empty()) {
    ifd0.push_back({0x8769, 4, 1, {}});
  }
  if (!layout.gps.empty()) {
    ifd0.push_back({0x8825, 4, 1, {}});
  }
  std::uint32_t at = 8 + tiff_ifd_size(ifd0);
  Bytes subs;
  for (auto [tag, entries] : {std::pair{0x8769, &layout.exif}, std::pair{0x8825, &layout.gps}}) {
    if (entries->empty()) {
      continue;
    }
    for (TiffEntry& e : ifd0) {
      if (e.tag == tag) {
        e.value = be32(at);
      }
    }
    subs = cat({subs, tiff_ifd(at, *entries, 0)});
    at += tiff_ifd_size(*entries);
  }
  const std::uint32_t next = layout.ifd1.empty() ? 0 : at;
  Bytes out = cat({text("MM"), be16(42), be32(8), tiff_ifd(8, ifd0, next), subs});
  if (!layout.ifd1.empty()) {
    out = cat({out, tiff_ifd(at, layout.ifd1, 0)});
  }
  return out;
}

/// A directory of `count` LONG entries, all holding `value`, tags counting up from `first` by
/// `step`: crafted walks where every pointer and the next offset lead back to one directory.
inline Bytes uniform_ifd(std::uint32_t count, std::uint32_t first, std::uint32_t step,
                         std::uint32_t value, std::uint32_t next) {
  Bytes out = be16(count);
  out.reserve(2 + std::size_t{12} * count + 4);
  for (std::uint32_t i = 0; i < count; ++i) {
    for (const Bytes& part : {be16(first + i * step), be16(4), be32(1), be32(value)}) {
      out.insert(out.end(), part.begin(), part.end());
    }
  }
  return cat({out, be32(next)});
}

/// An ISO base media box with a 32-bit size.
inline Bytes box(std::string_view type, const Bytes& payload) {
  return cat({be32(static_cast<std::uint32_t>(payload.size() + 8)), text(type), payload});
}

/// Compact text of a value, for table rows: {a=1 b="x" c=[...]}.
inline std::string render(const Value& v) {
  switch (v.kind()) {
  case Kind::Bool:
    return v.as_bool() ? "true" : "false";
  case Kind::UInt:
    return std::to_string(v.as_uint());
  case Kind::Int:
    return std::to_string(v.as_int());
  case Kind::Float: {
    std::string f = std::to_string(v.as_float());
    while (f.ends_with('0')) {
      f.pop_back();
    }
    return f;
  }
  case Kind::String: {
    std::string out(1, '"');
    out += v.as_string();
    out += '"';
    return out;
  }
  case Kind::List: {
    std::string out = "[";
    for (const Value& item : v.as_list()) {
      if (out.size() > 1) {
        out += ' ';
      }
      out += render(item);
    }
    return out + "]";
  }
  case Kind::Map: {
    std::string out = "{";
    for (const auto& [key, item] : v.as_map()) {
      if (out.size() > 1) {
        out += ' ';
      }
      out += key;
      out += '=';
      out += render(item);
    }
    return out + "}";
  }
  default:
    return "?";
  }
}

/// The options of a thorough reading.
inline RunOptions thorough() {
  RunOptions options;
  options.thorough = true;
  return options;
}

/// The namespace `name` of a parse over `data`, empty when absent.
inline Map parsed(const Bytes& data, std::string_view name, const RunOptions& options = {}) {
  const Report report = parse_buffer(data, options);
  const auto it = report.namespaces.find(name);
  return it == report.namespaces.end() ? Map{} : it->second;
}

/// The error messages of a parse over `data`.
inline std::vector<std::string> errors_of(const Bytes& data, const RunOptions& options = {}) {
  std::vector<std::string> out;
  for (const auto& e : parse_buffer(data, options).errors) {
    out.push_back(e.extractor + ": " + e.message);
  }
  return out;
}

} // namespace trawl::testing
