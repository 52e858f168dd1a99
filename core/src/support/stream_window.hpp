// Forward-only scans over an input that arrives in blocks of any size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace trawl {

/// Hands a forward-only examiner the input block by block so that it never has to look across a
/// block boundary: the bytes it has not finished with (at most its lookahead, which is at
/// least `lookahead`) are carried over and shown again joined to the next block's start.
///
/// The examiner is called as `examine(bytes, at, final)`, where `at` is the input offset of
/// bytes[0] and `final` says the input ends with them. It examines what it can and returns the
/// offset of the first byte it still needs; without `final` that is one of the last `lookahead`
/// bytes or past the end of `bytes`.
template <std::size_t lookahead> class StreamWindow {
public:
  /// Feeds the next block.
  template <class Examine> void feed(std::span<const std::uint8_t> block, Examine&& examine) {
    const std::uint64_t block_at = fed_;
    fed_ += block.size();
    if (!carry_.empty()) {
      const std::size_t take = std::min(block.size(), lookahead);
      carry_.insert(carry_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
      const std::uint64_t need = examine(std::span<const std::uint8_t>(carry_), carry_at_, false);
      if (need < block_at) {
        // The block was too short to finish the carried bytes: keep them with all of it.
        keep(std::span<const std::uint8_t>(carry_), carry_at_, need);
        return;
      }
      carry_.clear();
    }
    keep(block, block_at, examine(block, block_at, false));
  }

  /// Ends the input: the carried bytes are examined as its last.
  template <class Examine> void finish(Examine&& examine) {
    if (!carry_.empty()) {
      (void)examine(std::span<const std::uint8_t>(carry_), carry_at_, true);
    }
    carry_.clear();
  }

  /// The number of bytes fed.
  [[nodiscard]] std::uint64_t fed() const noexcept { return fed_; }

private:
  // Carries bytes[need - at ..] when `need` lies inside them.
  void keep(std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint64_t need) {
    if (need >= at + bytes.size()) {
      carry_.clear();
      return;
    }
    const auto from = static_cast<std::size_t>(need - at);
    std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
    carry_ = std::move(rest);
    carry_at_ = need;
  }

  std::vector<std::uint8_t> carry_;
  std::uint64_t carry_at_ = 0;
  std::uint64_t fed_ = 0;
};

} // namespace trawl
