#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <trawl/trawl.hpp>

#include "sources.hpp"
#include "testing/temp_dir.hpp"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trawl {
namespace {

using namespace testing;

TEST(ParsePath, NameAndClaimedExtension) {
  struct Case {
    std::string file;
    std::string suffix; // appended to the path given to parse_path
    std::string name;
    std::optional<std::string> extension;
  };
  const Case cases[] = {
      {"archive.tar.gz", "", "archive.tar.gz", "gz"},
      {"README", "", "README", std::nullopt},
      {".profile", "", ".profile", std::nullopt},
      {"notes.", "", "notes.", ""},
      {"..x", "", "..x", "x"},
      {"bad\xff.t\xffxt", "", "bad\xEF\xBF\xBD.t\xEF\xBF\xBDxt", "t\xEF\xBF\xBDxt"},
      {"photo.jpg", "/", "photo.jpg", "jpg"}, // opening fails for a file, see below
  };
  const TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = dir.write(c.file, bytes_of("data"));
    const auto report = parse_path(path + c.suffix);
    if (!c.suffix.empty()) {
      ASSERT_FALSE(report);
      EXPECT_EQ(report.error().text(), "Not a directory (os error 20)");
      continue;
    }
    ASSERT_TRUE(report);
    const Map& facts = report->namespaces.at("file");
    EXPECT_EQ(facts.at("name").as_string(), c.name);
    EXPECT_EQ(facts.contains("extension_claimed"), c.extension.has_value());
    if (c.extension) {
      EXPECT_EQ(facts.at("extension_claimed").as_string(), *c.extension);
    }
    EXPECT_EQ(facts.at("size_bytes").as_uint(), 4U);
  }
}

TEST(ParsePath, DirectoryKeepsPathFactsAndReportsReadErrors) {
  const TempDir dir;
  ASSERT_EQ(::mkdir((dir.path() + "/2019").c_str(), 0700), 0);
  for (const char* suffix : {"/2019/", "/2019/.", "/2019"}) {
    SCOPED_TRACE(suffix);
    const auto report = parse_path(dir.path() + suffix);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->namespaces.at("file").at("name").as_string(), "2019");
    EXPECT_FALSE(report->namespaces.at("file").contains("sha256"));
    ASSERT_EQ(report->errors.size(), 1U);
    EXPECT_EQ(report->errors[0].message, "I/O error: Is a directory (os error 21)");
  }
  const auto root = parse_path("/");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->namespaces.at("file").at("name").as_string(), "");
  const auto parent = parse_path(dir.path() + "/2019/..");
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->namespaces.at("file").at("name").as_string(), "");
}

// Opening a FIFO used to wait for a writer forever; one without a writer now reads as empty,
// and one with a writer is read to the writer's end.
TEST(ParsePath, FifoNeverWaitsForAWriter) {
  const TempDir dir;
  const std::string fifo = dir.path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto alone = parse_path(fifo);
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->namespaces.at("file").at("size_bytes").as_uint(), 0U);
  // A writer that holds the FIFO open a while (O_RDWR never waits for the other end).
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_RDWR);
    if (fd >= 0) {
      static_cast<void>(::write(fd, "abc", 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ::close(fd);
    }
  });
  const auto fed = parse_path(fifo);
  writer.join();
  ASSERT_TRUE(fed);
  EXPECT_EQ(fed->namespaces.at("file").at("name").as_string(), "pipe");
}

// A file that shrinks or grows between its size query and its reading: the report keeps the
// size the file system gave and describes the bytes that were really there.
TEST(ParsePath, FileChangingUnderTheParse) {
  const TempDir dir;
  std::vector<std::uint8_t> data(100000, 'x');
  const std::array<std::uint8_t, 8> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::copy(signature.begin(), signature.end(), data.begin());
  const std::string path = dir.write("changing.png", data);
  const std::string same_bytes = parse_buffer(data).namespaces.at("file").at("sha256").as_string();
  for (const std::uint64_t stale : {std::uint64_t{300000}, std::uint64_t{1000}, std::uint64_t{0}}) {
    SCOPED_TRACE(stale);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FileSource source(fd, std::nullopt); // read to its end, whatever the size told
    const Report report = parse(source, stale);
    ::close(fd);
    const Map& facts = report.namespaces.at("file");
    EXPECT_EQ(facts.at("size_bytes").as_uint(), stale);
    EXPECT_EQ(facts.at("sha256").as_string(), same_bytes);
  }
}

TEST(ParsePath, EveryWayOfReadingAFileGivesTheBuffersReport) {
  // Kept whole once read, or read through the page cache from the first byte on.
  const TempDir dir;
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{2}, std::size_t{5000}, std::size_t{300000}}) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    const std::string path = dir.write("f" + std::to_string(size), data);
    const Report expected = parse_buffer(data);
    for (const std::uint64_t whole_up_to : {FileSource::whole_limit, std::uint64_t{0}}) {
      SCOPED_TRACE(std::to_string(size) + " bytes, kept whole up to " +
                   std::to_string(whole_up_to));
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      FileSource source(fd, size, whole_up_to);
      const Report report = parse(source, size);
      ::close(fd);
      EXPECT_EQ(report.namespaces, expected.namespaces);
      EXPECT_EQ(report.errors, expected.errors);
    }
  }
}

TEST(ParsePath, ModificationTimeInWholeSecondsSinceTheEpoch) {
  struct Case {
    timespec mtime;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {{1000, 900000000}, 1000},
      {{0, 0}, 0},
      {{-100, 0}, std::nullopt},
      {{-1, 500000000}, std::nullopt},
  };
  const TempDir dir;
  const std::string path = dir.write("empty", {});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mtime.tv_sec);
    const timespec times[2] = {c.mtime, c.mtime};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const auto report = parse_path(path);
    ASSERT_TRUE(report);
    const Map& facts = report->namespaces.at("file");
    EXPECT_EQ(facts.contains("modified_unix"), c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(facts.at("modified_unix").as_uint(), *c.expected);
    }
  }
}

// Every prefix of real files and of the EXIF reader's samples up to 4 KiB, then sampled, and
// copies with flipped bits: each gives a report with the file facts, whatever the extractors make
// of the damaged structures. Under the sanitizer build this also proves that no walk reads
// outside its input.
TEST(CorpusPrefixes, EveryPrefixGivesAReport) {
  const std::filesystem::path corpus(TRAWL_CORPUS_DIR);
  if (!std::filesystem::is_directory(corpus / "real")) {
    GTEST_SKIP() << "corpus not found at " << corpus;
  }
  std::vector<std::filesystem::path> files;
  for (const char* name :
       {"jpeg/camera_Nikon_D70.jpg", "jpeg/xmp_BlueSquare.jpg", "png/im_palette_adam7.png",
        "gif/im_anim_loop0.gif", "bmp/bmpsuite_rgb32h52.bmp", "heif/heifenc.heic",
        "tiff/im_le_exif_gps.tiff", "webp/webpmux_exif_gps.webp"}) {
    files.push_back(corpus / "real" / name);
  }
  if (std::filesystem::is_directory(corpus / "exif")) { // only in the full corpus
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus / "exif")) {
      files.push_back(entry.path());
    }
  }
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    std::ifstream in(path, std::ios::binary);
    if (!in || !std::filesystem::is_regular_file(path)) {
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
    for (int round = 0; round < 300 && !data.empty(); ++round) {
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
