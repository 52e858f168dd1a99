// Runs the default registry over any bytes and walks every value of the report.
#include <cstddef>
#include <cstdint>
#include <span>

#include <trawl/trawl.hpp>

#include "touch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const trawl::Report report = trawl::parse_buffer(std::span(data, size));
  std::size_t n = 0;
  for (const auto& [name, entries] : report.namespaces) {
    for (const auto& [key, value] : entries) {
      n += key.size() + trawl::fuzz::touch(value);
    }
  }
  for (const auto& error : report.errors) {
    n += error.message.size();
  }
  static_cast<void>(n);
  return 0;
}
