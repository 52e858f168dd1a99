// Running SHA-256 (FIPS 180-4, from libcrypto), CRC-32 (ISO-HDLC, from zlib) and a byte
// histogram, fed with the same runs of bytes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace trawl {

/// Incremental SHA-256.
class Sha256 {
public:
  Sha256();
  /// Feeds bytes.
  void update(std::span<const std::uint8_t> bytes);
  /// The 32-byte digest; the state is spent afterwards.
  [[nodiscard]] std::array<std::uint8_t, 32> finish();

private:
  struct Free {
    void operator()(void* ctx) const noexcept;
  };
  std::unique_ptr<void, Free> ctx_;
};

/// Incremental CRC-32 as used by zlib and gzip.
class Crc32 {
public:
  /// Feeds bytes.
  void update(std::span<const std::uint8_t> bytes) noexcept;
  /// The checksum so far.
  [[nodiscard]] std::uint32_t value() const noexcept { return crc_; }

private:
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

private:
  std::array<std::uint64_t, 256> counts_{};
};

} // namespace trawl
