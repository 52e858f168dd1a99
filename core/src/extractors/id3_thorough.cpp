// ID3 tags in the thorough reading: ID3v2.2, 2.3 and 2.4 text frames with unsynchronisation,
// the extended header, frame flags (data length, compression, grouping) and repeated frames
// undone, numeric genres named; an ID3v1 or ID3v1.1 tag in the last 128 bytes.
#include "id3_thorough.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../support/text.hpp"
#include "../support/zlib_inflate.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Everything inflated from one file's compressed frames: eight texts at their cap.
constexpr std::uint64_t inflate_budget = 8 * text_cap;
// Values kept per frame kind: each costs some 100 bytes beside its text, so a megabyte of
// one-character values would cost a hundred.
constexpr std::size_t value_cap = 4096;

enum class Slot : std::uint8_t {
  Title,
  Artist,
  Album,
  Recorded,
  Year,
  Date,
  Time,
  Genre,
  Track,
  AlbumArtist,
  Composer
};
constexpr std::size_t slot_count = 11;

struct FrameId {
  std::string_view v3; // 2.3 and 2.4
  std::string_view v2;
  Slot slot;
};
constexpr std::array<FrameId, slot_count> frame_ids = {{
    {"TIT2", "TT2", Slot::Title},
    {"TPE1", "TP1", Slot::Artist},
    {"TALB", "TAL", Slot::Album},
    {"TDRC", "", Slot::Recorded},
    {"TYER", "TYE", Slot::Year},
    {"TDAT", "TDA", Slot::Date},
    {"TIME", "TIM", Slot::Time},
    {"TCON", "TCO", Slot::Genre},
    {"TRCK", "TRK", Slot::Track},
    {"TPE2", "TP2", Slot::AlbumArtist},
    {"TCOM", "TCM", Slot::Composer},
}};

// The ID3v1 genre list with its later additions, by number.
// clang-format off
constexpr std::array<std::string_view, 192> genres = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental",
    "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "Alt. Rock", "Bass", "Soul", "Punk",
    "Space", "Meditative", "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic", "Darkwave",
    "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy",
    "Cult", "Gangsta Rap", "Top 40", "Christian Rap", "Pop/Funk", "Jungle", "Native American",
    "Cabaret", "New Wave", "Psychedelic", "Rave", "Showtunes", "Trailer", "Lo-Fi", "Tribal",
    "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock", "Folk",
    "Folk-Rock", "National Folk", "Swing", "Fast-Fusion", "Bebop", "Latin", "Revival", "Celtic",
    "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour",
    "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad",
    "Power Ballad", "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A Cappella",
    "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie",
    "BritPop", "Afro-Punk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal",
    "Black Metal", "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa",
    "Thrash Metal", "Anime", "JPop", "Synthpop", "Abstract", "Art Rock", "Baroque", "Bhangra",
    "Big Beat", "Breakbeat", "Chillout", "Downtempo", "Dub", "EBM", "Eclectic", "Electro",
    "Electroclash", "Emo", "Experimental", "Garage", "Global", "IDM", "Illbient", "Industro-Goth",
    "Jam Band", "Krautrock", "Leftfield", "Lounge", "Math Rock", "New Romantic", "Nu-Breakz",
    "Post-Punk", "Post-Rock", "Psytrance", "Shoegaze", "Space Rock", "Trop Rock", "World Music",
    "Neoclassical", "Audiobook", "Audio Theatre", "Neue Deutsche Welle", "Podcast", "Indie Rock",
    "G-Funk", "Dubstep", "Garage Rock", "Psybient"};
// clang-format on

bool is_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal number, saturated: every value past the genre list is as good as any other.
std::size_t number_of(std::string_view digits) {
  std::size_t n = 0;
  for (const char c : digits) {
    n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(c - '0'), 1U << 16U);
  }
  return n;
}

std::string_view genre_name(std::size_t n) {
  return n < genres.size() ? genres.at(n) : "Unknown"sv;
}

// Genre values as names: "17", "(17)", "(17)Rock", "(RX)" and "(CR)" references become names,
// other text stays ("((" opens a text that starts with a parenthesis).
std::vector<std::string> genre_names(const std::vector<std::string>& values) {
  std::vector<std::string> out;
  for (const std::string& v : values) {
    if (is_digits(v) && number_of(v) < 256) {
      out.emplace_back(genre_name(number_of(v)));
    } else if (v == "CR" || v == "RX") {
      out.emplace_back(v == "CR" ? "Cover" : "Remix");
    } else if (!v.empty()) {
      std::vector<std::string> named;
      std::string_view rest = v;
      for (std::size_t close = rest.find(')');
           rest.starts_with('(') && close != rest.npos && named.size() < value_cap;
           close = rest.find(')')) {
        const std::string_view id = rest.substr(1, close - 1);
        if (!is_digits(id) && id != "RX" && id != "CR") {
          break;
        }
        named.emplace_back(id == "RX" ? "Remix" : id == "CR" ? "Cover" : genre_name(number_of(id)));
        rest.remove_prefix(close + 1);
      }
      std::string_view text = rest.substr(0, rest.find('\n'));
      if (text.starts_with("(("sv)) {
        text.remove_prefix(1);
      }
      if (!text.empty() && std::find(named.begin(), named.end(), text) == named.end()) {
        named.emplace_back(text);
      }
      std::move(named.begin(), named.end(), std::back_inserter(out));
    }
  }
  return out;
}

// The text frames met so far, a later frame of the same kind adding the values the earlier
// ones lack.
struct Slots {
  struct Values {
    bool present = false;
    std::vector<std::string> list;
    std::set<std::string, std::less<>> seen;
    std::size_t bytes = 0;
  };
  std::array<Values, slot_count> values;
  std::uint64_t inflate_left = inflate_budget;
  bool truncated = false;

  [[nodiscard]] const Values& at(Slot s) const { return values.at(static_cast<std::size_t>(s)); }
  // No further value fits: the frames of this kind are not decoded any more.
  [[nodiscard]] bool full(Slot s) const {
    return at(s).bytes >= text_cap || at(s).list.size() >= value_cap;
  }

  void merge(Slot s, std::vector<std::string> frame) {
    Values& v = values.at(static_cast<std::size_t>(s));
    const bool first = !v.present;
    v.present = true;
    for (std::string& text : frame) {
      if (!first && v.seen.contains(text)) {
        continue;
      }
      if (v.list.size() >= value_cap) {
        truncated = true;
        return;
      }
      // The joined text (values and the NULs between them) stops at the cap, on a character.
      const std::size_t separator = v.list.empty() ? 0 : 1;
      if (v.bytes + separator + text.size() > text_cap) {
        truncated = true;
        std::size_t keep = text_cap - std::min(text_cap, v.bytes + separator);
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0U) == 0x80U) {
          --keep;
        }
        if (keep == 0) {
          return;
        }
        text.resize(keep);
      }
      v.bytes += separator + text.size();
      v.seen.insert(text);
      v.list.push_back(std::move(text));
    }
  }
};

// Unsynchronisation put 00 after every FF that a sync could follow: it goes again. Data that
// breaks the scheme (FF at the end, FF before a byte from E0) is kept as it stands.
std::optional<std::vector<std::uint8_t>> undo_unsynchronisation(std::span<const std::uint8_t> in) {
  std::vector<std::uint8_t> out;
  out.reserve(in.size());
  bool after_ff = false;
  for (const std::uint8_t b : in) {
    if (after_ff) {
      after_ff = false;
      if (b >= 0xE0) {
        return std::nullopt;
      }
      if (b == 0) {
        continue;
      }
    }
    out.push_back(b);
    after_ff = b == 0xFF;
  }
  if (after_ff) {
    return std::nullopt;
  }
  return out;
}

// zlib data, `prefix` then `in` read in blocks, inflated up to a text's cap and what is left of
// the file's budget; nothing when it is not whole zlib data.
std::optional<std::vector<std::uint8_t>> inflate_text(std::span<const std::uint8_t> prefix,
                                                      const ByteReader& in, Slots& slots) {
  const std::uint64_t limit = std::min<std::uint64_t>(text_cap + 2, slots.inflate_left);
  if (limit == 0) {
    slots.truncated = true;
    return std::nullopt;
  }
  Inflated z = inflate_data(in, static_cast<std::size_t>(limit), Wrapping::Zlib, prefix);
  slots.inflate_left -= z.bytes.size();
  if (z.broken) {
    return std::nullopt;
  }
  // Cut at the cap: the text is kept as far as it goes.
  slots.truncated = slots.truncated || z.cut;
  return std::move(z.bytes);
}

std::string decode_value(std::span<const std::uint8_t> bytes, std::uint8_t encoding) {
  const std::string_view text = as_chars(bytes);
  if (encoding == 0) {
    return latin1_to_utf8(text);
  }
  if (encoding == 3) {
    return utf8_lossy(text);
  }
  // Each value of an encoding-1 frame carries its own byte-order mark; none means little-endian.
  // An odd last byte is a character whose zero byte the writer left out.
  const bool big_endian = encoding == 2 || text.starts_with("\xFE\xFF"sv);
  return bytes.size() % 2 == 0 ? id3_utf16(text, big_endian)
                               : id3_utf16(std::string(text) + '\0', big_endian);
}

// Encoding byte, then values ended by a NUL (two in UTF-16, on a character boundary). Before
// 2.4, NULs after a value are padding, not empty values. Nothing for a frame without text or
// with an unknown encoding.
std::optional<std::vector<std::string>> text_values(std::span<const std::uint8_t> payload, bool v24,
                                                    bool& truncated) {
  ByteReader r(payload);
  const auto encoding = r.u8();
  if (!encoding || *encoding > 3 || r.at_end()) {
    return std::nullopt;
  }
  const ByteView all = r.clipped_at(1, text_cap);
  truncated = truncated || r.remaining() > text_cap;
  const std::span<const std::uint8_t> text = all.span();
  const bool wide = *encoding == 1 || *encoding == 2;
  const auto last_nonzero = std::find_if(text.rbegin(), text.rend(), [](auto b) { return b != 0; });
  const auto content_end = static_cast<std::size_t>(text.rend() - last_nonzero);
  const ByteReader t(text);
  // A value's end: a zero byte, or in UTF-16 a zero character (an odd last byte ends nothing).
  const auto ends_at = [&t, wide](std::size_t at) {
    const std::optional<std::uint16_t> unit =
        wide ? t.u16_be_at(at) : std::optional<std::uint16_t>(t.u8_at(at));
    return unit ? std::optional<bool>(*unit == 0) : std::nullopt;
  };
  std::vector<std::string> values;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (values.size() >= value_cap) {
      truncated = true;
      break;
    }
    std::size_t end = pos;
    std::optional<bool> ended = ends_at(end);
    for (; ended && !*ended; ended = ends_at(end)) {
      end += wide ? 2 : 1;
    }
    const std::size_t value_end = ended ? end : text.size();
    const ByteView value = t.clipped_at(pos, value_end - pos);
    values.push_back(decode_value(value.span(), *encoding));
    pos = ended ? end + (wide ? 2 : 1) : text.size();
    if (!v24 && pos >= content_end) {
      break;
    }
  }
  while (values.size() > 1 && values.back().empty()) {
    values.pop_back();
  }
  return values;
}

struct Tag {
  std::uint8_t major = 0;
  bool unsynchronised = false;
};

// A 2.3 or 2.4 frame's payload once its flags are undone (2.3: compression with the inflated
// size first, encryption, a group byte; 2.4: a group byte, encryption, a data-length indicator,
// unsynchronisation, compression); then its text values.
void read_text_frame(ByteReader b, const Tag& tag, std::uint16_t flags, Slot slot, Slots& slots) {
  const bool v24 = tag.major == 4;
  const bool compressed = (flags & (v24 ? 0x0008U : 0x0080U)) != 0;
  const bool grouped = (flags & (v24 ? 0x0040U : 0x0020U)) != 0;
  if ((flags & (v24 ? 0x0004U : 0x0040U)) != 0) {
    return; // encrypted
  }
  std::optional<ByteView> length_bytes;
  if (v24 && grouped && !b.skip(1)) {
    return;
  }
  if (compressed || (v24 && (flags & 0x0001U) != 0)) {
    length_bytes = b.bytes(4);
    if (!length_bytes) {
      return;
    }
  }
  if (!v24 && grouped && !b.skip(1)) {
    return;
  }
  ByteReader data = b.sub_clipped(b.remaining());
  std::optional<std::vector<std::uint8_t>> owned;
  if (v24 && ((flags & 0x0002U) != 0 || tag.unsynchronised)) {
    const ByteView raw = data.whole();
    owned = undo_unsynchronisation(raw.span());
    data = owned ? ByteReader(*owned) : data;
  }
  if (compressed) {
    auto inflated = inflate_text({}, data, slots);
    if (!inflated && v24 && length_bytes) {
      // Some writers left out the inflated size: the four bytes belong to the zlib data.
      inflated = inflate_text(length_bytes->span(), data, slots);
    }
    if (!inflated) {
      return;
    }
    owned = std::move(inflated);
    data = ByteReader(*owned);
  }
  // The encoding byte and one byte past the cap, which tells a cut text.
  const ByteView payload = data.clipped_at(0, text_cap + 2);
  if (auto values = text_values(payload.span(), v24, slots.truncated)) {
    slots.merge(slot, std::move(*values));
  }
}

std::optional<Slot> slot_of(std::span<const std::uint8_t> id, bool v22) {
  std::string_view name = as_chars(id);
  // Some writers put 2.2 identifiers, NUL-padded, into later tags.
  const bool short_name = v22 || (name.size() == 4 && name.back() == '\0');
  name = short_name ? name.substr(0, 3) : name;
  for (const FrameId& f : frame_ids) {
    if (!name.empty() && name == (short_name ? f.v2 : f.v3)) {
      return f.slot;
    }
  }
  return std::nullopt;
}

std::uint64_t seven_bit(std::uint32_t raw) {
  return ((raw & 0x7F000000U) >> 3U) | ((raw & 0x7F0000U) >> 2U) | ((raw & 0x7F00U) >> 1U) |
         (raw & 0x7FU);
}

bool frame_id_shape(std::span<const std::uint8_t> id) {
  return id.size() == 4 && std::all_of(id.begin(), id.end(), [](std::uint8_t c) {
           return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
         });
}

// Frames after frames: how many identifiers a walk with either size reading meets, and how far
// past the data's end (or short of it, at padding) it stops.
struct SizeWalk {
  unsigned ids = 0;
  std::int64_t overshoot = 0;
};
SizeWalk walk_sizes(const ByteReader& r, bool synchsafe) {
  SizeWalk out;
  std::uint64_t at = 0;
  const std::uint64_t len = r.size();
  while (at + 10 < len) {
    const auto h = r.fixed<10>(at);
    if (!h) {
      break;
    }
    const auto whole = h->bytes<0, 10>();
    if (std::all_of(whole.begin(), whole.end(), [](std::uint8_t b) { return b == 0; })) {
      out.overshoot = -static_cast<std::int64_t>((len - at) % 10);
      return out;
    }
    at += 10 + (synchsafe ? seven_bit(h->u32_be<4>()) : h->u32_be<4>());
    out.ids += frame_id_shape(h->bytes<0, 4>()) ? 1U : 0U;
  }
  out.overshoot = static_cast<std::int64_t>(at) - static_cast<std::int64_t>(len);
  return out;
}

// 2.4 frame sizes are synchsafe, but some writers put plain integers there: the reading that
// meets more frame identifiers wins, or on a tie the one that ends where the data does.
bool synchsafe_sizes(const ByteReader& data) {
  const SizeWalk safe = walk_sizes(data, true);
  const SizeWalk plain = walk_sizes(data, false);
  const bool plain_wins = plain.ids > safe.ids ||
                          (plain.ids == safe.ids && safe.overshoot >= 1 && plain.overshoot <= 1);
  return !plain_wins;
}

void walk_frames(ByteReader r, const Tag& tag, Slots& slots) {
  const bool v22 = tag.major == 2;
  const bool synchsafe = tag.major == 4 && synchsafe_sizes(r);
  for (;;) {
    std::array<std::uint8_t, 4> id{};
    std::uint64_t size = 0;
    std::uint16_t flags = 0;
    if (const auto h2 = v22 ? r.take_fixed<6>() : std::nullopt) {
      std::copy_n(h2->bytes<0, 3>().begin(), 3, id.begin());
      size = h2->u24_be<3>();
    } else if (const auto h = v22 ? std::nullopt : r.take_fixed<10>()) {
      std::copy_n(h->bytes<0, 4>().begin(), 4, id.begin());
      size = synchsafe ? seven_bit(h->u32_be<4>()) : h->u32_be<4>();
      flags = h->u16_be<8>();
    } else {
      break;
    }
    const auto name = std::span<const std::uint8_t>(id).first(v22 ? 3 : 4);
    if (std::all_of(name.begin(), name.end(), [](std::uint8_t b) { return b == 0; })) {
      break; // padding
    }
    const ByteReader body = r.sub_clipped(size);
    const auto slot = size == 0 ? std::nullopt : slot_of(name, v22); // empty: not the end
    if (!slot) {
      continue;
    }
    if (slots.full(*slot)) {
      slots.truncated = true;
    } else if (v22) {
      const ByteView payload = body.clipped_at(0, text_cap + 2);
      if (auto values = text_values(payload.span(), false, slots.truncated)) {
        slots.merge(*slot, std::move(*values));
      }
    } else {
      read_text_frame(body, tag, flags, *slot, slots);
    }
  }
}

// After the extended header: it is there only when its size is not a frame identifier (some
// writers set the flag without writing one). 2.3 counts the bytes after the size, 2.4 the whole
// header in 7-bit bytes.
std::optional<ByteReader> after_extended_header(const ByteReader& in, std::uint8_t major) {
  const auto size = in.fixed<4>(0);
  if (!size) {
    return std::nullopt;
  }
  if (frame_id_shape(size->bytes<0, 4>())) {
    return in;
  }
  const std::uint64_t skip = major == 4 ? seven_bit(size->u32_be<0>()) : 4 + size->u32_be<0>();
  if (skip < 4 || skip > in.size()) {
    return std::nullopt;
  }
  return in.sub_at(skip, in.size() - skip);
}

// The year as tag readers give it: TDRC, else TYER (with TDAT's day and month and TIME's hour) for
// each value that reads as a year.
std::vector<std::string> year_values(const Slots& slots) {
  if (slots.at(Slot::Recorded).present) {
    return slots.at(Slot::Recorded).list;
  }
  const auto& years = slots.at(Slot::Year).list;
  const auto& dates = slots.at(Slot::Date).list;
  const auto& times = slots.at(Slot::Time).list;
  const auto nth = [](const std::vector<std::string>& v, std::size_t i) {
    return i < v.size() ? std::string_view(v[i]) : std::string_view();
  };
  std::vector<std::string> out;
  const std::size_t n = std::max({years.size(), dates.size(), times.size()});
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view y = nth(years, i);
    const bool full_date = y.size() == 10 && y[4] == '-' && y[7] == '-' &&
                           is_digits(y.substr(5, 2)) && is_digits(y.substr(8, 2));
    if (!is_digits(y.substr(0, 4)) || (y.size() != 4 && !full_date)) {
      continue;
    }
    std::string stamp(y.substr(0, 4));
    std::string month_day(y.substr(4));
    const std::string_view d = nth(dates, i);
    const std::string_view t = nth(times, i);
    if (d.size() == 4 && is_digits(d)) {
      month_day.assign(1, '-').append(d.substr(2, 2)).append(1, '-').append(d.substr(0, 2));
    }
    if (!month_day.empty()) {
      stamp += month_day;
      if (t.size() == 4 && is_digits(t)) {
        stamp.append(1, 'T').append(t.substr(0, 2)).append(1, ':').append(t.substr(2, 2));
        stamp += ":00";
      }
    }
    out.push_back(std::move(stamp));
  }
  return out;
}

// A time stamp as YYYY-MM-DD HH:MM:SS, as far as its leading fields are numbers: fields are
// separated by "-", "T", ":", "/", "." or spaces ("2004-1" gives 2004-01, "0" gives 0000).
std::string timestamp(std::string_view text) {
  std::string out;
  constexpr std::string_view separators = "-T:/.";
  constexpr std::string_view spaces = " \t\n\r\x0B\x0C";
  constexpr std::string_view after = "-- ::x";
  for (std::size_t field = 0; field < after.size(); ++field) {
    const std::size_t end = std::min(text.size(), text.find_first_of("-T:/. \t\n\r\x0B\x0C"sv));
    std::string_view digits = text.substr(0, end);
    digits.remove_prefix(digits.starts_with('+') ? 1 : 0);
    if (!is_digits(digits)) {
      break;
    }
    digits.remove_prefix(std::min(digits.size() - 1, digits.find_first_not_of('0')));
    const std::size_t width = field == 0 ? 4 : 2;
    out.append(width - std::min(width, digits.size()), '0').append(digits).append(1, after[field]);
    text.remove_prefix(end);
    if (!text.empty() && spaces.find(text.front()) != std::string_view::npos) {
      text.remove_prefix(std::min(text.size(), text.find_first_not_of(spaces)));
    } else if (!text.empty() && separators.find(text.front()) != std::string_view::npos) {
      text.remove_prefix(1);
    }
  }
  if (!out.empty()) {
    out.pop_back();
  }
  return out;
}

std::string joined(const std::vector<std::string>& values) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      out += '\0';
    }
    out += values[i];
  }
  return out;
}

Map frames_of(const Slots& slots) {
  Map out;
  constexpr std::array<std::pair<Slot, std::string_view>, 7> keys = {{
      {Slot::Title, "title"},
      {Slot::Artist, "artist"},
      {Slot::Album, "album"},
      {Slot::Track, "track"},
      {Slot::AlbumArtist, "album_artist"},
      {Slot::Composer, "composer"},
      {Slot::Genre, "genre"},
  }};
  for (const auto& [slot, key] : keys) {
    if (slots.at(slot).present) {
      const auto& list = slots.at(slot).list;
      out.insert_or_assign(std::string(key),
                           joined(slot == Slot::Genre ? genre_names(list) : list));
    }
  }
  if (auto year = year_values(slots); !year.empty() || slots.at(Slot::Recorded).present) {
    std::transform(year.begin(), year.end(), year.begin(), timestamp);
    out.insert_or_assign("year", joined(year));
  }
  return out;
}

// The frames region of the tag: after the extended header, with 2.2 and 2.3 unsynchronisation
// undone over the whole of it (2.4 undoes it frame by frame).
void read_tag(const ByteReader& r, std::uint64_t tag_size, Slots& slots) {
  const auto h = r.fixed<10>(0);
  if (!h || h->u8<3>() < 2 || h->u8<3>() > 4) {
    return;
  }
  const Tag tag{h->u8<3>(), (h->u8<5>() & 0x80U) != 0};
  std::optional<ByteReader> area = r.sub_at(10, std::min<std::uint64_t>(tag_size, r.size() - 10));
  if (area && tag.major >= 3 && (h->u8<5>() & 0x40U) != 0) {
    area = after_extended_header(*area, tag.major);
  }
  if (!area) {
    return;
  }
  std::optional<std::vector<std::uint8_t>> decoded;
  if (tag.major < 4 && tag.unsynchronised) {
    const ByteView raw = area->whole();
    decoded = undo_unsynchronisation(raw.span());
    area = decoded ? ByteReader(*decoded) : area;
  }
  walk_frames(*area, tag, slots);
}

// Title, artist and album of 30 bytes, year of 4, comment of 30 whose last byte is the track
// when the one before is 0 (1.1), genre number. A field ends at its first NUL.
std::optional<std::string_view> add_id3v1(const ByteReader& r, Map& frames) {
  if (r.size() < 128) {
    return std::nullopt;
  }
  const std::uint64_t at = r.size() - 128;
  const auto tag = r.fixed<128>(at);
  // "TAG" inside an APEv2 footer's "APETAGEX" is no ID3v1 tag.
  if (!tag || !r.matches_at(at, "TAG"sv) || (at >= 3 && r.matches_at(at - 3, "APETAGEX"sv))) {
    return std::nullopt;
  }
  const auto field = [](std::span<const std::uint8_t> bytes) {
    std::string_view s = as_chars(bytes);
    s = s.substr(0, s.find('\0'));
    constexpr std::string_view space = " \t\n\r\x0B\x0C";
    s.remove_prefix(std::min(s.size(), s.find_first_not_of(space)));
    s = s.substr(0, s.find_last_not_of(space) + 1);
    return latin1_to_utf8(s);
  };
  const auto add = [&frames](std::string_view key, std::string text) {
    if (!text.empty() && !frames.contains(key)) {
      frames.insert_or_assign(std::string(key), std::move(text));
    }
  };
  add("title", field(tag->bytes<3, 30>()));
  add("artist", field(tag->bytes<33, 30>()));
  add("album", field(tag->bytes<63, 30>()));
  add("year", timestamp(field(tag->bytes<93, 4>())));
  const bool v11 = tag->u8<125>() == 0 && tag->u8<126>() != 0;
  if (v11) {
    add("track", std::to_string(tag->u8<126>()));
  }
  if (tag->u8<127>() != 255) {
    add("genre", std::string(genre_name(tag->u8<127>())));
  }
  return v11 ? "1.1"sv : "1.0"sv;
}

} // namespace

std::string id3_utf16(std::string_view text, bool big_endian) {
  std::string out = utf16_to_utf8(text, big_endian);
  constexpr std::string_view bom = "\xEF\xBB\xBF";
  std::size_t marks = 0;
  while (std::string_view(out).substr(marks).starts_with(bom)) {
    marks += bom.size();
  }
  out.erase(0, marks); // in one erase, whatever their number
  return out;
}

void read_id3_thorough(const ByteReader& r, std::optional<std::uint64_t> tag_size, Namespace& ns) {
  Slots slots;
  if (tag_size) {
    read_tag(r, *tag_size, slots);
  }
  Map frames = frames_of(slots);
  if (const auto v1 = add_id3v1(r, frames)) {
    ns.set("v1_version", *v1);
  }
  if (slots.truncated) {
    mark_truncated(ns, "frames");
  }
  if (!frames.empty()) {
    ns.set("frames", std::move(frames));
  }
}

} // namespace trawl
