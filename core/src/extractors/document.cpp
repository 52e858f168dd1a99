// PDF files (ISO 32000): a structural summary by byte search, and the document-information
// strings. Gzip members (RFC 1952): the header fields and the original file name.
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../pdf/text.hpp"
#include "../support/byte_reader.hpp"
#include "../support/byte_search.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"
#include "pdf_thorough.hpp"
#include "scan.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

bool is_pdf_space(std::uint8_t c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool is_octal(std::uint8_t c) {
  return c >= '0' && c <= '7';
}

// A literal string after its "(", read byte by byte as it streams past: balanced parentheses
// nest, and escapes mean what ISO 32000 7.3.4.2 says (\n \r \t \b \f, \( \) \\, up to three
// octal digits, a line break dropped). The text stops growing at its cap.
class LiteralString {
public:
  // Takes the next byte; false once the closing parenthesis has been read.
  bool take(std::uint8_t c) {
    switch (state_) {
    case State::Normal:
      return normal(c);
    case State::Escape:
      escape(c);
      return true;
    case State::AfterCarriageReturn:
      state_ = State::Normal;
      return c == '\n' || normal(c);
    case State::Octal:
      if (digits_ < 3 && is_octal(c)) {
        value_ = value_ * 8 + (c - '0');
        if (++digits_ == 3) {
          end_octal();
        }
        return true;
      }
      end_octal();
      return normal(c);
    }
    return true;
  }
  // The input ended inside the string.
  void end_of_input() {
    if (state_ == State::Octal) {
      end_octal();
    }
  }
  [[nodiscard]] const std::string& text() const noexcept { return out_; }
  [[nodiscard]] bool truncated() const noexcept { return truncated_; }

private:
  enum class State : std::uint8_t { Normal, Escape, AfterCarriageReturn, Octal };

  bool normal(std::uint8_t c) {
    if (c == '(') {
      ++depth_;
    } else if (c == ')' && --depth_ == 0) {
      return false;
    } else if (c == '\\') {
      state_ = State::Escape;
      return true;
    }
    put(c);
    return true;
  }
  void escape(std::uint8_t e) {
    state_ = State::Normal;
    switch (e) {
    case 'n':
      put('\n');
      return;
    case 'r':
      put('\r');
      return;
    case 't':
      put('\t');
      return;
    case 'b':
      put('\b');
      return;
    case 'f':
      put('\f');
      return;
    case '\r':
      state_ = State::AfterCarriageReturn;
      return;
    case '\n':
      return;
    default:
      break;
    }
    if (is_octal(e)) {
      state_ = State::Octal;
      value_ = e - '0';
      digits_ = 1;
      return;
    }
    put(e);
  }
  void end_octal() {
    state_ = State::Normal;
    put(static_cast<std::uint8_t>(value_ & 0xFFU));
  }
  void put(std::uint8_t c) {
    if (out_.size() < text_cap) {
      out_ += static_cast<char>(c);
    } else {
      truncated_ = true;
    }
  }

  State state_ = State::Normal;
  unsigned depth_ = 1;
  unsigned value_ = 0;
  unsigned digits_ = 0;
  std::string out_;
  bool truncated_ = false;
};

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
    append_utf8(out, pdf::pdf_doc_code_point(static_cast<std::uint8_t>(c)));
  }
  return out;
}

// The document-information keys: the first occurrence of each counts, when only white space
// separates it from a literal string.
struct InfoKey {
  std::string_view pattern;
  std::string_view key;
};
constexpr std::array<InfoKey, 8> info_keys = {{
    {"/Title", "title"},
    {"/Author", "author"},
    {"/Subject", "subject"},
    {"/Creator", "creator"},
    {"/Producer", "producer"},
    {"/Keywords", "keywords"},
    {"/CreationDate", "creation_date"},
    {"/ModDate", "modification_date"},
}};

// One key's value as the bytes after its first occurrence stream past.
class InfoValue {
public:
  // Starts after the first occurrence, which ends just before `at`.
  void start(std::uint64_t at) {
    state_ = State::Gap;
    next_ = at;
  }
  [[nodiscard]] bool found() const noexcept { return state_ != State::Unseen; }
  [[nodiscard]] bool active() const noexcept {
    return state_ == State::Gap || state_ == State::Inside;
  }
  [[nodiscard]] std::uint64_t next() const noexcept { return next_; }

  // Takes the bytes of `bytes` (at input offset `at`) from next() on.
  void take(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    if (!active() || next_ < at || next_ >= at + bytes.size()) {
      return;
    }
    const auto from = static_cast<std::size_t>(next_ - at);
    next_ = at + bytes.size();
    for (const std::uint8_t c : bytes.subspan(from)) {
      if (state_ == State::Gap) {
        state_ = c == '(' ? State::Inside : is_pdf_space(c) ? State::Gap : State::Dropped;
      } else if (!text_.take(c) || text_.truncated()) {
        state_ = State::Closed;
      }
      if (!active()) {
        return;
      }
    }
  }
  // The text once the input has ended, if the key had one.
  [[nodiscard]] std::optional<LiteralString> finish() {
    if (state_ == State::Inside) {
      text_.end_of_input();
      state_ = State::Closed;
    }
    if (state_ != State::Closed) {
      return std::nullopt;
    }
    return std::move(text_);
  }

private:
  enum class State : std::uint8_t { Unseen, Gap, Inside, Closed, Dropped };
  State state_ = State::Unseen;
  std::uint64_t next_ = 0;
  LiteralString text_;
};

// The patterns of the byte search besides the information keys.
constexpr std::string_view object_pattern = " obj";
constexpr std::string_view page_pattern = "/Type/Page";
constexpr std::string_view spaced_page_pattern = "/Type /Page";
constexpr std::string_view linearized_pattern = "/Linearized";
constexpr std::string_view encrypt_pattern = "/Encrypt";
constexpr std::array<std::string_view, 5> scan_patterns = {
    object_pattern, page_pattern, spaced_page_pattern, linearized_pattern, encrypt_pattern};

// The bytes that follow the first one in some pattern: most spaces and names in a PDF start none,
// and one look at the next byte passes them over.
constexpr std::array<bool, 256> second_bytes = [] {
  std::array<bool, 256> seen{};
  for (const std::string_view pattern : scan_patterns) {
    seen.at(static_cast<std::uint8_t>(pattern[1])) = true;
  }
  for (const InfoKey& key : info_keys) {
    seen.at(static_cast<std::uint8_t>(key.pattern[1])) = true;
  }
  return seen;
}();

// The byte search over the whole file as it streams past: object and page counts, the two
// flags and the information strings.
// The longest pattern and the byte after it fit in 16 bytes.
class PdfScan final : public WindowScan<16> {
public:
  // The thorough reading keeps where " obj" occurs, for a damaged cross-reference.
  PdfScan(const PdfExtractor& extractor, const Probe& probe)
      : extractor_(extractor), mark_cap_(probe.thorough ? pdf_mark_cap(probe.len) : 0) {}

  ExtractResult finish(Source& source, const Probe& probe) override {
    (void)end_input();
    Namespace ns("pdf");
    const std::string_view head =
        as_chars(probe.head.first(std::min<std::size_t>(probe.head.size(), 16)));
    const std::size_t line_end = head.find_first_of("\r\n");
    if (line_end != std::string_view::npos && line_end >= 5) {
      ns.set("version", utf8_lossy(head.substr(5, line_end - 5)));
    }
    ns.set("object_count", objects_)
        .set("page_count", pages_)
        .set("linearized", linearized_)
        .set("encrypted", encrypted_);
    Map info;
    for (std::size_t k = 0; k < info_keys.size(); ++k) {
      if (auto text = values_.at(k).finish()) {
        info.emplace(std::string(info_keys.at(k).key), Value(text_string(text->text())));
        if (text->truncated()) {
          mark_truncated(ns, "info." + std::string(info_keys.at(k).key));
        }
      }
    }
    if (!info.empty()) {
      ns.set("info", std::move(info));
    }
    if (probe.thorough) {
      if (const auto input = whole_input(extractor_, source, probe)) {
        if (!read_pdf_structure(ns, *input, probe, marks_)) {
          return unexpected(stopped());
        }
      }
    }
    return ns;
  }

private:
  std::uint64_t examine(std::span<const std::uint8_t> bytes, std::uint64_t at,
                        bool final) override {
    const std::size_t limit = match_limit(bytes, final);
    const ByteReader r(bytes);
    for (auto i = static_cast<std::size_t>(std::max(pos_, at) - at); i < limit;) {
      i = find_any<' ', '/'>(bytes, i, limit); // every pattern starts with one
      if (i == limit) {
        break;
      }
      match(r, i, at);
      ++i;
    }
    pos_ = std::max(pos_, at + limit);
    for (InfoValue& value : values_) {
      value.take(bytes, at);
    }
    return pos_;
  }

  // The patterns that may start at bytes[i].
  void match(const ByteReader& r, std::size_t i, std::uint64_t at) {
    if (!second_bytes.at(r.u8_at(i + 1).value_or(0))) { // no pattern has a NUL there
      return;
    }
    // "/Type/Page" and "/Type /Page" count unless "s" follows ("/Pages"); a match that ends the
    // input counts.
    const auto page = [&](std::string_view pattern) {
      if (r.matches_at(i, pattern)) {
        pages_ += r.matches_at(i + pattern.size(), "s") ? 0U : 1U;
      }
    };
    if (r.matches_at(i, object_pattern)) {
      ++objects_;
      if (marks_.size() < mark_cap_) {
        marks_.push_back(at + i);
      }
      return;
    }
    page(page_pattern);
    page(spaced_page_pattern);
    linearized_ = linearized_ || r.matches_at(i, linearized_pattern);
    encrypted_ = encrypted_ || r.matches_at(i, encrypt_pattern);
    for (std::size_t k = 0; k < info_keys.size(); ++k) {
      const std::string_view pattern = info_keys.at(k).pattern;
      if (!values_.at(k).found() && r.matches_at(i, pattern)) {
        values_.at(k).start(at + i + pattern.size());
      }
    }
  }

  std::uint64_t objects_ = 0;
  std::uint64_t pages_ = 0;
  bool linearized_ = false;
  bool encrypted_ = false;
  std::array<InfoValue, info_keys.size()> values_{};
  const PdfExtractor& extractor_;
  std::uint64_t mark_cap_;
  std::vector<std::uint64_t> marks_;
};

// The text from `start` up to the next NUL byte, searched a window at a time.
std::optional<ByteView> nul_terminated(const ByteReader& r, std::uint64_t start) {
  constexpr std::uint64_t window = std::uint64_t{64} * 1024;
  for (std::uint64_t at = start; at < r.size();) {
    const auto window_bytes = r.clipped_at(at, window);
    const std::string_view part = as_chars(window_bytes.span());
    const std::size_t nul = part.find('\0');
    if (nul != std::string_view::npos) {
      return r.bytes_at(start, at + nul - start);
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

std::unique_ptr<Scan> PdfExtractor::start_scan(const Probe& probe) const {
  return std::make_unique<PdfScan>(*this, probe);
}

bool GzipExtractor::supports(const Probe& probe) const {
  return ByteReader(probe.head).matches_at(0, "\x1F\x8B"sv);
}

ExtractResult GzipExtractor::extract(Source& source, const Probe& probe) const {
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  // RFC 1952 member header: magic, method, flags, mtime, extra flags, OS.
  const auto h = fixed_header<10>(*this, r);
  if (!h) {
    return h.error();
  }
  const std::uint8_t flags = h->u8<3>();
  Namespace ns(name());
  ns.set("compression_method", h->u8<2>() == 8 ? "deflate" : "unknown");
  if (const std::uint32_t mtime = h->u32_le<4>(); mtime != 0) {
    ns.set("modification_time_unix", mtime);
  }
  ns.set("os", os_label(h->u8<9>()));
  if ((flags & 0x08U) != 0) {
    // FEXTRA puts a 16-bit length and that many bytes before the name.
    std::uint64_t start = 10;
    const auto with_extra = r.fixed<12>(0);
    if ((flags & 0x04U) != 0 && with_extra) {
      start = 12 + std::uint64_t{with_extra->u16_le<10>()};
    }
    // RFC 1952 names are ISO 8859-1; UTF-8 names are kept as they are.
    if (const auto name = nul_terminated(r, start)) {
      ns.set("original_filename", utf8_or_latin1(as_chars(name->span())));
    }
  }
  return ns;
}

} // namespace trawl
