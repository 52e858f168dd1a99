// ZIP archives (PKWARE APPNOTE): the end-of-central-directory record, the central-directory
// entries and the package kind the entry names point to (OOXML, JAR, APK, EPUB/OpenDocument).
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

std::string_view method_label(std::uint16_t code) {
  switch (code) {
  case 0:
    return "stored";
  case 8:
    return "deflate";
  case 9:
    return "deflate64";
  case 14:
    return "lzma";
  case 93:
    return "zstd";
  case 99:
    return "AES encrypted";
  default:
    return "other";
  }
}

// DOS date and time, unvalidated: 1980-00-00T00:00:00 for zeros, seconds up to 62. Every field
// fits its width (the year is at most 2107, the others at most 63).
std::string dos_time(std::uint16_t date, std::uint16_t time) {
  std::string out = "0000-00-00T00:00:00";
  const auto put = [&](std::size_t at, unsigned value, std::size_t width) {
    for (std::size_t i = at + width; i > at; value /= 10) {
      out.at(--i) = static_cast<char>('0' + value % 10);
    }
  };
  put(0, (date >> 9U) + 1980U, 4);
  put(5, (date >> 5U) & 15U, 2);
  put(8, date & 31U, 2);
  put(11, time >> 11U, 2);
  put(14, (time >> 5U) & 63U, 2);
  put(17, (time & 31U) * 2U, 2);
  return out;
}

// The first rule, in this order, that some entry name meets.
std::string_view container_kind(const std::vector<std::string>& names) {
  using Rule = bool (*)(std::string_view);
  struct Kind {
    Rule matches;
    std::string_view label;
  };
  static constexpr std::array<Kind, 6> kinds = {{
      {[](std::string_view n) { return n == "word/document.xml"; }, "Word document (docx)"},
      {[](std::string_view n) { return n.starts_with("xl/"); }, "Excel workbook (xlsx)"},
      {[](std::string_view n) { return n.starts_with("ppt/"); }, "PowerPoint (pptx)"},
      {[](std::string_view n) { return n == "META-INF/MANIFEST.MF"; }, "Java archive (jar)"},
      {[](std::string_view n) { return n == "AndroidManifest.xml"; }, "Android package (apk)"},
      {[](std::string_view n) { return n == "mimetype"; }, "EPUB/OpenDocument"},
  }};
  for (const Kind& kind : kinds) {
    if (std::any_of(names.begin(), names.end(), kind.matches)) {
      return kind.label;
    }
  }
  return "plain zip";
}

// The last "PK\5\6" in the data, found backwards with memrchr over the 'P' bytes.
// The last "PK\5\6", searched backwards a window at a time.
std::optional<std::uint64_t> find_end_record(const ByteReader& r) {
  constexpr std::uint64_t window = 64 * 1024;
  if (r.size() < 4) {
    return std::nullopt;
  }
  std::uint64_t limit = r.size() - 3; // a match starts below this
  while (limit > 0) {
    const std::uint64_t from = limit > window ? limit - window : 0;
    const auto part = *r.bytes_at(from, limit - from + 3);
    const ByteReader w(part);
    auto below = static_cast<std::size_t>(limit - from);
    while (below > 0) {
      const void* hit = memrchr(part.data(), 'P', below);
      if (hit == nullptr) {
        break;
      }
      below = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - part.data());
      if (w.matches_at(below, "PK\x05\x06"sv)) {
        return from + below;
      }
    }
    limit = from;
  }
  return std::nullopt;
}

} // namespace

bool ZipExtractor::supports(const Probe& probe) const {
  const ByteReader head(probe.head);
  return head.matches_at(0, "PK\x03\x04"sv) || head.matches_at(0, "PK\x05\x06"sv);
}

ExtractResult ZipExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const auto end_record = find_end_record(r);
  if (!end_record) {
    return malformed(name(), "no end-of-central-directory record");
  }
  if (r.size() - *end_record < 22) {
    return malformed(name(), "truncated end-of-central-directory record");
  }
  Namespace ns(name());
  ns.set("entry_count", *r.u16_le_at(*end_record + 10));

  // Central-directory headers from the recorded offset until one lacks its signature or would
  // run past the data; no count limit.
  List entries;
  std::vector<std::string> names;
  std::uint64_t compressed_total = 0;
  std::uint64_t uncompressed_total = 0;
  for (std::uint64_t at = *r.u32_le_at(*end_record + 16);
       at + 46 <= r.size() && r.matches_at(at, "PK\x01\x02"sv);) {
    const std::uint16_t name_length = *r.u16_le_at(at + 28);
    const std::uint64_t cut = std::min<std::uint64_t>(name_length, r.size() - at - 46);
    std::string entry_name = utf8_lossy(as_chars(*r.bytes_at(at + 46, cut)));
    const std::uint32_t compressed = *r.u32_le_at(at + 20);
    const std::uint32_t uncompressed = *r.u32_le_at(at + 24);
    // Keys in their sorted order, each placed at the end.
    Map entry;
    entry.emplace_hint(entry.end(), "compressed", Value(compressed));
    entry.emplace_hint(entry.end(), "method", Value(method_label(*r.u16_le_at(at + 10))));
    entry.emplace_hint(entry.end(), "modified",
                       Value(dos_time(*r.u16_le_at(at + 14), *r.u16_le_at(at + 12))));
    entry.emplace_hint(entry.end(), "name", Value(entry_name));
    entry.emplace_hint(entry.end(), "uncompressed", Value(uncompressed));
    entries.emplace_back(std::move(entry));
    names.push_back(std::move(entry_name));
    compressed_total += compressed;
    uncompressed_total += uncompressed;
    at += 46 + std::uint64_t{name_length} + *r.u16_le_at(at + 30) + *r.u16_le_at(at + 32);
  }
  if (uncompressed_total > 0) {
    ns.set(
        "compression_ratio",
        Value::from_float(round_to(
            static_cast<double>(compressed_total) / static_cast<double>(uncompressed_total), 3)));
  }
  ns.set("container_kind", container_kind(names));
  ns.set("entries", std::move(entries));
  return ns;
}

} // namespace trawl
