#include "document.hpp"

#include <algorithm>

#include "../support/text.hpp"

namespace trawl::pdf {

namespace {

constexpr std::uint64_t mib = std::uint64_t{1} << 20U;
// Most objects fit the first window; a larger one is tried only when the data ran out.
constexpr std::uint64_t object_window = std::uint64_t{64} * 1024;
// How far from the end "startxref" is looked for (writers and mail gateways append bytes).
constexpr std::uint64_t startxref_window = std::uint64_t{1} << 20U;
// Object streams kept decoded at once, whatever their size.
constexpr std::size_t stream_slots = 64;
// What one parse costs at least, counted against the parser's budget.
constexpr std::uint64_t parse_floor = 256;
// What decrypting one string costs at least (a digest and a cipher set up), in parsed bytes.
constexpr std::uint64_t decrypt_floor = 1024;
// Cross-reference streams a rebuild reads, newest first (a file updated this often is unheard of).
constexpr std::size_t rebuilt_xref_streams = 64;
// Steps of a reference to a reference.
constexpr int reference_steps = 8;

std::uint64_t saturating(std::uint64_t a, std::uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t times(std::uint64_t a, std::uint64_t k) noexcept {
  return a > UINT64_MAX / k ? UINT64_MAX : a * k;
}

std::optional<std::uint64_t> unsigned_value(const Object* o) {
  if (o == nullptr) {
    return std::nullopt;
  }
  const auto v = o->as_int();
  if (!v || *v < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(*v);
}

// A big-endian field of `width` bytes (0 to 8) of a cross-reference stream entry.
std::optional<std::uint64_t> field(ByteReader& r, std::uint64_t width) {
  std::uint64_t v = 0;
  for (std::uint64_t i = 0; i < width; ++i) {
    const auto b = r.u8();
    if (!b) {
      return std::nullopt;
    }
    v = (v << 8U) | *b;
  }
  return v;
}

// A table entry in its usual 20-byte form "oooooooooo ggggg n\r\n"; nothing when it is laid out
// otherwise.
struct TableEntry {
  std::uint64_t offset = 0;
  std::uint64_t gen = 0;
  bool in_use = false;
};
std::optional<TableEntry> fixed_entry(const Fixed<20>& f) {
  const auto b = f.bytes<0, 20>();
  TableEntry e;
  for (std::size_t i = 0; i < 10; ++i) {
    if (b[i] < '0' || b[i] > '9') {
      return std::nullopt;
    }
    e.offset = e.offset * 10 + (b[i] - '0');
  }
  for (std::size_t i = 11; i < 16; ++i) {
    if (b[i] < '0' || b[i] > '9') {
      return std::nullopt;
    }
    e.gen = e.gen * 10 + (b[i] - '0');
  }
  if (b[10] != ' ' || b[16] != ' ' || (b[17] != 'n' && b[17] != 'f') || !is_space(b[18]) ||
      !is_space(b[19])) {
    return std::nullopt;
  }
  e.in_use = b[17] == 'n';
  return e;
}

// The same entry written some other way: tokens separated by any whitespace.
std::optional<TableEntry> token_entry(ByteReader& r) {
  TableEntry e;
  const auto offset = take_unsigned(r);
  const auto gen = take_unsigned(r);
  if (!offset || !gen) {
    return std::nullopt;
  }
  e.offset = *offset;
  e.gen = *gen;
  if (take_keyword(r, "n")) {
    e.in_use = true;
  } else if (!take_keyword(r, "f")) {
    return std::nullopt;
  }
  return e;
}

// A /Crypt filter that names no crypt filter, or /Identity: the stream is not encrypted.
bool identity_crypt_filter(const std::optional<Object>& filter,
                           const std::optional<Object>& parms) {
  if (!filter) {
    return false;
  }
  const bool chain = filter->kind == Kind::Array;
  const std::size_t count = chain ? filter->items.size() : 1;
  for (std::size_t i = 0; i < count; ++i) {
    if (!(chain ? filter->items[i] : *filter).is_name("Crypt")) {
      continue;
    }
    const Object* p = parms ? &*parms : nullptr;
    if (p != nullptr && p->kind == Kind::Array) {
      p = i < p->items.size() ? &p->items[i] : nullptr;
    }
    const Object* name = p != nullptr ? p->get("Name") : nullptr;
    return name == nullptr || name->is_name("Identity");
  }
  return false;
}

} // namespace

// The caps grow with the file up to a ceiling: this work runs after the pass, where a stop
// request is not seen, so even a crafted file of gigabytes ends it within seconds.
Caps Caps::for_length(std::uint64_t len) noexcept {
  Caps c;
  c.stream_bytes = std::min(64 * mib, saturating(16 * mib, times(len, 8)));
  c.total_bytes = std::min(256 * mib, saturating(64 * mib, times(len, 4)));
  c.held_bytes = std::min(256 * mib, saturating(16 * mib, times(len, 4)));
  c.entries = static_cast<std::size_t>(std::min<std::uint64_t>(65536 + len / 8, max_entries));
  c.entries_read = times(c.entries, 2);
  c.parse_bytes = std::min(256 * mib, saturating(64 * mib, times(len, 16)));
  return c;
}

Document::Document(const ByteReader& file, std::span<const std::uint64_t> marks, const Caps& caps)
    : file_(file), marks_(marks), caps_(caps) {}

bool Document::open() {
  const auto start = find_startxref();
  const bool sections = start && read_sections(*start);
  if (!sections || !find_catalog()) {
    rebuild();
    if (!find_catalog()) {
      return false;
    }
  }
  return true;
}

std::optional<std::uint64_t> Document::find_startxref() const {
  const std::uint64_t from = file_.size() - std::min<std::uint64_t>(file_.size(), startxref_window);
  const ByteView tail = file_.clipped_at(from, startxref_window);
  const std::string_view text = as_chars(tail.span());
  const std::size_t at = text.rfind("startxref");
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  const auto span = tail.span().subspan(at + 9);
  ByteReader r(span);
  return take_unsigned(r);
}

bool Document::read_sections(std::uint64_t start) {
  std::vector<std::uint64_t> visited;
  std::optional<std::uint64_t> at = start;
  while (at && visited.size() < caps_.sections) {
    if (std::find(visited.begin(), visited.end(), *at) != visited.end()) {
      break; // a /Prev loop
    }
    visited.push_back(*at);
    std::optional<std::uint64_t> prev;
    if (auto table = read_table(*at)) {
      prev = *table == 0 ? std::nullopt : std::optional(*table - 1);
    } else {
      auto object = parse_at(*at, object_window, mib);
      if (!object || !object->stream_start || !object->value.get("W")) {
        return visited.size() > 1; // the newest section must be there; older ones may not
      }
      if (!read_xref_stream(*object, entries_)) {
        return visited.size() > 1;
      }
      merge_trailer(object->value);
      prev = unsigned_value(object->value.get("Prev"));
    }
    at = prev;
  }
  return true;
}

// A classic table and its trailer at `at`: 1 + the /Prev offset, 0 without one, nothing when
// no table is there.
std::optional<std::uint64_t> Document::read_table(std::uint64_t at) {
  auto rest = file_.sub_at(at, file_.size() - std::min<std::uint64_t>(at, file_.size()));
  if (!rest) {
    return std::nullopt;
  }
  ByteReader& r = *rest;
  if (parsed_total_ >= caps_.parse_bytes || !take_keyword(r, "xref")) {
    return std::nullopt;
  }
  bool first_subsection = true;
  for (;;) {
    if (take_keyword(r, "trailer")) {
      break;
    }
    const auto start = take_unsigned(r);
    const auto count = take_unsigned(r);
    if (!start || !count) {
      return std::nullopt;
    }
    skip_space(r);
    std::uint64_t num = *start;
    const std::uint64_t n = std::min<std::uint64_t>(*count, r.remaining() / 18);
    if (!count_entries(n)) {
      return std::nullopt;
    }
    for (std::uint64_t i = 0; i < n; ++i, ++num) {
      std::optional<TableEntry> e;
      if (auto f = r.fixed<20>(r.position())) {
        e = fixed_entry(*f);
      }
      if (e) {
        (void)r.skip(20);
      } else if (e = token_entry(r); !e) {
        return std::nullopt;
      }
      // Some writers number a first subsection that starts with the free-list head from 1.
      if (first_subsection && i == 0 && num == 1 && !e->in_use && e->gen == 65535) {
        num = 0;
      }
      if (e->in_use) {
        set_entry(entries_, num, Entry{e->offset, 0, Entry::Type::InUse});
      }
    }
    first_subsection = false;
  }
  Parsed trailer = parse_object(r);
  if (!charge(r.position()) || !trailer.object || !trailer.object->is_dict()) {
    return std::nullopt;
  }
  // A hybrid file lists its compressed objects in a stream the table's readers do not see.
  if (const auto stream_at = unsigned_value(trailer.object->get("XRefStm"))) {
    if (auto object = parse_at(*stream_at, object_window, mib); object && object->stream_start) {
      (void)read_xref_stream(*object, entries_);
    }
  }
  merge_trailer(*trailer.object);
  const auto prev = unsigned_value(trailer.object->get("Prev"));
  return prev ? saturating(*prev, 1) : 0;
}

bool Document::read_xref_stream(const Indirect& object, std::vector<Entry>& into) {
  const Object* w = object.value.get("W");
  if (w == nullptr || w->kind != Kind::Array || w->items.size() < 3) {
    return false;
  }
  std::array<std::uint64_t, 3> widths{};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto v = unsigned_value(&w->items[i]);
    if (!v || *v > 8) {
      return false;
    }
    widths.at(i) = *v;
  }
  const std::uint64_t entry_size = widths[0] + widths[1] + widths[2];
  // No more is decoded than the entries still to be read can fill.
  const std::uint64_t readable = std::min<std::uint64_t>(
      caps_.entries, caps_.entries_read - std::min(caps_.entries_read, entries_read_));
  auto data = stream_data(object, saturating(times(readable, entry_size), entry_size));
  if (!data || entry_size == 0) {
    return false;
  }
  std::vector<std::uint64_t> index;
  if (const Object* ix = object.value.get("Index"); ix != nullptr && ix->kind == Kind::Array) {
    for (const Object& v : ix->items) {
      index.push_back(unsigned_value(&v).value_or(0));
    }
  } else {
    index = {0, unsigned_value(object.value.get("Size")).value_or(0)};
  }
  ByteReader r(data->bytes);
  for (std::size_t s = 0; s + 1 < index.size(); s += 2) {
    // Numbers past the cap are passed over: their entries are not kept.
    const std::uint64_t present = std::min(index[s + 1], r.remaining() / entry_size);
    const std::uint64_t n =
        index[s] < caps_.entries ? std::min<std::uint64_t>(present, caps_.entries - index[s]) : 0;
    if (!count_entries(n)) {
      return true;
    }
    if (!r.skip((present - n) * entry_size)) {
      return true;
    }
    for (std::uint64_t i = 0; i < n; ++i) {
      const auto type = widths[0] == 0 ? std::optional<std::uint64_t>(1) : field(r, widths[0]);
      const auto second = field(r, widths[1]);
      const auto third = field(r, widths[2]);
      if (!type || !second || !third) {
        return true;
      }
      const std::uint64_t num = saturating(index[s], i);
      if (*type == 1) {
        set_entry(into, num, Entry{*second, 0, Entry::Type::InUse});
      } else if (*type == 2 && *second <= UINT32_MAX && *third <= UINT32_MAX) {
        set_entry(into, num,
                  Entry{*second, static_cast<std::uint32_t>(*third), Entry::Type::Compressed});
      }
    }
  }
  return true;
}

bool Document::count_entries(std::uint64_t n) noexcept {
  entries_read_ = saturating(entries_read_, n);
  return entries_read_ <= caps_.entries_read;
}

bool Document::charge(std::uint64_t bytes) {
  parsed_total_ = saturating(parsed_total_, bytes);
  return !stopping(bytes) && parsed_total_ <= caps_.parse_bytes;
}

bool Document::stopping(std::uint64_t bytes) {
  // The question may take the interpreter lock: asked once per few MiB of work.
  constexpr std::uint64_t ask_every = std::uint64_t{4} << 20U;
  work_ = saturating(work_, bytes);
  if (!stopped_ && stop_ && work_ >= next_stop_check_) {
    next_stop_check_ = saturating(work_, ask_every);
    stopped_ = stop_();
  }
  return stopped_;
}

void Document::merge_trailer(const Object& dict) {
  if (!dict.is_dict()) {
    return;
  }
  trailer_.kind = Kind::Dict;
  for (std::size_t i = 0; i + 1 < dict.items.size(); i += 2) {
    if (trailer_.get(dict.items[i].bytes) == nullptr) {
      trailer_.items.push_back(dict.items[i]);
      trailer_.items.push_back(dict.items[i + 1]);
    }
  }
}

// The newest entry of a number wins: sections are read newest first.
void Document::set_entry(std::vector<Entry>& table, std::uint64_t num, const Entry& entry) const {
  if (num >= caps_.entries) {
    return;
  }
  const auto n = static_cast<std::size_t>(num);
  if (table.size() <= n) {
    table.resize(n + 1);
  }
  if (table[n].type == Entry::Type::Unset) {
    table[n] = entry;
  }
}

std::optional<Indirect> Document::parse_at(std::uint64_t offset, std::uint64_t first_window,
                                           std::uint64_t last_window) {
  for (std::uint64_t window = first_window;; window *= 16) {
    if (parsed_total_ >= caps_.parse_bytes) {
      return std::nullopt;
    }
    const ByteView view = file_.clipped_at(offset, window);
    ByteReader r(view.span());
    ParseFailure failure = ParseFailure::Bad;
    auto object = parse_indirect(r, failure);
    // A failed parse may have read the whole window; every parse costs at least a few hundred
    // bytes' worth, so that many tiny objects cannot run long either.
    (void)charge(std::max<std::uint64_t>(object ? r.position() : view.size(), parse_floor));
    if (object) {
      if (object->stream_start) {
        *object->stream_start += offset;
      }
      return object;
    }
    if (failure != ParseFailure::End || view.size() < window || window >= last_window) {
      return std::nullopt;
    }
  }
}

bool Document::find_catalog() {
  if (!crypt_) {
    if (const Object* encrypt = trailer_.get("Encrypt")) {
      encrypt_ref_ = encrypt->as_ref();
      const auto dict = resolve(*encrypt); // read before the decryptor exists: never encrypted
      std::string id0;
      if (const Object* id = trailer_.get("ID"); id != nullptr && id->kind == Kind::Array &&
                                                 !id->items.empty() &&
                                                 id->items[0].kind == Kind::String) {
        id0 = id->items[0].bytes;
      }
      crypt_ = dict && dict->is_dict() ? open_security_handler(*dict, id0)
                                       : CryptOpening{std::nullopt, "unknown", false};
    }
  }
  const Object* root = trailer_.get("Root");
  if (root == nullptr) {
    return false;
  }
  auto catalog = resolve(*root);
  if (!catalog || !catalog->is_dict() || catalog->get("Pages") == nullptr) {
    return false;
  }
  catalog_ = std::move(*catalog);
  return true;
}

// The table rebuilt from the object headers the pass found, the trailers and cross-reference
// streams met in the file, and the last catalog when no trailer names one.
void Document::rebuild() {
  if (rebuilt_done_) {
    return;
  }
  rebuilt_done_ = true;
  for (const std::uint64_t mark : marks_) {
    if (const auto header = object_header(mark); header && header->first < caps_.entries) {
      const auto num = static_cast<std::size_t>(header->first);
      if (rebuilt_.size() <= num) {
        rebuilt_.resize(num + 1);
      }
      // A later copy of an object replaces an earlier one, as a later update does.
      rebuilt_[num] = Entry{header->second, 0, Entry::Type::InUse};
    }
  }
  // What the objects are: cross-reference streams, object streams, catalogs.
  std::vector<Indirect> xref_streams;
  std::optional<std::uint32_t> last_catalog;
  for (std::size_t num = 0; num < rebuilt_.size(); ++num) {
    if (rebuilt_[num].type != Entry::Type::InUse) {
      continue;
    }
    auto object = parse_at(rebuilt_[num].offset, object_window, object_window);
    const Object* type = object ? object->value.get("Type") : nullptr;
    if (type == nullptr) {
      continue;
    }
    if (type->is_name("XRef") && object->stream_start) {
      xref_streams.push_back(std::move(*object));
    } else if (type->is_name("ObjStm") && object->stream_start) {
      all_object_streams_.push_back(static_cast<std::uint32_t>(num));
    } else if (type->is_name("Catalog")) {
      last_catalog = static_cast<std::uint32_t>(num);
    }
  }
  merge_file_trailers();
  std::sort(xref_streams.begin(), xref_streams.end(), [&](const Indirect& a, const Indirect& b) {
    return a.stream_start.value_or(0) > b.stream_start.value_or(0);
  });
  for (std::size_t i = 0; i < std::min(xref_streams.size(), rebuilt_xref_streams); ++i) {
    merge_trailer(xref_streams[i].value);
    (void)read_xref_stream(xref_streams[i], rebuilt_);
  }
  const Object* root_entry = trailer_.get("Root");
  const auto root = root_entry != nullptr ? resolve(*root_entry) : std::nullopt;
  if (last_catalog && !(root && root->is_dict() && root->get("Pages") != nullptr)) {
    replace_root(*last_catalog);
  }
}

// The object number and start of "num gen obj" whose " obj" is at `mark`: digits, whitespace
// and digits before it, a delimiter after it.
std::optional<std::pair<std::uint64_t, std::uint64_t>>
Document::object_header(std::uint64_t mark) const {
  const auto after = file_.u8_at(mark + 4);
  if ((after && !is_space(*after) && !is_delimiter(*after)) || mark == 0) {
    return std::nullopt;
  }
  const std::uint64_t back = std::min<std::uint64_t>(mark, 24);
  const auto before = file_.bytes_at(mark - back, back);
  if (!before) {
    return std::nullopt;
  }
  const std::string_view text = as_chars(before->span());
  std::size_t i = text.size();
  const auto digits_back = [&] {
    const std::size_t end = i;
    while (i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9') {
      --i;
    }
    return end - i;
  };
  const std::size_t gen_digits = digits_back();
  std::size_t spaces = 0;
  while (i > 0 && is_space(static_cast<std::uint8_t>(text[i - 1]))) {
    --i;
    ++spaces;
  }
  const std::size_t num_end = i;
  const std::size_t num_digits = digits_back();
  const bool starts_clean =
      (i == 0 && back == mark) || (i > 0 && (is_space(static_cast<std::uint8_t>(text[i - 1])) ||
                                             is_delimiter(static_cast<std::uint8_t>(text[i - 1]))));
  if (gen_digits == 0 || gen_digits > 5 || spaces == 0 || num_digits == 0 || num_digits > 10 ||
      !starts_clean) {
    return std::nullopt;
  }
  std::uint64_t num = 0;
  for (const char c : text.substr(i, num_end - i)) {
    num = num * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return std::pair{num, mark - back + i};
}

// Every "trailer" dictionary of the file, merged newest (last) first; a dictionary cut short by
// the file's end keeps the entries it has. The search reads the file's end in blocks of memory,
// as far back as the parser's budget reaches: a byte at a time through the cache of a large
// file, 256 MiB of "t" took 13 s.
void Document::merge_file_trailers() {
  constexpr std::string_view word = "trailer";
  const std::uint64_t reach = file_.size() - std::min(file_.size(), caps_.parse_bytes);
  std::uint64_t end = file_.size();
  while (end > reach) {
    const std::uint64_t start = std::max(reach, end - std::min(end, mib));
    if (stopping(end - start)) {
      return;
    }
    const ByteView block = file_.clipped_at(start, end - start);
    const std::string_view text = as_chars(block.span());
    for (std::size_t at = text.rfind(word); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : text.rfind(word, at - 1)) {
      if (!merge_trailer_at(start + at + word.size())) {
        return;
      }
    }
    // A word cut at the block's start is found whole in the next block.
    end = start == reach ? reach : start + word.size() - 1;
  }
}

// The dictionary after one "trailer", read in a window that grows while the dictionary goes on;
// false once the budget is spent. Each window is charged whole: a large file's is a copy.
bool Document::merge_trailer_at(std::uint64_t at) {
  for (std::uint64_t window = 4096;; window *= 16) {
    const ByteView view = file_.clipped_at(at, window);
    if (!charge(view.size())) {
      return false;
    }
    ByteReader r(view.span());
    ParseLimits limits;
    limits.close_at_end = view.size() < window || window >= mib;
    Parsed dict = parse_object(r, limits);
    if (dict.object && dict.object->is_dict()) {
      merge_trailer(*dict.object);
    }
    if (dict.object || dict.failure != ParseFailure::End || limits.close_at_end) {
      return true;
    }
  }
}

void Document::replace_root(std::uint32_t num) {
  Object kept;
  kept.kind = Kind::Dict;
  for (std::size_t i = 0; i + 1 < trailer_.items.size(); i += 2) {
    if (trailer_.items[i].bytes != "Root") {
      kept.items.push_back(std::move(trailer_.items[i]));
      kept.items.push_back(std::move(trailer_.items[i + 1]));
    }
  }
  Object key;
  key.kind = Kind::Name;
  key.bytes = "Root";
  Object ref;
  ref.kind = Kind::Ref;
  ref.integer = num;
  kept.items.push_back(std::move(key));
  kept.items.push_back(std::move(ref));
  trailer_ = std::move(kept);
}

std::optional<Object> Document::resolve(const Object& o) {
  if (o.kind != Kind::Ref) {
    return o;
  }
  std::optional<Ref> ref = o.as_ref();
  for (int step = 0; step < reference_steps && ref; ++step) {
    auto object = load(ref->num);
    if (!object) {
      return std::nullopt;
    }
    if (object->value.kind != Kind::Ref) {
      return std::move(object->value);
    }
    ref = object->value.as_ref();
  }
  return std::nullopt;
}

std::optional<Indirect> Document::load(std::uint32_t num) {
  // While an object stream is decoded, only direct objects are read: the work never nests.
  const bool direct = decoding_stream_;
  if (auto object = load_from(entries_, num, direct)) {
    return object;
  }
  rebuild();
  if (auto object = load_from(rebuilt_, num, direct)) {
    return object;
  }
  return direct ? std::nullopt : search_object_streams(num);
}

std::optional<Indirect> Document::load_from(const std::vector<Entry>& table, std::uint32_t num,
                                            bool direct) {
  if (num >= table.size()) {
    return std::nullopt;
  }
  const Entry e = table[num];
  if (e.type == Entry::Type::Compressed && !direct) {
    return from_object_stream(static_cast<std::uint32_t>(e.offset), e.index, num);
  }
  if (e.type != Entry::Type::InUse) {
    return std::nullopt;
  }
  auto object = parse_at(e.offset, object_window, caps_.object_window);
  if (!object || object->ref.num != num) {
    return std::nullopt; // the offset is wrong: the rebuilt table may know better
  }
  decrypt_strings(*object);
  return object;
}

std::optional<Indirect> Document::from_object_stream(std::uint32_t stream, std::uint32_t index,
                                                     std::uint32_t num) {
  const ObjectStream* os = object_stream(stream);
  if (os == nullptr) {
    return std::nullopt;
  }
  std::optional<std::uint64_t> offset;
  if (index < os->objects.size() && os->objects[index].first == num) {
    offset = os->objects[index].second;
  } else {
    const auto it =
        std::lower_bound(os->by_number.begin(), os->by_number.end(), num,
                         [](const auto& entry, std::uint32_t n) { return entry.first < n; });
    if (it != os->by_number.end() && it->first == num) {
      offset = it->second;
    }
  }
  if (!offset) {
    return std::nullopt;
  }
  ByteReader r(os->data);
  if (parsed_total_ >= caps_.parse_bytes || !r.seek(saturating(os->first, *offset))) {
    return std::nullopt;
  }
  // Charged as the file's objects are: many references into a long run of whitespace would
  // read it again for each.
  const std::size_t from = r.position();
  Parsed parsed = parse_object(r);
  (void)charge(
      std::max<std::uint64_t>(parsed.object ? r.position() - from : r.remaining(), parse_floor));
  if (!parsed.object) {
    return std::nullopt;
  }
  return Indirect{Ref{num, 0}, std::move(*parsed.object), std::nullopt};
}

// An object stream (ISO 32000-1 7.5.7), decoded once and kept while the budget allows. What
// its decoding reads (the stream object, its /Length, /Filter, /DecodeParms) must be direct
// objects, so one object stream never leads to another.
const Document::ObjectStream* Document::object_stream(std::uint32_t num) {
  for (std::size_t i = 0; i < streams_.size(); ++i) {
    if (streams_[i].first == num) {
      std::rotate(streams_.begin() + static_cast<std::ptrdiff_t>(i),
                  streams_.begin() + static_cast<std::ptrdiff_t>(i) + 1, streams_.end());
      return streams_.back().second.get();
    }
  }
  if (decoding_stream_ || failed_streams_.contains(num)) {
    return nullptr;
  }
  failed_streams_.insert(num); // until it is decoded: a failure is not tried again
  decoding_stream_ = true;
  std::optional<Decoded> data;
  std::optional<Indirect> object = load(num);
  if (object && object->stream_start && object->value.get("N") != nullptr) {
    data = stream_data(*object, caps_.stream_bytes);
  }
  decoding_stream_ = false;
  if (!data || !object) {
    return nullptr;
  }
  failed_streams_.erase(num);
  auto os = std::make_shared<ObjectStream>();
  os->data = std::move(data->bytes);
  os->first = unsigned_value(object->value.get("First")).value_or(0);
  const std::uint64_t declared = unsigned_value(object->value.get("N")).value_or(0);
  ByteReader header(std::span<const std::uint8_t>(os->data).first(
      static_cast<std::size_t>(std::min<std::uint64_t>(os->first, os->data.size()))));
  const auto n =
      std::min<std::uint64_t>({declared, caps_.objects_per_stream, header.remaining() / 4 + 1});
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto obj = take_unsigned(header);
    const auto at = take_unsigned(header);
    if (!obj || !at || *obj > UINT32_MAX) {
      break;
    }
    os->objects.emplace_back(static_cast<std::uint32_t>(*obj), *at);
  }
  os->by_number = os->objects;
  std::stable_sort(os->by_number.begin(), os->by_number.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::uint64_t size = os->data.size();
  while (!streams_.empty() &&
         (held_ + size > caps_.held_bytes || streams_.size() >= stream_slots)) {
    held_ -= streams_.front().second->data.size();
    streams_.erase(streams_.begin());
  }
  held_ += size;
  streams_.emplace_back(num, std::move(os));
  return streams_.back().second.get();
}

// Rebuilt files: the object streams are searched, newest first, for an object no table lists.
std::optional<Indirect> Document::search_object_streams(std::uint32_t num) {
  for (std::size_t k = all_object_streams_.size(); k-- > 0;) {
    const std::uint32_t stream = all_object_streams_[k];
    if (searched_streams_.contains(stream)) {
      continue;
    }
    searched_streams_.insert(stream);
    const ObjectStream* os = object_stream(stream);
    if (os == nullptr) {
      continue;
    }
    bool found = false;
    for (std::size_t i = 0; i < os->objects.size(); ++i) {
      const std::uint32_t n = os->objects[i].first;
      set_entry(rebuilt_, n, Entry{stream, static_cast<std::uint32_t>(i), Entry::Type::Compressed});
      found = found || n == num;
    }
    if (found) {
      return load_from(rebuilt_, num, false);
    }
  }
  return std::nullopt;
}

void Document::decrypt_strings(Indirect& object) {
  if (!crypt_ || !crypt_->decryptor || (encrypt_ref_ && encrypt_ref_->num == object.ref.num)) {
    return;
  }
  if (const Object* type = object.value.get("Type"); type != nullptr && type->is_name("XRef")) {
    return;
  }
  std::vector<Object*> todo = {&object.value};
  while (!todo.empty()) {
    Object* o = todo.back();
    todo.pop_back();
    // Each string sets up its own cipher: that work is charged as parsing is, so that millions
    // of tiny strings cannot run long; past the budget a string gives no text.
    if (o->kind == Kind::String &&
        !charge(std::max<std::uint64_t>(o->bytes.size(), decrypt_floor))) {
      o->kind = Kind::Null;
      o->bytes.clear();
    } else if (o->kind == Kind::String) {
      const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(o->bytes.data()), // NOLINT
                                   o->bytes.size());
      if (auto plain = crypt_->decryptor->decrypt(bytes, object.ref, false)) {
        o->bytes.assign(plain->begin(), plain->end());
      } else {
        o->kind = Kind::Null; // not what the cipher makes: no text to show
        o->bytes.clear();
      }
    }
    for (Object& item : o->items) {
      todo.push_back(&item);
    }
  }
}

std::optional<std::uint64_t> Document::stream_length(const Indirect& object) {
  const Object* length = object.value.get("Length");
  if (length == nullptr) {
    return std::nullopt;
  }
  if (const auto ref = length->as_ref()) {
    const auto target = load(ref->num);
    return target ? unsigned_value(&target->value) : std::nullopt;
  }
  return unsigned_value(length);
}

// The length of a stream's data: /Length when "endstream" follows it, else up to the first
// "endstream" within `input_cap` bytes, else `input_cap` bytes or the rest of the file.
std::uint64_t Document::stream_extent(const Indirect& object, std::uint64_t input_cap) {
  const std::uint64_t start = object.stream_start.value_or(0);
  const std::uint64_t available = file_.size() - std::min(start, file_.size());
  const auto ends_at = [&](std::uint64_t end) {
    std::uint64_t at = end;
    if (file_.matches_at(at, "\r\n")) {
      at += 2;
    } else if (file_.matches_at(at, "\n") || file_.matches_at(at, "\r")) {
      at += 1;
    }
    return file_.matches_at(at, "endstream") || file_.matches_at(end, "endstream");
  };
  if (const auto length = stream_length(object);
      length && *length <= available && ends_at(start + *length)) {
    return *length;
  }
  const std::uint64_t searched = std::min(available, input_cap);
  const std::uint64_t limit = charge(searched) ? start + searched : start;
  // Searched in blocks of memory: a byte at a time through the cache of a large file, 200 MiB
  // of "e" took seconds. A word that starts before the limit may end after it.
  constexpr std::string_view word = "endstream";
  for (std::uint64_t from = start; from < limit; from += mib) {
    const std::uint64_t block_end = std::min(limit, saturating(from, mib));
    const ByteView block = file_.clipped_at(from, block_end - from + word.size() - 1);
    const std::size_t found = as_chars(block.span()).find(word);
    if (found == std::string_view::npos || from + found >= block_end) {
      continue;
    }
    std::uint64_t end = from + found;
    if (end > start && file_.u8_at(end - 1) == std::uint8_t{'\n'}) {
      --end;
    }
    if (end > start && file_.u8_at(end - 1) == std::uint8_t{'\r'}) {
      --end;
    }
    return end - start;
  }
  return searched;
}

std::optional<Decoded> Document::stream_data(const Indirect& object, std::uint64_t cap) {
  if (stopped_) {
    return std::nullopt;
  }
  if (!object.stream_start || *object.stream_start > file_.size()) {
    return std::nullopt;
  }
  const std::uint64_t start = *object.stream_start;
  const std::uint64_t left = caps_.total_bytes - std::min(caps_.total_bytes, decoded_total_);
  cap = std::min({cap, caps_.stream_bytes, left});
  // Enough input for `cap` bytes of output through any filter read here.
  const std::uint64_t input_cap = saturating(times(cap, 4), std::uint64_t{64} * 1024);
  const std::uint64_t length = stream_extent(object, input_cap);
  const auto raw = file_.bytes_at(start, std::min(length, input_cap));
  if (!raw) {
    return std::nullopt;
  }
  // Filters and their parameters may be indirect; the parameters of a chain are resolved one
  // level down as well.
  std::optional<Object> filter;
  std::optional<Object> parms;
  if (const Object* f = object.value.get("Filter")) {
    filter = resolve(*f);
  }
  if (const Object* p = object.value.get("DecodeParms")) {
    parms = resolve(*p);
    if (parms && parms->kind == Kind::Array) {
      for (Object& item : parms->items) {
        if (auto resolved = resolve(item)) {
          item = std::move(*resolved);
        }
      }
    }
  }
  const Object* type = object.value.get("Type");
  const bool is_xref = type != nullptr && type->is_name("XRef");
  const bool is_metadata = type != nullptr && type->is_name("Metadata");
  const bool clear_metadata =
      is_metadata && crypt_ && crypt_->decryptor && !crypt_->decryptor->encrypts_metadata();
  std::vector<std::uint8_t> plain;
  std::span<const std::uint8_t> input = raw->span();
  if (crypt_ && !is_xref && !clear_metadata && !identity_crypt_filter(filter, parms)) {
    if (!crypt_->decryptor) {
      return std::nullopt;
    }
    auto d = crypt_->decryptor->decrypt(input, object.ref, true);
    if (!d) {
      return std::nullopt;
    }
    plain = std::move(*d);
    input = plain;
  }
  const std::uint64_t ratio_cap = saturating(times(input.size(), 1032), 1024);
  auto out = decode(input, filter ? &*filter : nullptr, parms ? &*parms : nullptr,
                    std::min(cap, ratio_cap));
  if (!out) {
    return std::nullopt;
  }
  decoded_total_ = saturating(decoded_total_, out->bytes.size());
  (void)stopping(out->bytes.size());
  capped_ = capped_ || out->capped;
  return out;
}

} // namespace trawl::pdf
