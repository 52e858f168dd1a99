// Running SHA-256 (FIPS 180-4: our own rounds on processors with SHA instructions, libcrypto's
// elsewhere), CRC-32 (ISO-HDLC, as zlib) and a byte histogram, fed with the same runs of bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace trawl {

class ByteHistogram;
class Crc32;

/// Incremental SHA-256.
class Sha256 {
public:
  Sha256();
  /// Feeds bytes.
  void update(std::span<const std::uint8_t> bytes);
  /// The 32-byte digest; the state is spent afterwards.
  [[nodiscard]] std::array<std::uint8_t, 32> finish();

private:
  friend void update_together(Sha256& sha, Crc32& crc, ByteHistogram& histogram,
                              std::span<const std::uint8_t> bytes);
  struct Free {
    void operator()(void* ctx) const noexcept;
  };
  // libcrypto's context, only on processors without SHA instructions.
  std::unique_ptr<void, Free> ctx_;
  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t length_ = 0;
};

/// Incremental CRC-32 as used by zlib and gzip.
class Crc32 {
public:
  /// Feeds bytes.
  void update(std::span<const std::uint8_t> bytes) noexcept;
  /// The checksum so far.
  [[nodiscard]] std::uint32_t value() const noexcept { return crc_; }

private:
  friend void update_together(Sha256& sha, Crc32& crc, ByteHistogram& histogram,
                              std::span<const std::uint8_t> bytes);
  std::uint32_t crc_ = 0;
};

/// Counts of each byte value.
class ByteHistogram {
public:
  /// Counts bytes.
  void update(std::span<const std::uint8_t> bytes) noexcept;
  /// The number of bytes counted.
  [[nodiscard]] std::uint64_t total() const noexcept;
  /// Shannon entropy in bits per byte, unrounded; -0.0 for one repeated value.
  [[nodiscard]] double entropy() const noexcept;

  /// Counters for a long run of bytes, taken 64 at a time and added to the totals at the end:
  /// eight tables let consecutive equal bytes go to different counters. At 8 KiB they pay off
  /// from about 4 KiB on; each counter holds up to 2^32 - 1, so a tally takes at most 1 GiB.
  class Tally {
  public:
    /// Counts 64 bytes.
    void add(std::span<const std::uint8_t, 64> chunk) noexcept;
    /// Counts any number of bytes.
    void add(std::span<const std::uint8_t> bytes) noexcept;
    /// Adds the counts to the histogram's totals.
    void fold_into(ByteHistogram& histogram) const noexcept;

  private:
    void add_word(std::uint64_t word) noexcept;
    std::array<std::array<std::uint32_t, 256>, 8> counts_{};
  };

private:
  std::array<std::uint64_t, 256> counts_{};
};

/// Feeds the same bytes to all three. With SHA instructions they run in one loop over 64-byte
/// blocks, the counting and the CRC's folding in the gaps the digest's rounds leave.
void update_together(Sha256& sha, Crc32& crc, ByteHistogram& histogram,
                     std::span<const std::uint8_t> bytes);

} // namespace trawl
