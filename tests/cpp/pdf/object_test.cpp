#include <string>
#include <vector>

#include "pdf/filter.hpp"
#include "pdf/object.hpp"
#include "pdf/text.hpp"
#include "support/text.hpp"
#include "testing/pdf_builder.hpp"
#include <gtest/gtest.h>

namespace trawl::pdf {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; // NOLINT
}

// Compact text of an object: 1 2.5 (s) /N [..] {key=value ..} 3/0R null true.
std::string render(const Object& o) {
  switch (o.kind) {
  case Kind::Null:
    return "null";
  case Kind::Bool:
    return o.integer != 0 ? "true" : "false";
  case Kind::Int:
    return std::to_string(o.integer);
  case Kind::Real: {
    std::string f = std::to_string(o.real);
    while (f.ends_with('0')) {
      f.pop_back();
    }
    return f;
  }
  case Kind::String:
    return "(" + o.bytes + ")";
  case Kind::Name:
    return "/" + o.bytes;
  case Kind::Ref:
    return std::to_string(o.integer) + "/" + std::to_string(o.gen) + "R";
  case Kind::Array:
  case Kind::Dict: {
    const bool dict = o.kind == Kind::Dict;
    std::string out = dict ? "{" : "[";
    for (std::size_t i = 0; i < o.items.size(); ++i) {
      out += i == 0 ? "" : dict && i % 2 == 1 ? "=" : " ";
      out += dict && i % 2 == 0 ? o.items[i].bytes : render(o.items[i]);
    }
    return out + (dict ? "}" : "]");
  }
  }
  return "?";
}

std::string parse_text(std::string_view text, const ParseLimits& limits = {}) {
  ByteReader r(bytes_of(text));
  const Parsed p = parse_object(r, limits);
  if (!p.object) {
    return p.failure == ParseFailure::End ? "END" : "BAD";
  }
  return render(*p.object);
}

TEST(PdfObject, ParsesTheObjectSyntax) {
  struct Case {
    const char* name;
    std::string_view text;
    std::string expected;
    bool close_at_end = false; // what a data end leaves open is closed
  };
  const std::string deep_ok = std::string(64, '[') + std::string(64, ']');
  const std::string too_deep = std::string(65, '[') + std::string(65, ']');
  const std::vector<Case> cases = {
      {"numbers", "[1 -2 +3 4.5 -.5 5. --7 0.25]", "[1 -2 3 4.5 -0.5 5. -7 0.25]"},
      {"an integer past 64 bits becomes real", "9223372036854775808", "9223372036854775808."},
      {"references and plain integers", "[1 0 R 2 3 12 5 R]", "[1/0R 2 3 12/5R]"},
      {"a dictionary", "<</A 1/B(x)/C<</D true>>/E null>>", "{A=1 B=(x) C={D=true} E=null}"},
      {"escapes", "(a\\(b\\)\\n\\101\\7x\\\r\ny)",
       "(a(b)\nA\ax"
       "y)"},
      {"hex strings: spaces, odd last digit", "<48 65 6c6C 6f7>", "(Hellop)"},
      {"names with #xx", "/a#20b#zz", "/a b#zz"},
      {"comments are whitespace", "[1 % ] not here\n 2]", "[1 2]"},
      {"a key without a value is dropped", "<</A 1 /B>>", "{A=1}"},
      {"nesting at the cap", deep_ok, std::string(64, '[') + std::string(64, ']')},
      {"nesting past the cap", too_deep, "BAD"},
      {"a key that is not a name", "<<1 2>>", "BAD"},
      {"an unknown keyword", "[1 foo]", "BAD"},
      {"a bad hex digit", "<4G>", "BAD"},
      {"a closing bracket of the other kind", "[1>>", "BAD"},
      {"data ends inside an array", "[1 2", "END"},
      {"data ends inside a string", "(abc", "END"},
      {"closed inside a value", "<< /Info 2 0 R /ID [<c52", "{Info=2/0R ID=[]}", true},
      {"closed after a key", "<< /Root 1 0 R /Size", "{Root=1/0R}", true},
      {"nested dictionaries closed", "<< /A << /B 1", "{A={B=1}}", true},
      {"nothing opened to close", "(abc", "END", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParseLimits limits;
    limits.close_at_end = c.close_at_end;
    EXPECT_EQ(parse_text(c.text, limits), c.expected);
  }
}

TEST(PdfObject, IndirectObjectAndItsStreamStart) {
  const std::string text = "7 0 obj\n<< /Length 3 >>\nstream\r\nabc\nendstream";
  ByteReader r(bytes_of(text));
  ParseFailure failure = ParseFailure::Bad;
  const auto object = parse_indirect(r, failure);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->ref, (Ref{7, 0}));
  EXPECT_EQ(object->stream_start, text.find("abc"));
  ByteReader bad(bytes_of("7 0 ob [1]"));
  EXPECT_FALSE(parse_indirect(bad, failure));
}

std::string decoded(std::string_view data, std::string_view filter_text,
                    std::string_view parms_text = "null", std::uint64_t cap = 1 << 20) {
  ByteReader fr(bytes_of(filter_text));
  ByteReader pr(bytes_of(parms_text));
  const auto filter = parse_object(fr).object;
  const auto parms = parse_object(pr).object;
  const auto out = decode(bytes_of(data), &*filter, &*parms, cap);
  if (!out) {
    return "none";
  }
  return std::string(as_chars(out->bytes)) + (out->capped ? " (capped)" : "");
}

TEST(PdfFilter, DecodesTheFiltersOfStructureStreams) {
  const std::string zlib = testing::zlib_compress("Hello, PDF");
  const std::string raw = zlib.substr(2, zlib.size() - 6); // without the zlib header and check
  struct Case {
    const char* name;
    std::string data;
    std::string filter;
    std::string parms;
    std::string expected;
    std::uint64_t cap = 1 << 20;
  };
  const std::string zeros(std::size_t{1} << 20U, '\0');
  const std::string bomb = testing::zlib_compress(zeros);
  const std::vector<Case> cases = {
      {"zlib", zlib, "/FlateDecode", "null", "Hello, PDF"},
      {"raw deflate without the zlib header", raw, "/FlateDecode", "null", "Hello, PDF"},
      {"damage keeps what came before", zlib.substr(0, zlib.size() - 4) + "\xFF\xFF", "/Fl", "null",
       "Hello, PDF"},
      {"no filter", "as is", "null", "null", "as is"},
      {"ASCIIHex", "48 65 6C6C 6F 7>", "/ASCIIHexDecode", "null", "Hellop"},
      {"ASCII85 with z and a short group", "9jqo^z9jqo~>", "[/A85]", "null",
       std::string("Man \0\0\0\0Man", 11)},
      {"a chain", "78 9C F3 48 CD C9 C9 07 00 05 8C 01 F5>", "[/AHx /Fl]", "null", "Hello"},
      // Rows of 3 bytes, each after its PNG filter type: none, Sub, Up, Average, Paeth.
      {"PNG predictors",
       testing::zlib_compress(std::string("\0\1\2\3\1\1\1\1\2\1\1\1\3\2\2\2\4\0\0\1", 20)),
       "/FlateDecode", "<< /Predictor 12 /Columns 3 >>", "\1\2\3\1\2\3\2\3\4\3\5\6\3\5\7"},
      {"TIFF predictor", testing::zlib_compress("\1\1\1\5\1\1"), "/FlateDecode",
       "<< /Predictor 2 /Columns 3 >>", "\1\2\3\5\6\7"},
      {"an image filter is not read", "x", "/DCTDecode", "null", "none"},
      {"predictor parameters that make no sense", zlib, "/FlateDecode",
       "<< /Predictor 12 /Colors 99 >>", "none"},
      {"inflating stops at the cap", bomb, "/FlateDecode", "null",
       std::string(1000, '\0') + " (capped)", 1000},
      {"so does a copy", zeros, "null", "null", std::string(10, '\0') + " (capped)", 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decoded(c.data, c.filter, c.parms, c.cap), c.expected);
  }
  // Exactly the cap is no cut.
  EXPECT_EQ(inflate(bytes_of(bomb), zeros.size()).bytes.size(), zeros.size());
  EXPECT_FALSE(inflate(bytes_of(bomb), zeros.size()).capped);
}

TEST(PdfText, TextStrings) {
  struct Case {
    const char* name;
    std::string_view bytes;
    std::string expected;
  };
  using namespace std::string_view_literals;
  const std::vector<Case> cases = {
      {"UTF-16BE", "\xFE\xFF\x00R\x00\xE9\xD8\x3D\xDE\x00"sv, "R\xC3\xA9\xF0\x9F\x98\x80"},
      {"UTF-16LE after FF FE", "\xFF\xFEh\x00i\x00"sv, "hi"},
      {"a language escape is dropped",
       "\xFE\xFF\x00\x1B\x00"
       "e\x00n\x00\x1B\x00H\x00i"sv,
       "Hi"},
      {"UTF-8 after its mark", "\xEF\xBB\xBF\xC3\xA9"sv, "\xC3\xA9"},
      {"PDFDocEncoding", "\x80\x8D\xA0\xE9\x18"sv,
       "\xE2\x80\xA2\xE2\x80\x9C\xE2\x82\xAC\xC3\xA9"
       "\xCB\x98"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text_string(c.bytes), c.expected);
  }
}

TEST(PdfText, XmpDatesAsPdfDates) {
  const std::vector<std::pair<std::string_view, std::string>> cases = {
      {"2010-03-04T10:23:45+01:00", "D:20100304102345+01'00'"},
      {"2010-03-04T10:23:45.123Z", "D:20100304102345Z"},
      {"2010-03-04T10:23-05:30", "D:201003041023-05'30'"},
      {" 2010 ", "D:2010"},
      {"2010-03", "D:201003"},
      {"March 2010", "March 2010"},
      {"2010-03-04 10:23", "2010-03-04 10:23"},
  };
  for (const auto& [date, expected] : cases) {
    SCOPED_TRACE(date);
    EXPECT_EQ(xmp_date_as_pdf(date), expected);
  }
}

TEST(PdfText, XmpPacketFields) {
  const std::string rdf = R"(xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#")";
  const auto packet = [&](const std::string& body) {
    return "<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF " + rdf + ">" + body +
           "</rdf:RDF></x:xmpmeta>";
  };
  const auto fields = [](const std::string& xml) {
    std::string out;
    for (const auto& [k, v] : xmp_info(xml)) {
      out += k + "=" + v + ";";
    }
    return out;
  };
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"elements, the default language and a sequence",
       R"(<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title><rdf:Alt>)"
       R"(<rdf:li xml:lang="de">T</rdf:li><rdf:li xml:lang="x-default">Title &amp; &#233;)"
       R"(</rdf:li></rdf:Alt></dc:title><dc:creator><rdf:Seq><rdf:li>A</rdf:li><rdf:li>B)"
       R"(</rdf:li></rdf:Seq></dc:creator></rdf:Description>)",
       "author=A; B;title=Title & \xC3\xA9;"},
      {"attributes under any prefix, dates as PDF dates",
       R"(<rdf:Description xmlns:xap="http://ns.adobe.com/xap/1.0/" )"
       R"(xap:CreatorTool="Tool" xap:CreateDate="2020-01-02T03:04:05Z"/>)",
       "creation_date=D:20200102030405Z;creator=Tool;"},
      {"pdf:Keywords before dc:subject, whichever comes first",
       R"(<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/" )"
       R"(xmlns:pdf="http://ns.adobe.com/pdf/1.3/"><dc:subject><rdf:Bag><rdf:li>x</rdf:li>)"
       R"(</rdf:Bag></dc:subject><pdf:Keywords>k1, k2</pdf:Keywords><pdf:Producer>)"
       R"(<![CDATA[P<1>]]></pdf:Producer></rdf:Description>)",
       "keywords=k1, k2;producer=P<1>;"},
      {"a property of another namespace",
       R"(<rdf:Description xmlns:o="urn:other" )"
       R"(o:Producer="no"><o:title>no</o:title>)"
       R"(</rdf:Description>)",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fields(packet(c.body)), c.expected);
  }
  EXPECT_EQ(fields("<a><b"), "");
}

} // namespace
} // namespace trawl::pdf
