#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <trawl/trawl.hpp>

#include "extractors/extractors.hpp"
#include "sources.hpp"
#include "support/digest.hpp"
#include "testing/fake_source.hpp"
#include "testing/temp_dir.hpp"
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

namespace trawl {
namespace {

using testing::bytes_of;

Map extract_from(Source& source, std::uint64_t len) {
  Probe probe;
  probe.len = len;
  auto result = FileExtractor().extract(source, probe);
  EXPECT_TRUE(result);
  return result ? std::move(*result).take_entries() : Map{};
}

TEST(FileExtractor, ChecksumsMatchKnownVectors) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> in;
    const char* sha256;
    const char* crc32;
  };
  const Case cases[] = {
      {"empty", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "00000000"},
      {"abc", bytes_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "352441c2"},
      {"check string", bytes_of("123456789"),
       "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225", "cbf43926"},
      {"leading zero digits", bytes_of("x31"), nullptr, "001685f0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BufferSource source(c.in);
    const Map facts = extract_from(source, c.in.size());
    EXPECT_EQ(facts.at("size_bytes").as_uint(), c.in.size());
    if (c.sha256 != nullptr) {
      EXPECT_EQ(facts.at("sha256").as_string(), c.sha256);
    }
    EXPECT_EQ(facts.at("crc32").as_string(), c.crc32);
    EXPECT_EQ(facts.contains("entropy_bits_per_byte"), !c.in.empty());
    EXPECT_FALSE(facts.contains("mime_detected"));
    EXPECT_FALSE(facts.contains("extension_canonical"));
  }
}

TEST(FileExtractor, EntropyRoundsToThreeDecimals) {
  std::vector<std::uint8_t> all_values;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) {
      all_values.push_back(static_cast<std::uint8_t>(b));
    }
  }
  struct Case {
    const char* name;
    std::vector<std::uint8_t> in;
    double entropy;
  };
  const Case cases[] = {
      {"two values equally often", bytes_of("abab"), 1.0},
      {"two to one", bytes_of("aab"), 0.918},
      {"every byte value equally often", all_values, 8.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BufferSource source(c.in);
    EXPECT_EQ(extract_from(source, c.in.size()).at("entropy_bits_per_byte").as_float(), c.entropy);
  }
  // One repeated value sums no term into -0.0, and the sign survives.
  const std::vector<std::uint8_t> same(1000, 0x41);
  BufferSource source(same);
  const double h = extract_from(source, same.size()).at("entropy_bits_per_byte").as_float();
  EXPECT_EQ(h, 0.0);
  EXPECT_TRUE(std::signbit(h));
}

TEST(FileExtractor, StreamedAndWholeInputsAgree) {
  // One million 'a': the FIPS 180-2 long-message vector; 16 reads of 64 KiB when streamed.
  const std::vector<std::uint8_t> data(1000000, 'a');
  const char* expected = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  testing::FakeSource streamed(data, 1000); // short reads of 1000 bytes
  BufferSource whole(data);
  const Map a = extract_from(streamed, data.size());
  const Map b = extract_from(whole, data.size());
  EXPECT_EQ(a.at("sha256").as_string(), expected);
  EXPECT_EQ(a, b);
  EXPECT_GT(streamed.reads(), 1000U);
}

// The digest, the CRC and the histogram share one loop over whole 64-byte blocks on processors
// with SHA instructions, each keeping its own tail, and the histogram counts runs of one value in
// bulk: however the bytes arrive, and whatever only looks like a run (equal ends, a period of 8),
// the results must be libcrypto's digest, zlib's CRC and the plain counts.
TEST(FileExtractor, DigestsAgreeHoweverTheBytesArrive) {
  std::vector<std::uint8_t> data(300000);
  std::uint32_t x = 1;
  for (std::size_t i = 0; i < data.size(); ++i) {
    x = x * 1103515245U + 12345U;
    const std::size_t k = i % 4096;
    data[i] = static_cast<std::uint8_t>(k < 700    ? 0x20
                                        : k < 1400 ? (k % 8 == 0 ? 1 : 2)
                                        : k < 2100 ? (k % 64 == 63 ? 0 : k % 8)
                                                   : x >> 24U);
  }
  std::array<std::uint8_t, 32> expected{};
  unsigned int len = 0;
  ASSERT_EQ(EVP_Digest(data.data(), data.size(), expected.data(), &len, EVP_sha256(), nullptr), 1);
  const auto expected_crc = static_cast<std::uint32_t>(crc32_z(0, data.data(), data.size()));
  std::array<std::uint64_t, 256> counts{};
  for (const std::uint8_t b : data) {
    ++counts.at(b);
  }
  double entropy = -0.0;
  for (const std::uint64_t c : counts) {
    if (c != 0) {
      const double p = static_cast<double>(c) / static_cast<double>(data.size());
      entropy -= p * std::log2(p);
    }
  }
  // Piece sizes around the block (64), the fold (16) and the table threshold (4096).
  for (const std::size_t piece :
       {1UL, 15UL, 63UL, 64UL, 65UL, 4095UL, 4096UL, 4161UL, 70001UL, 300000UL}) {
    SCOPED_TRACE(piece);
    Sha256 sha;
    Crc32 crc;
    ByteHistogram histogram;
    // A short first piece leaves the digest a partly filled block for the next.
    std::size_t at = 0;
    for (std::size_t n = std::min<std::size_t>(piece, 7); at < data.size(); n = piece) {
      const auto part = std::span(data).subspan(at, std::min(n, data.size() - at));
      update_together(sha, crc, histogram, part);
      at += part.size();
    }
    EXPECT_EQ(sha.finish(), expected);
    EXPECT_EQ(crc.value(), expected_crc);
    EXPECT_EQ(histogram.total(), data.size());
    EXPECT_EQ(histogram.entropy(), entropy);
  }
}

TEST(FileExtractor, ReadFailureDiscardsEverything) {
  testing::FakeSource source(std::vector<std::uint8_t>(200000, 7), 65536, 2);
  Probe probe;
  probe.len = 200000;
  const auto result = FileExtractor().extract(source, probe);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "I/O error: Input/output error (os error 5)");
}

} // namespace
} // namespace trawl
