#include "text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "../support/text.hpp"
#include "../xmp/xml.hpp"

namespace trawl::pdf {

namespace {

using namespace std::string_view_literals;

// UTF-16 without its language escapes: a code unit 001B opens one and the next closes it.
std::string utf16_text(std::string_view units, bool big_endian) {
  std::string kept;
  kept.reserve(units.size());
  bool in_escape = false;
  for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
    const char first = big_endian ? units[i] : units[i + 1];
    const char second = big_endian ? units[i + 1] : units[i];
    if (first == 0 && second == 0x1B) {
      in_escape = !in_escape;
      continue;
    }
    if (!in_escape) {
      kept.push_back(units[i]);
      kept.push_back(units[i + 1]);
    }
  }
  return utf16_to_utf8(kept, big_endian);
}

bool digits(std::string_view text, std::size_t at, std::size_t n) {
  if (at > text.size() || n > text.size() - at) {
    return false;
  }
  for (const char c : text.substr(at, n)) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// ---- XMP: a small reader of the RDF/XML that XMP packets use.

constexpr std::string_view rdf_ns = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
constexpr std::string_view dc_ns = "http://purl.org/dc/elements/1.1/";
constexpr std::string_view xmp_ns = "http://ns.adobe.com/xap/1.0/";
constexpr std::string_view pdf_ns = "http://ns.adobe.com/pdf/1.3/";

// The XMP properties read, with the "pdf.info" key each one fills.
struct XmpProperty {
  std::string_view ns;
  std::string_view name;
  std::string_view key;
  bool date;
};
constexpr std::array<XmpProperty, 9> xmp_properties = {{
    {dc_ns, "title", "title", false},
    {dc_ns, "creator", "author", false},
    {dc_ns, "description", "subject", false},
    {xmp_ns, "CreatorTool", "creator", false},
    {pdf_ns, "Producer", "producer", false},
    {pdf_ns, "Keywords", "keywords", false},
    {dc_ns, "subject", "keywords", false},
    {xmp_ns, "CreateDate", "creation_date", true},
    {xmp_ns, "ModifyDate", "modification_date", true},
}};

const XmpProperty* find_property(std::string_view ns, std::string_view name) {
  for (const XmpProperty& p : xmp_properties) {
    if (p.ns == ns && p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The reader's state: prefixes seen, open elements and the property being read.
class XmpReader {
public:
  explicit XmpReader(std::string_view xml) : xml_(xml) {}

  std::map<std::string, std::string, std::less<>> run() {
    collect_prefixes();
    xmp::XmlReader reader(xml_);
    for (;;) {
      switch (reader.next()) {
      case xmp::XmlReader::Event::Start:
        open(reader.name(), reader.attributes());
        break;
      case xmp::XmlReader::Event::End:
        close();
        break;
      case xmp::XmlReader::Event::Text:
        if (collecting()) {
          value_ += reader.cdata() ? std::string(reader.raw_text())
                                   : xmp::decode_references(reader.raw_text(), false);
        }
        break;
      case xmp::XmlReader::Event::Done:
      case xmp::XmlReader::Event::Malformed:
        return std::move(found_);
      }
    }
  }

private:
  struct Open {
    std::string_view ns;
    std::string_view name;
  };

  // xmlns:prefix="uri" anywhere in the packet; XMP writers do not rebind prefixes.
  void collect_prefixes() {
    constexpr std::string_view marker = "xmlns:";
    for (std::size_t at = xml_.find(marker); at != std::string_view::npos;
         at = xml_.find(marker, at + 1)) {
      const std::size_t eq = xml_.find('=', at);
      if (eq == std::string_view::npos || prefixes_.size() >= 256) {
        break;
      }
      std::size_t q = eq + 1;
      while (q < xml_.size() && is_xml_space(xml_[q])) {
        ++q;
      }
      if (q >= xml_.size() || (xml_[q] != '"' && xml_[q] != '\'')) {
        continue;
      }
      const std::size_t close = xml_.find(xml_[q], q + 1);
      if (close == std::string_view::npos) {
        break;
      }
      std::string_view prefix = xml_.substr(at + marker.size(), eq - at - marker.size());
      while (!prefix.empty() && is_xml_space(prefix.back())) {
        prefix.remove_suffix(1);
      }
      prefixes_.emplace_back(prefix, xml_.substr(q + 1, close - q - 1));
    }
  }

  [[nodiscard]] Open qualified(std::string_view name) const {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) {
      return {"", name};
    }
    const std::string_view prefix = name.substr(0, colon);
    const auto it = std::find_if(prefixes_.rbegin(), prefixes_.rend(),
                                 [&](const auto& p) { return p.first == prefix; });
    return {it != prefixes_.rend() ? it->second : "", name.substr(colon + 1)};
  }

  [[nodiscard]] bool collecting() const noexcept {
    return property_ != nullptr && (open_.size() == property_depth_ || in_item_);
  }

  void open(std::string_view name, std::span<const xmp::XmlAttribute> attributes) {
    const Open element = qualified(name);
    const bool parent_is_description =
        !open_.empty() && open_.back().ns == rdf_ns && open_.back().name == "Description";
    if (element.ns == rdf_ns && element.name == "Description") {
      for (const xmp::XmlAttribute& a : attributes) {
        const Open q = qualified(a.name);
        if (const XmpProperty* p = find_property(q.ns, q.name)) {
          keep(*p, xmp::decode_references(a.raw_value, true));
        }
      }
    } else if (parent_is_description && property_ == nullptr) {
      property_ = find_property(element.ns, element.name);
      property_depth_ = open_.size() + 1;
      value_.clear();
      items_.clear();
      default_item_.reset();
    } else if (property_ != nullptr && element.ns == rdf_ns && element.name == "li") {
      in_item_ = true;
      value_.clear();
      item_is_default_ = false;
      for (const xmp::XmlAttribute& a : attributes) {
        item_is_default_ = item_is_default_ || (a.name == "xml:lang" && a.raw_value == "x-default");
      }
    }
    if (open_.size() < 256) {
      open_.push_back(element);
    } else {
      ++overflow_;
    }
  }

  void close() {
    if (overflow_ > 0) {
      --overflow_;
      return;
    }
    if (open_.empty()) {
      return;
    }
    if (in_item_ && open_.back().ns == rdf_ns && open_.back().name == "li") {
      in_item_ = false;
      if (item_is_default_ && !default_item_) {
        default_item_ = value_;
      }
      items_.push_back(value_);
      value_.clear();
    } else if (property_ != nullptr && open_.size() == property_depth_) {
      if (default_item_) {
        keep(*property_, *default_item_);
      } else if (!items_.empty()) {
        std::string joined;
        for (const std::string& item : items_) {
          joined += (joined.empty() ? "" : "; ") + item;
        }
        keep(*property_, joined);
      } else {
        keep(*property_, value_);
      }
      property_ = nullptr;
    }
    open_.pop_back();
  }

  // The first value of a key wins, except that a property earlier in the table (pdf:Keywords)
  // replaces one later in it (dc:subject).
  void keep(const XmpProperty& p, std::string value) {
    const auto rank = static_cast<std::size_t>(&p - xmp_properties.data()); // NOLINT
    if (const auto it = ranks_.find(p.key); it != ranks_.end() && it->second <= rank) {
      return;
    }
    ranks_.insert_or_assign(std::string(p.key), rank);
    found_.insert_or_assign(std::string(p.key), p.date ? xmp_date_as_pdf(value) : std::move(value));
  }

  std::string_view xml_;
  std::vector<std::pair<std::string_view, std::string_view>> prefixes_;
  std::vector<Open> open_;
  std::size_t overflow_ = 0;
  const XmpProperty* property_ = nullptr;
  std::size_t property_depth_ = 0;
  bool in_item_ = false;
  bool item_is_default_ = false;
  std::string value_;
  std::vector<std::string> items_;
  std::optional<std::string> default_item_;
  std::map<std::string, std::string, std::less<>> found_;
  std::map<std::string, std::size_t, std::less<>> ranks_;
};

} // namespace

std::uint32_t pdf_doc_code_point(std::uint8_t b) {
  static constexpr std::array<std::uint16_t, 8> accents = {0x02D8, 0x02C7, 0x02C6, 0x02D9,
                                                           0x02DD, 0x02DB, 0x02DA, 0x02DC};
  static constexpr std::array<std::uint16_t, 33> high = {
      0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
      0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
      0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0x009F, 0x20AC};
  if (b >= 0x18 && b <= 0x1F) {
    return accents.at(b - 0x18U);
  }
  if (b >= 0x80 && b <= 0xA0) {
    return high.at(b - 0x80U);
  }
  return b;
}

std::string text_string(std::string_view bytes) {
  if (bytes.starts_with("\xFE\xFF"sv)) {
    return utf16_text(bytes.substr(2), true);
  }
  if (bytes.starts_with("\xFF\xFE"sv)) {
    return utf16_text(bytes.substr(2), false);
  }
  if (bytes.starts_with("\xEF\xBB\xBF"sv)) {
    return utf8_lossy(bytes.substr(3));
  }
  if (is_valid_utf8(bytes)) {
    return std::string(bytes);
  }
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    append_utf8(out, pdf_doc_code_point(static_cast<std::uint8_t>(c)));
  }
  return out;
}

std::string xmp_date_as_pdf(std::string_view date) {
  std::string_view d = date;
  while (!d.empty() && is_xml_space(d.front())) {
    d.remove_prefix(1);
  }
  while (!d.empty() && is_xml_space(d.back())) {
    d.remove_suffix(1);
  }
  if (!digits(d, 0, 4)) {
    return std::string(date);
  }
  std::string out = "D:" + std::string(d.substr(0, 4));
  std::size_t i = 4;
  // -MM, -DD, Thh, :mm, :ss in turn, each two digits after its separator.
  constexpr std::string_view separators = "--T::";
  for (const char sep : separators) {
    if (i < d.size() && d[i] == sep && digits(d, i + 1, 2)) {
      out.append(d.substr(i + 1, 2));
      i += 3;
    } else {
      break;
    }
  }
  if (i < d.size() && d[i] == '.') {
    ++i;
    while (i < d.size() && d[i] >= '0' && d[i] <= '9') {
      ++i;
    }
  }
  if (i < d.size() && d[i] == 'Z') {
    out.push_back('Z');
    ++i;
  } else if (i < d.size() && (d[i] == '+' || d[i] == '-') && digits(d, i + 1, 2) &&
             i + 3 < d.size() && d[i + 3] == ':' && digits(d, i + 4, 2)) {
    out.push_back(d[i]);
    out.append(d.substr(i + 1, 2)).append("'").append(d.substr(i + 4, 2)).append("'");
    i += 6;
  }
  return i == d.size() ? out : std::string(date);
}

std::map<std::string, std::string, std::less<>> xmp_info(std::string_view xml) {
  return XmpReader(xml).run();
}

} // namespace trawl::pdf
