// Runs the default registry over any bytes from memory and from a file, walks every value of the
// report, and stops on any difference between the two: the file's mirror and the shared pass
// must see what the buffer shows. Inputs of odd length are read in the thorough mode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include <trawl/trawl.hpp>

#include "sources.hpp"
#include "touch.hpp"
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The report of the same bytes read through a file descriptor, kept whole once read or read
// through the page cache as the readers go.
trawl::Report parse_as_file(std::span<const std::uint8_t> bytes, bool cached,
                            const trawl::RunOptions& options) {
  const int fd = ::memfd_create("fuzz", 0);
  if (fd < 0) {
    std::abort();
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.subspan(done).data(), bytes.size() - done);
    if (n <= 0) {
      std::abort();
    }
    done += static_cast<std::size_t>(n);
  }
  trawl::Report report;
  {
    trawl::FileSource source(fd, bytes.size(), cached ? 0 : trawl::FileSource::whole_limit);
    report = trawl::parse(source, bytes.size(), options);
  }
  ::close(fd);
  return report;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  trawl::RunOptions options;
  options.thorough = size % 2 == 1; // half the inputs take the thorough reading
  const trawl::Report report = trawl::parse_buffer(bytes, options);
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
  // Two inputs in three also go through a file, one kept whole, one through the page cache:
  // each comparison doubles the work.
  if (size % 3 == 2) {
    return 0;
  }
  const trawl::Report from_file = parse_as_file(bytes, size % 3 == 1, options);
  if (from_file.namespaces != report.namespaces || from_file.errors != report.errors) {
    std::abort();
  }
  return 0;
}
