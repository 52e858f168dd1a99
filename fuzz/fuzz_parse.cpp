// Runs the default registry over any bytes and walks every value of the report.
#include <cstddef>
#include <cstdint>
#include <span>

#include <trawl/trawl.hpp>

namespace {

std::size_t touch(const trawl::Value& value) {
  std::size_t n = 1;
  if (value.kind() == trawl::Kind::List) {
    for (const auto& item : value.as_list()) {
      n += touch(item);
    }
  } else if (value.kind() == trawl::Kind::Map) {
    for (const auto& [key, item] : value.as_map()) {
      n += key.size() + touch(item);
    }
  } else if (value.kind() == trawl::Kind::Bytes) {
    n += trawl::render_bytes(value.as_bytes()).size();
  }
  return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const trawl::Report report = trawl::parse_buffer(std::span(data, size));
  std::size_t n = 0;
  for (const auto& [name, entries] : report.namespaces) {
    for (const auto& [key, value] : entries) {
      n += key.size() + touch(value);
    }
  }
  for (const auto& error : report.errors) {
    n += error.message.size();
  }
  static_cast<void>(n);
  return 0;
}
