// XMP packets in PDF files (ISO 32000-1 14.3.2) found by a byte search: a metadata stream is
// usually left uncompressed so that tools that do not read PDF can find it. The catalog's
// /Metadata reference, when it lies outside object streams, tells the document's packet from
// those of pages and embedded artwork.
#include <algorithm>
#include <optional>

#include "../extractors/extractors.hpp"
#include "../extractors/scan.hpp"
#include "../support/byte_search.hpp"
#include "../support/text.hpp"
#include "xmp.hpp"

namespace trawl::xmp {

namespace {

using namespace std::string_view_literals;

// A metadata packet of a PDF: far smaller than those Photoshop writes into images.
constexpr std::size_t max_pdf_packet = std::size_t{4} << 20U;
// How far from a packet or a catalog's type its object header and /Metadata key are looked for.
constexpr std::size_t look_around = 1024;

// How a packet starts and what ends it: the packet wrapper (XMP Specification Part 1, 7.3), or
// a bare x:xmpmeta element.
struct Delimiters {
  std::string_view start;
  std::string_view end;
};
constexpr std::array<Delimiters, 2> delimiters = {{
    {"<?xpacket begin", "<?xpacket end"},
    {"<x:xmpmeta", "</x:xmpmeta>"},
}};

bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The object number of the last "N G obj" header in `text`.
std::optional<std::uint64_t> last_object_number(std::string_view text) {
  std::size_t at = text.rfind("obj");
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  // Back over white space, the generation, white space, then the object number's digits.
  const auto back_over = [&](bool digits) {
    const std::size_t from = at;
    while (at > 0 && (digits ? is_digit(text[at - 1]) : is_space(text[at - 1]))) {
      --at;
    }
    return at < from;
  };
  if (!back_over(false) || !back_over(true) || !back_over(false)) {
    return std::nullopt;
  }
  const std::size_t end = at;
  if (!back_over(true) || end - at > 10) {
    return std::nullopt;
  }
  std::uint64_t n = 0;
  for (const char c : text.substr(at, end - at)) {
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// The object number of "/Metadata N G R" in `text`.
std::optional<std::uint64_t> metadata_reference(std::string_view text) {
  const std::size_t key = text.find("/Metadata");
  if (key == std::string_view::npos) {
    return std::nullopt;
  }
  std::size_t at = key + 9;
  const auto over = [&](bool digits) {
    const std::size_t from = at;
    while (at < text.size() && (digits ? is_digit(text[at]) : is_space(text[at]))) {
      ++at;
    }
    return at > from;
  };
  (void)over(false);
  const std::size_t number_at = at;
  if (!over(true) || at - number_at > 10) {
    return std::nullopt;
  }
  const std::string_view number = text.substr(number_at, at - number_at);
  if (!over(false) || !over(true) || !over(false) || at >= text.size() || text[at] != 'R') {
    return std::nullopt;
  }
  std::uint64_t n = 0;
  for (const char c : number) {
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

struct PdfPacket {
  std::optional<std::uint64_t> object;
  bool declares_pdf = false;
  std::vector<std::uint8_t> bytes;
};

// The longest delimiter and the "?>" after it fit in 32 bytes.
class PdfSearch final : public WindowScan<32> {
public:
  ExtractResult finish(Source& /*source*/, const Probe& /*probe*/) override {
    (void)end_input();
    Namespace ns("xmp");
    if (const PdfPacket* chosen = choose()) {
      ns = read_packet(chosen->bytes);
    }
    if (dropped_) {
      mark_truncated(ns, "packet");
    }
    return ns;
  }

private:
  // The catalog's packet, else the last that declares the PDF namespace, else the last.
  [[nodiscard]] const PdfPacket* choose() const {
    const auto last = [&](auto&& wanted) -> const PdfPacket* {
      const auto it = std::find_if(packets_.rbegin(), packets_.rend(), wanted);
      return it == packets_.rend() ? nullptr : &*it;
    };
    const PdfPacket* chosen = nullptr;
    if (catalog_metadata_) {
      chosen = last([&](const PdfPacket& p) { return p.object == catalog_metadata_; });
    }
    if (chosen == nullptr) {
      chosen = last([](const PdfPacket& p) { return p.declares_pdf; });
    }
    return chosen != nullptr || packets_.empty() ? chosen : &packets_.back();
  }

  std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                        bool final) override {
    const std::size_t limit = match_limit(bytes, final);
    const ByteReader r(bytes);
    const std::string_view text = as_chars(bytes);
    auto i = static_cast<std::size_t>(std::max(pos_, at) - at);
    while (i < limit) {
      if (!end_.empty()) {
        i = capture(bytes.subspan(i, limit - i), i, final);
        continue;
      }
      i = find_any<'<', '/'>(bytes, i, limit);
      if (i == limit) {
        break;
      }
      if (r.matches_at(i, "/Catalog")) {
        const std::size_t from = i - std::min(i, look_around);
        if (const auto ref = metadata_reference(text.substr(from, 2 * look_around))) {
          catalog_metadata_ = ref;
        }
      }
      for (const Delimiters& d : delimiters) {
        if (r.matches_at(i, d.start)) {
          end_ = d.end;
          packet_ = {};
          const std::size_t from = i - std::min(i, look_around);
          packet_.object = last_object_number(text.substr(from, i - from));
          search_from_ = 0;
          delimiter_seen_ = false;
          break;
        }
      }
      i += end_.empty() ? 1U : 0U;
    }
    pos_ = std::max(pos_, at + std::max(i, limit));
    return pos_;
  }

  // Appends `part` (from index `i` of its block) to the packet; the index where the search goes
  // on: past the packet's end, or past `part`.
  std::size_t capture(std::span<const std::uint8_t> part, std::size_t i, bool final) {
    std::vector<std::uint8_t>& bytes = packet_.bytes;
    const std::size_t before = bytes.size();
    if (before + part.size() > max_pdf_packet) {
      dropped_ = true;
      end_ = {};
      packet_ = {};
      return i + part.size();
    }
    bytes.insert(bytes.end(), part.begin(), part.end());
    const std::string_view text = as_chars(bytes);
    if (!delimiter_seen_) {
      const std::size_t found = text.find(end_, search_from_);
      delimiter_seen_ = found != std::string_view::npos;
      // A delimiter cut at the part's end is found whole next time.
      search_from_ = delimiter_seen_ ? found + end_.size()
                                     : text.size() - std::min(text.size(), end_.size() - 1);
    }
    std::size_t close = std::string_view::npos;
    if (delimiter_seen_ && !end_.starts_with("<?")) {
      close = search_from_;
    } else if (delimiter_seen_) {
      // The processing instruction ends with "?>", perhaps in a later part.
      const std::size_t mark = text.find("?>", search_from_);
      close = mark == std::string_view::npos ? mark : mark + 2;
      search_from_ = std::max(search_from_, text.size() - 1);
    }
    if (close == std::string_view::npos) {
      if (final) {
        end_ = {};
      }
      return i + part.size();
    }
    bytes.resize(close);
    packet_.declares_pdf = text.find("http://ns.adobe.com/pdf/1.3/") != std::string_view::npos;
    packets_.push_back(std::move(packet_));
    packet_ = {};
    end_ = {};
    return i + (close - before);
  }

  std::string_view end_; // the delimiter awaited while a packet is captured
  PdfPacket packet_;
  std::size_t search_from_ = 0; // where in the packet its end delimiter, or "?>", may start
  bool delimiter_seen_ = false;
  // Every packet read whole: together at most the input's size.
  std::vector<PdfPacket> packets_;
  std::optional<std::uint64_t> catalog_metadata_;
  bool dropped_ = false;
};

} // namespace

std::unique_ptr<Scan> start_pdf_scan() {
  return std::make_unique<PdfSearch>();
}

} // namespace trawl::xmp
