#include "reader.hpp"

#include <array>
#include <string_view>
#include <unordered_set>

#include "../support/text.hpp"
#include "document.hpp"
#include "text.hpp"

namespace trawl::pdf {

namespace {

// The document-information keys and the "pdf.info" key each fills.
struct InfoKey {
  std::string_view name;
  std::string_view key;
};
constexpr std::array<InfoKey, 8> info_keys = {{
    {"Title", "title"},
    {"Author", "author"},
    {"Subject", "subject"},
    {"Creator", "creator"},
    {"Producer", "producer"},
    {"Keywords", "keywords"},
    {"CreationDate", "creation_date"},
    {"ModDate", "modification_date"},
}};

// The XMP packet is read up to this size (packets with thumbnails reach a few hundred KiB).
constexpr std::uint64_t xmp_cap = std::uint64_t{8} << 20U;
// Nodes of the page tree visited to check /Count: a tree this small is walked in about a
// millisecond.
constexpr std::size_t page_walk_cap = 1024;

// The leaves under the page tree root `pages`, when the whole tree can be walked within the cap
// (no node missing, none met twice).
std::optional<std::uint64_t> count_leaves(Document& doc, const Object& pages) {
  std::vector<Object> todo = {pages};
  std::unordered_set<std::uint32_t> seen;
  std::uint64_t leaves = 0;
  for (std::size_t visits = 0; !todo.empty(); ++visits) {
    if (visits >= page_walk_cap) {
      return std::nullopt;
    }
    const Object node_ref = std::move(todo.back());
    todo.pop_back();
    if (const auto ref = node_ref.as_ref()) {
      if (!seen.insert(ref->num).second) {
        return std::nullopt;
      }
    }
    const auto node = doc.resolve(node_ref);
    if (!node || !node->is_dict()) {
      return std::nullopt;
    }
    const Object* type = node->get("Type");
    const Object* kids_entry = node->get("Kids");
    const bool tree_node = type != nullptr ? type->is_name("Pages") : kids_entry != nullptr;
    if (!tree_node) {
      ++leaves;
      continue;
    }
    if (kids_entry == nullptr) {
      continue;
    }
    const auto kids = doc.resolve(*kids_entry);
    if (!kids || kids->kind != Kind::Array || kids->items.size() > page_walk_cap) {
      return std::nullopt;
    }
    todo.insert(todo.end(), kids->items.rbegin(), kids->items.rend());
  }
  return leaves;
}

std::optional<std::uint64_t> page_count(Document& doc) {
  const Object* pages_entry = doc.catalog().get("Pages");
  if (pages_entry == nullptr) {
    return std::nullopt;
  }
  const auto pages = doc.resolve(*pages_entry);
  if (!pages || !pages->is_dict()) {
    return std::nullopt;
  }
  std::optional<std::int64_t> count;
  if (const Object* c = pages->get("Count")) {
    if (const auto v = doc.resolve(*c)) {
      count = v->as_int();
    }
  }
  // The leaves counted win where the whole tree was walked: they are the pages a reader shows.
  // A /Count beyond what the walk may visit is taken without the walk.
  const bool walk = !count || *count < 0 || static_cast<std::uint64_t>(*count) < page_walk_cap;
  if (const auto leaves = walk ? count_leaves(doc, *pages_entry) : std::nullopt) {
    return leaves;
  }
  if (count && *count >= 0) {
    return static_cast<std::uint64_t>(*count);
  }
  return std::nullopt;
}

void read_info(Document& doc, std::size_t text_cap, Facts& facts) {
  const Object* info_entry = doc.trailer().get("Info");
  const auto info = info_entry != nullptr ? doc.resolve(*info_entry) : std::nullopt;
  if (!info || !info->is_dict()) {
    return;
  }
  for (const InfoKey& k : info_keys) {
    const Object* v = info->get(k.name);
    const auto value = v != nullptr ? doc.resolve(*v) : std::nullopt;
    if (!value || value->kind != Kind::String) {
      continue;
    }
    std::string_view bytes = value->bytes;
    if (bytes.size() > text_cap) {
      bytes = bytes.substr(0, text_cap);
      facts.truncated.push_back("info." + std::string(k.key));
    }
    facts.info.emplace(std::string(k.key), text_string(bytes));
  }
}

void read_xmp(Document& doc, Facts& facts) {
  const Object* metadata = doc.catalog().get("Metadata");
  const auto ref = metadata != nullptr ? metadata->as_ref() : std::nullopt;
  if (!ref) {
    return;
  }
  const auto stream = doc.load(ref->num);
  if (!stream) {
    return;
  }
  const auto data = doc.stream_data(*stream, xmp_cap);
  if (!data) {
    return;
  }
  for (auto& [key, value] : xmp_info(utf8_lossy(as_chars(data->bytes)))) {
    if (!facts.info.contains(key)) {
      facts.info.emplace(key, std::move(value));
    }
  }
}

// "major.minor" as two numbers.
std::optional<std::pair<unsigned, unsigned>> version_numbers(std::string_view v) {
  const std::size_t dot = v.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= v.size() || dot > 3 ||
      v.size() - dot > 4) {
    return std::nullopt;
  }
  unsigned major = 0;
  unsigned minor = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i == dot) {
      continue;
    }
    if (v[i] < '0' || v[i] > '9') {
      return std::nullopt;
    }
    unsigned& number = i < dot ? major : minor;
    number = number * 10 + static_cast<unsigned>(v[i] - '0');
  }
  return std::pair{major, minor};
}

} // namespace

std::optional<Facts> read_facts(const ByteReader& file, std::span<const std::uint64_t> marks,
                                std::size_t text_cap, std::function<bool()> stop) {
  Document doc(file, marks, Caps::for_length(file.size()));
  doc.set_stop(std::move(stop));
  if (!doc.open()) {
    if (doc.stopped()) {
      Facts facts;
      facts.stopped = true;
      return facts;
    }
    return std::nullopt;
  }
  Facts facts;
  if (const Object* v = doc.catalog().get("Version")) {
    if (const auto name = doc.resolve(*v); name && name->kind == Kind::Name) {
      facts.catalog_version = utf8_lossy(name->bytes);
    }
  }
  if (const auto& crypt = doc.crypt()) {
    facts.encryption = crypt->label;
    facts.password_required = !crypt->decryptor;
  }
  if (!facts.password_required) {
    read_info(doc, text_cap, facts);
    if (facts.info.size() < info_keys.size()) {
      read_xmp(doc, facts);
    }
  }
  // Last: a page tree that spends the budget falls back on /Count, which the information
  // would not have.
  facts.page_count = page_count(doc);
  if (doc.capped()) {
    facts.truncated.emplace_back("streams");
  }
  facts.stopped = doc.stopped();
  return facts;
}

std::optional<std::string> header_version(std::span<const std::uint8_t> head) {
  const std::string_view text = as_chars(head.first(std::min<std::size_t>(head.size(), 16)));
  if (!text.starts_with("%PDF-")) {
    return std::nullopt;
  }
  const std::size_t line_end = text.find_first_of("\r\n");
  std::string_view v;
  if (line_end != std::string_view::npos) {
    v = text.substr(5, line_end - 5);
    while (!v.empty() &&
           (v.back() == ' ' || v.back() == '\t' || v.back() == '\f' || v.back() == '\0')) {
      v.remove_suffix(1);
    }
  } else {
    const std::size_t end = text.find_first_not_of("0123456789.", 5);
    v = text.substr(5, (end == std::string_view::npos ? text.size() : end) - 5);
    if (v.empty()) {
      return std::nullopt;
    }
  }
  return utf8_lossy(v);
}

std::string later_version(const std::string& header, const std::string& catalog) {
  const auto h = version_numbers(header);
  const auto c = version_numbers(catalog);
  if (c && (!h || *c > *h)) {
    return catalog;
  }
  return header;
}

} // namespace trawl::pdf
