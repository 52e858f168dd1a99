// The scans that share the registry's one pass (file digests, PDF search, GIF walk, ZIP end
// record) see their input in blocks of any size: every split must give what the whole gives.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <trawl/extractor.hpp>

#include "extractors/extractors.hpp"
#include "extractors/scan.hpp"
#include "sniff/sniffer.hpp"
#include "sources.hpp"
#include "support/stream_window.hpp"
#include "testing/temp_dir.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using testing::bytes_of;

std::string describe(const ExtractResult& r) {
  if (!r) {
    return "error: " + r.error().message();
  }
  std::string out;
  for (const auto& [key, value] : r->entries()) {
    out += key + (value.kind() == Kind::String ? "=" + value.as_string() : "") + ";";
  }
  return out;
}

void expect_any_split_agrees(const Extractor& extractor, const std::vector<std::uint8_t>& data) {
  Probe probe;
  probe.head = std::span(data).first(std::min(data.size(), head_limit));
  probe.len = data.size();
  BufferSource source(data);
  const ExtractResult whole = extractor.extract(source, probe);
  for (const std::size_t block :
       std::vector<std::size_t>{1, 2, 3, 4, 5, 13, 16, 17, 18, 19, 20, 64, 4096}) {
    SCOPED_TRACE(block);
    auto scan = extractor.start_scan(probe);
    ASSERT_TRUE(scan);
    for (std::size_t at = 0; at < data.size(); at += block) {
      const auto part = std::span(data).subspan(at, std::min(block, data.size() - at));
      scan->update_caller(part);
      scan->update(part);
    }
    const ExtractResult split = scan->finish(source, probe);
    ASSERT_EQ(split.has_value(), whole.has_value()) << describe(split) << " / " << describe(whole);
    if (whole) {
      EXPECT_EQ(split->entries(), whole->entries()) << describe(split);
    } else {
      EXPECT_EQ(split.error().message(), whole.error().message());
    }
  }
}

// A 2x2 GIF with a two-entry colour table, then `blocks`.
std::string gif(const std::string& blocks) {
  return std::string("GIF89a\x02\x00\x02\x00\x80\x00\x00", 13) + "\x11\x11\x11\x11\x11\x11" +
         blocks;
}

// Takes every byte up to the last `lookahead` of what it is shown, so that once bytes are carried
// the first byte it still needs is the next block's first.
class Collect final : public WindowScan<4> {
public:
  ExtractResult finish(Source& /*source*/, const Probe& /*probe*/) override {
    (void)end_input();
    return Namespace("collect");
  }
  std::vector<std::uint8_t> seen;

private:
  std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                        bool final) override {
    const std::uint64_t end = at + bytes.size();
    const std::uint64_t upto = final ? end : end - std::min<std::uint64_t>(bytes.size(), lookahead);
    EXPECT_GE(pos_, at) << "a byte still needed was dropped";
    if (pos_ >= at && pos_ < upto) {
      const auto part = bytes.subspan(pos_ - at, upto - pos_);
      seen.insert(seen.end(), part.begin(), part.end());
      pos_ = upto;
    }
    return pos_;
  }
};

TEST(StreamWindow, ExaminerSeesEveryByteOnceWhateverTheBlocks) {
  std::vector<std::uint8_t> data(50);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data.at(i) = static_cast<std::uint8_t>(i);
  }
  const std::vector<std::vector<std::size_t>> patterns = {{1}, {2},  {3},    {4},       {5},
                                                          {9}, {50}, {4, 1}, {1, 7, 2}, {6, 3}};
  for (const auto& sizes : patterns) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    Collect scan;
    for (std::size_t at = 0, i = 0; at < data.size(); ++i) {
      const std::size_t n = std::min(sizes.at(i % sizes.size()), data.size() - at);
      scan.update(std::span(data).subspan(at, n));
      at += n;
    }
    BufferSource source(data);
    (void)scan.finish(source, Probe{});
    EXPECT_EQ(scan.seen, data);
  }
}

TEST(StreamWindow, ScansAgreeAcrossBlocks) {
  using namespace std::string_literals;
  const std::string netscape = "!\xFF\x0BNETSCAPE2.0\x03\x01\x05\x00\x00"s;
  const std::string frame = ",\x00\x00\x00\x00\x02\x00\x02\x00\x00\x02\x02\x4C\x01\x00"s;
  const PdfExtractor pdf;
  const GifExtractor gif_walk;
  const ZipExtractor zip;
  const std::vector<std::pair<const Extractor*, std::string>> cases = {
      {&pdf, "%PDF-1.7\n1 0 obj\n<</Type/Pages>>\nendobj 2 0 obj <</Type /Page>> /Type/Page"},
      {&pdf, "%PDF-1.4\r/Linearized 1 /Encrypt 3 0 R /Title (A \\(nested (pair)\\) \\101\\60x)"},
      {&pdf,
       "%PDF-1.5\n/Author   \n(line\\\r\nbreak\\\rnext\\\nend\\n\\t\\b\\f\\q) /Author (second)"},
      {&pdf, "%PDF-1.5\n/Subject <feff> /Creator\n(\xfe\xff\0A\0B) /Producer (cut \\7"s},
      {&pdf, "%PDF-1.5\n/Keywords (octal \\1234 at the end \\"},
      {&pdf, "%PDF-1.6 /CreationDate(D:2020) /ModDate (x) obj /Type/Pag"},
      {&pdf, "%PDF-"}, // too short for a version
      {&gif_walk, gif(netscape + frame + frame + ";")},
      {&gif_walk, gif("\x00\x01"s + frame + "junk!" + frame)}, // stray bytes, an open extension
      {&gif_walk, gif(frame.substr(0, 7))},                    // image descriptor cut short
      {&gif_walk, gif("!")},
      {&gif_walk, "GIF89a\x01"}, // header too short
      {&zip,
       std::string("PK\x03\x04", 4) + std::string(26, '\0') + "PK\x05\x06" + std::string(18, '\0')},
      {&zip,
       std::string("PK\x05\x06", 4) + std::string(18, '\0') + "PK\x05\x06" + std::string(10, '\0')},
      {&zip, std::string("PK\x03\x04PKPK\x05", 9)},
  };
  for (const auto& [extractor, text] : cases) {
    SCOPED_TRACE(text);
    expect_any_split_agrees(*extractor, bytes_of(text));
  }
}

TEST(StreamWindow, CorpusFilesAcrossBlocks) {
  const std::filesystem::path root = std::filesystem::path(TRAWL_CORPUS_DIR) / "real";
  if (!std::filesystem::is_directory(root)) {
    GTEST_SKIP() << "corpus not found at " << root;
  }
  const std::unique_ptr<Extractor> extractors[] = {
      std::make_unique<FileExtractor>(), std::make_unique<PdfExtractor>(),
      std::make_unique<GifExtractor>(), std::make_unique<ZipExtractor>()};
  for (const char* folder : {"gif", "pdf", "zip"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
      SCOPED_TRACE(entry.path().string());
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
      if (data.size() > 200000) {
        continue; // one-byte blocks over large files take too long
      }
      for (const auto& extractor : extractors) {
        Probe probe;
        probe.head = std::span(data).first(std::min(data.size(), head_limit));
        if (extractor->name() == "file" || extractor->supports(probe)) {
          expect_any_split_agrees(*extractor, data);
        }
      }
    }
  }
}

} // namespace
} // namespace trawl
