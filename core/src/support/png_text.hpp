// The text chunks of PNG (ISO/IEC 15948 11.3.4): tEXt, zTXt (zlib-compressed) and iTXt (UTF-8,
// compressed or not, with a language tag and a translated keyword).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "byte_reader.hpp"
#include "zlib_inflate.hpp"

namespace trawl {

/// One text chunk as decoded.
struct PngText {
  std::string keyword;
  std::string text;
  std::string language;           ///< iTXt only
  std::string translated_keyword; ///< iTXt only
  bool cut = false;               ///< the text reached its cap
};

/// The keyword of a text chunk (the bytes before its first NUL, at most 79), undecoded; nothing
/// when the data holds no NUL there.
[[nodiscard]] std::optional<std::string> png_text_keyword(const ByteReader& data);

/// The text of a tEXt, zTXt or iTXt chunk (`type`), at most `cap` bytes of it; compressed text
/// draws on `budget`. Nothing for another type, a chunk without a keyword or an unknown
/// compression method. The keyword and the text of tEXt and zTXt are UTF-8 when valid, else
/// ISO 8859-1; iTXt's are UTF-8.
[[nodiscard]] std::optional<PngText> read_png_text(std::string_view type, const ByteReader& data,
                                                   std::size_t cap, InflateBudget& budget);

} // namespace trawl
