// The operating-system calls the core makes, in one place: POSIX (Linux, macOS, the BSDs,
// musl) and Windows. Everything else in the core is plain C++.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <trawl/expected.hpp>
#include <trawl/io_error.hpp>

namespace trawl::platform {

#if defined(_WIN32)
using FileId = void*; // a HANDLE
#else
using FileId = int; // a descriptor
#endif

/// The system's description of an error code, then " (os error N)".
[[nodiscard]] std::string error_text(int code);

/// The system's code for the last failed call (errno, or GetLastError on Windows).
[[nodiscard]] int last_error() noexcept;
/// Whether `code` says a signal interrupted the call (never on Windows).
[[nodiscard]] bool interrupted(int code) noexcept;

#if defined(_WIN32)
inline constexpr int invalid_argument = 87; // ERROR_INVALID_PARAMETER
inline constexpr int out_of_memory = 8;     // ERROR_NOT_ENOUGH_MEMORY
#else
inline constexpr int invalid_argument = EINVAL;
inline constexpr int out_of_memory = ENOMEM;
#endif

struct FileStat {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> modified; // whole seconds since the epoch, none before it
  std::optional<std::uint64_t> created;  // where the file system keeps a birth time
  // Modification and status-change times in the system's finest unit: equal stamps at the
  // start and end of a read say the file was left alone.
  std::int64_t modified_stamp = 0;
  std::int64_t changed_stamp = 0;
  bool sized = false; // a regular file, whose size tells where its data ends
};

/// Opens a file for reading without waiting for a FIFO's writer; closed by close_file.
[[nodiscard]] Expected<FileId, IoError> open_file(const std::string& path);
/// Whether the file lies on a file system whose sizes say nothing of the data (/proc, /sys and
/// their kind on Linux), so that it is read to its end whatever its size says.
[[nodiscard]] bool on_pseudo_file_system(FileId file) noexcept;
/// Lets reads of a file that is not a regular one (a FIFO, a device) wait for data again, as
/// open_file left them not to.
void make_blocking(FileId file) noexcept;
void close_file(FileId file) noexcept;
[[nodiscard]] IoResult<FileStat> stat_file(FileId file);

/// One read at the current position; an interrupted read is retried unless `stop` says no.
[[nodiscard]] IoResult<std::size_t> read(FileId file, std::span<std::uint8_t> buffer,
                                         const std::function<bool()>& stop);

enum class From { Start, Current, End };
[[nodiscard]] IoResult<std::uint64_t> seek(FileId file, std::int64_t offset, From from);

/// Reads at `offset` without moving the position, until `buffer` is full, the end of the file
/// or an error; returns the bytes read.
[[nodiscard]] std::size_t read_at(FileId file, std::span<std::uint8_t> buffer,
                                  std::uint64_t offset) noexcept;

/// Where the file's next data at or after `offset` starts, skipping a hole (bytes that read as
/// zero and are stored nowhere); `offset` itself when the system cannot tell. The position is
/// kept.
[[nodiscard]] std::uint64_t next_data(FileId file, std::uint64_t offset,
                                      std::uint64_t end) noexcept;

/// The separators of path components.
#if defined(_WIN32)
inline constexpr std::string_view path_separators = "/\\";
#else
inline constexpr std::string_view path_separators = "/";
#endif

} // namespace trawl::platform
