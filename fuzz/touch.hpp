// Visits every part of a value, so that the sanitizers see each one read.
#pragma once

#include <cstddef>

#include <trawl/value.hpp>

namespace trawl::fuzz {

inline std::size_t touch(const Value& value) {
  std::size_t n = 1;
  if (value.kind() == Kind::List) {
    for (const auto& item : value.as_list()) {
      n += touch(item);
    }
  } else if (value.kind() == Kind::Map) {
    for (const auto& [key, item] : value.as_map()) {
      n += key.size() + touch(item);
    }
  } else if (value.kind() == Kind::Bytes) {
    n += render_bytes(value.as_bytes()).size();
  } else if (value.kind() == Kind::String) {
    n += value.as_string().size();
  }
  return n;
}

} // namespace trawl::fuzz
