#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <trawl/trawl.hpp>

#include <gtest/gtest.h>

namespace trawl {
namespace {

// Every prefix of real files up to 4 KiB, then sampled: each gives a report with the file
// facts, whatever the extractors make of the cut structures. Under the sanitizer build this
// also proves that no walk reads outside its input.
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
    ASSERT_TRUE(in) << "missing sample";
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    for (std::size_t cut = 0; cut <= data.size(); cut += cut < 4096 ? 1 : 1021) {
      const Report report = parse_buffer(std::span(data).first(cut));
      ASSERT_EQ(report.namespaces.at("file").at("size_bytes").as_uint(), cut);
    }
  }
}

} // namespace
} // namespace trawl
