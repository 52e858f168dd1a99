#include <algorithm>
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include <trawl/extractor.hpp>

#include "extractors/extractors.hpp"
#include "extractors/mpeg_audio.hpp"
#include "sniff/sniffer.hpp"
#include "support/file_cache.hpp"

namespace trawl {

Registry Registry::with_defaults() {
  Registry registry;
#define TRAWL_ADD_EXTRACTOR(prefix, id, kind) registry.add(std::make_unique<prefix##Extractor>());
  TRAWL_EXTRACTORS(TRAWL_ADD_EXTRACTOR)
#undef TRAWL_ADD_EXTRACTOR
  return registry;
}

void Registry::add(std::unique_ptr<Extractor> extractor) {
  extractors_.push_back(std::move(extractor));
}

namespace {

// Blocks of the shared pass: large enough for few system calls, small enough to stay in cache
// between the scans that read them.
constexpr std::size_t block_size = std::size_t{256} * 1024;
// Inputs from this size on give the scans' side work to a helper thread.
constexpr std::uint64_t threaded_from = std::uint64_t{8} << 20U;
// The stop request is asked once per this many blocks (4 MiB).
constexpr std::uint64_t stop_interval = 16;

// One read of the whole input feeding every scan. Blocks come from the caller's buffer in place
// or are read into a ring of three buffers; with a helper thread the caller reads block k while
// the helper still works on k-1 and k-2.
class Pass {
public:
  // `keep` is a buffer for the whole input that already holds its first `kept` bytes, read
  // from the start; the pass fills the rest. Without it the pass reads through a ring.
  Pass(Source& source, std::span<Scan* const> scans, const RunOptions& options,
       std::span<std::uint8_t> keep, std::size_t kept, FileCache* cache)
      : source_(source), scans_(scans), options_(options), whole_(source.contents_if_ready()),
        keep_(keep), kept_(kept), cache_(cache) {}

  // Runs the pass; false when stopped. A read failure ends it and is kept in failure().
  bool run(bool threaded, std::uint64_t len) {
    threaded_ = threaded;
    if (!whole_ && keep_.empty()) {
      // One thread needs only one buffer; an input of unknown length (a pipe) gets full blocks.
      const std::size_t size =
          len != 0 && len < block_size ? static_cast<std::size_t>(len) + 1 : block_size;
      for (std::size_t i = 0; i < (threaded ? ring_.size() : 1); ++i) {
        ring_.at(i).resize(size);
      }
      // Pipes cannot seek and are read from where they are, at their start.
      (void)source_.seek_to(0);
    }
    if (!threaded) {
      for (std::uint64_t k = 0;; ++k) {
        const auto block = next(k);
        if (!block || block->empty()) {
          return !stopped_;
        }
        for (Scan* scan : scans_) {
          scan->update_all(*block);
        }
        note_zero_pages(k, *block);
      }
    }
    std::thread helper([this] { drain(); });
    for (std::uint64_t k = 0;; ++k) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return consumed_ + ring_.size() - 1 >= k; });
      }
      const auto block = next(k);
      if (!block || block->empty()) {
        break;
      }
      for (Scan* scan : scans_) {
        scan->update_caller(*block);
      }
      {
        const std::lock_guard lock(mutex_);
        blocks_.at(k % ring_.size()) = *block;
        ++produced_;
      }
      changed_.notify_all();
    }
    {
      const std::lock_guard lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
    helper.join();
    return !stopped_;
  }

  [[nodiscard]] const std::optional<IoError>& failure() const noexcept { return failure_; }
  // How much of the keep buffer holds data.
  [[nodiscard]] std::size_t kept() const noexcept { return kept_; }

private:
  // Block k, an empty span at the end, nothing on failure or stop.
  std::optional<std::span<const std::uint8_t>> next(std::uint64_t k) {
    if (k % stop_interval == stop_interval - 1 && stop()) {
      return std::nullopt;
    }
    if (whole_) {
      const std::uint64_t at = k * block_size;
      if (at >= whole_->size()) {
        return std::span<const std::uint8_t>{};
      }
      return whole_->subspan(static_cast<std::size_t>(at),
                             std::min<std::size_t>(block_size, whole_->size() - at));
    }
    if (!keep_.empty()) {
      return next_kept(k);
    }
    auto& buffer = ring_.at(threaded_ ? k % ring_.size() : 0);
    for (;;) {
      auto n = source_.fill(buffer);
      if (n) {
        return std::span<const std::uint8_t>(buffer).first(*n);
      }
      if (!n.error().interrupted() || stop()) {
        if (!stopped_) {
          failure_ = std::move(n).error();
        }
        return std::nullopt;
      }
    }
  }

  // Block k of the keep buffer, read into place as far as the input goes.
  std::optional<std::span<const std::uint8_t>> next_kept(std::uint64_t k) {
    const std::uint64_t start = k * block_size;
    if (start >= keep_.size() || kept_ < start) {
      return std::span<const std::uint8_t>{};
    }
    const auto end =
        static_cast<std::size_t>(std::min<std::uint64_t>(keep_.size(), start + block_size));
    while (kept_ < end) {
      auto n = source_.fill(keep_.subspan(kept_, end - kept_));
      if (!n) {
        if (n.error().interrupted() && !stop()) {
          continue;
        }
        if (!stopped_) {
          failure_ = std::move(n).error();
        }
        return std::nullopt;
      }
      if (*n == 0) {
        break;
      }
      kept_ += *n;
    }
    return std::span<const std::uint8_t>(keep_).subspan(static_cast<std::size_t>(start),
                                                        kept_ - static_cast<std::size_t>(start));
  }

  // The readers that run after the pass cross pages of zeros without reading them again.
  void note_zero_pages(std::uint64_t k, std::span<const std::uint8_t> block) {
    if (cache_ != nullptr) {
      cache_->note_zero_pages(k * block_size, block);
    }
  }

  bool stop() {
    stopped_ = stopped_ || (options_.stop_requested && options_.stop_requested());
    return stopped_;
  }

  // The helper's loop: the side work of each block in order, until the caller is done.
  void drain() {
    for (std::uint64_t k = 0;; ++k) {
      std::span<const std::uint8_t> block;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return produced_ > k || finished_; });
        if (produced_ <= k) {
          return;
        }
        block = blocks_.at(k % ring_.size());
      }
      for (Scan* scan : scans_) {
        scan->update(block);
      }
      note_zero_pages(k, block);
      {
        const std::lock_guard lock(mutex_);
        ++consumed_;
      }
      changed_.notify_all();
    }
  }

  Source& source_;
  std::span<Scan* const> scans_;
  const RunOptions& options_;
  std::optional<std::span<const std::uint8_t>> whole_;
  std::span<std::uint8_t> keep_;
  std::size_t kept_ = 0;
  FileCache* cache_;
  std::array<std::vector<std::uint8_t>, 3> ring_;
  std::array<std::span<const std::uint8_t>, 3> blocks_;
  std::optional<IoError> failure_;
  bool threaded_ = false;
  bool stopped_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t produced_ = 0;
  std::uint64_t consumed_ = 0;
  bool finished_ = false;
};

const char* const out_of_memory = "out of memory";

// The head for sniffing. A source that keeps its whole input gets a buffer for it here, holding
// what has been read; a small one is read whole at once, so that nothing is read twice.
struct Head {
  std::vector<std::uint8_t> copy;
  WholeInput whole;
  std::size_t whole_size = 0;
  std::size_t read = 0; // bytes of `whole` read
  bool ended = false;   // the reads of `whole` met the input's end
  std::span<const std::uint8_t> bytes;
};

Head read_head(Source& source, std::uint64_t len, bool fast) {
  Head head;
  if (const auto ready = source.contents_if_ready()) {
    const std::uint64_t wanted = std::min<std::uint64_t>(len, head_limit);
    head.bytes =
        ready->first(static_cast<std::size_t>(std::min<std::uint64_t>(ready->size(), wanted)));
    return head;
  }
  // Fast mode may need no pass: a larger file is then read only where its readers look.
  if (source.wants_whole(len) && (!fast || len <= block_size)) {
    head.whole_size = static_cast<std::size_t>(len);
    head.whole = make_whole_input(head.whole_size);
    const std::span<std::uint8_t> whole(head.whole.get(), head.whole_size);
    if (source.seek_to(0)) {
      const auto first = whole.first(std::min<std::size_t>(whole.size(), block_size));
      if (auto n = source.fill(first)) {
        head.read = *n;
        head.ended = *n < first.size();
      }
    }
    head.bytes = whole.first(std::min(head.read, head_limit));
    return head;
  }
  head.copy.resize(static_cast<std::size_t>(std::min<std::uint64_t>(len, head_limit)));
  std::size_t head_len = 0;
  if (!head.copy.empty()) {
    (void)source.seek_to(0);
    if (auto n = source.read(head.copy)) {
      head_len = std::min(*n, head.copy.size());
    }
  }
  head.bytes = std::span<const std::uint8_t>(head.copy).first(head_len);
  return head;
}

} // namespace

RunOutput Registry::run(Source& source, std::uint64_t len, const RunOptions& options) const {
  // One read of the head: sniffing and every supports() decision look at nothing else.
  Head head = read_head(source, len, options.fast);
  if (head.whole && (head.read == head.whole_size || head.ended)) {
    // Read to its end already, or to where it ended early.
    source.keep(std::move(head.whole), head.read);
  }
  Probe probe;
  probe.head = head.bytes;
  probe.len = len;
  probe.fast = options.fast;
  probe.thorough = options.thorough;
  probe.stop_requested = &options.stop_requested;
  auto sniffed = sniff(probe.head);
  if (!sniffed && options.thorough) {
    // MPEG audio that starts with a frame the table's first bytes do not name (MPEG 2.5, CRC).
    sniffed = mpeg_audio_type(probe.head);
  }
  if (sniffed) {
    probe.mime = sniffed->mime;
    probe.extension = sniffed->extension;
  }

  RunOutput out;
  // Each chosen extractor with its scan, if it has one. Running out of memory inside one
  // extractor costs that extractor's facts only.
  std::vector<std::pair<const Extractor*, std::unique_ptr<Scan>>> chosen;
  std::vector<Scan*> scans;
  for (const auto& extractor : extractors_) {
    if (!extractor->supports(probe)) {
      continue;
    }
    std::unique_ptr<Scan> scan;
    try {
      scan = extractor->start_scan(probe);
    } catch (const std::bad_alloc&) {
      out.errors.push_back({std::string(extractor->name()), out_of_memory});
      continue;
    }
    if (scan) {
      scans.push_back(scan.get());
    }
    chosen.emplace_back(extractor.get(), std::move(scan));
  }

  std::optional<IoError> failure;
  if (!scans.empty()) {
    const std::span<std::uint8_t> keep =
        head.whole ? std::span<std::uint8_t>(head.whole.get(), head.whole_size)
                   : std::span<std::uint8_t>{};
    FileCache* cache = head.whole ? nullptr : source.cache(len);
    Pass pass(source, scans, options, keep, head.read, cache);
    // An input of unknown length (a pipe) may be long: it gets the helper thread too.
    const bool unknown_length = len == 0 && !source.contents_if_ready();
    const bool threaded =
        (len >= threaded_from || unknown_length) && std::thread::hardware_concurrency() > 1;
    if (!pass.run(threaded, len)) {
      out.interrupted = true;
      return out;
    }
    failure = pass.failure();
    if (head.whole && !failure) {
      source.keep(std::move(head.whole), pass.kept());
    }
  }

  for (auto& [extractor, scan] : chosen) {
    (void)source.seek_to(0);
    ExtractResult result = unexpected(other(out_of_memory));
    try {
      if (!scan) {
        result = extractor->extract(source, probe);
      } else if (failure) {
        result = unexpected(io_error(*failure));
      } else {
        result = scan->finish(source, probe);
      }
    } catch (const std::bad_alloc&) {
      result = unexpected(other(out_of_memory));
    }
    scan.reset();
    if (!result && result.error().kind() == ExtractError::Kind::Stopped) {
      out.interrupted = true;
      return out;
    }
    if (!result) {
      out.errors.push_back({std::string(extractor->name()), result.error().message()});
    } else if (!result->empty()) {
      out.namespaces.push_back(std::move(result).value());
    }
  }
  return out;
}

} // namespace trawl
