// What the thorough reading adds to the PNG extractor: compressed and international text.
#pragma once

#include <cstdint>
#include <string_view>

#include <trawl/value.hpp>

#include "../support/byte_reader.hpp"
#include "../support/zlib_inflate.hpp"

namespace trawl {

/// The text chunks of one PNG (tEXt, zTXt, iTXt) into the "text" map, later chunks replacing
/// earlier ones of the same keyword, with each iTXt's language tag and translated keyword in
/// "text_languages".
class PngTextChunks {
public:
  explicit PngTextChunks(std::uint64_t input_size) noexcept : budget_(input_size) {}

  /// Reads one chunk of `type` (others are ignored); `texts` holds at most `cap` keywords.
  void read(Namespace& ns, Map& texts, std::string_view type, const ByteReader& data,
            std::uint64_t cap);
  /// Sets "text_languages" when some iTXt chunk had a language tag or translated keyword.
  void finish(Namespace& ns);

private:
  InflateBudget budget_;
  Map languages_;
};

} // namespace trawl
