// The value model: every reported fact is a Value; an extractor's facts form a Namespace.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace trawl {

/// The ten kinds of Value, in their fixed order.
enum class Kind : std::uint8_t { Null, Bool, Int, UInt, Float, Rational, String, Bytes, List, Map };

class Value;

/// A List value's payload: values in order.
using List = std::vector<Value>;
/// A Map value's payload and a namespace's entries: keys sorted byte-wise.
using Map = std::map<std::string, Value, std::less<>>;
/// A Bytes value's payload.
using Bytes = std::vector<std::uint8_t>;

/// A signed fraction with its value as a float.
struct Rational {
  std::int64_t num = 0;
  std::int64_t den = 0;
  double value = 0.0;
  friend bool operator==(const Rational&, const Rational&) = default;
};

/// A tagged metadata value that owns everything it holds.
class Value {
public:
  /// Null.
  Value() = default;
  /// Bool; only a real bool converts, so text and integers cannot land here.
  template <std::same_as<bool> B> Value(B b) : data_(b) {}
  /// UInt from any unsigned integer (bool excluded).
  template <std::unsigned_integral U>
  requires(!std::same_as<U, bool>) Value(U u) : data_(static_cast<std::uint64_t>(u)) {}
  /// String holding a copy of borrowed text.
  Value(std::string_view text) : data_(std::string(text)) {}
  /// String holding a copy of a C string (keeps literals away from bool).
  Value(const char* text) : data_(std::string(text)) {}
  /// String taking owned text over.
  Value(std::string text) : data_(std::move(text)) {}
  /// List taking the sequence over.
  Value(List list) : data_(std::move(list)) {}
  /// Map taking the map over.
  Value(Map map) : data_(std::move(map)) {}

  /// Int: signed integers are wrapped explicitly.
  [[nodiscard]] static Value from_int(std::int64_t i) { return Value(Tag<std::int64_t>{}, i); }
  /// Float: floats are wrapped explicitly.
  [[nodiscard]] static Value from_float(double f) { return Value(Tag<double>{}, f); }
  /// Rational from its three fields.
  [[nodiscard]] static Value from_rational(Rational r) { return Value(Tag<Rational>{}, r); }
  /// Bytes taking the buffer over.
  [[nodiscard]] static Value from_bytes(Bytes b) { return Value(Tag<Bytes>{}, std::move(b)); }

  /// The kind of this value.
  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }

  /// Typed access; the caller has checked kind().
  [[nodiscard]] bool as_bool() const { return std::get<bool>(data_); }
  [[nodiscard]] std::int64_t as_int() const { return std::get<std::int64_t>(data_); }
  [[nodiscard]] std::uint64_t as_uint() const { return std::get<std::uint64_t>(data_); }
  [[nodiscard]] double as_float() const { return std::get<double>(data_); }
  [[nodiscard]] const Rational& as_rational() const { return std::get<Rational>(data_); }
  [[nodiscard]] const std::string& as_string() const { return std::get<std::string>(data_); }
  [[nodiscard]] const Bytes& as_bytes() const { return std::get<Bytes>(data_); }
  [[nodiscard]] const List& as_list() const { return std::get<List>(data_); }
  [[nodiscard]] const Map& as_map() const { return std::get<Map>(data_); }
  /// The same for taking a list or map apart.
  [[nodiscard]] List& as_list() { return std::get<List>(data_); }
  [[nodiscard]] Map& as_map() { return std::get<Map>(data_); }

  friend bool operator==(const Value&, const Value&) = default;

private:
  template <class T> struct Tag {};
  template <class T, class A>
  Value(Tag<T> /*tag*/, A&& arg) : data_(std::in_place_type<T>, std::forward<A>(arg)) {}

  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, Rational, std::string,
               Bytes, List, Map>
      data_;
};

/// One extractor's facts: a static name and entries sorted by key.
class Namespace {
public:
  /// An empty namespace; `name` must be static text.
  explicit Namespace(std::string_view name) : name_(name) {}

  /// Inserts or replaces `key`; returns the namespace for chaining.
  Namespace& set(std::string_view key, Value value);

  /// True when there are no entries.
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  /// The namespace's name.
  [[nodiscard]] std::string_view name() const noexcept { return name_; }
  /// The entries, for reading.
  [[nodiscard]] const Map& entries() const noexcept { return entries_; }
  /// The entries, for direct insertion.
  [[nodiscard]] Map& entries() noexcept { return entries_; }
  /// Moves the entries out.
  [[nodiscard]] Map take_entries() && { return std::move(entries_); }

private:
  std::string_view name_;
  Map entries_;
};

/// Lower-case hexadecimal, two digits per byte.
[[nodiscard]] std::string to_hex(std::span<const std::uint8_t> bytes);
/// Appends the lowercase hexadecimal digits of `bytes` to `out`.
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);

/// How Bytes values are shown: hex of at most 64 bytes, then "... (N bytes)" when cut.
[[nodiscard]] std::string render_bytes(std::span<const std::uint8_t> bytes);

} // namespace trawl
