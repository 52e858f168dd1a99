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
// How far from a catalog's type its /Metadata reference is looked for.
constexpr std::uint64_t catalog_reach = 1024;
// The bytes before "obj" that an object header takes: two numbers and white space.
constexpr std::size_t header_bytes = 32;
// A packet is copied in steps of this size or of what it holds already, so that a short packet
// copies little more than itself, however much of its block follows it.
constexpr std::size_t capture_step = 4096;

// How a packet starts and what ends it: the packet wrapper (ISO 16684-1 7.3), or
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

// The decimal number of at most 10 digits.
std::uint64_t number(std::string_view digits) {
  std::uint64_t n = 0;
  for (const char c : digits) {
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// The object number of an "N G obj" header whose "obj" ends `text`.
std::optional<std::uint64_t> object_number(std::string_view text) {
  std::size_t at = text.size() - 3;
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
  return number(text.substr(at, end - at));
}

// The object number of the "N G R" reference that starts `text`.
std::optional<std::uint64_t> reference(std::string_view text) {
  std::size_t at = 0;
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
  const std::size_t number_end = at;
  if (!over(false) || !over(true) || !over(false) || at >= text.size() || text[at] != 'R') {
    return std::nullopt;
  }
  return number(text.substr(number_at, number_end - number_at));
}

// Where a reference or a type was seen.
struct Seen {
  std::uint64_t offset = 0;
  std::uint64_t object = 0;
};

struct PdfPacket {
  std::optional<std::uint64_t> object;
  bool declares_pdf = false;
  std::vector<std::uint8_t> bytes;
};

// The longest delimiter and the "?>" after it, and a /Metadata reference, fit in 64 bytes.
class PdfSearch final : public WindowScan<64> {
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
      const std::uint64_t object = catalog_metadata_->object;
      chosen = last([&](const PdfPacket& p) { return p.object == object; });
    }
    if (chosen == nullptr) {
      chosen = last([](const PdfPacket& p) { return p.declares_pdf; });
    }
    return chosen != nullptr || packets_.empty() ? chosen : &packets_.back();
  }

  std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                        bool final) override {
    const std::size_t limit = match_limit(bytes, final);
    const std::string_view text = as_chars(bytes);
    const auto start = static_cast<std::size_t>(std::max(pos_, at) - at);
    std::size_t i = start;
    while (i < limit) {
      if (!end_.empty()) {
        i = capture(bytes.subspan(i, limit - i), i, final);
        continue;
      }
      // "obj" is found by its rarer last letter.
      i = find_any<'<', '/', 'j'>(bytes, i, limit);
      if (i == limit) {
        break;
      }
      const std::string_view here = text.substr(i);
      if (here[0] == 'j') {
        see_object_end(text, start, i);
      } else if (here.starts_with("/Catalog")) {
        see_catalog(at + i);
      } else if (here.starts_with("/Metadata")) {
        if (const auto object = reference(here.substr(9, lookahead - 9))) {
          see_reference({at + i, *object});
        }
      } else if (start_packet(here)) {
        continue;
      }
      ++i;
    }
    const std::size_t end = std::max(i, limit);
    keep_recent(text, start, end);
    pos_ = std::max(pos_, at + end);
    return pos_;
  }

  // An object header when text[j] ends "N G obj"; its numbers may lie in bytes examined before
  // this call, which recent_ keeps.
  void see_object_end(std::string_view text, std::size_t start, std::size_t j) {
    constexpr std::size_t reach = header_bytes + 3;
    const std::size_t from = std::max(start, j + 1 - std::min(j + 1, reach));
    const std::string_view near = text.substr(from, j + 1 - from);
    std::string joined;
    if (near.size() < reach) {
      joined = recent_;
      joined.append(near);
    }
    const std::string_view header = near.size() < reach ? std::string_view(joined) : near;
    if (header.ends_with("obj")) {
      object_ = object_number(header);
    }
  }

  // A later catalog replaces an earlier one (an incremental update); its reference is the
  // nearest within reach, before or after it.
  void see_catalog(std::uint64_t offset) {
    catalog_ = offset;
    catalog_metadata_.reset();
    if (last_reference_ && offset - last_reference_->offset <= catalog_reach) {
      catalog_metadata_ = last_reference_;
    }
  }

  void see_reference(Seen seen) {
    last_reference_ = seen;
    if (!catalog_ || seen.offset - *catalog_ > catalog_reach) {
      return;
    }
    const auto distance = [&](const Seen& s) {
      return s.offset > *catalog_ ? s.offset - *catalog_ : *catalog_ - s.offset;
    };
    if (!catalog_metadata_ || distance(seen) < distance(*catalog_metadata_)) {
      catalog_metadata_ = seen;
    }
  }

  // Whether a packet starts `here`; its object is the last header seen.
  bool start_packet(std::string_view here) {
    for (const Delimiters& d : delimiters) {
      if (here.starts_with(d.start)) {
        end_ = d.end;
        packet_ = {};
        packet_.object = object_;
        search_from_ = 0;
        delimiter_seen_ = false;
        return true;
      }
    }
    return false;
  }

  void keep_recent(std::string_view text, std::size_t start, std::size_t end) {
    if (end - start >= header_bytes) {
      recent_.assign(text.substr(end - header_bytes, header_bytes));
      return;
    }
    recent_.append(text.substr(start, end - start));
    recent_.erase(0, recent_.size() - std::min(recent_.size(), header_bytes));
  }

  // Appends the start of `part` (from index `i` of its block) to the packet; the index where the
  // search goes on: past the packet's end, or past what was appended.
  std::size_t capture(std::span<const std::uint8_t> part, std::size_t i, bool final) {
    std::vector<std::uint8_t>& bytes = packet_.bytes;
    const std::size_t before = bytes.size();
    const std::size_t step = std::min(part.size(), std::max(capture_step, before));
    if (before + step > max_pdf_packet) {
      dropped_ = true;
      end_ = {};
      packet_ = {};
      return i + part.size();
    }
    const auto taken = part.first(step);
    bytes.insert(bytes.end(), taken.begin(), taken.end());
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
      if (final && step == part.size()) {
        end_ = {};
      }
      return i + step;
    }
    bytes.resize(close);
    bytes.shrink_to_fit(); // kept until the end of the input
    packet_.declares_pdf =
        as_chars(bytes).find("http://ns.adobe.com/pdf/1.3/") != std::string_view::npos;
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
  bool dropped_ = false;
  std::string recent_; // the last header_bytes bytes examined
  std::optional<std::uint64_t> object_;
  std::optional<std::uint64_t> catalog_;
  std::optional<Seen> last_reference_;
  std::optional<Seen> catalog_metadata_;
};

} // namespace

std::unique_ptr<Scan> start_pdf_scan() {
  return std::make_unique<PdfSearch>();
}

} // namespace trawl::xmp
