#include <optional>
#include <string>

#include <trawl/trawl.hpp>

#include "sources.hpp"
#include "support/platform.hpp"
#include "support/text.hpp"

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
  // Extractors hold no state, so one registry serves every call and thread. It is never
  // destroyed: a thread still parsing while the process exits must not find it gone.
  static const Registry& registry = *new Registry(Registry::with_defaults()); // NOLINT
  return parse_with(registry, source, len, options);
}

Report parse_buffer(std::span<const std::uint8_t> data, const RunOptions& options) {
  BufferSource source(data);
  return parse(source, data.size(), options);
}

namespace {

// Closes the file on every way out of parse_path.
class FileHandle {
public:
  explicit FileHandle(platform::FileId file) noexcept : file_(file) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&&) = delete;
  FileHandle& operator=(FileHandle&&) = delete;
  ~FileHandle() { platform::close_file(file_); }
  [[nodiscard]] platform::FileId get() const noexcept { return file_; }

private:
  platform::FileId file_;
};

// The last component: trailing "/" and "." components do not count; ".." and the root have none.
std::string_view file_name(std::string_view path) {
  std::string_view last;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end =
        std::min(path.find_first_of(platform::path_separators, start), path.size());
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

void add_path_facts(Report& report, std::string_view path, const platform::FileStat& st) {
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

// What a parse by path must say when the file was not left alone while it was read: its size or
// modification time moved, or it ended before the size it had when opened (which a file of a
// pseudo file system, such as /sys, may do without changing).
std::optional<std::string> change_seen(platform::FileId file, const platform::FileStat& before,
                                       bool came_short) {
  auto after = platform::stat_file(file);
  if (after && after->size != before.size) {
    return "changed while read: size " + std::to_string(before.size) + " bytes when opened, " +
           std::to_string(after->size) + " after";
  }
  if (after && after->modified_stamp != before.modified_stamp) {
    return std::string("changed while read: modified during the read");
  }
  if (came_short && !platform::on_pseudo_file_system(file)) {
    return "changed while read: ended before its " + std::to_string(before.size) + " bytes";
  }
  return std::nullopt;
}

} // namespace

Expected<Report, IoError> parse_path(std::string_view path, const RunOptions& options) {
  if (path.find('\0') != std::string_view::npos) {
    return IoError::from_text("file name contained an unexpected NUL byte");
  }
  auto opened = platform::open_file(std::string(path));
  if (!opened) {
    return std::move(opened).error();
  }
  const FileHandle file(*opened);
  auto st = platform::stat_file(file.get());
  if (!st) {
    return std::move(st).error();
  }
  // A file's size when opened is where its data ends: one that grows is not read further. A
  // file that tells no size (a pipe, a device, an empty-looking /proc entry) is read to its end.
  if (!st->sized) {
    platform::make_blocking(file.get());
  }
  const bool sized = st->sized && (st->size > 0 || !platform::on_pseudo_file_system(file.get()));
  FileSource source(file.get(), sized ? std::optional(st->size) : std::nullopt);
  source.opened_here();
  source.set_stop_requested(options.stop_requested);
  Report report = parse(source, st->size, options);
  if (st->sized && !report.interrupted) {
    if (auto change = change_seen(file.get(), *st, source.came_short())) {
      report.errors.push_back({"file", std::move(*change)});
    }
  }
  add_path_facts(report, path, *st);
  return report;
}

} // namespace trawl
