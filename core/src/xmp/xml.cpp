#include "xml.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "../support/text.hpp"

namespace trawl::xmp {

namespace {

using namespace std::string_view_literals;

bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool ends_name(char c) {
  return is_space(c) || c == '/' || c == '>' || c == '=' || c == '<' || c == '"' || c == '\'';
}

// The code point of a character reference's digits ("#65", "#x41"); nothing when they are not
// one or name no character XML allows.
std::optional<std::uint32_t> character_reference(std::string_view digits) {
  const bool hex = digits.starts_with("#x");
  digits.remove_prefix(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (const char c : digits) {
    unsigned d = 0;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16U : 10U) + d;
  }
  const bool allowed = value == 0x9 || value == 0xA || value == 0xD ||
                       (value >= 0x20 && value <= 0xD7FF) || (value >= 0xE000 && value <= 0xFFFD) ||
                       (value >= 0x10000 && value <= 0x10FFFF);
  if (!allowed) {
    return std::nullopt;
  }
  return value;
}

struct NamedEntity {
  std::string_view name;
  char value;
};
constexpr std::array<NamedEntity, 5> named_entities = {
    {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}}};

} // namespace

XmlReader::Event XmlReader::next() {
  if (failed_) {
    return Event::Malformed;
  }
  if (pending_end_) {
    pending_end_ = false;
    return Event::End;
  }
  for (;;) {
    if (pos_ >= doc_.size()) {
      return Event::Done;
    }
    if (doc_[pos_] != '<') {
      const std::size_t lt = doc_.find('<', pos_);
      const std::size_t end = lt == std::string_view::npos ? doc_.size() : lt;
      text_ = doc_.substr(pos_, end - pos_);
      cdata_ = false;
      pos_ = end;
      return Event::Text;
    }
    const std::string_view rest = doc_.substr(pos_);
    Event event = Event::Done;
    if (rest.starts_with("</")) {
      event = end_tag();
    } else if (rest.starts_with("<!") || rest.starts_with("<?")) {
      event = markup();
    } else {
      event = start_tag();
    }
    if (event == Event::Malformed) {
      failed_ = true;
    }
    if (event != Event::Done) {
      return event;
    }
  }
}

// A comment, processing instruction, CDATA section or declaration; Done when passed over.
XmlReader::Event XmlReader::markup() {
  const std::string_view rest = doc_.substr(pos_);
  if (rest.starts_with("<![CDATA[")) {
    const std::size_t end = rest.find("]]>");
    if (end == std::string_view::npos) {
      return Event::Malformed;
    }
    text_ = rest.substr(9, end - 9);
    cdata_ = true;
    pos_ += end + 3;
    return Event::Text;
  }
  const std::string_view terminator = rest.starts_with("<!--") ? "-->"sv
                                      : rest.starts_with("<?") ? "?>"sv
                                                               : ">"sv;
  return skip_past(terminator) ? Event::Done : Event::Malformed;
}

XmlReader::Event XmlReader::start_tag() {
  ++pos_; // '<'
  name_ = read_name();
  if (name_.empty()) {
    return Event::Malformed;
  }
  attributes_.clear();
  for (;;) {
    skip_spaces();
    if (pos_ >= doc_.size()) {
      return Event::Malformed;
    }
    if (doc_[pos_] == '>') {
      ++pos_;
      return Event::Start;
    }
    if (doc_.substr(pos_).starts_with("/>")) {
      pos_ += 2;
      pending_end_ = true;
      return Event::Start;
    }
    const std::string_view name = read_name();
    skip_spaces();
    if (name.empty() || pos_ >= doc_.size() || doc_[pos_] != '=') {
      return Event::Malformed;
    }
    ++pos_;
    skip_spaces();
    if (pos_ >= doc_.size() || (doc_[pos_] != '"' && doc_[pos_] != '\'')) {
      return Event::Malformed;
    }
    const char quote = doc_[pos_];
    const std::size_t close = doc_.find(quote, pos_ + 1);
    if (close == std::string_view::npos) {
      return Event::Malformed;
    }
    attributes_.push_back({name, doc_.substr(pos_ + 1, close - pos_ - 1)});
    pos_ = close + 1;
  }
}

XmlReader::Event XmlReader::end_tag() {
  pos_ += 2; // "</"
  name_ = read_name();
  skip_spaces();
  if (name_.empty() || pos_ >= doc_.size() || doc_[pos_] != '>') {
    return Event::Malformed;
  }
  ++pos_;
  return Event::End;
}

bool XmlReader::skip_past(std::string_view terminator) {
  const std::size_t end = doc_.find(terminator, pos_);
  if (end == std::string_view::npos) {
    return false;
  }
  pos_ = end + terminator.size();
  return true;
}

std::string_view XmlReader::read_name() {
  const std::size_t from = pos_;
  while (pos_ < doc_.size() && !ends_name(doc_[pos_])) {
    ++pos_;
  }
  return doc_.substr(from, pos_ - from);
}

void XmlReader::skip_spaces() {
  while (pos_ < doc_.size() && is_space(doc_[pos_])) {
    ++pos_;
  }
}

std::string decode_references(std::string_view raw, bool attribute) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r') {
      out += attribute ? ' ' : '\n';
      if (i + 1 < raw.size() && raw[i + 1] == '\n') {
        ++i;
      }
      continue;
    }
    if (attribute && is_space(c)) {
      out += ' ';
      continue;
    }
    if (c != '&') {
      out += c;
      continue;
    }
    const std::size_t semicolon = raw.find(';', i + 1);
    // Entity names and character references are short: a lone '&' stays as written.
    if (semicolon == std::string_view::npos || semicolon - i > 12) {
      out += c;
      continue;
    }
    const std::string_view entity = raw.substr(i + 1, semicolon - i - 1);
    if (entity.starts_with('#')) {
      if (const auto code = character_reference(entity)) {
        append_utf8(out, *code);
        i = semicolon;
        continue;
      }
    }
    const auto* named = std::find_if(named_entities.begin(), named_entities.end(),
                                     [&](const NamedEntity& e) { return e.name == entity; });
    if (named == named_entities.end()) {
      out += c;
      continue;
    }
    out += named->value;
    i = semicolon;
  }
  return out;
}

} // namespace trawl::xmp
