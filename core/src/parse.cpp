#include <cerrno>
#include <optional>
#include <string>

#include <trawl/trawl.hpp>

#include "sources.hpp"
#include "support/text.hpp"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trawl {

Report parse_with(const Registry& registry, Source& source, std::uint64_t len,
                  const RunOptions& options) {
  RunOutput run = registry.run(source, len, options);
  Report report;
  report.interrupted = run.interrupted;
  for (Namespace& ns : run.namespaces) {
    // A later namespace of the same name replaces the earlier one.
    std::string name(ns.name());
    report.namespaces.insert_or_assign(std::move(name), std::move(ns).take_entries());
  }
  report.errors = std::move(run.errors);
  return report;
}

Report parse(Source& source, std::uint64_t len, const RunOptions& options) {
  return parse_with(Registry::with_defaults(), source, len, options);
}

Report parse_buffer(std::span<const std::uint8_t> data, const RunOptions& options) {
  BufferSource source(data);
  return parse(source, data.size(), options);
}

namespace {

// Closes the descriptor on every way out of parse_path.
class FileHandle {
public:
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&&) = delete;
  FileHandle& operator=(FileHandle&&) = delete;
  ~FileHandle() { ::close(fd_); }
  [[nodiscard]] int get() const noexcept { return fd_; }

private:
  int fd_;
};

struct FileStat {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> modified;
  std::optional<std::uint64_t> created;
};

// Whole seconds since the epoch; nothing for times before it.
std::optional<std::uint64_t> unix_seconds(std::int64_t seconds) {
  if (seconds < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(seconds);
}

// statx gives the birth time where the file system keeps one; fstat is the fallback.
Expected<FileStat, IoError> stat_file(int fd) {
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) == 0) {
    FileStat st;
    st.size = sx.stx_size;
    if ((sx.stx_mask & STATX_MTIME) != 0U) {
      st.modified = unix_seconds(sx.stx_mtime.tv_sec);
    }
    if ((sx.stx_mask & STATX_BTIME) != 0U) {
      st.created = unix_seconds(sx.stx_btime.tv_sec);
    }
    return st;
  }
  if (errno != ENOSYS && errno != EPERM) {
    return IoError::from_os(errno);
  }
  struct stat plain {};
  if (::fstat(fd, &plain) != 0) {
    return IoError::from_os(errno);
  }
  FileStat st;
  st.size = static_cast<std::uint64_t>(plain.st_size);
  st.modified = unix_seconds(plain.st_mtim.tv_sec);
  return st;
}

// The last component: trailing "/" and "." components do not count; ".." and the root have none.
std::string_view file_name(std::string_view path) {
  std::string_view last;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") {
      last = part;
    }
    start = end + 1;
  }
  return last == ".." ? std::string_view{} : last;
}

// The text after the last dot, unless the only dot opens the name (".profile").
std::optional<std::string_view> extension_of(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    return std::nullopt;
  }
  return name.substr(dot + 1);
}

void add_path_facts(Report& report, std::string_view path, const FileStat& st) {
  Map& facts = report.namespaces["file"];
  const std::string_view name = file_name(path);
  facts.insert_or_assign("name", Value(utf8_lossy(name)));
  if (const auto ext = extension_of(name)) {
    facts.insert_or_assign("extension_claimed", Value(utf8_lossy(*ext)));
  }
  if (st.modified) {
    facts.insert_or_assign("modified_unix", Value(*st.modified));
  }
  if (st.created) {
    facts.insert_or_assign("created_unix", Value(*st.created));
  }
}

} // namespace

Expected<Report, IoError> parse_path(std::string_view path, const RunOptions& options) {
  if (path.find('\0') != std::string_view::npos) {
    return IoError::from_text("file name contained an unexpected NUL byte");
  }
  const std::string owned(path);
  int fd = -1;
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; reads block
  // again afterwards, so a writer's data is still read to its end.
  do {
    fd = ::open(owned.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return IoError::from_os(errno);
  }
  const FileHandle file(fd);
  if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) {
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK); // NOLINT(hicpp-signed-bitwise)
  }
  auto st = stat_file(file.get());
  if (!st) {
    return std::move(st).error();
  }
  FileSource source(file.get());
  source.set_stop_requested(options.stop_requested);
  Report report = parse(source, st->size, options);
  add_path_facts(report, path, *st);
  return report;
}

} // namespace trawl
