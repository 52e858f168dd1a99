#include "png_profile.hpp"

#include <algorithm>
#include <array>

#include "../support/png_text.hpp"
#include "../support/text.hpp"

namespace trawl::exif {

namespace {

using namespace std::string_view_literals;

// Far beyond the 64 KiB a JPEG segment holds: hex text of 2 MiB of EXIF.
constexpr std::size_t max_profile_text = std::size_t{4} << 20U;

bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

std::optional<unsigned> hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<unsigned>(c - '0');
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<unsigned>(c - 'a' + 10);
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<unsigned>(c - 'A' + 10);
  }
  return std::nullopt;
}

} // namespace

void PngProfileSearch::look_at(std::string_view type, const ByteReader& data) {
  static constexpr std::array<std::string_view, 3> text_types = {"tEXt", "zTXt", "iTXt"};
  const auto* known = std::find(text_types.begin(), text_types.end(), type);
  if (known == text_types.end()) {
    return;
  }
  const auto keyword = png_text_keyword(data);
  if (keyword == "exif" && type == "tEXt") {
    raw_ = data.sub_at(5, data.size() - 5);
  } else if (keyword == "Raw profile type exif") {
    exif_ = Chunk{*known, data};
  } else if (keyword == "Raw profile type APP1") {
    app1_ = Chunk{*known, data};
  }
}

std::optional<std::vector<std::uint8_t>> PngProfileSearch::tiff(std::uint64_t input_size) const {
  const auto without_prefix = [](std::vector<std::uint8_t> bytes) {
    if (ByteReader(bytes).matches_at(0, "Exif\0\0"sv)) {
      bytes.erase(bytes.begin(), bytes.begin() + 6);
    }
    return bytes;
  };
  if (raw_) {
    const ByteView bytes = raw_->clipped_at(0, max_profile_text);
    return without_prefix({bytes.span().begin(), bytes.span().end()});
  }
  InflateBudget budget(input_size);
  for (const auto& chunk : {exif_, app1_}) {
    if (!chunk) {
      continue;
    }
    const auto text = read_png_text(chunk->type, chunk->data, max_profile_text, budget);
    if (!text) {
      continue;
    }
    if (auto bytes = decode_raw_profile(text->text)) {
      return without_prefix(std::move(*bytes));
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> decode_raw_profile(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  // The name's line (after any white space), then the length's.
  const std::size_t name_at = std::min(text.find_first_not_of(" \t\r\n"), text.size());
  const std::size_t length_at = std::min(text.find('\n', name_at), text.size() - 1) + 1;
  const std::size_t length_end = std::min(text.find('\n', length_at), text.size());
  std::uint64_t declared = 0;
  bool digits = false;
  for (const char c : text.substr(length_at, length_end - length_at)) {
    if (c >= '0' && c <= '9') {
      declared = std::min<std::uint64_t>(declared * 10 + static_cast<unsigned>(c - '0'),
                                         std::uint64_t{1} << 48U);
      digits = true;
    } else if (!is_space(c)) {
      return std::nullopt;
    }
  }
  if (!digits) {
    return std::nullopt;
  }
  std::size_t at = length_end;
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, text.size() / 2)));
  // The first digit of a byte, shifted into place, with a bit above it marking it present.
  unsigned pending = 0;
  for (; at < text.size() && out.size() < declared; ++at) {
    if (is_space(text[at])) {
      continue;
    }
    const auto digit = hex_digit(text[at]);
    if (!digit) {
      break;
    }
    if (pending != 0) {
      out.push_back(static_cast<std::uint8_t>((pending & 0xF0U) | *digit));
      pending = 0;
    } else {
      pending = 0x100U | (*digit << 4U);
    }
  }
  return out;
}

} // namespace trawl::exif
