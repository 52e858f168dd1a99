// ZIP archives (PKWARE APPNOTE): the end-of-central-directory record, the central-directory
// entries and the package kind the entry names point to (OOXML, JAR, APK, EPUB/OpenDocument).
#include <array>
#include <cstdio>
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

// DOS date and time, unvalidated: 1980-00-00T00:00:00 for zeros, seconds up to 62.
std::string dos_time(std::uint16_t date, std::uint16_t time) {
  std::array<char, 40> text{};
  const int n = std::snprintf(text.data(), text.size(), "%04u-%02u-%02uT%02u:%02u:%02u",
                              (date >> 9U) + 1980U, (date >> 5U) & 15U, date & 31U, time >> 11U,
                              (time >> 5U) & 63U, (time & 31U) * 2U);
  return {text.data(), static_cast<std::size_t>(n > 0 ? n : 0)};
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
std::optional<std::uint64_t> find_end_record(std::span<const std::uint8_t> data) {
  if (data.size() < 4) {
    return std::nullopt;
  }
  const ByteReader r(data);
  std::size_t limit = data.size() - 3; // a match may start below this
  while (limit > 0) {
    const void* hit = memrchr(data.data(), 'P', limit);
    if (hit == nullptr) {
      return std::nullopt;
    }
    const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data.data());
    if (r.matches_at(at, "PK\x05\x06"sv)) {
      return at;
    }
    limit = at;
  }
  return std::nullopt;
}

} // namespace

bool ZipExtractor::supports(const Probe& probe) const {
  const ByteReader head(probe.head);
  return head.matches_at(0, "PK\x03\x04"sv) || head.matches_at(0, "PK\x05\x06"sv);
}

ExtractResult ZipExtractor::extract(Source& source, const Probe& /*probe*/) const {
  const auto data = source.contents();
  if (!data) {
    return io_error(data.error());
  }
  const ByteReader r(*data);
  const auto end_record = find_end_record(*data);
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
    Map entry;
    entry.emplace("name", Value(entry_name));
    entry.emplace("method", Value(method_label(*r.u16_le_at(at + 10))));
    entry.emplace("compressed", Value(compressed));
    entry.emplace("uncompressed", Value(uncompressed));
    entry.emplace("modified", Value(dos_time(*r.u16_le_at(at + 14), *r.u16_le_at(at + 12))));
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
