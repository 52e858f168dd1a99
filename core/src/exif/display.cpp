// Text of EXIF tags and values: element decoding, the display rules of the tag table and units.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <locale>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <trawl/value.hpp>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "number_text.hpp"
#include "reader.hpp"
#include "tags.hpp"

namespace trawl::exif {

namespace {

using namespace std::string_view_literals;

bool is_unsigned_int(std::uint16_t type) noexcept {
  const auto t = static_cast<Type>(type);
  return t == Type::Byte || t == Type::Short || t == Type::Long;
}

// A value's bytes as far as its text can show them (none when the value lies out of range):
// a value as long as the file is never held whole.
ByteView value_bytes(const ByteReader& tiff, const Field& field, std::size_t unit) {
  const std::uint64_t size = std::uint64_t{field.count} * unit;
  if (!tiff.fits(field.offset, size)) {
    return {};
  }
  return tiff.bytes_at(field.offset, std::min<std::uint64_t>(size, max_value_bytes))
      .value_or(ByteView{});
}

// The decoded elements of one field's value.
class Elements {
public:
  Elements(const ExifData& data, const Field& field)
      : field_(field), order_(data.tiff().order()), unit_(data.value_unit(field)),
        bytes_(value_bytes(data.tiff(), field, unit_)) {}

  [[nodiscard]] Type type() const noexcept { return static_cast<Type>(field_.type); }
  [[nodiscard]] bool known() const noexcept { return unit_ != 0; }
  [[nodiscard]] std::size_t size() const noexcept { return known() ? bytes_.size() / unit_ : 0; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_.span(); }

  // The first (or second, ...) element when the type is BYTE, SHORT or LONG.
  [[nodiscard]] std::optional<std::uint32_t> uint_at(std::size_t i) const noexcept {
    if (!is_unsigned_int(field_.type) || i >= size()) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(raw(i, unit_));
  }
  [[nodiscard]] std::uint64_t uint64_at(std::size_t i) const noexcept { return raw(i, unit_); }
  [[nodiscard]] std::int64_t int_at(std::size_t i) const noexcept {
    const std::uint64_t v = raw(i, unit_);
    switch (type()) {
    case Type::SByte:
      return static_cast<std::int8_t>(v);
    case Type::SShort:
      return static_cast<std::int16_t>(v);
    case Type::SLong:
      return static_cast<std::int32_t>(v);
    default:
      return static_cast<std::int64_t>(v);
    }
  }
  [[nodiscard]] Fraction fraction_at(std::size_t i) const noexcept {
    const std::uint64_t num = read(i * 8, 4);
    const std::uint64_t den = read(i * 8 + 4, 4);
    if (type() == Type::SRational) {
      return {static_cast<std::int32_t>(num), static_cast<std::int32_t>(den)};
    }
    return {static_cast<std::int64_t>(num), static_cast<std::int64_t>(den)};
  }
  [[nodiscard]] double decimal_at(std::size_t i) const noexcept {
    const Fraction f = fraction_at(i);
    return static_cast<double>(f.numerator) / static_cast<double>(f.denominator);
  }
  [[nodiscard]] float float_at(std::size_t i) const noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(raw(i, 4)));
  }
  [[nodiscard]] double double_at(std::size_t i) const noexcept {
    return std::bit_cast<double>(raw(i, 8));
  }
  // ASCII with at least one string: the bytes up to the first NUL.
  [[nodiscard]] std::optional<std::string_view> first_string() const noexcept {
    if (type() != Type::Ascii || bytes_.empty()) {
      return std::nullopt;
    }
    const std::string_view all = as_chars(bytes_);
    return all.substr(0, all.find('\0'));
  }
  // ASCII: the bytes split at every NUL, a last empty piece dropped; at most `limit` pieces.
  [[nodiscard]] std::vector<std::string_view> strings(std::size_t limit) const {
    std::vector<std::string_view> out;
    std::string_view rest = as_chars(bytes_);
    while (!rest.empty() && out.size() < limit) {
      const std::size_t nul = rest.find('\0');
      out.push_back(rest.substr(0, nul));
      if (nul == std::string_view::npos) {
        break;
      }
      rest.remove_prefix(nul + 1);
    }
    return out;
  }
  [[nodiscard]] const Field& field() const noexcept { return field_; }

private:
  [[nodiscard]] std::uint64_t raw(std::size_t i, std::size_t width) const noexcept {
    return read(i * width, width);
  }
  [[nodiscard]] std::uint64_t read(std::size_t at, std::size_t width) const noexcept {
    const ByteReader r = ByteReader(bytes_.span()).with_order(order_);
    switch (width) {
    case 1:
      return r.u8_at(at).value_or(0);
    case 2:
      return r.u16_at(at).value_or(0);
    case 4:
      return r.u32_at(at).value_or(0);
    default:
      return r.u64_at(at).value_or(0);
    }
  }

  const Field& field_;
  ByteOrder order_;
  std::size_t unit_; // bytes per element, 0 for an unknown type
  ByteView bytes_;   // kept alive: from a large file it is a cached page or a copy
};

void append_fraction(std::string& out, const Elements& v, std::size_t i) {
  const Fraction f = v.fraction_at(i);
  if (f.numerator < 0) {
    out += '-';
  }
  append_digits(out, static_cast<std::uint64_t>(std::abs(f.numerator)));
  out += '/';
  append_digits(out, f.denominator);
}

// Printable ASCII as it is, backslash and quote escaped, anything else as \xNN.
void append_quoted(std::string& out, std::string_view s) {
  static constexpr std::string_view hex = "0123456789abcdef";
  out += '"';
  for (const char c : s) {
    if (out.size() >= max_value_text) {
      break;
    }
    const auto b = static_cast<std::uint8_t>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b <= 0x7E) {
      out += c;
    } else {
      out += "\\x";
      out += hex[b >> 4U];
      out += hex[b & 0x0FU];
    }
  }
  out += '"';
}

template <class Each> void join(std::string& out, std::size_t n, Each each) {
  for (std::size_t i = 0; i < n && out.size() < max_value_text; ++i) {
    if (i > 0) {
      out += ", ";
    }
    each(i);
  }
}

void append_default(std::string& out, const Elements& v) {
  switch (v.type()) {
  case Type::Byte:
  case Type::Short:
  case Type::Long:
  case Type::SByte:
  case Type::SShort:
  case Type::SLong:
    join(out, v.size(), [&](std::size_t i) { append_digits(out, v.int_at(i)); });
    return;
  case Type::Long8:
  case Type::Ifd8:
    if (v.known()) { // BigTIFF only
      join(out, v.size(), [&](std::size_t i) { append_digits(out, v.uint64_at(i)); });
      return;
    }
    break;
  case Type::SLong8:
    if (v.known()) {
      join(out, v.size(), [&](std::size_t i) { append_digits(out, v.int_at(i)); });
      return;
    }
    break;
  case Type::Rational:
  case Type::SRational:
    join(out, v.size(), [&](std::size_t i) { append_fraction(out, v, i); });
    return;
  case Type::Float:
    join(out, v.size(), [&](std::size_t i) { out += format_decimal(v.float_at(i)); });
    return;
  case Type::Double:
    join(out, v.size(), [&](std::size_t i) { out += format_decimal(v.double_at(i)); });
    return;
  case Type::Ascii: {
    // Each string takes at least two characters of the text: no more can be shown.
    const auto strings = v.strings(max_value_text / 2 + 1);
    join(out, strings.size(), [&](std::size_t i) { append_quoted(out, strings[i]); });
    return;
  }
  case Type::Undefined:
    out += "0x";
    append_hex(out, v.bytes().first(std::min(v.bytes().size(), max_value_text / 2)));
    return;
  }
  out += "unknown value (type=";
  append_digits(out, std::uint64_t{v.field().type});
  out += ", count=";
  append_digits(out, std::uint64_t{v.field().count});
  out += ", offset=0x";
  std::array<char, 24> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v.field().offset, 16);
  out.append(buf.data(), r.ptr);
  out += ')';
}

bool is_rational(const Elements& v) {
  return v.type() == Type::Rational || v.type() == Type::SRational;
}

void append_decimal(std::string& out, const Elements& v) {
  if (!is_rational(v)) {
    append_default(out, v);
    return;
  }
  join(out, v.size(), [&](std::size_t i) { out += format_decimal(v.decimal_at(i)); });
}

void append_reserved(std::string& out, const LabelTable& table, const Elements& v) {
  out += "[reserved ";
  out += table.reserved_name;
  out += ' ';
  append_default(out, v);
  out += ']';
}

std::optional<std::string_view> label_of(const LabelTable& table,
                                         std::optional<std::uint32_t> code) {
  for (const Label& label : table.labels) {
    if (code == label.code) {
      return label.text;
    }
  }
  return std::nullopt;
}

void append_enum(std::string& out, Rule rule, const LabelTable& table, const Elements& v) {
  std::optional<std::uint32_t> code;
  if (rule == Rule::Enum) {
    code = v.uint_at(0);
  } else if (rule == Rule::UndefEnum && v.type() == Type::Undefined && !v.bytes().empty()) {
    code = v.bytes().front();
  } else if (const auto s = v.first_string(); rule == Rule::AsciiEnum && s && s->size() == 1) {
    code = static_cast<std::uint8_t>(s->front());
  }
  if (const auto label = label_of(table, code)) {
    out += label.value_or(""sv);
  } else {
    append_reserved(out, table, v);
  }
}

bool all_digits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYY:MM:DD HH:MM:SS", or its first `length` bytes, written "YYYY-MM-DD HH:MM:SS"; bytes
// after it are ignored and the numbers are not range-checked.
bool append_date(std::string& out, std::string_view s, std::size_t length) {
  constexpr std::string_view stored = "0000:00:00 00:00:00";
  constexpr std::string_view shown = "0000-00-00 00:00:00";
  if (s.size() < length) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (stored[i] == '0' ? s[i] < '0' || s[i] > '9' : s[i] != stored[i]) {
      return false;
    }
  }
  for (std::size_t i = 0; i < length; ++i) {
    out += stored[i] == '0' ? s[i] : shown[i];
  }
  return true;
}

// The two blank forms of a date and time mean unknown.
bool append_datetime(std::string& out, const Elements& v) {
  const auto s = v.first_string();
  if (s == "    :  :     :  :  "sv || s == "                   "sv) {
    out += "unknown";
    return true;
  }
  return append_date(out, s.value_or(""sv), 19);
}

bool append_exposure_time(std::string& out, const Elements& v) {
  if (v.type() != Type::Rational || v.size() == 0) {
    return false;
  }
  const Fraction f = v.fraction_at(0);
  if (f.numerator >= f.denominator) {
    out += format_decimal(v.decimal_at(0));
    return true;
  }
  if (f.numerator != 0) {
    out += "1/";
    out += format_decimal(static_cast<double>(f.denominator) / static_cast<double>(f.numerator));
    return true;
  }
  return false;
}

// ExifVersion style: four ASCII digits "0230" read as 2.3, "0231" as 2.31.
bool append_version(std::string& out, const Elements& v, bool two_minor_digits) {
  const std::string_view s = as_chars(v.bytes());
  if (v.type() != Type::Undefined || s.size() != 4 || !all_digits(s)) {
    return false;
  }
  const int major = (s[0] - '0') * 10 + (s[1] - '0');
  const int minor = (s[2] - '0') * 10 + (s[3] - '0');
  append_digits(out, std::int64_t{major});
  out += '.';
  if (!two_minor_digits && minor % 10 == 0) {
    append_digits(out, std::int64_t{minor / 10});
  } else {
    out += s.substr(2, 2);
  }
  return true;
}

bool append_components(std::string& out, const Elements& v) {
  if (v.type() != Type::Undefined) {
    return false;
  }
  static constexpr std::array<std::string_view, 7> names = {"_", "Y", "Cb", "Cr", "R", "G", "B"};
  for (const std::uint8_t b : v.bytes()) {
    out += b < names.size() ? names[b] : "?"sv;
  }
  return true;
}

void append_flash(std::string& out, std::uint32_t v) {
  static constexpr std::array<std::string_view, 4> return_light = {
      ", no return light detection function", ", return light status 1 (reserved)",
      ", return light not detected", ", return light detected"};
  static constexpr std::array<std::string_view, 4> mode = {", auto mode 0 (unknown)", ", forced",
                                                           ", suppressed", ", auto"};
  out += (v & 1U) != 0 ? "fired" : "not fired";
  out += return_light[(v >> 1U) & 3U];
  out += mode[(v >> 3U) & 3U];
  if (((v >> 5U) & 1U) != 0) {
    out += ", no function present";
  }
  if (((v >> 6U) & 1U) != 0) {
    out += ", red-eye reduction";
  }
  if ((v >> 7U) != 0) {
    out += ", unknown MSB bits";
  }
}

bool append_subject_area(std::string& out, const Elements& v) {
  const auto x = v.uint_at(0);
  const auto y = v.uint_at(1);
  if (!x || !y) {
    return false;
  }
  const auto third = v.uint_at(2);
  const auto fourth = v.uint_at(3);
  const auto put = [&](std::string_view label, std::uint32_t n) {
    out += label;
    append_digits(out, std::uint64_t{n});
  };
  if (third && fourth) {
    put("rectangle (x=", x.value_or(0));
    put(", y=", y.value_or(0));
    put(", w=", third.value_or(0));
    put(", h=", fourth.value_or(0));
  } else if (third) {
    put("circle (x=", x.value_or(0));
    put(", y=", y.value_or(0));
    put(", d=", third.value_or(0));
  } else {
    put("point (x=", x.value_or(0));
    put(", y=", y.value_or(0));
  }
  out += ')';
  return true;
}

bool append_subsampling(std::string& out, const Elements& v) {
  const std::uint32_t h = v.uint_at(0).value_or(0);
  const std::uint32_t w = v.uint_at(1).value_or(0);
  struct Pair {
    std::uint32_t h, v;
    std::string_view text;
  };
  static constexpr std::array<Pair, 6> pairs = {{
      {1, 1, "full horizontally, full vertically (4:4:4)"},
      {2, 1, "half horizontally, full vertically (4:2:2)"},
      {2, 2, "half horizontally, half vertically (4:2:0)"},
      {4, 1, "quarter horizontally, full vertically (4:1:1)"},
      {4, 2, "quarter horizontally, half vertically"},
      {4, 4, "quarter horizontally, quarter vertically"},
  }};
  for (const Pair& p : pairs) {
    if (p.h == h && p.v == w) {
      out += p.text;
      return true;
    }
  }
  return false;
}

// Rationals shown as decimals with literal text between them: "A-B mm, f/C-D".
bool append_decimals_between(std::string& out, const Elements& v,
                             std::span<const std::string_view> texts) {
  if (v.type() != Type::Rational || v.size() < texts.size()) {
    return false;
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    out += format_decimal(v.decimal_at(i));
    out += texts[i];
  }
  return true;
}

bool append_gps_time(std::string& out, const Elements& v) {
  if (v.type() != Type::Rational || v.size() < 3) {
    return false;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const double x = v.decimal_at(i);
    if (i > 0) {
      out += ':';
    }
    if (x < 10) {
      out += '0';
    }
    out += format_decimal(x);
  }
  return true;
}

// BrightnessValue and the like: the first rational only, "unknown" for the denominator that
// marks it.
void append_first_decimal(std::string& out, const Elements& v) {
  if (!is_rational(v) || v.size() == 0) {
    append_decimal(out, v);
    return;
  }
  const std::int64_t den = v.fraction_at(0).denominator;
  const bool unknown = v.type() == Type::Rational ? den == 0xFFFFFFFF : den == -1;
  out += unknown ? "unknown" : format_decimal(v.decimal_at(0));
}

// SubjectDistance and DigitalZoomRatio: a first numerator of 0 (or all ones for a distance)
// has a word of its own.
void append_distance_or_zoom(std::string& out, Rule rule, const Elements& v) {
  if (v.type() == Type::Rational && v.size() > 0) {
    const std::int64_t num = v.fraction_at(0).numerator;
    if (num == 0) {
      out += rule == Rule::SubjectDistance ? "unknown" : "unused";
      return;
    }
    if (num == 0xFFFFFFFF && rule == Rule::SubjectDistance) {
      out += "infinity";
      return;
    }
  }
  append_decimal(out, v);
}

bool append_composite_count(std::string& out, const Elements& v) {
  const auto total = v.uint_at(0);
  const auto used = v.uint_at(1);
  if (!total || !used) {
    return false;
  }
  out += "total ";
  append_digits(out, std::uint64_t{total.value_or(0)});
  out += ", used ";
  append_digits(out, std::uint64_t{used.value_or(0)});
  return true;
}

bool append_gps_version(std::string& out, const Elements& v) {
  if (v.type() != Type::Byte || v.size() < 4) {
    return false;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      out += '.';
    }
    append_digits(out, v.int_at(i));
  }
  return true;
}

// A reference such as GPSLatitudeRef: one capital letter stands alone, anything else is quoted.
bool append_ref_letter(std::string& out, const Elements& v) {
  const auto s = v.first_string();
  if (!s || s->size() != 1 || s->front() < 'A' || s->front() > 'Z') {
    return false;
  }
  out += s.value_or(""sv);
  return true;
}

// Rules that may fall back to the default display return false to ask for it.
bool append_by_rule(std::string& out, Rule rule, const Elements& v) {
  static constexpr std::array<std::string_view, 4> lens = {"-", " mm, f/", "-", ""};
  static constexpr std::array<std::string_view, 3> dms = {" deg ", " min ", " sec"};
  switch (rule) {
  case Rule::Decimal:
    append_decimal(out, v);
    return true;
  case Rule::DecimalFirstUnknown:
    append_first_decimal(out, v);
    return true;
  case Rule::SubjectDistance:
  case Rule::DigitalZoom:
    append_distance_or_zoom(out, rule, v);
    return true;
  case Rule::Datetime:
    return append_datetime(out, v);
  case Rule::ExposureTime:
    return append_exposure_time(out, v);
  case Rule::Version:
  case Rule::InteropVersion:
    return append_version(out, v, rule == Rule::InteropVersion);
  case Rule::Components:
    return append_components(out, v);
  case Rule::FocalLength35:
    if (v.uint_at(0) == 0U) {
      out += "unknown";
      return true;
    }
    return false;
  case Rule::Flash:
    if (const auto first = v.uint_at(0)) {
      append_flash(out, first.value_or(0));
      return true;
    }
    return false;
  case Rule::SubjectArea:
    return append_subject_area(out, v);
  case Rule::YcbcrSubsampling:
    return append_subsampling(out, v);
  case Rule::LensSpec:
    return append_decimals_between(out, v, lens);
  case Rule::CompositeCount:
    return append_composite_count(out, v);
  case Rule::GpsVersion:
    return append_gps_version(out, v);
  case Rule::GpsRefLetter:
    return append_ref_letter(out, v);
  case Rule::GpsDms:
    return append_decimals_between(out, v, dms);
  case Rule::GpsTime:
    return append_gps_time(out, v);
  case Rule::GpsDate: {
    const auto s = v.first_string();
    return append_date(out, s.value_or(""sv), 10);
  }
  case Rule::UndefinedAsText:
    if (v.type() == Type::Undefined) {
      append_quoted(out, as_chars(v.bytes()));
      return true;
    }
    return false;
  case Rule::Default:
  case Rule::Enum:
  case Rule::UndefEnum:
  case Rule::AsciiEnum:
  case Rule::Pointer:
    break;
  }
  return false;
}

void append_value(std::string& out, const TagInfo* info, const Elements& v) {
  if (info != nullptr && info->labels != nullptr) {
    append_enum(out, info->rule, *info->labels, v);
    return;
  }
  const std::size_t mark = out.size();
  if (info == nullptr || !append_by_rule(out, info->rule, v)) {
    out.resize(mark);
    append_default(out, v);
  }
}

} // namespace

std::string display_tag(Tag tag) {
  if (const TagInfo* info = find_tag(tag)) {
    return std::string(info->name);
  }
  static constexpr std::array<std::string_view, 4> contexts = {"Tiff", "Exif", "Gps", "Interop"};
  std::string out = "Tag(";
  out += contexts[static_cast<std::size_t>(tag.context)];
  out += ", ";
  append_digits(out, std::uint64_t{tag.number});
  out += ')';
  return out;
}

std::string ExifData::display_value(const Field& field) const {
  std::string out;
  append_value(out, find_tag(field.tag), Elements(*this, field));
  return out;
}

std::string ExifData::display_with_unit(const Field& field) const {
  const TagInfo* info = find_tag(field.tag);
  std::string out;
  if (info != nullptr) {
    out += info->unit.before;
  }
  append_value(out, info, Elements(*this, field));
  if (info == nullptr) {
    return out;
  }
  out += info->unit.after;
  if (info->unit.has_ref()) {
    if (const Field* ref = find(info->unit.ref, field.ifd)) {
      append_value(out, find_tag(ref->tag), Elements(*this, *ref));
    } else {
      out += info->unit.fallback;
    }
  }
  return out;
}

std::size_t ExifData::element_count(const Field& field) const {
  if (static_cast<Type>(field.type) != Type::Ascii) {
    return field.count;
  }
  // NUL-separated strings, a last empty piece dropped, counted a window at a time.
  if (!tiff().fits(field.offset, field.count)) {
    return 0;
  }
  constexpr std::uint64_t window = std::uint64_t{64} * 1024;
  std::size_t count = 0;
  std::uint8_t last = 0;
  for (std::uint64_t at = 0; at < field.count; at += window) {
    const auto part = tiff().clipped_at(field.offset + at, std::min(window, field.count - at));
    const auto bytes = part.span();
    count += static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), std::uint8_t{0}));
    last = bytes.empty() ? last : bytes.back();
  }
  return field.count > 0 && last != 0 ? count + 1 : count;
}

Fraction ExifData::fraction(const Field& field, std::size_t i) const {
  return Elements(*this, field).fraction_at(i);
}

} // namespace trawl::exif
