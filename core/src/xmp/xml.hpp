// A small pull reader of XML 1.0 for XMP packets: start and end tags with their attributes, text
// and CDATA; comments, processing instructions and document type declarations are passed over.
// It keeps no stack: nesting is the caller's, who bounds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trawl::xmp {

/// An attribute as written: its name with any prefix, and its value between the quotes.
struct XmlAttribute {
  std::string_view name;
  std::string_view raw_value; ///< references not yet replaced: see decode_references
};

/// Reads a document event by event.
class XmlReader {
public:
  enum class Event : std::uint8_t { Start, End, Text, Done, Malformed };

  explicit XmlReader(std::string_view document) noexcept : doc_(document) {}

  /// The next event; Done at the end, Malformed at the first construct that cannot be read
  /// (and from then on). A self-closing tag gives Start, then End.
  [[nodiscard]] Event next();
  /// The element's name with any prefix (Start, End).
  [[nodiscard]] std::string_view name() const noexcept { return name_; }
  /// The element's attributes (Start).
  [[nodiscard]] std::span<const XmlAttribute> attributes() const noexcept { return attributes_; }
  /// The text (Text): as written, or the content of a CDATA section when cdata().
  [[nodiscard]] std::string_view raw_text() const noexcept { return text_; }
  [[nodiscard]] bool cdata() const noexcept { return cdata_; }

private:
  Event start_tag();
  Event end_tag();
  Event markup();
  // Moves past `terminator`; false when the document ends first.
  bool skip_past(std::string_view terminator);
  [[nodiscard]] std::string_view read_name();
  void skip_spaces();

  std::string_view doc_;
  std::size_t pos_ = 0;
  std::string_view name_;
  std::string_view text_;
  bool cdata_ = false;
  bool pending_end_ = false;
  bool failed_ = false;
  std::vector<XmlAttribute> attributes_;
};

/// Text or an attribute value with &amp; &lt; &gt; &quot; &apos; and character references
/// (&#N; &#xN;) replaced; any other reference is kept as written. Line ends become "\n", and
/// in an attribute value (`attribute`) every white-space character a space, as XML 1.0
/// normalises them.
[[nodiscard]] std::string decode_references(std::string_view raw, bool attribute);

} // namespace trawl::xmp
