// ZIP archives (PKWARE APPNOTE): the end-of-central-directory record, the central-directory
// entries and the package kind the entry names point to (OOXML, JAR, APK, EPUB/OpenDocument).
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../support/byte_reader.hpp"
#include "../support/byte_search.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "scan.hpp"

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
// The package kinds, strongest first: the first kind any entry name shows wins.
class ContainerKind {
public:
  void add(std::string_view name) {
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      seen_.at(k) = seen_.at(k) || kinds.at(k).matches(name);
    }
  }
  [[nodiscard]] std::string_view label() const {
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      if (seen_.at(k)) {
        return kinds.at(k).label;
      }
    }
    return "plain zip";
  }

private:
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
  std::array<bool, kinds.size()> seen_{};
};

} // namespace

bool ZipExtractor::supports(const Probe& probe) const {
  const ByteReader head(probe.head);
  return head.matches_at(0, "PK\x03\x04"sv) || head.matches_at(0, "PK\x05\x06"sv);
}

namespace {

ExtractResult read_directory(const ZipExtractor& extractor, const ByteReader& r,
                             std::optional<std::uint64_t> end_record, bool thorough);

// Offsets of "PK\5\6" as the file streams past; the last one is the end record.
// "PK\5\6" is four bytes.
class ZipScan final : public WindowScan<4> {
public:
  explicit ZipScan(const ZipExtractor& extractor) : extractor_(extractor) {}

  ExtractResult finish(Source& source, const Probe& probe) override {
    (void)end_input();
    const auto input = whole_input(extractor_, source, probe);
    if (!input) {
      return input.error();
    }
    return read_directory(extractor_, *input, last_, probe.thorough);
  }

private:
  std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                        bool final) override {
    const std::size_t limit = match_limit(bytes, final);
    const ByteReader r(bytes);
    for (auto i = static_cast<std::size_t>(std::max(pos_, at) - at); i < limit; ++i) {
      i = find_any<'P'>(bytes, i, limit);
      if (i == limit) {
        break;
      }
      if (r.matches_at(i, "PK\x05\x06"sv)) {
        last_ = at + i;
      }
    }
    pos_ = std::max(pos_, at + limit);
    return pos_;
  }

  const ZipExtractor& extractor_;
  std::optional<std::uint64_t> last_;
};

} // namespace

std::unique_ptr<Scan> ZipExtractor::start_scan(const Probe& /*probe*/) const {
  return std::make_unique<ZipScan>(*this);
}

namespace {

ExtractResult read_directory(const ZipExtractor& extractor, const ByteReader& r,
                             std::optional<std::uint64_t> end_record, bool thorough) {
  const std::string_view name = extractor.name();
  // A file that grew while it was read may show a record beyond the size it had.
  if (!end_record) {
    return malformed(name, "no end-of-central-directory record");
  }
  // Signature, disk numbers, entry counts, directory size and offset, comment length.
  const std::uint64_t end_at = end_record.value_or(0);
  const auto end = r.fixed<22>(end_at);
  if (!end) {
    return malformed(name, "truncated end-of-central-directory record");
  }
  Namespace ns(name);
  ns.set("entry_count", end->u16_le<10>());

  // Central-directory headers from the recorded offset until one lacks its signature or would
  // run past the data; no count limit.
  List entries;
  ContainerKind kind;
  const std::uint64_t cap = list_cap(r.size(), 128);
  std::uint64_t compressed_total = 0;
  std::uint64_t uncompressed_total = 0;
  constexpr std::uint32_t header_signature = 0x02014B50U;
  std::uint64_t start = end->u32_le<16>();
  // Bytes put before the archive (a self-extracting stub) or taken from it shift the recorded
  // offset; archivers then find the directory right before the end record.
  const std::uint64_t shifted = end_at - std::min<std::uint64_t>(end->u32_le<12>(), end_at);
  if (thorough && r.u32_le_at(start) != header_signature &&
      r.u32_le_at(shifted) == header_signature) {
    start = shifted;
  }
  ByteReader walk = r;
  bool more = walk.seek(start);
  while (more) {
    // A 46-byte central-directory header, then the name, extra field and comment.
    const auto header = walk.take_fixed<46>();
    if (!header || header->u32_le<0>() != header_signature) {
      break;
    }
    const std::uint16_t name_length = header->u16_le<28>();
    // A name cut short by the end of the data is kept as far as it goes.
    const auto name_bytes = walk.sub_clipped(name_length).whole();
    const std::string_view raw_name = as_chars(name_bytes.span());
    const std::uint64_t rest = std::uint64_t{name_length} - raw_name.size() + header->u16_le<30>() +
                               header->u16_le<32>(); // extra, comment
    more = walk.skip(rest);
    const std::uint32_t compressed = header->u32_le<20>();
    const std::uint32_t uncompressed = header->u32_le<24>();
    compressed_total += compressed;
    uncompressed_total += uncompressed;
    // Past the cap the walk goes on for the totals and the package kind.
    if (entries.size() >= cap) {
      kind.add(utf8_lossy(raw_name));
      mark_truncated(ns, "entries");
      continue;
    }
    std::string entry_name = utf8_lossy(raw_name);
    // Keys in their sorted order, each placed at the end.
    Map entry;
    entry.emplace_hint(entry.end(), "compressed", Value(compressed));
    entry.emplace_hint(entry.end(), "method", Value(method_label(header->u16_le<10>())));
    entry.emplace_hint(entry.end(), "modified",
                       Value(dos_time(header->u16_le<14>(), header->u16_le<12>())));
    entry.emplace_hint(entry.end(), "name", Value(entry_name));
    entry.emplace_hint(entry.end(), "uncompressed", Value(uncompressed));
    kind.add(entry_name);
    entries.emplace_back(std::move(entry));
  }
  if (uncompressed_total > 0) {
    ns.set(
        "compression_ratio",
        Value::from_float(round_to(
            static_cast<double>(compressed_total) / static_cast<double>(uncompressed_total), 3)));
  }
  ns.set("container_kind", kind.label());
  ns.set("entries", std::move(entries));
  return ns;
}

} // namespace
} // namespace trawl
