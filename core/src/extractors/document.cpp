// PDF files (ISO 32000): a structural summary by byte search, and the document-information
// strings. Gzip members (RFC 1952): the header fields and the original file name.
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Offset of the first `needle` at or after `from`, by the C library's memmem.
std::optional<std::size_t> find_bytes(std::string_view hay, std::string_view needle,
                                      std::size_t from) {
  if (from > hay.size()) {
    return std::nullopt;
  }
  const std::string_view rest = hay.substr(from);
  if (rest.size() < needle.size()) {
    return std::nullopt;
  }
  const void* hit = memmem(rest.data(), rest.size(), needle.data(), needle.size());
  if (hit == nullptr) {
    return std::nullopt;
  }
  return from + static_cast<std::size_t>(static_cast<const char*>(hit) - rest.data());
}

// Occurrences of `needle`, each search resuming after the previous match; with `unless_next`,
// a match directly followed by that byte is not counted (a match at the very end is).
std::uint64_t count(std::string_view hay, std::string_view needle, char unless_next = '\0') {
  std::uint64_t n = 0;
  for (auto at = find_bytes(hay, needle, 0); at;
       at = find_bytes(hay, needle, *at + needle.size())) {
    const std::size_t next = *at + needle.size();
    const bool excluded = unless_next != '\0' && next < hay.size() && hay[next] == unless_next;
    n += excluded ? 0U : 1U;
  }
  return n;
}

bool is_pdf_space(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool is_octal(char c) {
  return c >= '0' && c <= '7';
}

// A literal string after its "(": balanced parentheses nest, and escapes mean what ISO 32000
// 7.3.4.2 says (\n \r \t \b \f, \( \) \\, up to three octal digits, a line break dropped).
std::string literal_string(std::string_view s) {
  std::string out;
  int depth = 1;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      break;
    } else if (c == '\\') {
      if (++i == s.size()) {
        break;
      }
      const char e = s[i];
      switch (e) {
      case 'n':
        out += '\n';
        continue;
      case 'r':
        out += '\r';
        continue;
      case 't':
        out += '\t';
        continue;
      case 'b':
        out += '\b';
        continue;
      case 'f':
        out += '\f';
        continue;
      case '\r':
        i += i + 1 < s.size() && s[i + 1] == '\n' ? 1U : 0U;
        continue;
      case '\n':
        continue;
      default:
        break;
      }
      if (is_octal(e)) {
        unsigned value = 0;
        std::size_t digits = 0;
        for (; digits < 3 && i + digits < s.size() && is_octal(s[i + digits]); ++digits) {
          value = value * 8 + static_cast<unsigned>(s[i + digits] - '0');
        }
        i += digits - 1;
        out += static_cast<char>(value & 0xFFU);
        continue;
      }
      out += e;
      continue;
    }
    out += c;
  }
  return out;
}

// PDFDocEncoding (ISO 32000-1 Annex D) where it differs from ISO 8859-1; codes it leaves
// undefined keep their ISO 8859-1 value.
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

// A PDF text string: UTF-16BE after FE FF, UTF-8 after EF BB BF, otherwise UTF-8 when valid,
// else PDFDocEncoding.
std::string text_string(std::string_view bytes) {
  if (bytes.starts_with("\xFE\xFF"sv)) {
    return utf16_to_utf8(bytes.substr(2), true);
  }
  if (bytes.starts_with("\xEF\xBB\xBF"sv)) {
    return utf8_lossy(bytes.substr(3));
  }
  if (is_valid_utf8(bytes)) {
    return std::string(bytes);
  }
  std::string out;
  for (const char c : bytes) {
    append_utf8(out, pdf_doc_code_point(static_cast<std::uint8_t>(c)));
  }
  return out;
}

// The first occurrence of each key, when only white space separates it from a literal string.
Map document_info(std::string_view pdf) {
  struct Key {
    std::string_view pattern;
    std::string_view key;
  };
  static constexpr std::array<Key, 8> keys = {{
      {"/Title", "title"},
      {"/Author", "author"},
      {"/Subject", "subject"},
      {"/Creator", "creator"},
      {"/Producer", "producer"},
      {"/Keywords", "keywords"},
      {"/CreationDate", "creation_date"},
      {"/ModDate", "modification_date"},
  }};
  Map info;
  for (const Key& k : keys) {
    const auto at = find_bytes(pdf, k.pattern, 0);
    if (!at) {
      continue;
    }
    const std::size_t after = *at + k.pattern.size();
    const auto open = find_bytes(pdf, "(", after);
    if (!open) {
      continue;
    }
    const std::string_view gap = pdf.substr(after, *open - after);
    if (!std::all_of(gap.begin(), gap.end(), is_pdf_space)) {
      continue;
    }
    info.emplace(std::string(k.key), Value(text_string(literal_string(pdf.substr(*open + 1)))));
  }
  return info;
}

// The text from `start` up to the next NUL byte, searched a window at a time.
std::optional<std::string_view> nul_terminated(const ByteReader& r, std::uint64_t start) {
  constexpr std::uint64_t window = 64 * 1024;
  for (std::uint64_t at = start; at < r.size();) {
    const auto part = as_chars(*r.bytes_at(at, std::min(window, r.size() - at)));
    const std::size_t nul = part.find('\0');
    if (nul != std::string_view::npos) {
      return as_chars(*r.bytes_at(start, at + nul - start));
    }
    at += part.size();
  }
  return std::nullopt;
}

std::string_view os_label(std::uint8_t code) {
  switch (code) {
  case 0:
    return "FAT (Windows/DOS)";
  case 3:
    return "Unix";
  case 7:
    return "macOS";
  case 11:
    return "NTFS";
  case 255:
    return "unknown";
  default:
    return "other";
  }
}

} // namespace

bool PdfExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "%PDF-");
}

ExtractResult PdfExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const std::string_view pdf = as_chars(*input->bytes_at(0, input->size()));
  Namespace ns(name());
  // The header line: "%PDF-" and the version, ended by a line break within 16 bytes.
  const std::size_t line_end = pdf.substr(0, 16).find_first_of("\r\n");
  if (line_end != std::string_view::npos && line_end >= 5) {
    ns.set("version", utf8_lossy(pdf.substr(5, line_end - 5)));
  }
  ns.set("object_count", count(pdf, " obj"))
      // Page objects, not page-tree nodes ("/Type/Pages").
      .set("page_count", count(pdf, "/Type/Page", 's') + count(pdf, "/Type /Page", 's'))
      .set("linearized", find_bytes(pdf, "/Linearized", 0).has_value())
      .set("encrypted", find_bytes(pdf, "/Encrypt", 0).has_value());
  Map info = document_info(pdf);
  if (!info.empty()) {
    ns.set("info", std::move(info));
  }
  return ns;
}

bool GzipExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "\x1F\x8B"sv);
}

ExtractResult GzipExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe, 10);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const std::uint8_t flags = *r.u8_at(3);
  Namespace ns(name());
  ns.set("compression_method", *r.u8_at(2) == 8 ? "deflate" : "unknown");
  if (const std::uint32_t mtime = *r.u32_le_at(4); mtime != 0) {
    ns.set("modification_time_unix", mtime);
  }
  ns.set("os", os_label(*r.u8_at(9)));
  if ((flags & 0x08U) != 0) {
    // FEXTRA puts a 16-bit length and that many bytes before the name.
    std::uint64_t start = 10;
    if ((flags & 0x04U) != 0 && r.size() >= 12) {
      start = 12 + std::uint64_t{*r.u16_le_at(10)};
    }
    // RFC 1952 names are ISO 8859-1; UTF-8 names are kept as they are.
    if (const auto name = nul_terminated(r, start)) {
      ns.set("original_filename", utf8_or_latin1(*name));
    }
  }
  return ns;
}

} // namespace trawl
