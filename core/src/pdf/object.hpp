// PDF objects (ISO 32000-1 7.3) and their parser: tokens read through a ByteReader, arrays and
// dictionaries built on an explicit stack with a depth cap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../support/byte_reader.hpp"

namespace trawl::pdf {

/// The kinds of PDF objects; a stream is a dictionary followed by data (see Indirect).
enum class Kind : std::uint8_t { Null, Bool, Int, Real, String, Name, Array, Dict, Ref };

/// An indirect reference "num gen R".
struct Ref {
  std::uint32_t num = 0;
  std::uint16_t gen = 0;
  friend bool operator==(Ref, Ref) = default;
};

/// One object. Arrays hold their items; dictionaries their keys (names) and values alternately.
struct Object {
  Kind kind = Kind::Null;
  std::uint16_t gen = 0;    ///< Ref: generation
  std::int64_t integer = 0; ///< Int, Bool (0 or 1), Ref: object number
  double real = 0;          ///< Real
  std::string bytes;        ///< String: its bytes; Name: without the slash, #xx decoded
  std::vector<Object> items;

  /// A dictionary's value for `key`, or null when absent or not a dictionary.
  [[nodiscard]] const Object* get(std::string_view key) const noexcept;
  /// The integer of an Int, or of a Real with nothing after its point.
  [[nodiscard]] std::optional<std::int64_t> as_int() const noexcept;
  /// An Int or Real as a double.
  [[nodiscard]] std::optional<double> as_number() const noexcept;
  [[nodiscard]] std::optional<Ref> as_ref() const noexcept;
  [[nodiscard]] bool is_name(std::string_view name) const noexcept {
    return kind == Kind::Name && bytes == name;
  }
  [[nodiscard]] bool is_dict() const noexcept { return kind == Kind::Dict; }
};

/// How far one parse may go: nesting and the objects it makes.
struct ParseLimits {
  std::size_t depth = 64;
  std::size_t objects = std::size_t{1} << 18U;
  /// Data that ends inside arrays or dictionaries closes them (a file cut short); the value
  /// being read when it ended is dropped.
  bool close_at_end = false;
};

/// Why a parse gave nothing.
enum class ParseFailure : std::uint8_t {
  End, ///< the data ended inside the object (a larger window may hold it)
  Bad, ///< not an object, or past a limit
};

/// A parsed object, or why there is none.
struct Parsed {
  std::optional<Object> object;
  ParseFailure failure = ParseFailure::Bad;
};

/// Whitespace of ISO 32000-1 7.2.2 (NUL included).
[[nodiscard]] constexpr bool is_space(std::uint8_t c) noexcept {
  return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}
/// Delimiters of ISO 32000-1 7.2.2.
[[nodiscard]] constexpr bool is_delimiter(std::uint8_t c) noexcept {
  return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
         c == '}' || c == '/' || c == '%';
}

/// Moves past whitespace and comments.
void skip_space(ByteReader& r);
/// Moves past `word` when it comes next as a whole keyword (after whitespace); false otherwise.
[[nodiscard]] bool take_keyword(ByteReader& r, std::string_view word);
/// The non-negative integer that comes next (after whitespace); the cursor moves past it.
[[nodiscard]] std::optional<std::uint64_t> take_unsigned(ByteReader& r);

/// The object at the cursor; the cursor moves past it on success.
[[nodiscard]] Parsed parse_object(ByteReader& r, const ParseLimits& limits = {});

/// The object of "num gen obj ... " at the cursor, and where its stream data starts when
/// "stream" follows a dictionary.
struct Indirect {
  Ref ref;
  Object value;
  std::optional<std::uint64_t> stream_start; ///< offset in `r` of the first data byte
};
/// Parses "num gen obj" and the object after it; the cursor ends after the object (and after
/// the line break that follows "stream").
[[nodiscard]] std::optional<Indirect> parse_indirect(ByteReader& r, ParseFailure& failure,
                                                     const ParseLimits& limits = {});

} // namespace trawl::pdf
