// The extractor interface, what extractors read from and are shown, and the registry.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <trawl/expected.hpp>
#include <trawl/io_error.hpp>
#include <trawl/value.hpp>

namespace trawl {

/// The whole input read into one block, not zeroed before the read fills it.
using WholeInput = std::unique_ptr<std::uint8_t[]>; // NOLINT(modernize-avoid-c-arrays)

/// Room for `size` bytes of input (default-initialised: left as they are until read into;
/// make_unique_for_overwrite is missing from some standard libraries still supported).
[[nodiscard]] inline WholeInput make_whole_input(std::size_t size) {
  return WholeInput(new std::uint8_t[size]); // NOLINT(modernize-make-unique)
}

/// Where a signed seek counts from.
enum class SeekBase : std::uint8_t { End, Current };

class FileCache;

/// The input as a seekable byte reader; lent to one extractor at a time.
class Source {
public:
  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  Source(Source&&) = delete;
  Source& operator=(Source&&) = delete;
  virtual ~Source() = default;

  /// Reads at most buffer.size() bytes; 0 means end of input.
  [[nodiscard]] virtual IoResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
  /// Moves the position to `offset` from the start; returns it.
  [[nodiscard]] virtual IoResult<std::uint64_t> seek_to(std::uint64_t offset) = 0;
  /// Moves the position by a signed offset from the end or the current position.
  [[nodiscard]] virtual IoResult<std::uint64_t> seek(SeekBase base, std::int64_t offset) = 0;
  /// The whole input as one read-only view, read at most once per source and kept.
  /// The position afterwards is unspecified.
  [[nodiscard]] virtual IoResult<std::span<const std::uint8_t>> contents() = 0;
  /// The view of contents() if it is already at hand, without reading.
  [[nodiscard]] virtual std::optional<std::span<const std::uint8_t>> contents_if_ready() const = 0;
  /// Random access to the first `len` bytes through a bounded page cache, made on first call;
  /// null when the source does not need one (it is then read whole through contents()).
  [[nodiscard]] virtual FileCache* cache(std::uint64_t /*len*/) { return nullptr; }
  /// Takes the whole input, read by the caller from the start, to serve contents() from;
  /// its first `filled` bytes hold data.
  virtual void keep(WholeInput /*whole*/, std::size_t /*filled*/) {}
  /// Whether the caller should read the whole input of `len` bytes into one buffer and hand it
  /// to keep().
  [[nodiscard]] virtual bool wants_whole(std::uint64_t /*len*/) const { return false; }

  /// Reads until `buffer` is full or the input ends; the count read.
  [[nodiscard]] IoResult<std::size_t> fill(std::span<std::uint8_t> buffer);
  /// Fills the whole buffer or fails with "failed to fill whole buffer".
  [[nodiscard]] IoResult<void> read_exact(std::span<std::uint8_t> buffer);
  /// Appends everything from the position to the end; returns the count appended.
  [[nodiscard]] virtual IoResult<std::uint64_t> read_to_end(std::vector<std::uint8_t>& out);
  /// The current absolute position.
  [[nodiscard]] IoResult<std::uint64_t> stream_position();
  /// The total length; the position is kept.
  [[nodiscard]] IoResult<std::uint64_t> stream_length();
};

/// What an extractor is shown when asked whether it supports the input.
struct Probe {
  std::span<const std::uint8_t> head;        ///< first bytes, at most 8192
  std::optional<std::string_view> mime;      ///< sniffed MIME type, static text
  std::optional<std::string_view> extension; ///< sniffed extension without dot, static text
  std::uint64_t len = 0;                     ///< total input length as told by the caller
  bool fast = false;     ///< the caller asked to skip the whole-input digests and entropy
  bool thorough = false; ///< the caller asked for the thorough reading of structures
  /// The run's stop question, for long work after the pass (null: never asked).
  const std::function<bool()>* stop_requested = nullptr;

  /// Whether the caller asked to stop; it may take the interpreter lock: ask every few MiB.
  [[nodiscard]] bool stopping() const {
    return stop_requested != nullptr && *stop_requested && (*stop_requested)();
  }
};

/// The failure of one extract call.
class ExtractError {
public:
  enum class Kind : std::uint8_t { Io, Malformed, Other, Stopped };

  /// The message as reported: "I/O error: ...", "malformed FORMAT: REASON" or the text.
  [[nodiscard]] std::string message() const;
  [[nodiscard]] Kind kind() const noexcept { return kind_; }

private:
  friend ExtractError io_error(const IoError& error);
  friend ExtractError malformed(std::string_view format, std::string reason);
  friend ExtractError other(std::string text);
  friend ExtractError stopped();
  ExtractError(Kind kind, std::string_view format, std::string text)
      : kind_(kind), format_(format), text_(std::move(text)) {}

  Kind kind_;
  std::string_view format_;
  std::string text_;
};

/// A read of the source failed.
[[nodiscard]] ExtractError io_error(const IoError& error);
/// The content is unusable; `format` is the extractor's name().
[[nodiscard]] ExtractError malformed(std::string_view format, std::string reason);
/// A ready-made message.
[[nodiscard]] ExtractError other(std::string text);

/// The caller asked to stop (Probe::stopping): the run ends without this extractor's facts.
[[nodiscard]] ExtractError stopped();

/// The result of extract.
using ExtractResult = Expected<Namespace, ExtractError>;

/// Work over every byte of the input in order. The registry feeds all scans of a parse in one
/// pass; update() may run on a helper thread while update_caller() runs on the calling thread.
class Scan {
public:
  Scan() = default;
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;
  Scan(Scan&&) = delete;
  Scan& operator=(Scan&&) = delete;
  virtual ~Scan() = default;

  /// Feeds the next bytes.
  virtual void update(std::span<const std::uint8_t> block) = 0;
  /// Feeds the same bytes to the part of the work kept on the calling thread.
  virtual void update_caller(std::span<const std::uint8_t> /*block*/) {}
  /// Feeds the bytes to both parts at once, when the pass has no helper thread.
  virtual void update_all(std::span<const std::uint8_t> block) {
    update_caller(block);
    update(block);
  }
  /// The facts once every byte has been fed; `source` serves random reads afterwards.
  [[nodiscard]] virtual Expected<Namespace, ExtractError> finish(Source& source,
                                                                 const Probe& probe) = 0;
};

/// One stateless format extractor.
class Extractor {
public:
  Extractor() = default;
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;
  Extractor(Extractor&&) = delete;
  Extractor& operator=(Extractor&&) = delete;
  virtual ~Extractor() = default;

  /// The extractor's name, also its namespace and its format word.
  [[nodiscard]] virtual std::string_view name() const noexcept = 0;
  /// Whether extract should run, decided on the probe alone.
  [[nodiscard]] virtual bool supports(const Probe& probe) const = 0;
  /// Reads the source (positioned at 0) and returns its facts.
  [[nodiscard]] virtual ExtractResult extract(Source& source, const Probe& probe) const = 0;
  /// For an extractor that needs every byte: a fresh scan, which the registry then uses in
  /// place of extract so that all such work shares one read of the input.
  [[nodiscard]] virtual std::unique_ptr<Scan> start_scan(const Probe& /*probe*/) const {
    return nullptr;
  }
};

/// One failed extractor as kept in a report.
struct ReportError {
  std::string extractor;
  std::string message;
  friend bool operator==(const ReportError&, const ReportError&) = default;
};

/// What one run of a registry produced, in registry order.
struct RunOutput {
  std::vector<Namespace> namespaces;
  std::vector<ReportError> errors;
  bool interrupted = false; ///< stop_requested answered true; the output is incomplete
};

/// How one run goes.
struct RunOptions {
  /// Skip SHA-256, CRC-32 and the entropy: the "file" namespace keeps its other facts, and an
  /// input no format reads whole is not read past its head.
  bool fast = false;
  /// Read the structures the default reading takes approximately (PDF cross-references and
  /// object streams, compressed text, audio frames, ...): corrected values and added facts.
  bool thorough = false;
  /// Asked every few MiB and when a read is interrupted by a signal; true ends the run.
  std::function<bool()> stop_requested;
};

/// The ordered extractors of one parse.
class Registry {
public:
  /// The default extractors in their fixed order.
  [[nodiscard]] static Registry with_defaults();

  /// Appends an extractor.
  void add(std::unique_ptr<Extractor> extractor);
  /// Runs every supporting extractor over the input; never fails.
  [[nodiscard]] RunOutput run(Source& source, std::uint64_t len,
                              const RunOptions& options = {}) const;

private:
  std::vector<std::unique_ptr<Extractor>> extractors_;
};

/// The most head bytes the registry reads for sniffing and supports().
inline constexpr std::size_t head_limit = 8192;

} // namespace trawl
