#include <string>

#include "testing/builders.hpp"
#include "xmp/xmp.hpp"
#include <gtest/gtest.h>

namespace trawl::xmp {
namespace {

using namespace std::string_view_literals;
using namespace testing;

std::string found(const Bytes& file) {
  const auto packet = find_packet(ByteReader(file));
  if (!packet) {
    return "<none>";
  }
  return std::string(packet->bytes.begin(), packet->bytes.end()) + (packet->cut ? " (cut)" : "");
}

TEST(XmpLocate, FindsThePacketOfEachContainer) {
  const Bytes jpeg_xmp = jpeg_segment(0xE1, text("http://ns.adobe.com/xap/1.0/\0<one/>"sv));
  const Bytes png = text("\x89PNG\r\n\x1A\n");
  const Bytes xmp_uuid = {0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8,
                          0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};
  const Bytes ftyp = box("ftyp", text("isom"));
  const auto webp = [](const Bytes& chunks) {
    return cat(
        {text("RIFF"), le32(static_cast<std::uint32_t>(chunks.size() + 4)), text("WEBP"), chunks});
  };
  struct Case {
    const char* name;
    Bytes file;
    std::string packet;
  };
  const Case cases[] = {
      {"JPEG APP1", cat({{0xFF, 0xD8}, jpeg_xmp, {0xFF, 0xD9}}), "<one/>"},
      {"JPEG: the last APP1 counts, stray bytes are passed over",
       cat({{0xFF, 0xD8},
            jpeg_xmp,
            text("junk"),
            jpeg_segment(0xE1, text("http://ns.adobe.com/xap/1.0/\0<two/>"sv))}),
       "<two/>"},
      {"JPEG: nothing after the first scan",
       cat({{0xFF, 0xD8}, jpeg_segment(0xDA, Bytes(4, 0)), jpeg_xmp}), "<none>"},
      {"JPEG: another APP1", cat({{0xFF, 0xD8}, jpeg_segment(0xE1, text("Exif\0\0"sv))}), "<none>"},
      {"PNG iTXt", cat({png, png_chunk("iTXt", text("XML:com.adobe.xmp\0\0\0\0\0<p/>"sv))}),
       "<p/>"},
      {"PNG compressed iTXt",
       cat({png, png_chunk("iTXt", cat({text("XML:com.adobe.xmp\0\1\0\0\0"sv),
                                        testing::deflated(text("<z/>"))}))}),
       "<z/>"},
      {"PNG: tEXt of that keyword is not XMP",
       cat({png, png_chunk("tEXt", text("XML:com.adobe.xmp\0<t/>"sv))}), "<none>"},
      {"PNG: nothing after IEND",
       cat({png, png_chunk("IEND", {}),
            png_chunk("iTXt", text("XML:com.adobe.xmp\0\0\0\0\0<p/>"sv))}),
       "<none>"},
      {"WebP chunk after an odd one",
       webp(cat({text("VP8X"), le32(1), {0, 0}, text("XMP "), le32(4), text("<w/>")})), "<w/>"},
      {"WebP: a chunk past the declared size",
       cat({text("RIFF"), le32(4), text("WEBP"), text("XMP "), le32(4), text("<w/>")}), "<none>"},
      {"TIFF tag 700, little-endian, inline",
       cat({text("II*\0"sv), le32(8), le16(1), le16(700), le16(7), le32(4), text("<ab>"), le32(0)}),
       "<ab>"},
      {"TIFF tag 700, big-endian, at an offset",
       cat({text("MM\0*"sv), be32(8), be16(2), be16(256), be16(3), be32(1), be32(0), be16(700),
            be16(1), be32(6), be32(38), be32(0), text("<tif/>")}),
       "<tif/>"},
      {"TIFF tag 700 of another type",
       cat({text("II*\0"sv), le32(8), le16(1), le16(700), le16(3), le32(2), text("<ab>"), le32(0)}),
       "<none>"},
      {"ISO media uuid box", cat({ftyp, box("uuid", cat({xmp_uuid, text("<u/>")}))}), "<u/>"},
      {"ISO media: another uuid", cat({ftyp, box("uuid", cat({Bytes(16, 1), text("<u/>")}))}),
       "<none>"},
      {"ISO media moov/udta/XMP_",
       cat({ftyp,
            box("moov", cat({box("mvhd", Bytes(4, 0)),
                             box("udta", cat({box("meta", {}), box("XMP_", text("<m/>"))}))}))}),
       "<m/>"},
      {"ISO media: a box whose size overflows ends the walk",
       cat({ftyp, be32(0xFFFF), text("moov"), box("uuid", cat({xmp_uuid, text("<u/>")}))}),
       "<none>"},
      {"another format", text("GIF89a"), "<none>"},
      {"a long packet is cut",
       cat({text("II*\0"sv), le32(8), le16(1), le16(700), le16(1),
            le32(static_cast<std::uint32_t>(max_packet + 1)), le32(26), le32(0),
            Bytes(max_packet + 1, ' ')}),
       std::string(max_packet, ' ') + " (cut)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(found(c.file), c.packet);
  }
}

// A PDF's namespace after its bytes are fed in blocks of `block` bytes.
std::string pdf_search(std::string_view pdf, std::size_t block) {
  auto scan = start_pdf_scan();
  const Bytes bytes = text(pdf);
  for (std::size_t at = 0; at < bytes.size(); at += block) {
    scan->update(std::span(bytes).subspan(at, std::min(block, bytes.size() - at)));
  }
  BufferSource source(std::span<const std::uint8_t>{});
  const auto ns = scan->finish(source, Probe{});
  return ns ? render(Value(ns->entries())) : "error";
}

std::string metadata(std::string_view object, std::string_view tool, bool pdf_namespace = true) {
  return std::string(object) + " obj\n<< /Type /Metadata /Subtype /XML >>\nstream\n" +
         "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
         "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
         "xmlns:xmp='http://ns.adobe.com/xap/1.0/' " +
         (pdf_namespace ? "xmlns:pdf='http://ns.adobe.com/pdf/1.3/' " : "") + "xmp:CreatorTool='" +
         std::string(tool) + "'/></rdf:RDF></x:xmpmeta>\n<?xpacket end='w'?>\nendstream\nendobj\n";
}

TEST(XmpPdfSearch, ChoosesTheDocumentsPacket) {
  const std::string catalog =
      "1 0 obj\n<< /Type /Catalog /Metadata 7 0 R /Pages 2 0 R >>\nendobj\n";
  const std::string sorted_keys = "1 0 obj\n<</Metadata 7 0 R/Pages 2 0 R/Type/Catalog>>\nendobj\n";
  struct Case {
    const char* name;
    std::string pdf;
    const char* expected;
  };
  const Case cases[] = {
      {"the catalog's, before it",
       "%PDF-1.4\n" + metadata("7 0", "doc") + metadata("9 0", "art") + catalog,
       R"({creator_tool="doc"})"},
      {"the catalog's, keys in any order",
       "%PDF-1.4\n" + sorted_keys + metadata("7 0", "doc") + metadata("9 0", "art"),
       R"({creator_tool="doc"})"},
      {"an update of the catalog's",
       "%PDF-1.4\n" + catalog + metadata("7 0", "old") + metadata("9 0", "art") +
           metadata("7 0", "new"),
       R"({creator_tool="new"})"},
      {"without a catalog, the last declaring the PDF namespace",
       "%PDF-1.4\n" + metadata("7 0", "doc") + metadata("9 0", "image", false),
       R"({creator_tool="doc"})"},
      {"else the last", "%PDF-1.4\n" + metadata("7 0", "a", false) + metadata("9 0", "b", false),
       R"({creator_tool="b"})"},
      // Found by fuzzing: text after a packet counted as the packet's own.
      {"the namespace only inside the packet",
       "%PDF-1.4\n" + metadata("7 0", "doc") + metadata("9 0", "art", false) +
           "% http://ns.adobe.com/pdf/1.3/\n",
       R"({creator_tool="doc"})"},
      {"a bare xmpmeta element",
       "%PDF-1.4\n<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
       "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
       "xmlns:xmp='http://ns.adobe.com/xap/1.0/' xmp:Rating='2'/></rdf:RDF></x:xmpmeta>",
       "{rating=2.}"},
      {"a packet that never ends", "%PDF-1.4\n" + metadata("7 0", "doc").substr(0, 300), "{}"},
      {"no packet", "%PDF-1.4\n1 0 obj\n<<>>\nendobj\n", "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::size_t block :
         {std::size_t{1}, std::size_t{7}, std::size_t{64}, c.pdf.size()}) {
      SCOPED_TRACE(block);
      EXPECT_EQ(pdf_search(c.pdf, block), c.expected);
    }
  }
}

TEST(XmpPdfSearch, DropsPacketsOverItsCap) {
  const std::string huge = metadata("7 0", std::string(std::size_t{5} << 20U, 'x'));
  EXPECT_EQ(pdf_search("%PDF-1.4\n" + metadata("3 0", "small") + huge, 1 << 16),
            R"({creator_tool="small" truncated=["packet"]})");
}

TEST(XmpExtractor, ReadsInTheThoroughReadingOnly) {
  const Bytes jpeg = cat({{0xFF, 0xD8},
                          jpeg_segment(0xE1, text(R"(http://ns.adobe.com/xap/1.0/)"
                                                  "\0<rdf:RDF xmlns:rdf='http://www.w3.org/1999/"
                                                  "02/22-rdf-syntax-ns#'><rdf:Description "
                                                  "xmlns:xmp='http://ns.adobe.com/xap/1.0/' "
                                                  "xmp:CreatorTool='T'/></rdf:RDF>"sv)),
                          {0xFF, 0xD9}});
  EXPECT_EQ(render(Value(testing::parsed(jpeg, "xmp"))), "{}");
  EXPECT_EQ(render(Value(testing::parsed(jpeg, "xmp", testing::thorough()))),
            R"({creator_tool="T"})");
}

} // namespace
} // namespace trawl::xmp
