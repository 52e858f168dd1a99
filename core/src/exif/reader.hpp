// The EXIF reader: finds the EXIF block in TIFF, JPEG, PNG, HEIF and WebP data, walks its TIFF
// structure (CIPA DC-008, TIFF 6.0) and shows tags and values as text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <trawl/expected.hpp>

#include "../support/byte_reader.hpp"

namespace trawl::exif {

/// The directory kind a tag number is read in.
enum class Context : std::uint8_t { Tiff, Exif, Gps, Interop };

/// A tag: the same number means different things in different contexts.
struct Tag {
  Context context = Context::Tiff;
  std::uint16_t number = 0;
  friend bool operator==(Tag, Tag) = default;
};

/// TIFF field type codes.
enum class Type : std::uint16_t {
  Byte = 1,
  Ascii = 2,
  Short = 3,
  Long = 4,
  Rational = 5,
  SByte = 6,
  Undefined = 7,
  SShort = 8,
  SLong = 9,
  SRational = 10,
  Float = 11,
  Double = 12,
  // BigTIFF only: 64-bit unsigned, signed and IFD offset.
  Long8 = 16,
  SLong8 = 17,
  Ifd8 = 18,
};

/// Bytes per element of a type; 0 for codes outside 1..12.
[[nodiscard]] constexpr std::size_t unit_size(std::uint16_t type) noexcept {
  switch (static_cast<Type>(type)) {
  case Type::Byte:
  case Type::Ascii:
  case Type::SByte:
  case Type::Undefined:
    return 1;
  case Type::Short:
  case Type::SShort:
    return 2;
  case Type::Long:
  case Type::SLong:
  case Type::Float:
    return 4;
  case Type::Rational:
  case Type::SRational:
  case Type::Double:
    return 8;
  case Type::Long8:
  case Type::SLong8:
  case Type::Ifd8:
    return 0; // unknown to classic TIFF
  }
  return 0;
}

/// Bytes per element of a type in BigTIFF (`big_tiff`) or classic TIFF data.
[[nodiscard]] constexpr std::size_t unit_size(std::uint16_t type, bool big_tiff) noexcept {
  const auto t = static_cast<Type>(type);
  if (big_tiff && (t == Type::Long8 || t == Type::SLong8 || t == Type::Ifd8)) {
    return 8;
  }
  return unit_size(type);
}

/// One field: its tag, the number of the top-level IFD it belongs to and where its value lies.
struct Field {
  Tag tag;
  std::uint8_t ifd = 0;
  /// The type code as stored; codes outside 1..12 are kept as they are.
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  /// Offset of the value's bytes in the TIFF data (for unknown types, of the entry's value field).
  std::uint64_t offset = 0;
};

/// The tag and IFD number of a field in one integer, ordered by IFD, then context, then number.
[[nodiscard]] constexpr std::uint32_t tag_in_ifd(const Field& field) noexcept {
  return (std::uint32_t{field.ifd} << 18U) |
         (std::uint32_t{static_cast<std::uint8_t>(field.tag.context)} << 16U) | field.tag.number;
}

/// Which fields of one tag in one IFD a read keeps: every one, in reading order, or only the
/// last, in the place of the first (all that lookups, units and the extractor's output use).
enum class Keep : std::uint8_t { Every, Last };

/// The most fields one read keeps. Real files hold under a hundred (61 in the largest sample);
/// one crafted IFD of 65,535 tags walked in every context and as every top-level IFD gives 2 M.
inline constexpr std::size_t max_fields = 65536;
/// The most IFDs one read walks, each visit of a sub-IFD counted: a file has at most 8 top-level
/// IFDs with an Exif, GPS and interoperability IFD each (32); crafted pointers repeat visits.
inline constexpr unsigned max_walked_ifds = 64;

/// An unsigned or signed rational as stored.
struct Fraction {
  std::int64_t numerator = 0;
  std::int64_t denominator = 0;
};

/// The fields of one EXIF block and the problems met while reading them.
class ExifData {
public:
  /// `tiff` reads `owned` or the input; `big_tiff` for 64-bit offsets and types.
  ExifData(std::vector<std::uint8_t> owned, const ByteReader& tiff, bool big_endian,
           Keep keep = Keep::Every, bool big_tiff = false);
  ExifData(ExifData&&) noexcept = default;
  ExifData& operator=(ExifData&&) noexcept = default;
  ExifData(const ExifData&) = delete;
  ExifData& operator=(const ExifData&) = delete;
  ~ExifData() = default;

  /// Every field in reading order: IFD by IFD, sub-IFD fields at their pointer's place.
  [[nodiscard]] std::span<const Field> fields() const noexcept { return fields_; }
  /// Problems that did not end the read, in the order met; non-empty makes a partial result.
  [[nodiscard]] std::span<const std::string_view> problems() const noexcept { return problems_; }
  /// The last field with this tag in this IFD, or null.
  [[nodiscard]] const Field* find(Tag tag, unsigned ifd) const noexcept;

  /// The value as text, without its unit.
  [[nodiscard]] std::string display_value(const Field& field) const;
  /// The value as text followed by the tag's unit, resolved from the same IFD.
  [[nodiscard]] std::string display_with_unit(const Field& field) const;
  /// The element count as decoded (for ASCII, the number of strings).
  [[nodiscard]] std::size_t element_count(const Field& field) const;
  /// Element `i` of a RATIONAL or SRATIONAL value.
  [[nodiscard]] Fraction fraction(const Field& field, std::size_t i) const;

  /// Keeps a field (the TIFF walk's only way in); false, keeping nothing, once a new field
  /// would exceed max_fields.
  [[nodiscard]] bool add(const Field& field);
  /// Records a problem that does not end the read.
  void collect(std::string_view problem) { problems_.push_back(problem); }
  /// Records a limit that ended the walk inside top-level IFD `ifd`.
  void stop(std::string_view problem, std::uint8_t ifd);
  /// The top-level IFD inside which a limit ended the walk: its fields, and any later IFD's,
  /// may be missing or not the last of their tag.
  [[nodiscard]] std::optional<std::uint8_t> stopped_in() const noexcept { return stopped_in_; }
  /// The TIFF data the offsets refer to.
  [[nodiscard]] const ByteReader& tiff() const noexcept { return tiff_; }
  [[nodiscard]] bool big_endian() const noexcept { return big_endian_; }
  [[nodiscard]] bool big_tiff() const noexcept { return big_tiff_; }
  /// Bytes per element of the field's type in this data.
  [[nodiscard]] std::size_t value_unit(const Field& field) const noexcept {
    return unit_size(field.type, big_tiff_);
  }

private:
  std::vector<std::uint8_t> owned_;
  ByteReader tiff_;
  bool big_endian_ = true;
  Keep keep_ = Keep::Every;
  bool big_tiff_ = false;
  std::vector<Field> fields_;
  // Under Keep::Last: the field of each tag_in_ifd, by open addressing (index + 1, 0 for none;
  // at most half full). One allocation for a real file, where a node per field costs more
  // than the walk.
  std::vector<std::uint32_t> slots_;
  [[nodiscard]] std::size_t slot_of(std::uint32_t key) const noexcept;
  void grow_slots();
  std::vector<std::string_view> problems_;
  std::optional<std::uint8_t> stopped_in_;
  // Under Keep::Every: for each tag that units refer to and each IFD number, the index of the
  // last such field.
  static constexpr std::size_t no_field = static_cast<std::size_t>(-1);
  std::array<std::array<std::size_t, 8>, 12> last_reference_{};
};

/// How far a read goes: Thorough also takes EXIF that image editors keep as hex text in a PNG
/// text chunk or after "Exif\0\0" in a WebP chunk, and sub-IFD pointers of the IFD type (13).
enum class Depth : std::uint8_t { Default, Thorough };

/// Why no fields came back: the container holds no EXIF block, or the read failed.
struct ReadError {
  enum class Kind : std::uint8_t { NotFound, Failed };
  Kind kind = Kind::Failed;
  std::string_view text;
};

/// Reads the EXIF block of a whole TIFF, JPEG, PNG, HEIF or WebP file, going on after
/// problems inside the TIFF structure.
[[nodiscard]] Expected<ExifData, ReadError>
read_exif(const ByteReader& stream, Keep keep = Keep::Every, Depth depth = Depth::Default);
/// The same over bytes in memory.
[[nodiscard]] Expected<ExifData, ReadError> read_exif(std::span<const std::uint8_t> stream,
                                                      Keep keep = Keep::Every,
                                                      Depth depth = Depth::Default);

/// Reads TIFF data (header and IFDs); the block of any container.
[[nodiscard]] Expected<ExifData, ReadError> read_tiff(std::vector<std::uint8_t> owned,
                                                      const ByteReader& tiff,
                                                      Keep keep = Keep::Every,
                                                      Depth depth = Depth::Default);

/// Whether the data starts with a BigTIFF header ("II" 43 or "MM" 43).
[[nodiscard]] bool is_big_tiff(const ByteReader& data);
/// Reads a whole BigTIFF file (64-bit offsets and counts, 20-byte IFD entries).
[[nodiscard]] Expected<ExifData, ReadError> read_big_tiff(const ByteReader& tiff,
                                                          Keep keep = Keep::Every);

/// The tag's name, or "Tag(Context, N)" for a tag without one.
[[nodiscard]] std::string display_tag(Tag tag);

/// A value's text stops growing once it is this long: far beyond any real tag's, it keeps
/// values that crafted data repeats from growing the output without bound.
inline constexpr std::size_t max_value_text = std::size_t{1} << 20U;
/// The most bytes of one value that its text can show: every element or character takes at
/// least one character of text, and no element is wider than 8 bytes.
inline constexpr std::size_t max_value_bytes = 8 * max_value_text;

} // namespace trawl::exif
