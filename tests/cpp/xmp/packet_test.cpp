#include <string>

#include "testing/builders.hpp"
#include "xmp/xml.hpp"
#include "xmp/xmp.hpp"
#include <gtest/gtest.h>

namespace trawl::xmp {
namespace {

using namespace std::string_view_literals;
using testing::render;
using testing::text;

constexpr std::string_view rdf = R"(xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#")";
constexpr std::string_view dc = R"(xmlns:dc="http://purl.org/dc/elements/1.1/")";
constexpr std::string_view xmp = R"(xmlns:xmp="http://ns.adobe.com/xap/1.0/")";

// A packet whose one rdf:Description has `attributes` and `body`.
std::string packet(std::string_view attributes, std::string_view body) {
  return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF " +
         std::string(rdf) + "><rdf:Description rdf:about=\"\" " + std::string(dc) + " " +
         std::string(xmp) + " " + std::string(attributes) + ">" + std::string(body) +
         "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
}

std::string cut_after(const std::string& s, std::string_view mark) {
  return s.substr(0, s.find(mark) + mark.size());
}

std::string read(std::string_view bytes) {
  const Namespace ns = read_packet(text(bytes));
  return render(Value(ns.entries()));
}

TEST(XmpPacket, ReadsTheCommonProperties) {
  struct Case {
    const char* name;
    std::string packet;
    const char* expected;
  };
  const Case cases[] = {
      {"element form",
       packet("", "<xmp:CreatorTool>Tool 1</xmp:CreatorTool><xmp:CreateDate>2020-01-02T03:04:05Z"
                  "</xmp:CreateDate><xmp:ModifyDate>2021</xmp:ModifyDate>"),
       R"({create_date="2020-01-02T03:04:05Z" creator_tool="Tool 1" modify_date="2021"})"},
      {"attribute form", packet(R"(xmp:CreatorTool="T" xmp:Rating="3")", ""),
       R"({creator_tool="T" rating=3.})"},
      {"the x-default alternative",
       packet("", R"(<dc:title><rdf:Alt><rdf:li xml:lang="de">Titel</rdf:li>)"
                  R"(<rdf:li xml:lang="x-default">Title</rdf:li></rdf:Alt></dc:title>)"),
       R"({title="Title"})"},
      {"else the first alternative",
       packet("", R"(<dc:description><rdf:Alt><rdf:li xml:lang="fr">Un</rdf:li>)"
                  R"(<rdf:li xml:lang="de">Ein</rdf:li></rdf:Alt></dc:description>)"),
       R"({description="Un"})"},
      {"a list of creators",
       packet("", "<dc:creator><rdf:Seq><rdf:li>Ann</rdf:li><rdf:li/><rdf:li>Bob</rdf:li>"
                  "</rdf:Seq></dc:creator>"),
       R"({creator=["Ann" "" "Bob"]})"},
      {"a bag of one creator",
       packet("", "<dc:creator><rdf:Bag><rdf:li>Cy</rdf:li></rdf:Bag></dc:creator>"),
       R"({creator=["Cy"]})"},
      {"a simple creator", packet("", "<dc:creator>Di</dc:creator>"), R"({creator=["Di"]})"},
      {"references and CDATA",
       packet(R"(xmp:CreatorTool="a&amp;b&#x263A;&#65;&lt;	c")",
              "<dc:title><rdf:Alt><rdf:li xml:lang='x-default'>&quot;&apos;&bogus;&#xD800;"
              "<![CDATA[<&amp;>]]></rdf:li></rdf:Alt></dc:title>"),
       "{creator_tool=\"a&b\xE2\x98\xBA"
       "A< c\" title=\"\"'&bogus;&#xD800;<&amp;>\"}"},
      {"a rating that is no number", packet(R"(xmp:Rating="high")", ""), "{}"},
      {"a fractional, negative rating", packet("", "<xmp:Rating> -1.5 </xmp:Rating>"),
       "{rating=-1.5}"},
      {"the namespace counts, not the prefix",
       packet(
           R"(xmlns:xap="http://ns.adobe.com/xap/1.0/" xmlns:MicrosoftPhoto="urn:ms")",
           "<xap:CreatorTool>Old</xap:CreatorTool><MicrosoftPhoto:Rating>1</MicrosoftPhoto:Rating>"
           "<xmp:Rating xmlns:xmp=\"urn:other\">2</xmp:Rating>"),
       R"({creator_tool="Old"})"},
      {"a default namespace",
       packet("", R"(<CreatorTool xmlns="http://ns.adobe.com/xap/1.0/">D</CreatorTool>)"),
       R"({creator_tool="D"})"},
      {"a structure's fields are not the document's",
       packet("", "<xmp:Thumb rdf:parseType='Resource'><xmp:CreatorTool>No</xmp:CreatorTool>"
                  "</xmp:Thumb><xmp:History><rdf:Seq><rdf:li><rdf:Description><xmp:CreateDate>No"
                  "</xmp:CreateDate></rdf:Description></rdf:li></rdf:Seq></xmp:History>"),
       "{}"},
      {"a later description wins",
       packet(R"(xmp:CreatorTool="A")", "</rdf:Description><rdf:Description " + std::string(xmp) +
                                            R"( xmp:CreatorTool="B">)"),
       R"({creator_tool="B"})"},
      {"malformed XML keeps what came before",
       packet("", "<xmp:CreatorTool>T</xmp:CreatorTool><xmp:ModifyDate>2021</xmp:ModifyDate <"),
       R"({creator_tool="T"})"},
      {"a property cut off is left out",
       cut_after(packet("", "<xmp:CreatorTool>T</xmp:CreatorTool><xmp:ModifyDate>2021"), "2021"),
       R"({creator_tool="T"})"},
      {"invalid UTF-8 is replaced", packet("", "<xmp:CreatorTool>\xFF</xmp:CreatorTool>"),
       "{creator_tool=\"\xEF\xBF\xBD\"}"},
      {"no RDF",
       "<x:xmpmeta xmlns:x='adobe:ns:meta/'><xmp:CreatorTool>T</xmp:CreatorTool></x:xmpmeta>",
       "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read(c.packet), c.expected);
  }
}

TEST(XmpPacket, ReadsUtf16AfterItsByteOrderMark) {
  const std::string ascii = "<rdf:RDF " + std::string(rdf) + "><rdf:Description " +
                            std::string(xmp) + " xmp:CreatorTool='T@'/></rdf:RDF>";
  for (const bool big_endian : {true, false}) {
    SCOPED_TRACE(big_endian);
    std::string utf16 = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : ascii) {
      // The '@' stands for U+00E9.
      const char low = c == '@' ? '\xE9' : c;
      utf16 += big_endian ? std::string{'\0', low} : std::string{low, '\0'};
    }
    EXPECT_EQ(read(utf16), "{creator_tool=\"T\xC3\xA9\"}");
  }
}

TEST(XmpPacket, LimitsEndTheReading) {
  std::string deep;
  for (int i = 0; i < 200; ++i) {
    deep += "<a>";
  }
  std::string bindings;
  for (int i = 0; i < 1100; ++i) {
    bindings += " xmlns:n" + std::to_string(i) + "=\"u\"";
  }
  EXPECT_EQ(read(packet(R"(xmp:CreatorTool="T")", deep)),
            R"({creator_tool="T" truncated=["packet"]})");
  EXPECT_EQ(read(packet(bindings, "")), R"({truncated=["packet"]})");
  const Namespace long_value = read_packet(text(packet(
      "", "<xmp:CreatorTool>" + std::string(std::size_t{2} << 20U, 'x') + "</xmp:CreatorTool>")));
  EXPECT_EQ(long_value.entries().at("creator_tool").as_string().size(), std::size_t{1} << 20U);
  EXPECT_EQ(render(long_value.entries().at("truncated")), R"(["packet"])");
}

TEST(XmlReader, Events) {
  struct Case {
    const char* name;
    std::string_view document;
    const char* events;
  };
  const Case cases[] = {
      {"elements, attributes and text", R"(<a x="1" y='2'>t<b/></a>)", "<a x=1 y=2>Tt<b>/b/a."},
      {"comments, instructions and declarations pass",
       "<?xml version='1.0'?><!DOCTYPE a><!-- <b> --><a/>", "<a>/a."},
      {"CDATA is text as written", "<a><![CDATA[<&amp;>]]></a>", "<a>C<&amp;>/a."},
      {"an attribute without a value", "<a x>", "!"},
      {"an unterminated attribute", "<a x='1>", "!"},
      {"an unterminated comment", "<a><!-- ", "<a>!"},
      {"an end tag with spaces", "<a></a  >", "<a>/a."},
      {"an empty end tag", "<a></>", "<a>!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    XmlReader xml(c.document);
    std::string events;
    for (bool more = true; more;) {
      switch (xml.next()) {
      case XmlReader::Event::Start:
        events.append("<").append(xml.name());
        for (const XmlAttribute& a : xml.attributes()) {
          events.append(" ").append(a.name).append("=").append(a.raw_value);
        }
        events += ">";
        break;
      case XmlReader::Event::End:
        events.append("/").append(xml.name());
        break;
      case XmlReader::Event::Text:
        events.append(xml.cdata() ? "C" : "T").append(xml.raw_text());
        break;
      case XmlReader::Event::Done:
        events += ".";
        more = false;
        break;
      case XmlReader::Event::Malformed:
        events += "!";
        more = false;
        break;
      }
    }
    EXPECT_EQ(events, c.events);
  }
}

TEST(XmlReader, References) {
  struct Case {
    std::string_view raw;
    bool attribute;
    std::string_view decoded;
  };
  const Case cases[] = {
      {"&lt;&gt;&amp;&quot;&apos;", false, "<>&\"'"},
      {"&#65;&#x42;&#X43;", false, "AB&#X43;"}, // the x of a hexadecimal reference is lower case
      {"&#0;&#x110000;&#xFFFE;", false, "&#0;&#x110000;&#xFFFE;"},
      {"&#x1F600;", false, "\xF0\x9F\x98\x80"},
      {"a & b &unknown; &#12345678901;", false, "a & b &unknown; &#12345678901;"},
      {"a\r\nb\rc", false, "a\nb\nc"},
      {"a\r\nb\tc\nd", true, "a b c d"},
      {"&#10;", true, "\n"}, // a reference is not normalised
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(decode_references(c.raw, c.attribute), c.decoded);
  }
}

} // namespace
} // namespace trawl::xmp
