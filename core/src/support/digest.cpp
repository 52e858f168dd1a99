#include "digest.hpp"

#include <cmath>
#include <cstring>
#include <new>

#include <openssl/evp.h>
#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace trawl {

void Sha256::Free::operator()(void* ctx) const noexcept {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx));
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  // libcrypto fails here only when it cannot allocate, which ends the process like any other
  // out-of-memory condition.
  if (!ctx_ ||
      EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) {
    (void)EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_.get()), bytes.data(), bytes.size());
  }
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  unsigned int len = 0;
  (void)EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), digest.data(), &len);
  return digest;
}

namespace {

#if defined(__x86_64__)
// CRC-32 by carry-less multiplication: four 128-bit lanes are folded over 64-byte strides,
// then reduced to 32 bits by Barrett reduction (Intel, "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ Instruction", reflected form). The constants are powers of x
// modulo the polynomial 0x104C11DB7, bit-reflected; `bytes` holds a multiple of 16 and at
// least 64 bytes, and `crc` is the pre-inverted register.
// One folding step: x times the two constants of k, added to the next 16 bytes.
__attribute__((target("pclmul,sse4.1"))) __m128i fold(__m128i x, __m128i k, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

__attribute__((target("pclmul,sse4.1"))) std::uint32_t
crc32_fold(std::span<const std::uint8_t> bytes, std::uint32_t crc) noexcept {
  const auto load = [&bytes](std::size_t at) {
    return _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(bytes.subspan(at, 16).data())); // NOLINT
  };
  __m128i x1 = _mm_xor_si128(load(0), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(16);
  __m128i x3 = load(32);
  __m128i x4 = load(48);
  std::size_t at = 64;
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  for (; bytes.size() - at >= 64; at += 64) {
    x1 = fold(x1, k1k2, load(at));
    x2 = fold(x2, k1k2, load(at + 16));
    x3 = fold(x3, k1k2, load(at + 32));
    x4 = fold(x4, k1k2, load(at + 48));
  }
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
  for (; bytes.size() - at >= 16; at += 16) {
    x1 = fold(x1, k3k4, load(at));
  }
  // 128 bits to 64, then 64 to 32.
  const __m128i mask = _mm_setr_epi32(-1, 0, -1, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  x1 =
      _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k5, 0x00), _mm_srli_si128(x1, 4));
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  __m128i x = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), poly, 0x10);
  x = _mm_clmulepi64_si128(_mm_and_si128(x, mask), poly, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x), 1));
}

bool has_carryless_multiply() noexcept {
  return __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("sse4.1") != 0;
}
#endif

} // namespace

void Crc32::update(std::span<const std::uint8_t> bytes) noexcept {
#if defined(__x86_64__)
  if (bytes.size() >= 64 && has_carryless_multiply()) {
    const std::size_t bulk = bytes.size() & ~std::size_t{15};
    crc_ = ~crc32_fold(bytes.first(bulk), ~crc_);
    bytes = bytes.subspan(bulk);
  }
#endif
  crc_ = static_cast<std::uint32_t>(crc32_z(crc_, bytes.data(), bytes.size()));
}

namespace {

// True when all 64 bytes equal the first.
bool is_run(std::span<const std::uint8_t> bytes) noexcept {
  std::uint64_t first = 0;
  std::memcpy(&first, bytes.data(), 8);
  std::uint64_t differ = first ^ ((first & 0xFFU) * 0x0101010101010101ULL);
  for (std::size_t k = 8; k < 64; k += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.subspan(k, 8).data(), 8);
    differ |= word ^ first;
  }
  return differ == 0;
}

} // namespace

void ByteHistogram::update(std::span<const std::uint8_t> bytes) noexcept {
  // Short pieces go straight to the totals: the tables below cost 8 KiB to clear and fold.
  if (bytes.size() < 4096) {
    for (const std::uint8_t b : bytes) {
      ++counts_[b];
    }
    return;
  }
  // 32-bit counters in eight tables, spilled into the 64-bit totals after each piece.
  constexpr std::size_t piece = std::size_t{1} << 30U;
  while (!bytes.empty()) {
    const auto part = bytes.first(std::min(bytes.size(), piece));
    bytes = bytes.subspan(part.size());
    std::array<std::array<std::uint32_t, 256>, 8> counts{};
    std::size_t i = 0;
    const auto count_word = [&counts](std::uint64_t word) {
      ++counts[0][word & 0xFFU];
      ++counts[1][(word >> 8U) & 0xFFU];
      ++counts[2][(word >> 16U) & 0xFFU];
      ++counts[3][(word >> 24U) & 0xFFU];
      ++counts[4][(word >> 32U) & 0xFFU];
      ++counts[5][(word >> 40U) & 0xFFU];
      ++counts[6][(word >> 48U) & 0xFFU];
      ++counts[7][word >> 56U];
    };
    for (; part.size() - i >= 64; i += 64) {
      const auto chunk = part.subspan(i, 64);
      // A run of one value is counted 64 bytes at once instead of chaining increments on one
      // counter; on varied data the test is one comparison per 64 bytes.
      if (chunk[0] == chunk[63] && is_run(chunk)) {
        counts[0][chunk[0]] += 64;
        continue;
      }
      for (std::size_t k = 0; k < 64; k += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, chunk.subspan(k, 8).data(), 8); // byte order does not matter here
        count_word(word);
      }
    }
    for (; part.size() - i >= 8; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, part.subspan(i, 8).data(), 8);
      count_word(word);
    }
    for (; i < part.size(); ++i) {
      ++counts[0][part[i]];
    }
    for (std::size_t b = 0; b < 256; ++b) {
      for (const auto& table : counts) {
        counts_[b] += table[b];
      }
    }
  }
}

std::uint64_t ByteHistogram::total() const noexcept {
  std::uint64_t n = 0;
  for (const std::uint64_t c : counts_) {
    n += c;
  }
  return n;
}

double ByteHistogram::entropy() const noexcept {
  const auto n = static_cast<double>(total());
  // Starting from -0.0 keeps the sign of a sum of zero terms negative.
  double h = -0.0;
  for (std::size_t b = 0; b < 256; ++b) {
    const std::uint64_t c = counts_[b];
    if (c != 0) {
      const double p = static_cast<double>(c) / n;
      h -= p * std::log2(p);
    }
  }
  return h;
}

} // namespace trawl
