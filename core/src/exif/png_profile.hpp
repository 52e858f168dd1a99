// EXIF kept by image editors in a PNG text chunk: as hex text under "Raw profile type exif" (or
// "Raw profile type APP1"), whose text is a newline, the profile name, its length in decimal and
// the bytes in hexadecimal lines; or as the bytes themselves in a tEXt chunk "exif".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../support/byte_reader.hpp"

namespace trawl::exif {

/// Notes the text chunks of a PNG that carry an EXIF profile as its chunks are walked.
class PngProfileSearch {
public:
  /// Looks at one chunk's keyword.
  void look_at(std::string_view type, const ByteReader& data);
  /// The TIFF data of the last tEXt "exif", else of the last "exif" profile, else of the last
  /// "APP1" one ("Exif\0\0" dropped); nothing when none decodes. Compressed text inflates within a
  /// budget set by `input_size`.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> tiff(std::uint64_t input_size) const;

private:
  struct Chunk {
    std::string_view type; // static text
    ByteReader data{std::span<const std::uint8_t>{}};
  };
  std::optional<ByteReader> raw_;
  std::optional<Chunk> exif_;
  std::optional<Chunk> app1_;
};

/// The bytes of a profile's text: the name line, the declared length, then hexadecimal digits
/// across lines; at most the declared length, and only up to the first byte that is no digit.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decode_raw_profile(std::string_view text);

} // namespace trawl::exif
