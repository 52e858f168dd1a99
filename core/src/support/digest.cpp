#include "digest.hpp"

#include <cmath>
#include <limits>
#include <new>

#include <openssl/evp.h>
#include <zlib.h>

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

void Crc32::update(std::span<const std::uint8_t> bytes) noexcept {
  crc_ = static_cast<std::uint32_t>(crc32_z(crc_, bytes.data(), bytes.size()));
}

void ByteHistogram::update(std::span<const std::uint8_t> bytes) noexcept {
  auto& [c0, c1, c2, c3] = counts_;
  std::size_t i = 0;
  for (; bytes.size() - i >= 4; i += 4) {
    ++c0[bytes[i]];
    ++c1[bytes[i + 1]];
    ++c2[bytes[i + 2]];
    ++c3[bytes[i + 3]];
  }
  for (; i < bytes.size(); ++i) {
    ++c0[bytes[i]];
  }
}

std::uint64_t ByteHistogram::total() const noexcept {
  std::uint64_t n = 0;
  for (const auto& table : counts_) {
    for (const std::uint64_t c : table) {
      n += c;
    }
  }
  return n;
}

double ByteHistogram::entropy() const noexcept {
  const auto n = static_cast<double>(total());
  // Starting from -0.0 keeps the sign of a sum of zero terms negative.
  double h = -0.0;
  for (std::size_t b = 0; b < 256; ++b) {
    const std::uint64_t c = counts_[0][b] + counts_[1][b] + counts_[2][b] + counts_[3][b];
    if (c != 0) {
      const double p = static_cast<double>(c) / n;
      h -= p * std::log2(p);
    }
  }
  return h;
}

} // namespace trawl
