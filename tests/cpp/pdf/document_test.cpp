#include <array>
#include <string>
#include <vector>

#include <trawl/trawl.hpp>

#include "pdf/crypt.hpp"
#include "support/text.hpp"
#include "testing/builders.hpp"
#include "testing/pdf_builder.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

using testing::PdfWriter;

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; // NOLINT
}

std::string hex_bytes(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Encryption dictionaries, first file identifiers and an encrypted string of object 2 from
// pypdf's sample files (user password "openpassword" where there is one), with the text
// pdfinfo shows.
TEST(PdfCrypt, OpensTheStandardHandlerOfRealFiles) {
  struct Case {
    const char* name;
    std::string encrypt;
    std::string_view id0;
    std::string_view cipher;
    std::string expected; // the text, or "password" / the label when it cannot be opened
  };
  const std::string v5_cf =
      "/CF << /StdCF << /AuthEvent /DocOpen /CFM /AESV3 /Length 32 >> >> /Filter /Standard "
      "/Length 256 /P -4 /StmF /StdCF /StrF /StdCF /V 5 ";
  const std::string_view id = "fce2fe96b7e142b4a0576f61e2e9c441";
  const std::vector<Case> cases = {
      {"RC4 40 bits, R 2",
       "<< /Filter /Standard /Length 40 /O "
       "<2055c756c72e1ad702608e8196acad447ad32d17cff583235f6dd15fed7dab67> /P -4 /R 2 /U "
       "<67375c1122c5bf2db95cbadb7e22e3dd4293c963bf040b4afcad385d58921ea9> /V 1 >>",
       id, "c714fdbf3c", "RC4-40 cheng"},
      {"RC4 128 bits, R 3",
       "<< /Filter /Standard /Length 128 /O "
       "<36451bd39d753b7c1d10922c28e6665aa4f3353fb0348b536893e3b1db5c579b> /P -4 /R 3 /U "
       "<3aa7292767d13ba34c0d53d3118a163c0122456a91bae5134273a6db134c87c4> /V 2 >>",
       id, "5f31d9843e", "RC4-128 cheng"},
      {"RC4 crypt filter, R 4",
       "<< /CF << /StdCF << /AuthEvent /DocOpen /CFM /V2 /Length 16 >> >> /Filter /Standard "
       "/Length 128 /O <73958efc4074fc8790cc3cb0afb30a1a4c573d7d83a44ca103f3605b59aea888> /P -4 "
       "/R 4 /StmF /StdCF /StrF /StdCF /U "
       "<b0677760c617d94c05609908b0d12ba60122456a91bae5134273a6db134c87c4> /V 4 >>",
       id, "2e57fc195e", "RC4-128 cheng"},
      {"AES-128 without /Length",
       "<< /CF << /StdCF << /AuthEvent /DocOpen /CFM /AESV2 /Length 16 >> >> /Filter /Standard "
       "/O <36451bd39d753b7c1d10922c28e6665aa4f3353fb0348b536893e3b1db5c579b> /P -4 /R 4 /StmF "
       "/StdCF /StrF /StdCF /U <a3027fc52e12fdde5a9261fc4962fa350122456a91bae5134273a6db134c87c4> "
       "/V 4 >>",
       "df5f844424a99196d018ef5c299190c5",
       "3ea9a2dded9896d5668c4cf4d1bde7769f84d895b53ea745e071ea0df6e24979", "AES-128 pypdf"},
      {"AES-256, R 5",
       "<< " + v5_cf +
           "/O <bd387e6409d1f9a8b7fff4471d763a4d99cf9a001d8f43bdf27e60d55a6459241ba856461e1c568b"
           "83e0eda7733f33c6> /OE <6d25d9f18987b2bf6963bbb2d66e35ba1f70a580c92dc836fd3c2fce581c9"
           "cc6> /R 5 /U <fa27a9be84b5e10707ae639198b4e53f9fe68bbab4608e1bd5ecf3a42f489eccaafc0832"
           "ff9e7dca161898614ed4f0af> /UE <827ec1a98a66e3cf19930e26d3ea713807fc7aeb36c7051163d99e"
           "4f32f225d7> >>",
       id, "e26e2e251a8762a18d29c99fad750dfd73f0c8bf7159852779535fdaefe6867e", "AES-256 cheng"},
      // /Perms confirms the key without the hash that checks the password.
      {"AES-256, R 6",
       "<< " + v5_cf +
           "/O <a67e78f4cfd4db52c109e6fc96792d5aaa0512b3290ff8500a1d44456c458f02769774a5a8134c1c"
           "409dec446e2e2f52> /OE <62b2c648b33f68a54a4dfec151e38b048521ca3d676609042aaee83d89a331"
           "e8> /Perms <fd2a14328f97e315f08ca3f67f16e428> /R 6 /U "
           "<a30407a84184545e6e19dbd7230a266995c516e4c52dc6d8086d58e07ea44e0c08f14f2a"
           "39a7575605528ad412e14ff6> /UE <611bdccdb348727e6ee729e69ebce1030ade9f4f5e8de8af6f79dd"
           "f13c16e05e> >>",
       id, "b7eb61b3f973880e879f13d8bf929b37ac5728d9915aca0ab5f73a90e2e443d1", "AES-256 cheng"},
      // A user password, but an empty owner password: the owner's key opens it.
      {"AES-256, R 6, empty owner password",
       "<< " + v5_cf +
           "/O <57c08f4d2b7e02a2eb6deabf903267643bd971f5201ed5e1865311001c05d012e7a9dea18e3de1aa"
           "35675d0069944da1> /OE <ec81dd84bd5492acdcd5f82cd3093427d2db0eace3789f0f39c65ebea1025"
           "3dd> /R 6 /U <ae700c793d687882958ce411fed797a6364e182dc4cb8c3819d347b9d577c3526d9fd5c"
           "2b9fe54cfed6539accc53ac28> /UE <557c4e6be3cc2bd0166a1b1ab3b0e09d6f0e3f5d17d305925c705"
           "5116ac14c6c> >>",
       id, "8f4ee217ea180876132dcc92cfbdba0e697990a339f46883f7060dd034897c10", "AES-256 cheng"},
      {"RC4 40 bits with a user password",
       "<< /Filter /Standard /Length 40 /O "
       "<6e49439a53d94cc0dcc7261742621c471290a24e838d3ba4d07db663d1383944> /P -4 /R 2 /U "
       "<e21c7cebd495fb4dd4ce8783acac78f935176450f27f239c71de0787229cf98c> /V 1 >>",
       id, "00cd8bdf04", "RC4-40 password"},
      {"AES-256 with both passwords",
       "<< " + v5_cf +
           "/O <8f9f8dd3d4f4d835ca81943e9fe5b0ecb110a10e325ab37a6579c5d410bdc4f02684fbabe4071e76"
           "9c70cabef205a224> /OE <7456be56d9d27d5a21ecb57938db8a27cfdd93f0ecddba041b7251d6277ca"
           "df8> /R 6 /U <00f37f3c07853692eb4ab62259c20785463da68741ce291015d4f62f43337a89b52bdd4"
           "e4b351f690c550588f95aac59> /UE <6c02c98c63bcdea0b5433d9bd8d90b48390dd043804507c1f7024"
           "453e90790b2> >>",
       id, "", "AES-256 password"},
      {"another handler", "<< /Filter /Adobe.PubSec /V 4 >>", id, "", "Adobe.PubSec"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader r(bytes_of(c.encrypt));
    const auto dict = pdf::parse_object(r).object;
    ASSERT_TRUE(dict);
    const auto opened = pdf::open_security_handler(*dict, hex_bytes(c.id0));
    std::string got = opened.label;
    if (opened.password_required) {
      got += " password";
    } else if (opened.decryptor) {
      const auto plain = opened.decryptor->decrypt(bytes_of(hex_bytes(c.cipher)), {2, 0}, false);
      got += ' ';
      got += plain ? as_chars(*plain) : "none";
    }
    EXPECT_EQ(got, c.expected);
  }
}

// `s` with the first `from` replaced by `to`.
std::string replaced(const std::string& s, std::string_view from, std::string_view to) {
  const std::size_t at = s.find(from);
  return s.substr(0, at) + std::string(to) + s.substr(at + from.size());
}

// The thorough facts of a file, and the keys the default reading gives differently.
std::string thorough_facts(const std::string& file) {
  const Map pdf = testing::parsed(testing::text(file), "pdf", testing::thorough());
  Map kept;
  for (const char* key :
       {"encryption", "info", "page_count", "password_required", "truncated", "version"}) {
    if (const auto k = pdf.find(key); k != pdf.end()) {
      kept.emplace(key, k->second);
    }
  }
  return testing::render(Value(std::move(kept)));
}

constexpr std::string_view catalog = "<< /Type /Catalog /Pages 2 0 R >>";
constexpr std::string_view one_page_tree = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
constexpr std::string_view page = "<< /Type /Page /Parent 2 0 R >>";

// The RC4-40 handler of a file whose empty user password opens it, and the file's /ID.
constexpr std::string_view rc4_40_encrypt =
    "<< /Filter /Standard /Length 40 /O "
    "<2055c756c72e1ad702608e8196acad447ad32d17cff583235f6dd15fed7dab67> /P -4 /R 2 /U "
    "<67375c1122c5bf2db95cbadb7e22e3dd4293c963bf040b4afcad385d58921ea9> /V 1 >>";
constexpr std::string_view rc4_40_id =
    "/ID [<fce2fe96b7e142b4a0576f61e2e9c441><fce2fe96b7e142b4a0576f61e2e9c441>]";

// A one-page file with Info object 4 and a classic table.
PdfWriter simple_file(std::string_view info, std::string_view header = "%PDF-1.4\n") {
  PdfWriter w{std::string(header)};
  w.object(1, catalog).object(2, one_page_tree).object(3, page).object(4, info);
  return w;
}

TEST(PdfDocument, ReadsTheObjectGraph) {
  struct Case {
    const char* name;
    std::string file;
    std::string expected;
  };
  std::vector<Case> cases;
  {
    PdfWriter w;
    w.object(1, catalog)
        .object(2, "<< /Type /Pages /Kids [5 0 R 3 0 R] /Count 3 >>")
        .object(3, page)
        .object(4, "<< /Title <FEFF00540069> /Author (A\\(b\\)) /Producer (Old) /Producer 8 0 R "
                   "/CreationDate (D:2020) /Creator /NotAString >>")
        .object(5, "<< /Type /Pages /Kids [6 0 R 7 0 R] /Count 2 >>")
        .object(6, page)
        .object(7, page)
        .object(8, "(P)")
        .table("/Size 9 /Root 1 0 R /Info 4 0 R");
    cases.push_back({"a classic table; hex, literal, UTF-16, indirect strings; a key given twice",
                     w.text(),
                     "{info={author=\"A(b)\" creation_date=\"D:2020\" producer=\"P\" "
                     "title=\"Ti\"} page_count=3 version=\"1.4\"}"});
  }
  {
    PdfWriter w("%PDF-1.5\n");
    w.object(1, catalog)
        .object(10, testing::object_stream_body({{2, std::string(one_page_tree)},
                                                 {3, std::string(page)},
                                                 {4, "<< /Title (In a stream) >>"}},
                                                true))
        .xref_stream(11, "/Size 12 /Root 1 0 R /Info 4 0 R", {{2, 10, 0}, {3, 10, 1}, {4, 10, 2}},
                     true);
    cases.push_back({"object streams listed by a cross-reference stream with PNG Up rows", w.text(),
                     "{info={title=\"In a stream\"} page_count=1 version=\"1.5\"}"});
  }
  {
    PdfWriter w = simple_file("<< /Title (Old) /Author (Kept) >>");
    w.table("/Size 5 /Root 1 0 R /Info 4 0 R")
        .object(4, "<< /Title (New) >>")
        .table("/Size 5 /Info 4 0 R");
    cases.push_back({"an update: its objects win, older trailers fill its gaps", w.text(),
                     "{info={title=\"New\"} page_count=1 version=\"1.4\"}"});
  }
  {
    PdfWriter w("%PDF-1.5\n");
    // An older object 2 that no table lists: only a rebuilt table would take it.
    w.raw("2 0 obj\n<< /Type /Pages /Kids [] /Count 5 >>\nendobj\n")
        .object(1, catalog)
        .object(10, testing::object_stream_body(
                        {{2, std::string(one_page_tree)}, {3, std::string(page)}}, false))
        .xref_stream(11, "/Size 12", {{2, 10, 0}, {3, 10, 1}});
    const std::string stream_at = std::to_string(w.offset(11));
    // The table a reader without cross-reference streams sees lists nothing; /XRefStm does.
    w.raw("xref\n0 1\n0000000000 65535 f\r\ntrailer\n<< /Size 12 /Root 1 0 R /XRefStm " +
          stream_at + " >>\nstartxref\n" + std::to_string(w.text().size()) + "\n%%EOF\n");
    cases.push_back({"a hybrid file", w.text(), "{page_count=1 version=\"1.5\"}"});
  }
  {
    PdfWriter w = simple_file("<< /Title (T) >>");
    const std::string self = std::to_string(w.text().size());
    w.table("/Size 5 /Root 1 0 R /Info 4 0 R /Prev " + self);
    cases.push_back({"a /Prev that points at its own section", w.text(),
                     "{info={title=\"T\"} page_count=1 version=\"1.4\"}"});
  }
  {
    PdfWriter w = simple_file("<< /Title (T) >>");
    w.table("/Size 5 /Root 1 0 R /Info 4 0 R", 5);
    cases.push_back({"every offset of the table wrong: objects found by their headers", w.text(),
                     "{info={title=\"T\"} page_count=1 version=\"1.4\"}"});
  }
  {
    PdfWriter w = simple_file("<< /Title (T) >>");
    w.table("/Size 5 /Root 1 0 R /Info 4 0 R");
    const std::string text =
        w.text().substr(0, w.text().rfind("startxref\n")) + "startxref\n99999\n%%EOF\n";
    cases.push_back(
        {"startxref past the end", text, "{info={title=\"T\"} page_count=1 version=\"1.4\"}"});
    const std::string cut = w.text().substr(0, w.text().find("/Info 4 0 R") + 12);
    cases.push_back(
        {"cut short inside the trailer", cut, "{info={title=\"T\"} page_count=1 version=\"1.4\"}"});
  }
  {
    // No cross-reference: the trailer is searched from the end in blocks of 1 MiB, and its
    // word starts 3 bytes before the last block.
    // The byte search alone would give the first title.
    PdfWriter w = simple_file("<< /Title (Not this) >>");
    w.object(5, "<< /Title (T) >>");
    std::string tail = "trailer\n<< /Root 1 0 R /Info 5 0 R >>\n%";
    tail += std::string((std::size_t{1} << 20U) + 3 - tail.size(), 'x');
    cases.push_back({"a trailer across the search's blocks", w.text() + tail,
                     "{info={title=\"T\"} page_count=1 version=\"1.4\"}"});
  }
  {
    const std::string xmp =
        R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF )"
        R"(xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description )"
        R"(xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmlns:dc="http://purl.org/dc/elements/1.1/" )"
        R"(xmp:CreatorTool="Tool" xmp:ModifyDate="2021-02-03T04:05:06-07:00"><dc:title>)"
        R"(<rdf:Alt><rdf:li xml:lang="x-default">Not this</rdf:li></rdf:Alt></dc:title>)"
        R"(</rdf:Description></rdf:RDF></x:xmpmeta>)";
    PdfWriter w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R /Metadata 5 0 R /Version /1.7 >>")
        .object(2, one_page_tree)
        .object(3, page)
        .object(4, "<< /Title (Info's) >>")
        .object(5, testing::stream_body("/Type /Metadata /Subtype /XML /Filter /FlateDecode",
                                        testing::zlib_compress(xmp)))
        .table("/Size 6 /Root 1 0 R /Info 4 0 R");
    cases.push_back({"XMP fills what /Info lacks; the catalog's later version", w.text(),
                     "{info={creator=\"Tool\" modification_date=\"D:20210203040506-07'00'\" "
                     "title=\"Info's\"} page_count=1 version=\"1.7\"}"});
  }
  {
    PdfWriter w("%PDF-1.6 \r\n");
    w.object(1, "<< /Type /Catalog /Pages 2 0 R /Version /1.3 >>")
        .object(2, "<< /Type /Pages /Kids [3 0 R 3 0 R 4 0 R] /Count 9 >>")
        .object(3, page)
        .table("/Size 4 /Root 1 0 R");
    cases.push_back({"an earlier catalog version, a page met twice: /Count stays", w.text(),
                     "{page_count=9 version=\"1.6\"}"});
  }
  {
    PdfWriter w("%PDF-1.4 %comment line\n");
    w.object(1, catalog)
        .object(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 7 >>")
        .object(3, page)
        .object(4, "<< /Type /Pages /Kids [] >>")
        .table("/Size 5 /Root 1 0 R");
    cases.push_back({"the leaves of a whole tree over a wrong /Count; no line break", w.text(),
                     "{page_count=1 version=\"1.4\"}"});
  }
  cases.push_back({"no catalog: the byte search stays",
                   "%PDF-1.4\n1 0 obj << /Type /Page >> endobj /Title (x)",
                   "{info={title=\"x\"} page_count=1 version=\"1.4\"}"});
  {
    // The metadata stream goes through an Identity crypt filter: it is not encrypted.
    const std::string xmp = R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
                            R"(<rdf:Description xmlns:pdf="http://ns.adobe.com/pdf/1.3/" )"
                            R"(pdf:Producer="Clear"/></rdf:RDF>)";
    PdfWriter w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R /Metadata 6 0 R >>")
        .object(2, "<< /Author <c714fdbf3c> >>")
        .object(3, "<< /Type /Pages /Kids [4 0 R] /Count 1 >>")
        .object(4, page)
        .object(6, testing::stream_body("/Type /Metadata /Filter [/Crypt]", xmp))
        .object(5, rc4_40_encrypt)
        .table("/Size 7 /Root 1 0 R /Info 2 0 R /Encrypt 5 0 R " + std::string(rc4_40_id));
    std::string file = replaced(w.text(), "/Pages 2 0 R", "/Pages 3 0 R");
    cases.push_back(
        {"encrypted with the empty user password", file,
         "{encryption=\"RC4-40\" info={author=\"cheng\" producer=\"Clear\"} page_count=1 "
         "password_required=false version=\"1.4\"}"});
    const std::string user_u = "e21c7cebd495fb4dd4ce8783acac78f935176450f27f239c71de0787229cf98c";
    const std::string user_o = "6e49439a53d94cc0dcc7261742621c471290a24e838d3ba4d07db663d1383944";
    file =
        replaced(file, "2055c756c72e1ad702608e8196acad447ad32d17cff583235f6dd15fed7dab67", user_o);
    file =
        replaced(file, "67375c1122c5bf2db95cbadb7e22e3dd4293c963bf040b4afcad385d58921ea9", user_u);
    cases.push_back({"encrypted with a user password: no information", file,
                     "{encryption=\"RC4-40\" page_count=1 password_required=true "
                     "version=\"1.4\"}"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(thorough_facts(c.file), c.expected);
  }
}

TEST(PdfDocument, DefaultReadingUnchanged) {
  PdfWriter w = simple_file("<< /Title (Old) >>", "%PDF-1.4 \n");
  w.table("/Size 5 /Root 1 0 R /Info 4 0 R").object(4, "<< /Title (New) >>").table("/Info 4 0 R");
  const Map got = testing::parsed(testing::text(w.text()), "pdf");
  EXPECT_EQ(testing::render(got.at("info")), "{title=\"Old\"}");
  EXPECT_EQ(got.at("version").as_string(), "1.4 ");
  EXPECT_FALSE(got.contains("encryption"));
}

TEST(PdfDocument, DecodingStopsAtItsCap) {
  // 16 MiB of zeros deflated into some 16 KiB: more than an XMP packet may decode to.
  const std::string bomb = testing::zlib_compress(std::string(std::size_t{16} << 20U, '\0'));
  PdfWriter w;
  w.object(1, "<< /Type /Catalog /Pages 2 0 R /Metadata 5 0 R >>")
      .object(2, one_page_tree)
      .object(3, page)
      .object(5, testing::stream_body("/Type /Metadata /Filter /FlateDecode", bomb))
      .table("/Size 6 /Root 1 0 R");
  EXPECT_EQ(thorough_facts(w.text()), "{page_count=1 truncated=[\"streams\"] version=\"1.4\"}");
}

TEST(PdfDocument, StopRequestEndsTheObjectGraphReading) {
  // A damaged table: the objects are found by searching the file after the pass.
  PdfWriter w = simple_file("<< /Title (T) >>");
  const std::string file =
      replaced(w.table("/Size 5 /Root 1 0 R /Info 4 0 R").text(), "startxref\n", "startxref\n9");
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop);
    int asked = 0;
    RunOptions options;
    options.thorough = true;
    options.stop_requested = [&] { return ++asked > 0 && stop; };
    const Report report = parse_buffer(bytes_of(file), options);
    EXPECT_GE(asked, 1);
    EXPECT_EQ(report.interrupted, stop);
    EXPECT_EQ(report.namespaces.contains("pdf"), !stop);
  }
}

TEST(PdfDocument, ParsingStopsAtItsBudget) {
  // Work that the file's bytes do not bound ends the page walk long before it is done: /Count
  // stands instead of the leaves.
  struct Case {
    const char* name;
    std::string file;
    std::string expected;
  };
  std::vector<Case> cases;
  std::string kids;
  for (unsigned n = 100; n < 300; ++n) {
    kids += std::to_string(n) + " 0 R ";
  }
  const std::string pages = "<< /Type /Pages /Kids [" + kids + "] /Count 7 >>";
  {
    // 200 pages of an object stream at one offset behind 1 MiB of whitespace, read again for
    // each page.
    std::vector<std::array<unsigned, 3>> listed = {{2, 10, 0}};
    std::string header = "2 0 ";
    for (unsigned n = 100; n < 300; ++n) {
      listed.push_back({n, 10, n - 99});
      header += std::to_string(n) + " " + std::to_string(pages.size() + 1) + " ";
    }
    const std::string data =
        header + pages + std::string(std::size_t{1} << 20U, ' ') + "<< /Type /Page >>";
    PdfWriter w("%PDF-1.5\n");
    w.object(1, catalog)
        .object(10,
                testing::stream_body("/Type /ObjStm /N 201 /First " +
                                         std::to_string(header.size()) + " /Filter /FlateDecode",
                                     testing::zlib_compress(data)))
        .xref_stream(11, "/Size 300 /Root 1 0 R", listed);
    cases.push_back({"an object stream's whitespace read for each page", w.text(),
                     "{page_count=7 version=\"1.5\"}"});
  }
  {
    // 200 pages of 500 empty strings, each decrypted with a cipher set up for it; the
    // information is read first, so the walk cannot starve it.
    std::string strings;
    for (int i = 0; i < 500; ++i) {
      strings += "()";
    }
    PdfWriter w;
    w.object(1, "<< /Type /Catalog /Pages 3 0 R >>")
        .object(2, "<< /Author <c714fdbf3c> >>")
        .object(3, pages)
        .object(5, rc4_40_encrypt);
    for (unsigned n = 100; n < 300; ++n) {
      w.object(n, "<< /Type /Page /S [" + strings + "] >>");
    }
    w.table("/Size 300 /Root 1 0 R /Info 2 0 R /Encrypt 5 0 R " + std::string(rc4_40_id));
    cases.push_back({"100,000 encrypted strings", w.text(),
                     "{encryption=\"RC4-40\" info={author=\"cheng\"} page_count=7 "
                     "password_required=false version=\"1.4\"}"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(thorough_facts(c.file), c.expected);
  }
}

} // namespace
} // namespace trawl
