// The properties of one XMP packet: RDF/XML (ISO 16684-1 7.9) read with an explicit element stack.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <locale>
#include <sstream>
#include <string>
#include <utility>

#include "../extractors/extractors.hpp"
#include "../support/text.hpp"
#include "xml.hpp"
#include "xmp.hpp"

namespace trawl::xmp {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view rdf_uri = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
constexpr std::string_view dc_uri = "http://purl.org/dc/elements/1.1/";
constexpr std::string_view xmp_uri = "http://ns.adobe.com/xap/1.0/";

// Real packets nest a dozen elements deep and declare a few dozen namespaces.
constexpr std::size_t max_depth = 64;
constexpr std::size_t max_bindings = 1024;
constexpr std::size_t max_items = 65536;

enum class Property : std::uint8_t {
  None,
  Title,
  Description,
  Creator,
  CreateDate,
  ModifyDate,
  CreatorTool,
  Rating
};

struct PropertyName {
  std::string_view uri;
  std::string_view local;
  Property property;
  std::string_view key;
};
constexpr std::array<PropertyName, 7> properties = {{
    {dc_uri, "title", Property::Title, "title"},
    {dc_uri, "description", Property::Description, "description"},
    {dc_uri, "creator", Property::Creator, "creator"},
    {xmp_uri, "CreateDate", Property::CreateDate, "create_date"},
    {xmp_uri, "ModifyDate", Property::ModifyDate, "modify_date"},
    {xmp_uri, "CreatorTool", Property::CreatorTool, "creator_tool"},
    {xmp_uri, "Rating", Property::Rating, "rating"},
}};

// What an element is to the RDF reading.
enum class Role : std::uint8_t { Other, Rdf, Description, Property, Container, Item };

struct Frame {
  Role role = Role::Other;
  std::size_t bindings = 0; // the namespace bindings in scope before this element
};

struct Binding {
  std::string prefix;
  std::string uri;
};

// An alternative or list item: its language and text.
struct Item {
  std::string language;
  std::string text;
};

// The text of a packet as UTF-8 bytes: UTF-16 after its byte-order mark is converted.
std::string packet_text(std::span<const std::uint8_t> packet) {
  const std::string_view bytes = as_chars(packet.first(std::min(packet.size(), max_packet)));
  if (bytes.starts_with("\xFE\xFF"sv) || bytes.starts_with("\xFF\xFE"sv)) {
    return utf16_to_utf8(bytes.substr(2), bytes.starts_with("\xFE\xFF"sv));
  }
  return std::string(bytes.starts_with("\xEF\xBB\xBF"sv) ? bytes.substr(3) : bytes);
}

class PacketReader {
public:
  explicit PacketReader(Namespace& ns) : ns_(ns) {}

  void read(std::string_view document) {
    XmlReader xml(document);
    for (;;) {
      switch (xml.next()) {
      case XmlReader::Event::Start:
        if (!start(xml.name(), xml.attributes())) {
          mark_truncated(ns_, "packet");
          return;
        }
        break;
      case XmlReader::Event::End:
        if (stack_.empty()) {
          return;
        }
        end();
        break;
      case XmlReader::Event::Text:
        text(xml.raw_text(), xml.cdata());
        break;
      case XmlReader::Event::Done:
      case XmlReader::Event::Malformed:
        return;
      }
    }
  }

private:
  // False once a limit is reached.
  bool start(std::string_view name, std::span<const XmlAttribute> attributes) {
    if (stack_.size() >= max_depth) {
      return false;
    }
    Frame frame{Role::Other, bindings_.size()};
    for (const XmlAttribute& a : attributes) {
      if (a.name == "xmlns" || a.name.starts_with("xmlns:")) {
        if (bindings_.size() >= max_bindings) {
          return false;
        }
        const std::size_t colon = a.name.find(':');
        bindings_.push_back(
            {std::string(colon == std::string_view::npos ? ""sv : a.name.substr(colon + 1)),
             decode_references(a.raw_value, true)});
      }
    }
    const Role parent = stack_.empty() ? Role::Other : stack_.back().role;
    if (is(name, rdf_uri, "RDF")) {
      frame.role = Role::Rdf;
    } else if (parent == Role::Rdf && is(name, rdf_uri, "Description")) {
      frame.role = Role::Description;
      attribute_properties(attributes);
    } else if (parent == Role::Description) {
      property_ = property_of(name);
      frame.role = property_ == Property::None ? Role::Other : Role::Property;
      simple_.clear();
      items_.clear();
      structured_ = false;
    } else if (parent == Role::Property) {
      const bool container =
          is(name, rdf_uri, "Alt") || is(name, rdf_uri, "Seq") || is(name, rdf_uri, "Bag");
      frame.role = container ? Role::Container : Role::Other;
      structured_ = true;
    } else if (parent == Role::Container && is(name, rdf_uri, "li")) {
      frame.role = Role::Item;
      item_ = Item{};
      for (const XmlAttribute& a : attributes) {
        if (a.name == "xml:lang") {
          item_.language = decode_references(a.raw_value, true);
        }
      }
    }
    stack_.push_back(frame);
    return true;
  }

  void end() {
    const Frame frame = stack_.back();
    stack_.pop_back();
    bindings_.resize(frame.bindings);
    if (frame.role == Role::Item && items_.size() < max_items) {
      items_.push_back(std::move(item_));
    } else if (frame.role == Role::Property) {
      commit();
    }
  }

  void text(std::string_view raw, bool cdata) {
    if (stack_.empty()) {
      return;
    }
    const Role role = stack_.back().role;
    std::string* into = role == Role::Property ? &simple_
                        : role == Role::Item   ? &item_.text
                                               : nullptr;
    if (into == nullptr || into->size() >= text_cap) {
      return;
    }
    into->append(cdata ? std::string(raw) : decode_references(raw, false));
    if (into->size() > text_cap) {
      into->resize(text_cap);
      mark_truncated(ns_, "packet");
    }
  }

  // Properties written as attributes of rdf:Description.
  void attribute_properties(std::span<const XmlAttribute> attributes) {
    for (const XmlAttribute& a : attributes) {
      property_ = property_of(a.name);
      if (property_ != Property::None) {
        simple_ = decode_references(a.raw_value, true);
        items_.clear();
        structured_ = false;
        commit();
      }
    }
  }

  // Sets the key of the property just read.
  void commit() {
    const auto* name = std::find_if(properties.begin(), properties.end(),
                                    [&](const PropertyName& p) { return p.property == property_; });
    if (name == properties.end()) {
      return;
    }
    const std::string_view key = name->key;
    if (property_ == Property::Creator) {
      List list;
      if (structured_) {
        for (Item& item : items_) {
          list.emplace_back(utf8_lossy(item.text));
        }
      } else {
        list.emplace_back(utf8_lossy(simple_));
      }
      ns_.set(key, Value(std::move(list)));
      return;
    }
    std::optional<std::string> text;
    if (!structured_) {
      text = simple_;
    } else if (!items_.empty()) {
      // An alternative's default language, else its first item.
      const auto chosen = std::find_if(items_.begin(), items_.end(),
                                       [](const Item& i) { return i.language == "x-default"; });
      text = (chosen == items_.end() ? items_.front() : *chosen).text;
    }
    if (!text) {
      return;
    }
    if (property_ == Property::Rating) {
      if (const auto number = parse_number(*text)) {
        ns_.set(key, Value::from_float(*number));
      }
      return;
    }
    ns_.set(key, Value(utf8_lossy(*text)));
  }

  static std::optional<double> parse_number(std::string_view text) {
    const std::size_t from = text.find_first_not_of(" \t\r\n");
    const std::size_t to = text.find_last_not_of(" \t\r\n");
    if (from == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view digits = text.substr(from, to + 1 - from);
    double value = 0;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto [end, error] =
        std::from_chars(std::to_address(digits.begin()), std::to_address(digits.end()), value);
    if (error != std::errc() || end != std::to_address(digits.end()) || !std::isfinite(value)) {
      return std::nullopt;
    }
#else
    // Standard libraries without floating-point from_chars (libc++ before 20): a stream in the
    // classic locale, which must take every character.
    std::istringstream in{std::string(digits)};
    in.imbue(std::locale::classic());
    char extra = 0;
    if (!(in >> value) || (in >> extra) || !std::isfinite(value)) {
      return std::nullopt;
    }
#endif
    return value;
  }

  // Whether `name` is `local` in the namespace `uri`.
  [[nodiscard]] bool is(std::string_view name, std::string_view uri, std::string_view local) const {
    const std::size_t colon = name.find(':');
    const std::string_view own = colon == std::string_view::npos ? name : name.substr(colon + 1);
    if (own != local) {
      return false;
    }
    const std::string_view prefix = colon == std::string_view::npos ? ""sv : name.substr(0, colon);
    const auto it = std::find_if(bindings_.rbegin(), bindings_.rend(),
                                 [&](const Binding& b) { return b.prefix == prefix; });
    return it != bindings_.rend() && it->uri == uri;
  }

  [[nodiscard]] Property property_of(std::string_view name) const {
    for (const PropertyName& p : properties) {
      if (is(name, p.uri, p.local)) {
        return p.property;
      }
    }
    return Property::None;
  }

  Namespace& ns_;
  std::vector<Frame> stack_;
  std::vector<Binding> bindings_;
  // The property being read: its text, or the items of its container.
  Property property_ = Property::None;
  std::string simple_;
  std::vector<Item> items_;
  Item item_;
  bool structured_ = false;
};

} // namespace

Namespace read_packet(std::span<const std::uint8_t> packet) {
  Namespace ns("xmp");
  if (packet.size() > max_packet) {
    mark_truncated(ns, "packet");
  }
  const std::string text = packet_text(packet);
  PacketReader(ns).read(text);
  return ns;
}

} // namespace trawl::xmp
