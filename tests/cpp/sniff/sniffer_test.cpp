#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sniff/sniffer.hpp"
#include "testing/builders.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using namespace testing;

std::string sniffed(const Bytes& head) {
  const auto r = sniff(head);
  return r ? std::string(r->mime) + " " + std::string(r->extension) : "";
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A ZIP local file header with no extra field, followed by its data.
Bytes local_entry(std::string_view name, std::string_view data) {
  const Bytes size = le32(static_cast<std::uint32_t>(data.size()));
  return text("PK\x03\x04") + Bytes(14, 0) + size + size +
         le32(static_cast<std::uint32_t>(name.size())) + text(name) + text(data);
}

TEST(Sniff, EveryCorpusSampleGivesItsExpectedType) {
  const std::filesystem::path dir = std::filesystem::path(TRAWL_CORPUS_DIR) / "sniff";
  std::ifstream table(dir / "expected.tsv");
  if (!table) {
    GTEST_SKIP() << "corpus not found at " << dir;
  }
  std::string line;
  std::getline(table, line); // header
  std::size_t checked = 0;
  while (std::getline(table, line)) {
    std::istringstream row(line);
    std::string file;
    std::string mime;
    std::string extension;
    std::getline(row, file, '\t');
    std::getline(row, mime, '\t');
    std::getline(row, extension, '\t');
    SCOPED_TRACE(file);
    std::ifstream in(dir / file, std::ios::binary);
    ASSERT_TRUE(in) << "missing sample";
    Bytes head(8192);
    in.read(reinterpret_cast<char*>(head.data()), 8192); // NOLINT
    head.resize(static_cast<std::size_t>(in.gcount()));
    EXPECT_EQ(sniffed(head), mime.empty() ? "" : mime + " " + extension);
    ++checked;
  }
  EXPECT_EQ(checked, 129U);
}

TEST(Sniff, OrderAndMinimumLengths) {
  struct Case {
    const char* name;
    Bytes head;
    const char* expected;
  };
  const Case cases[] = {
      {"empty", {}, ""},
      {"one byte", {0xFF}, ""},
      {"two bytes suffice for MZ", text("MZ"), "application/vnd.microsoft.portable-executable exe"},
      {"Debian package before plain ar", text("!<arch>\ndebian-binary   "),
       "application/vnd.debian.binary-package deb"},
      {"plain ar", text("!<arch>\nfoo.o/          "), "application/x-unix-archive ar"},
      {"TIFF that is also CR2",
       text("II\x2A\x00\x10\x00\x00\x00"
            "CR\x02"sv),
       "image/x-canon-cr2 cr2"},
      {"TIFF with byte 8 = 0x43 is nothing", text("II\x2A\x00\x08\x00\x00\x00\x43\x00"sv), ""},
      {"nine-byte TIFF header", text("MM\x00\x2A\x00\x00\x00\x08\x00"sv), ""},
      {"ELF of 52 bytes",
       text("\x7F"
            "ELF") +
           Bytes(48, 0),
       ""},
      {"ftyp of size 256 is an icon", Bytes{0, 0, 1, 0} + text("ftypheic") + Bytes(8, 0),
       "image/vnd.microsoft.icon ico"},
      {"WEBP without RIFF", text("XXXXXXXXWEBP"), "image/webp webp"},
      {"PDF after a junk prefix", Bytes(1000, 'x') + text("%PDF"), "application/pdf pdf"},
      {"PDF ending past byte 1024", Bytes(1021, 'x') + text("%PDF"), ""},
      {"gzip wins over PDF", text("\x1F\x8B\x08%PDF-1.4"sv), "application/gzip gz"},
      {"html needs a terminator", text("  <html"), ""},
      {"html with space", text("\n<a href=x>"), "text/html html"},
      {"xml after byte-order marks", text("\xEF\xBB\xBF\xFF\xFE<?XML "), "text/xml xml"},
      {"shebang of two bytes", text("#!"), ""},
      {"postscript", text("%!"), "application/postscript ps"},
      {"shebang of three bytes", text("#!/"), "text/x-shellscript sh"},
      {"lz4 after a skippable frame",
       text("\x50\x2A\x4D\x18") + le32(2) + text("ab\x04\x22\x4D\x18"), "application/x-lz4 lz4"},
      {"skippable frame past the head", text("\x5F\x2A\x4D\x18") + le32(100) + Bytes(10, 0), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sniffed(c.head), c.expected);
  }
}

TEST(Sniff, FourthZipEntryDecidesOfficeDocuments) {
  const Bytes types = local_entry("[Content_Types].xml", "<Types/>");
  const Bytes rels = local_entry("_rels/.rels", "<Relationships/>");
  struct Case {
    const char* name;
    Bytes head;
    const char* expected;
  };
  const Case cases[] = {
      {"word document",
       types + rels + local_entry("word/_rels/document.xml.rels", "<r/>") +
           local_entry("word/document.xml", "<w/>"),
       "application/vnd.openxmlformats-officedocument.wordprocessingml.document docx"},
      {"workbook",
       types + rels + local_entry("xl/_rels/workbook.xml.rels", "<r/>") +
           local_entry("xl/workbook.xml", "<x/>"),
       "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet xlsx"},
      {"fourth entry decides, not the third",
       types + rels + local_entry("word/_rels/document.xml.rels", "<r/>") +
           local_entry("ppt/presentation.xml", "<p/>"),
       "application/vnd.openxmlformats-officedocument.presentationml.presentation pptx"},
      {"three entries only", types + rels + local_entry("word/document.xml", "<w/>"),
       "application/zip zip"},
      {"fourth entry without a prefix",
       types + rels + local_entry("word/_rels/document.xml.rels", "<r/>") +
           local_entry("docProps/app.xml", "<a/>"),
       "application/zip zip"},
      {"first entry decides at once", local_entry("ppt/slides/slide1.xml", "<s/>"),
       "application/vnd.openxmlformats-officedocument.presentationml.presentation pptx"},
      {"java archive", local_entry("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"),
       "application/zip zip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sniffed(c.head), c.expected);
  }
}

} // namespace
} // namespace trawl
