// The skeleton of the streaming scans (PDF, GIF, ZIP): an examiner fed through a window that
// carries the bytes it has not finished with into the next block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include <trawl/extractor.hpp>

#include "../support/stream_window.hpp"

namespace trawl {

/// A scan whose work is examine(); the derived scan calls end_input() first in finish().
template <std::size_t lookahead_bytes> class WindowScan : public Scan {
public:
  /// Bytes a match may span: examine() is never cut off within this many of a block's end.
  static constexpr std::size_t lookahead = lookahead_bytes;

  void update(std::span<const std::uint8_t> block) final { window_.feed(block, examiner()); }

protected:
  /// Examines what it can of `bytes` (bytes[0] at input offset `at`; `final` says the input
  /// ends with them) and returns the offset of the first byte it still needs: without `final`
  /// one of the last `lookahead` bytes, or past them.
  virtual std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                                bool final) = 0;

  /// Ends the input: the carried bytes are examined as its last. The number of bytes fed.
  std::uint64_t end_input() {
    window_.finish(examiner());
    return window_.fed();
  }

  /// Where a match of up to `lookahead` bytes may start in `bytes`: before this index.
  [[nodiscard]] static std::size_t match_limit(std::span<const std::uint8_t> bytes,
                                               bool final) noexcept {
    return final ? bytes.size() : bytes.size() - std::min(bytes.size(), lookahead - 1);
  }

  /// The input offset the examiner has reached.
  std::uint64_t pos_ = 0;

private:
  auto examiner() {
    return [this](std::span<const std::uint8_t> bytes, std::uint64_t at, bool final) {
      return examine(bytes, at, final);
    };
  }

  StreamWindow<lookahead_bytes> window_;
};

} // namespace trawl
