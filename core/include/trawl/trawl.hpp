// Entry points: parse a source with a registry, with the defaults, or a file by path.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <trawl/expected.hpp>
#include <trawl/extractor.hpp>
#include <trawl/value.hpp>

namespace trawl {

/// The outcome of one parse.
struct Report {
  std::map<std::string, Map, std::less<>> namespaces; ///< by name, sorted byte-wise
  std::vector<ReportError> errors;                    ///< in registry order
  bool interrupted = false; ///< the run was stopped on request and is incomplete
};

/// Runs `registry` over `source` of `len` bytes.
[[nodiscard]] Report parse_with(const Registry& registry, Source& source, std::uint64_t len,
                                const RunOptions& options = {});
/// Runs the default registry.
[[nodiscard]] Report parse(Source& source, std::uint64_t len, const RunOptions& options = {});
/// Runs the default registry over a caller's buffer, without copying it.
[[nodiscard]] Report parse_buffer(std::span<const std::uint8_t> data,
                                  const RunOptions& options = {});
/// Opens a file (path as raw bytes) and parses it, adding the path facts.
[[nodiscard]] Expected<Report, IoError> parse_path(std::string_view path,
                                                   const RunOptions& options = {});

/// The version of the library, from the build (CMakeLists.txt's project line).
inline constexpr std::string_view version = TRAWL_VERSION;

} // namespace trawl
