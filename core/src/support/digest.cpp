#include "digest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <optional>

#include <openssl/evp.h>
#include <zlib.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace trawl {

namespace {

constexpr std::array<std::uint32_t, 8> sha256_initial = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#if defined(__x86_64__)
alignas(16) constexpr std::array<std::uint32_t, 64> sha256_rounds = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

bool has_sha_instructions() noexcept {
  // Asked once: under a hypervisor the question traps and costs microseconds.
  static const bool present = [] {
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_SSSE3) == 0 || (c & bit_SSE4_1) == 0) {
      return false;
    }
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_SHA) != 0;
  }();
  return present;
}

// SHA-256 rounds over whole 64-byte blocks with the SHA extensions (the state kept as ABEF and
// CDGH, as the instructions want it); `each` is called with every block after its rounds, so
// that other work on the same bytes overlaps the rounds' long dependency chain.
template <typename EachBlock>
__attribute__((target("sha,sse4.1,pclmul"))) void
sha256_blocks(std::array<std::uint32_t, 8>& state, std::span<const std::uint8_t> blocks,
              EachBlock each) noexcept {
  const auto load = [](const void* at) { return _mm_loadu_si128(static_cast<const __m128i*>(at)); };
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_shuffle_epi32(load(state.data()), 0xB1);
  __m128i cdgh = _mm_shuffle_epi32(load(std::span(state).subspan(4).data()), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, cdgh, 8);
  cdgh = _mm_blend_epi16(cdgh, dcba, 0xF0);
  for (std::size_t at = 0; blocks.size() - at >= 64; at += 64) {
    const auto block = blocks.subspan(at).first<64>();
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    // Four rounds per step. w0 holds the message words of this step, w1 and w2 the next two,
    // w3 the previous step's: the schedule runs ahead and the names turn at each step.
    __m128i w0 = _mm_shuffle_epi8(load(block.subspan(0, 16).data()), byte_swap);
    __m128i w1 = _mm_shuffle_epi8(load(block.subspan(16, 16).data()), byte_swap);
    __m128i w2 = _mm_shuffle_epi8(load(block.subspan(32, 16).data()), byte_swap);
    __m128i w3 = _mm_shuffle_epi8(load(block.subspan(48, 16).data()), byte_swap);
#pragma GCC unroll 16
    for (std::size_t g = 0; g < 16; ++g) {
      const __m128i k = load(std::span(sha256_rounds).subspan(4 * g, 4).data());
      const __m128i message = _mm_add_epi32(w0, k);
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      if (g >= 3 && g <= 14) {
        w1 = _mm_sha256msg2_epu32(_mm_add_epi32(w1, _mm_alignr_epi8(w0, w3, 4)), w0);
      }
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
      if (g >= 1 && g <= 12) {
        w3 = _mm_sha256msg1_epu32(w3, w0);
      }
      const __m128i done = w0;
      w0 = w1;
      w1 = w2;
      w2 = w3;
      w3 = done;
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
    each(block);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), // NOLINT
                   _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(std::span(state).subspan(4).data()), // NOLINT
                   _mm_alignr_epi8(dchg, feba, 8));
}
#else
bool has_sha_instructions() noexcept {
  return false;
}

template <typename EachBlock>
void sha256_blocks(std::array<std::uint32_t, 8>& /*state*/,
                   std::span<const std::uint8_t> /*blocks*/, EachBlock /*each*/) noexcept {}
#endif

} // namespace

void Sha256::Free::operator()(void* ctx) const noexcept {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx));
}

Sha256::Sha256() : state_(sha256_initial) {
  if (has_sha_instructions()) {
    return;
  }
  ctx_.reset(EVP_MD_CTX_new());
  // libcrypto fails here only when it cannot allocate, which ends the process like any other
  // out-of-memory condition.
  if (!ctx_ ||
      EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  if (ctx_) {
    (void)EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_.get()), bytes.data(), bytes.size());
    return;
  }
  length_ += bytes.size();
  const auto none = [](std::span<const std::uint8_t, 64> /*block*/) {};
  if (pending_size_ != 0) {
    const std::size_t n = std::min(bytes.size(), pending_.size() - pending_size_);
    const auto head = bytes.first(n);
    std::copy(head.begin(), head.end(), std::span(pending_).subspan(pending_size_).begin());
    pending_size_ += n;
    bytes = bytes.subspan(n);
    if (pending_size_ < pending_.size()) {
      return;
    }
    sha256_blocks(state_, pending_, none);
    pending_size_ = 0;
  }
  const std::size_t whole = bytes.size() & ~std::size_t{63};
  sha256_blocks(state_, bytes.first(whole), none);
  const auto rest = bytes.subspan(whole);
  std::copy(rest.begin(), rest.end(), pending_.begin());
  pending_size_ = bytes.size() - whole;
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  if (ctx_) {
    unsigned int len = 0;
    (void)EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), digest.data(), &len);
    return digest;
  }
  // The bit 1, zeros, and the length in bits as a big-endian 64-bit number end the last block.
  const std::uint64_t bits = length_ * 8;
  std::array<std::uint8_t, 128> tail{};
  const auto pending = std::span(pending_).first(pending_size_);
  std::copy(pending.begin(), pending.end(), tail.begin());
  tail.at(pending_size_) = 0x80;
  const std::size_t size = pending_size_ + 9 <= 64 ? 64 : 128;
  for (std::size_t i = 0; i < 8; ++i) {
    tail.at(size - 1 - i) = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  sha256_blocks(state_, std::span(tail).first(size), [](std::span<const std::uint8_t, 64>) {});
  for (std::size_t i = 0; i < 32; ++i) {
    digest.at(i) = static_cast<std::uint8_t>(state_.at(i / 4) >> (24 - 8 * (i % 4)));
  }
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

// The four lanes of the fold, fed 64 bytes at a time; `crc` is the pre-inverted register.
class CrcLanes {
public:
  __attribute__((target("pclmul,sse4.1")))
  CrcLanes(std::span<const std::uint8_t, 64> first, std::uint32_t crc) noexcept
      : x1_(_mm_xor_si128(load(first, 0), _mm_cvtsi32_si128(static_cast<int>(crc)))),
        x2_(load(first, 16)), x3_(load(first, 32)), x4_(load(first, 48)) {}

  __attribute__((target("pclmul,sse4.1"))) void
  add(std::span<const std::uint8_t, 64> block) noexcept {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    x1_ = fold(x1_, k1k2, load(block, 0));
    x2_ = fold(x2_, k1k2, load(block, 16));
    x3_ = fold(x3_, k1k2, load(block, 32));
    x4_ = fold(x4_, k1k2, load(block, 48));
  }

  // The register after the lanes and then `rest`, whose size is a multiple of 16.
  [[nodiscard]] __attribute__((target("pclmul,sse4.1"))) std::uint32_t
  finish(std::span<const std::uint8_t> rest) const noexcept {
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    __m128i x1 = fold(fold(fold(x1_, k3k4, x2_), k3k4, x3_), k3k4, x4_);
    for (std::size_t at = 0; rest.size() - at >= 16; at += 16) {
      x1 = fold(x1, k3k4, load(rest, at));
    }
    // 128 bits to 64, then 64 to 32.
    const __m128i mask = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k5, 0x00),
                       _mm_srli_si128(x1, 4));
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    __m128i x = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), poly, 0x10);
    x = _mm_clmulepi64_si128(_mm_and_si128(x, mask), poly, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x), 1));
  }

private:
  __attribute__((target("sse4.1"))) static __m128i load(std::span<const std::uint8_t> bytes,
                                                        std::size_t at) noexcept {
    return _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(bytes.subspan(at, 16).data())); // NOLINT
  }

  __m128i x1_;
  __m128i x2_;
  __m128i x3_;
  __m128i x4_;
};

// `bytes` holds a multiple of 16 and at least 64 bytes.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t
crc32_fold(std::span<const std::uint8_t> bytes, std::uint32_t crc) noexcept {
  CrcLanes lanes(bytes.first<64>(), crc);
  std::size_t at = 64;
  for (; bytes.size() - at >= 64; at += 64) {
    lanes.add(bytes.subspan(at).first<64>());
  }
  return lanes.finish(bytes.subspan(at));
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

// Inlined into the digest loop, where the counting fills the rounds' gaps.
[[gnu::always_inline]] inline void ByteHistogram::Tally::add_word(std::uint64_t word) noexcept {
  ++counts_[0][word & 0xFFU];
  ++counts_[1][(word >> 8U) & 0xFFU];
  ++counts_[2][(word >> 16U) & 0xFFU];
  ++counts_[3][(word >> 24U) & 0xFFU];
  ++counts_[4][(word >> 32U) & 0xFFU];
  ++counts_[5][(word >> 40U) & 0xFFU];
  ++counts_[6][(word >> 48U) & 0xFFU];
  ++counts_[7][word >> 56U];
}

[[gnu::always_inline]] inline void
ByteHistogram::Tally::add(std::span<const std::uint8_t, 64> chunk) noexcept {
  // A run of one value is counted 64 bytes at once instead of chaining increments on one
  // counter; on varied data the test is one comparison per 64 bytes.
  if (chunk[0] == chunk[63] && is_run(chunk)) {
    counts_[0][chunk[0]] += 64;
    return;
  }
  for (std::size_t k = 0; k < 64; k += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, chunk.subspan(k, 8).data(), 8); // byte order does not matter here
    add_word(word);
  }
}

void ByteHistogram::Tally::add(std::span<const std::uint8_t> bytes) noexcept {
  std::size_t i = 0;
  for (; bytes.size() - i >= 64; i += 64) {
    add(bytes.subspan(i).first<64>());
  }
  for (; bytes.size() - i >= 8; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.subspan(i, 8).data(), 8);
    add_word(word);
  }
  for (; i < bytes.size(); ++i) {
    ++counts_[0][bytes[i]];
  }
}

void ByteHistogram::Tally::fold_into(ByteHistogram& histogram) const noexcept {
  for (std::size_t b = 0; b < 256; ++b) {
    for (const auto& table : counts_) {
      histogram.counts_[b] += table[b];
    }
  }
}

namespace {

// A tally's counters hold 2^32 - 1: longer inputs are counted in pieces of this size.
constexpr std::size_t tally_piece = std::size_t{1} << 30U;
// Below this size the tables cost more to clear and fold than they save.
constexpr std::size_t tally_from = 4096;

} // namespace

void ByteHistogram::update(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < tally_from) {
    for (const std::uint8_t b : bytes) {
      ++counts_[b];
    }
    return;
  }
  while (!bytes.empty()) {
    const auto part = bytes.first(std::min(bytes.size(), tally_piece));
    bytes = bytes.subspan(part.size());
    Tally tally;
    tally.add(part);
    tally.fold_into(*this);
  }
}

namespace {

#if defined(__x86_64__)
// What the digest's loop does besides its rounds: count the block and fold it into the CRC.
class AlongsideDigest {
public:
  AlongsideDigest(ByteHistogram::Tally& tally, std::uint32_t crc) : tally_(tally), crc_(crc) {}

  __attribute__((target("pclmul,sse4.1"))) void
  operator()(std::span<const std::uint8_t, 64> block) noexcept {
    tally_.add(block);
    if (lanes_) {
      lanes_->add(block);
    } else {
      lanes_.emplace(block, crc_);
    }
  }

  // The pre-inverted CRC register after every block and then `rest` (a multiple of 16).
  [[nodiscard]] std::uint32_t crc(std::span<const std::uint8_t> rest) const noexcept {
    return lanes_ ? lanes_->finish(rest) : crc_;
  }

private:
  ByteHistogram::Tally& tally_;
  std::uint32_t crc_;
  std::optional<CrcLanes> lanes_;
};
#endif

} // namespace

void update_together(Sha256& sha, Crc32& crc, ByteHistogram& histogram,
                     std::span<const std::uint8_t> bytes) {
  const auto apart = [&](std::span<const std::uint8_t> part) {
    sha.update(part);
    crc.update(part);
    histogram.update(part);
  };
#if defined(__x86_64__)
  if (sha.ctx_ || bytes.size() < tally_from || !has_carryless_multiply()) {
    apart(bytes);
    return;
  }
  // Bytes that complete the digest's pending block go the usual way; the rest is taken in
  // whole blocks by the rounds, counted and folded block by block.
  const std::size_t lead = (64 - sha.pending_size_) % 64;
  apart(bytes.first(lead));
  bytes = bytes.subspan(lead);
  while (!bytes.empty()) {
    const auto part = bytes.first(std::min(bytes.size(), tally_piece));
    bytes = bytes.subspan(part.size());
    const std::size_t whole = part.size() & ~std::size_t{63};
    ByteHistogram::Tally tally;
    AlongsideDigest alongside(tally, ~crc.crc_);
    sha256_blocks(sha.state_, part.first(whole), std::ref(alongside));
    sha.length_ += whole;
    const auto rest = part.subspan(whole);
    const std::size_t folded = rest.size() & ~std::size_t{15};
    crc.crc_ = ~alongside.crc(rest.first(folded));
    crc.update(rest.subspan(folded));
    sha.update(rest);
    tally.add(rest);
    tally.fold_into(histogram);
  }
#else
  apart(bytes);
#endif
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
