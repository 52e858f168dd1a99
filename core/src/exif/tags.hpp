// The EXIF reader's tag table: names, display rules, label tables and units.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "reader.hpp"

namespace trawl::exif {

/// How a tag's value is shown.
enum class Rule : std::uint8_t {
  Default,
  Decimal,
  DecimalFirstUnknown,
  Enum,
  UndefEnum,
  AsciiEnum,
  Datetime,
  ExposureTime,
  Version,
  InteropVersion,
  Components,
  SubjectDistance,
  DigitalZoom,
  FocalLength35,
  Flash,
  SubjectArea,
  YcbcrSubsampling,
  LensSpec,
  CompositeCount,
  GpsVersion,
  GpsRefLetter,
  GpsDms,
  GpsTime,
  GpsDate,
  UndefinedAsText,
  Pointer,
};

/// One code of a label table (a one-character code is stored as its byte value).
struct Label {
  std::uint32_t code = 0;
  std::string_view text;
};

/// Labels of an enumerated tag, and the name shown for codes outside the table.
struct LabelTable {
  std::string_view reserved_name;
  std::span<const Label> labels;
};

/// Text around a value: before it, after it and, when `fallback` is set, the display of a
/// reference field of the same IFD (or the fallback when there is none).
struct Unit {
  std::string_view before;
  std::string_view after;
  Tag ref;
  std::string_view fallback;
  [[nodiscard]] constexpr bool has_ref() const noexcept { return !fallback.empty(); }
};

/// What the reader knows of a tag.
struct TagInfo {
  Tag tag;
  std::string_view name;
  Rule rule = Rule::Default;
  const LabelTable* labels = nullptr;
  Unit unit;
};

/// The tag's table entry, or null for a tag the reader does not know.
[[nodiscard]] const TagInfo* find_tag(Tag tag) noexcept;

/// Tags that units refer to; lookups of these are indexed.
inline constexpr std::array<Tag, 12> reference_tags = {{
    {Context::Tiff, 296},
    {Context::Exif, 41488},
    {Context::Gps, 1},
    {Context::Gps, 3},
    {Context::Gps, 5},
    {Context::Gps, 12},
    {Context::Gps, 14},
    {Context::Gps, 16},
    {Context::Gps, 19},
    {Context::Gps, 21},
    {Context::Gps, 23},
    {Context::Gps, 25},
}};

} // namespace trawl::exif
