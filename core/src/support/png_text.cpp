#include "png_text.hpp"

#include "text.hpp"

namespace trawl {

namespace {

// At most 79 bytes and the NUL that ends them.
constexpr std::size_t keyword_room = 80;

// The compressed text from `at` on after a method byte of 0 (zlib); nothing for any other
// method. Text compresses to about its size or less, so the input looked at is bounded by the
// cap too: a stream cut there yields what it gave.
std::optional<std::string> inflate_text(std::uint8_t method, const ByteReader& data,
                                        std::uint64_t at, std::size_t cap, InflateBudget& budget,
                                        bool& cut) {
  if (method != 0) {
    return std::nullopt;
  }
  const std::uint64_t room = std::uint64_t{cap} + cap / 4 + 4096;
  // Read through the reader a block at a time: no copy of the compressed bytes.
  Inflated inflated = inflate_data(data.sub_clipped_at(at, room), budget.cap(cap));
  budget.spend(inflated.bytes.size());
  cut = inflated.cut ||
        (inflated.broken && data.size() - std::min<std::uint64_t>(at, data.size()) > room);
  return std::string(as_chars(inflated.bytes));
}

} // namespace

std::optional<std::string> png_text_keyword(const ByteReader& data) {
  const ByteView head = data.clipped_at(0, keyword_room);
  const std::string_view chars = as_chars(head.span());
  const std::size_t nul = chars.find('\0');
  if (nul == std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(chars.substr(0, nul));
}

std::optional<PngText> read_png_text(std::string_view type, const ByteReader& data, std::size_t cap,
                                     InflateBudget& budget) {
  const auto keyword = png_text_keyword(data);
  if (!keyword) {
    return std::nullopt;
  }
  PngText out;
  out.keyword = utf8_or_latin1(*keyword);
  const std::uint64_t after = keyword->size() + 1;
  if (type == "tEXt") {
    const ByteView text = data.clipped_at(after, cap);
    out.text = utf8_or_latin1(as_chars(text.span()));
    out.cut = data.size() - after > cap;
    return out;
  }
  if (type == "zTXt") {
    // Keyword, NUL, compression method, compressed text.
    auto text =
        inflate_text(data.u8_at(after).value_or(0xFF), data, after + 1, cap, budget, out.cut);
    if (!text) {
      return std::nullopt;
    }
    out.text = utf8_or_latin1(*text);
    return out;
  }
  if (type != "iTXt") {
    return std::nullopt;
  }
  // Keyword, NUL, compression flag, method, language tag, NUL, translated keyword, NUL, text.
  const auto flag = data.u8_at(after);
  const auto method = data.u8_at(after + 1);
  if (!flag || !method) {
    return std::nullopt;
  }
  const std::uint64_t language_at = after + 2;
  const std::uint64_t language_end = data.find(0, language_at);
  const std::uint64_t translated_end = data.find(0, language_end + 1);
  if (translated_end >= data.size()) {
    return std::nullopt;
  }
  const auto field = [&](std::uint64_t from, std::uint64_t to) {
    const ByteView bytes = data.clipped_at(from, std::min<std::uint64_t>(to - from, cap));
    return utf8_lossy(as_chars(bytes.span()));
  };
  out.language = field(language_at, language_end);
  out.translated_keyword = field(language_end + 1, translated_end);
  const std::uint64_t text_at = translated_end + 1;
  if (*flag == 0) {
    out.text = field(text_at, data.size());
    out.cut = data.size() - text_at > cap;
    return out;
  }
  auto text = inflate_text(*method, data, text_at, cap, budget, out.cut);
  if (!text) {
    return std::nullopt;
  }
  out.text = utf8_lossy(*text);
  return out;
}

} // namespace trawl
