#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include <trawl/trawl.hpp>

#include <gtest/gtest.h>

namespace trawl {
namespace {

// Every prefix of real files up to 4 KiB, then sampled, and copies with flipped bits: each gives
// a report with the file facts, whatever the extractors make of the damaged structures. Under the
// sanitizer build this also proves that no walk reads outside its input.
TEST(CorpusPrefixes, EveryPrefixGivesAReport) {
  const std::filesystem::path root = std::filesystem::path(TRAWL_CORPUS_DIR) / "real";
  if (!std::filesystem::is_directory(root)) {
    GTEST_SKIP() << "corpus not found at " << root;
  }
  const char* files[] = {"jpeg/camera_Nikon_D70.jpg", "jpeg/xmp_BlueSquare.jpg",
                         "png/im_palette_adam7.png",  "gif/im_anim_loop0.gif",
                         "bmp/bmpsuite_rgb32h52.bmp", "heif/heifenc.heic",
                         "tiff/im_le_exif_gps.tiff",  "webp/webpmux_exif_gps.webp"};
  for (const char* name : files) {
    SCOPED_TRACE(name);
    std::ifstream in(root / name, std::ios::binary);
    if (!in) {
      continue; // only in the full corpus
    }
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    for (std::size_t cut = 0; cut <= data.size(); cut += cut < 4096 ? 1 : 1021) {
      const Report report = parse_buffer(std::span(data).first(cut));
      ASSERT_EQ(report.namespaces.at("file").at("size_bytes").as_uint(), cut);
    }
    // Bit flips in the first 4 KiB, where the headers and directories are.
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
      std::vector<std::uint8_t> flipped(
          data.begin(),
          data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(data.size(), 65536)));
      for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips) {
        flipped.at(rng() % std::min<std::size_t>(flipped.size(), 4096)) ^=
            static_cast<std::uint8_t>(1U << (rng() % 8));
      }
      const Report report = parse_buffer(flipped);
      ASSERT_EQ(report.namespaces.at("file").at("size_bytes").as_uint(), flipped.size());
    }
  }
}

} // namespace
} // namespace trawl
