#include "object.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace trawl::pdf {

const Object* Object::get(std::string_view key) const noexcept {
  if (kind != Kind::Dict) {
    return nullptr;
  }
  // A key given twice: the last value counts, as in the readers people compare us with.
  const std::size_t pairs = items.size() / 2;
  for (std::size_t i = pairs; i-- > 0;) {
    if (items[2 * i].bytes == key) {
      return &items[2 * i + 1];
    }
  }
  return nullptr;
}

std::optional<std::int64_t> Object::as_int() const noexcept {
  if (kind == Kind::Int) {
    return integer;
  }
  // Some writers put "/Count 9.0".
  if (kind == Kind::Real && std::isfinite(real) && real == std::trunc(real) &&
      std::abs(real) < 9.0e15) {
    return static_cast<std::int64_t>(real);
  }
  return std::nullopt;
}

std::optional<double> Object::as_number() const noexcept {
  if (kind == Kind::Int) {
    return static_cast<double>(integer);
  }
  if (kind == Kind::Real) {
    return real;
  }
  return std::nullopt;
}

std::optional<Ref> Object::as_ref() const noexcept {
  if (kind != Kind::Ref) {
    return std::nullopt;
  }
  return Ref{static_cast<std::uint32_t>(integer), gen};
}

namespace {

std::optional<std::uint8_t> peek(const ByteReader& r) {
  return r.u8_at(r.position());
}

void advance(ByteReader& r) {
  (void)r.skip(1);
}

bool is_regular(std::uint8_t c) noexcept {
  return !is_space(c) && !is_delimiter(c);
}

std::optional<unsigned> hex_value(std::uint8_t c) noexcept {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10U;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10U;
  }
  return std::nullopt;
}

// The run of regular characters at the cursor, at most `cap` of them kept.
std::string take_word(ByteReader& r, std::size_t cap) {
  std::string out;
  while (const auto c = peek(r)) {
    if (!is_regular(*c)) {
      break;
    }
    if (out.size() < cap) {
      out.push_back(static_cast<char>(*c));
    }
    advance(r);
  }
  return out;
}

// A literal string after its "(": nested parentheses balance, escapes as ISO 32000-1 7.3.4.2
// says. False when the data ends first.
bool literal_string(ByteReader& r, std::string& out) {
  unsigned depth = 1;
  while (const auto c = r.u8()) {
    if (*c == '(') {
      ++depth;
    } else if (*c == ')' && --depth == 0) {
      return true;
    } else if (*c == '\\') {
      const auto e = r.u8();
      if (!e) {
        return false;
      }
      switch (*e) {
      case 'n':
        out.push_back('\n');
        continue;
      case 'r':
        out.push_back('\r');
        continue;
      case 't':
        out.push_back('\t');
        continue;
      case 'b':
        out.push_back('\b');
        continue;
      case 'f':
        out.push_back('\f');
        continue;
      case '\r':
        if (peek(r) == std::uint8_t{'\n'}) {
          advance(r);
        }
        continue;
      case '\n':
        continue;
      default:
        break;
      }
      if (*e >= '0' && *e <= '7') {
        unsigned value = *e - '0';
        for (int i = 0; i < 2; ++i) {
          const auto d = peek(r);
          if (!d || *d < '0' || *d > '7') {
            break;
          }
          value = value * 8 + (*d - '0');
          advance(r);
        }
        out.push_back(static_cast<char>(value & 0xFFU));
        continue;
      }
      out.push_back(static_cast<char>(*e));
      continue;
    }
    out.push_back(static_cast<char>(*c));
  }
  return false;
}

// A hexadecimal string after its "<"; an odd last digit stands for its high half.
std::optional<ParseFailure> hex_string(ByteReader& r, std::string& out) {
  int high = -1;
  while (const auto c = r.u8()) {
    if (*c == '>') {
      if (high >= 0) {
        out.push_back(static_cast<char>(high << 4));
      }
      return std::nullopt;
    }
    if (is_space(*c)) {
      continue;
    }
    const auto v = hex_value(*c);
    if (!v) {
      return ParseFailure::Bad;
    }
    if (high >= 0) {
      out.push_back(static_cast<char>((static_cast<unsigned>(high) << 4U) | *v));
      high = -1;
    } else {
      high = static_cast<int>(*v);
    }
  }
  return ParseFailure::End;
}

// A name after its "/": #xx stands for a byte.
std::string name(ByteReader& r) {
  std::string out;
  while (const auto c = peek(r)) {
    if (!is_regular(*c)) {
      break;
    }
    advance(r);
    if (*c == '#') {
      const auto h = r.u8_at(r.position());
      const auto l = r.u8_at(r.position() + 1);
      const auto hv = h ? hex_value(*h) : std::nullopt;
      const auto lv = l ? hex_value(*l) : std::nullopt;
      if (hv && lv) {
        out.push_back(static_cast<char>((*hv << 4U) | *lv));
        (void)r.skip(2);
        continue;
      }
    }
    out.push_back(static_cast<char>(*c));
  }
  return out;
}

// A number's text as an Int, or a Real when it has a point or does not fit; writers' odd forms
// ("--5", "5.") are read as readers do.
std::optional<Object> number(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  while (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = negative || text[i] == '-';
    ++i;
  }
  std::uint64_t whole = 0;
  double big = 0; // the integer digits once they pass 64 bits
  bool overflow = false;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto d = static_cast<unsigned>(text[i] - '0');
    digits = true;
    overflow = overflow || whole > (std::numeric_limits<std::uint64_t>::max() - d) / 10;
    if (overflow) {
      big = big * 10 + d;
    } else {
      whole = whole * 10 + d;
      big = static_cast<double>(whole);
    }
  }
  bool point = false;
  std::uint64_t fraction = 0;
  double scale = 1;
  if (i < text.size() && text[i] == '.') {
    point = true;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      digits = true;
      if (scale < 1e18) { // later digits are below a double's precision
        fraction = fraction * 10 + static_cast<unsigned>(text[i] - '0');
        scale *= 10;
      }
    }
  }
  if (!digits || i != text.size()) {
    return std::nullopt;
  }
  Object out;
  if (!point && !overflow && whole <= std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
    out.kind = Kind::Int;
    out.integer = negative ? -static_cast<std::int64_t>(whole) : static_cast<std::int64_t>(whole);
  } else {
    const double value = big + static_cast<double>(fraction) / scale;
    out.kind = Kind::Real;
    out.real = negative ? -value : value;
  }
  return out;
}

// After a non-negative integer: "gen R" makes it a reference. The cursor moves only then.
bool take_reference_tail(ByteReader& r, Object& value) {
  const std::size_t at = r.position();
  skip_space(r);
  const auto gen = take_unsigned(r);
  if (gen && *gen <= 65535 && take_keyword(r, "R")) {
    value.kind = Kind::Ref;
    value.gen = static_cast<std::uint16_t>(*gen);
    return true;
  }
  (void)r.seek(at);
  return false;
}

// One token that is a whole value (not a bracket); the cursor is on its first byte.
std::optional<Object> scalar(ByteReader& r, ParseFailure& failure) {
  Object value;
  const std::uint8_t c = peek(r).value_or(0);
  if (c == '(') {
    advance(r);
    value.kind = Kind::String;
    if (!literal_string(r, value.bytes)) {
      failure = ParseFailure::End;
      return std::nullopt;
    }
    return value;
  }
  if (c == '<') {
    advance(r);
    value.kind = Kind::String;
    if (const auto f = hex_string(r, value.bytes)) {
      failure = *f;
      return std::nullopt;
    }
    return value;
  }
  if (c == '/') {
    advance(r);
    value.kind = Kind::Name;
    value.bytes = name(r);
    return value;
  }
  failure = ParseFailure::Bad;
  const std::string word = take_word(r, 64);
  if (word.empty()) {
    return std::nullopt; // a delimiter that starts no value
  }
  if (word == "true" || word == "false") {
    value.kind = Kind::Bool;
    value.integer = word == "true" ? 1 : 0;
    return value;
  }
  if (word == "null") {
    return value;
  }
  auto n = number(word);
  if (n && n->kind == Kind::Int && n->integer >= 0 && n->integer <= 0xFFFFFFFF &&
      word.find_first_of("+-") == std::string::npos) {
    take_reference_tail(r, *n);
  }
  return n;
}

} // namespace

void skip_space(ByteReader& r) {
  while (const auto c = peek(r)) {
    if (*c == '%') {
      while (const auto d = peek(r)) {
        if (*d == '\r' || *d == '\n') {
          break;
        }
        advance(r);
      }
    } else if (is_space(*c)) {
      advance(r);
    } else {
      return;
    }
  }
}

bool take_keyword(ByteReader& r, std::string_view word) {
  const std::size_t at = r.position();
  skip_space(r);
  if (r.matches_at(r.position(), word)) {
    const auto after = r.u8_at(r.position() + word.size());
    if (!after || !is_regular(*after)) {
      (void)r.skip(word.size());
      return true;
    }
  }
  (void)r.seek(at);
  return false;
}

std::optional<std::uint64_t> take_unsigned(ByteReader& r) {
  const std::size_t at = r.position();
  skip_space(r);
  std::uint64_t value = 0;
  std::size_t digits = 0;
  while (const auto c = peek(r)) {
    if (*c < '0' || *c > '9') {
      break;
    }
    if (++digits > 19) {
      break; // beyond any offset or object number
    }
    value = value * 10 + (*c - '0');
    advance(r);
  }
  const auto after = peek(r);
  if (digits == 0 || digits > 19 || (after && is_regular(*after))) {
    (void)r.seek(at);
    return std::nullopt;
  }
  return value;
}

Parsed parse_object(ByteReader& r, const ParseLimits& limits) {
  const std::size_t start = r.position();
  const auto fail = [&](ParseFailure why) {
    (void)r.seek(start);
    return Parsed{std::nullopt, why};
  };
  std::vector<Object> open; // the arrays and dictionaries not yet closed, outermost first
  const auto end = [&] {
    if (!limits.close_at_end || open.empty()) {
      return fail(ParseFailure::End);
    }
    while (open.size() > 1) {
      Object inner = std::move(open.back());
      open.pop_back();
      if (open.back().kind == Kind::Dict && open.back().items.size() % 2 == 0) {
        continue; // it stood where a key belongs
      }
      open.back().items.push_back(std::move(inner));
    }
    if (open.back().kind == Kind::Dict && open.back().items.size() % 2 != 0) {
      open.back().items.pop_back();
    }
    return Parsed{std::move(open.back())};
  };
  std::size_t made = 0;
  for (;;) {
    skip_space(r);
    const auto c = peek(r);
    if (!c) {
      return end();
    }
    Object value;
    const bool opens_dict = *c == '<' && r.u8_at(r.position() + 1) == std::uint8_t{'<'};
    if (*c == '[' || opens_dict) {
      if (open.size() >= limits.depth) {
        return fail(ParseFailure::Bad);
      }
      (void)r.skip(opens_dict ? 2 : 1);
      Object container;
      container.kind = opens_dict ? Kind::Dict : Kind::Array;
      open.push_back(std::move(container));
      continue;
    }
    const bool closes_dict = *c == '>' && r.u8_at(r.position() + 1) == std::uint8_t{'>'};
    if (*c == ']' || closes_dict) {
      if (open.empty() || open.back().kind != (closes_dict ? Kind::Dict : Kind::Array)) {
        return fail(ParseFailure::Bad);
      }
      (void)r.skip(closes_dict ? 2 : 1);
      value = std::move(open.back());
      open.pop_back();
      if (value.kind == Kind::Dict && value.items.size() % 2 != 0) {
        value.items.pop_back(); // a key without a value
      }
    } else {
      ParseFailure why = ParseFailure::Bad;
      auto got = scalar(r, why);
      if (!got) {
        return why == ParseFailure::End ? end() : fail(why);
      }
      value = std::move(*got);
    }
    if (++made > limits.objects) {
      return fail(ParseFailure::Bad);
    }
    if (open.empty()) {
      return Parsed{std::move(value)};
    }
    Object& into = open.back();
    if (into.kind == Kind::Dict && into.items.size() % 2 == 0 && value.kind != Kind::Name) {
      return fail(ParseFailure::Bad); // a key must be a name
    }
    into.items.push_back(std::move(value));
  }
}

std::optional<Indirect> parse_indirect(ByteReader& r, ParseFailure& failure,
                                       const ParseLimits& limits) {
  failure = ParseFailure::Bad;
  const auto num = take_unsigned(r);
  const auto gen = take_unsigned(r);
  if (!num || !gen || *num > 0xFFFFFFFF || *gen > 65535 || !take_keyword(r, "obj")) {
    return std::nullopt;
  }
  Parsed parsed = parse_object(r, limits);
  if (!parsed.object) {
    failure = parsed.failure;
    return std::nullopt;
  }
  Indirect out{Ref{static_cast<std::uint32_t>(*num), static_cast<std::uint16_t>(*gen)},
               std::move(*parsed.object), std::nullopt};
  if (out.value.is_dict() && take_keyword(r, "stream")) {
    // The keyword ends with CR LF or LF; a lone CR is taken too.
    if (r.matches_at(r.position(), "\r\n")) {
      (void)r.skip(2);
    } else if (const std::uint8_t c = peek(r).value_or(0); c == '\n' || c == '\r') {
      advance(r);
    }
    out.stream_start = r.position();
  }
  return out;
}

} // namespace trawl::pdf
