// Where the EXIF block lies: a TIFF file is one; JPEG keeps it in an APP1 "Exif" segment, PNG in
// an eXIf chunk, WebP in an EXIF chunk (RIFF) and HEIF in an "Exif" item (ISO/IEC 23008-12).
#include <array>
#include <cstring>
#include <optional>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "png_profile.hpp"
#include "reader.hpp"

namespace trawl::exif {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t detection_bytes = 4096;
constexpr std::uint64_t max_heif_exif = 65535;

Unexpected<ReadError> failed(std::string_view text) {
  return unexpected(ReadError{ReadError::Kind::Failed, text});
}
Unexpected<ReadError> not_found(std::string_view text) {
  return unexpected(ReadError{ReadError::Kind::NotFound, text});
}

/// The located block: a part of the input, or `owned` when HEIF extents had to be joined.
struct Block {
  std::vector<std::uint8_t> owned;
  ByteReader tiff{std::span<const std::uint8_t>{}};
};
using Located = Expected<Block, ReadError>;

// Moves past the next 0xFF byte; false when there is none.
bool skip_past_ff(ByteReader& r) {
  const std::uint64_t ff = r.find(0xFF, r.position());
  if (ff == r.size()) {
    (void)r.seek(ff);
    return false;
  }
  return r.seek(ff + 1);
}

Located locate_jpeg(ByteReader r) {
  constexpr auto broken = "Broken JPEG file"sv;
  (void)r.skip(2);
  for (;;) {
    // Anything up to the next 0xFF is skipped: stray bytes and entropy-coded data alike.
    if (!skip_past_ff(r)) {
      return failed(broken);
    }
    constexpr unsigned none = 0x100; // no byte left
    unsigned code = 0xFF;
    while (code == 0xFF) {
      code = r.u8().value_or(none);
    }
    if (code == none) {
      return failed(broken);
    }
    if (code == 0x00 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
      continue;
    }
    if (code == 0xD8) {
      return failed("Unexpected SOI");
    }
    if (code == 0xD9) {
      return not_found("No Exif data found in JPEG");
    }
    const auto length = r.u16_be();
    if (!length) {
      return failed(broken);
    }
    if (length < 2) {
      return failed("Invalid segment length");
    }
    auto payload = r.sub(length.value_or(0) - 2U);
    if (!payload) {
      return failed(broken);
    }
    if (code == 0xE1 && payload->matches_at(0, "Exif\0\0"sv) && payload->skip(6)) {
      return Block{{}, payload->sub_clipped(payload->remaining())};
    }
  }
}

// Some writers begin a PNG or WebP EXIF chunk with the "Exif\0\0" of a JPEG segment; the
// thorough reading skips it.
ByteReader after_prefix(ByteReader block, Depth depth) {
  if (depth == Depth::Thorough && block.matches_at(0, "Exif\0\0"sv)) {
    (void)block.skip(6);
    return block.sub_clipped(block.remaining());
  }
  return block;
}

// The thorough reading falls back on a text chunk's profile when there is no eXIf chunk.
Located locate_png(ByteReader r, Depth depth) {
  constexpr auto broken = "Broken PNG file"sv;
  const std::uint64_t input_size = r.size();
  PngProfileSearch profiles;
  const auto profile_or = [&](std::string_view error, bool found) -> Located {
    if (depth == Depth::Thorough) {
      if (auto tiff = profiles.tiff(input_size)) {
        Block block{std::move(*tiff), ByteReader({})};
        block.tiff = ByteReader(block.owned);
        return block;
      }
    }
    return found ? failed(error) : not_found(error);
  };
  (void)r.skip(8);
  while (!r.at_end()) {
    // Chunks of twelve zero bytes (no data, a zero type and CRC) are passed over in one step.
    (void)r.skip(r.zeros_at(r.position()) / 12 * 12);
    if (r.at_end()) {
      break;
    }
    const auto chunk = r.take_fixed<8>(); // length, type
    if (!chunk) {
      return profile_or(broken, true);
    }
    const std::uint32_t length = chunk->u32_be<0>();
    if (as_chars(chunk->bytes<4, 4>()) == "eXIf") {
      if (!r.fits(r.position(), length)) {
        return failed(broken);
      }
      return Block{{}, after_prefix(r.sub_clipped(length), depth)};
    }
    if (depth == Depth::Thorough && r.fits(r.position(), length)) {
      profiles.look_at(as_chars(chunk->bytes<4, 4>()), r.sub_clipped_at(r.position(), length));
    }
    if (!r.skip(std::uint64_t{length} + 4)) {
      return profile_or(broken, true);
    }
  }
  return profile_or("No Exif data found in PNG", false);
}

// Only the chunks inside the size the RIFF header declares are looked at.
Located locate_webp(ByteReader r, Depth depth) {
  constexpr auto broken = "Broken WebP file"sv;
  constexpr auto overflow = "Chunk overflowing parent"sv;
  // "RIFF", the size it declares, "WEBP".
  const auto h = r.take_fixed<12>();
  const std::uint32_t declared = h ? h->u32_le<4>() : 0;
  if (declared < 4) {
    return failed("Invalid header file size");
  }
  std::uint64_t left = declared - 4U;
  while (left > 0) {
    // Empty chunks with a zero identifier are passed over in one step.
    const std::uint64_t empty = std::min(r.zeros_at(r.position()) / 8, left / 8);
    (void)r.skip(empty * 8);
    left -= empty * 8;
    if (left == 0) {
      break;
    }
    if (left < 8) {
      return failed(overflow);
    }
    left -= 8;
    const auto chunk = r.take_fixed<8>(); // identifier, size
    if (!chunk) {
      return failed(broken);
    }
    const std::uint32_t size = chunk->u32_le<4>();
    if (size > left) {
      return failed(overflow);
    }
    left -= size;
    if (as_chars(chunk->bytes<0, 4>()) == "EXIF") {
      if (!r.fits(r.position(), size)) {
        return failed(broken);
      }
      return Block{{}, after_prefix(r.sub_clipped(size), depth)};
    }
    std::uint64_t skip = size;
    if (skip % 2 == 1 && left > 0) {
      --left;
      ++skip;
    }
    if (!r.skip(skip)) {
      return failed(broken);
    }
  }
  return not_found("No Exif data found in WebP");
}

// ISO/IEC 14496-12 box header: 32-bit size (1: a 64-bit size follows, 0: to the end), type.
struct BoxHeader {
  std::array<char, 4> type{};
  std::optional<std::uint64_t> body_size; // none: up to the end of the parent

  [[nodiscard]] std::string_view type_text() const noexcept { return {type.data(), type.size()}; }
};

enum class HeaderError : std::uint8_t { Short, InvalidSize };

Expected<BoxHeader, HeaderError> read_box_header(ByteReader& r) {
  const auto h = r.take_fixed<8>(); // size, type
  if (!h) {
    return unexpected(HeaderError::Short);
  }
  BoxHeader header;
  (void)as_chars(h->bytes<4, 4>()).copy(header.type.data(), header.type.size());
  const std::uint32_t size = h->u32_be<0>();
  if (size == 1) {
    const auto large = r.take_fixed<8>();
    if (!large) {
      return unexpected(HeaderError::Short);
    }
    if (large->u64_be<0>() < 16) {
      return unexpected(HeaderError::InvalidSize);
    }
    header.body_size = large->u64_be<0>() - 16;
    return header;
  }
  if (size == 0) {
    return header;
  }
  if (size < 8) {
    return unexpected(HeaderError::InvalidSize);
  }
  header.body_size = size - 8U;
  return header;
}

// Brands from the ninth byte on, four bytes each; a partial last one is ignored.
bool has_heif_brand(ByteReader ftyp_body) {
  if (!ftyp_body.skip(8)) {
    return false;
  }
  while (const auto word = ftyp_body.take_fixed<4>()) {
    const std::uint32_t brand = word->u32_be<0>();
    if (brand == 0x6D696631U || brand == 0x6D736631U) { // "mif1", "msf1"
      return true;
    }
  }
  return false;
}

// The first "ftyp" among the boxes wholly inside the detection bytes decides.
bool looks_like_heif(ByteReader r) {
  for (;;) {
    const auto header = read_box_header(r);
    if (!header) {
      return false;
    }
    const std::uint64_t size = header->body_size.value_or(r.remaining());
    if (!r.fits(r.position(), size)) {
      return false;
    }
    const ByteReader body = r.sub_clipped(size);
    if (header->type_text() == "ftyp") {
      return body.size() >= 8 && has_heif_brand(body);
    }
  }
}

// A box inside a parent's body: too short a body is "Box too small".
struct ChildBox {
  std::array<char, 4> type_bytes{};
  ByteReader body;

  [[nodiscard]] std::string_view type() const noexcept { return {type_bytes.data(), 4}; }
};

Expected<ChildBox, std::string_view> read_child(ByteReader& parent) {
  const auto header = read_box_header(parent);
  if (!header) {
    return unexpected(header.error() == HeaderError::Short ? "Box too small"sv
                                                           : "Invalid box size"sv);
  }
  const std::uint64_t size = header->body_size.value_or(parent.remaining());
  if (!parent.fits(parent.position(), size)) {
    return unexpected("Box too small"sv);
  }
  return ChildBox{header->type, parent.sub_clipped(size)};
}

// ISO/IEC 14496-12 full box: version in the top 8 bits, flags below.
std::optional<std::uint8_t> full_box_version(ByteReader& r) {
  const auto word = r.take_fixed<4>();
  if (!word) {
    return std::nullopt;
  }
  return word->u8<0>();
}

// A 16-bit or 32-bit big-endian count or identifier.
std::optional<std::uint32_t> read_u16_or_u32(ByteReader& r, bool wide) {
  if (wide) {
    return r.u32_be();
  }
  return r.u16_be();
}

// A big-endian field of 0 (read as 0), 4 or 8 bytes; `invalid` for any other size.
Expected<std::uint64_t, std::string_view> read_sized(ByteReader& r, unsigned size,
                                                     std::string_view invalid) {
  std::optional<std::uint64_t> v;
  switch (size) {
  case 0:
    return std::uint64_t{0};
  case 4:
    v = r.u32_be();
    break;
  case 8:
    v = r.u64_be();
    break;
  default:
    return unexpected(invalid);
  }
  if (!v) {
    return unexpected("Box too small"sv);
  }
  return v.value_or(0);
}

// One piece of an item: where it starts (before the base offset is added) and its length.
struct Extent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Where the Exif item lies, as read from the item location box.
struct ItemLocation {
  unsigned construction_method = 0;
  std::uint64_t base_offset = 0;
  std::uint16_t extent_count = 0;
  ByteReader extents{{}};
  unsigned index_size = 0, offset_size = 0, length_size = 0;
};

class HeifMeta {
public:
  HeifMeta(const ByteReader& file, ByteReader meta) : file_(file), meta_(meta) {}

  Located locate() {
    const auto version = full_box_version(meta_);
    if (!version) {
      return failed(too_small);
    }
    if (version != 0) {
      return failed("Unsupported MetaBox");
    }
    std::optional<ByteReader> iloc;
    while (!meta_.at_end()) {
      auto child = read_child(meta_);
      if (!child) {
        return failed(child.error());
      }
      if (child->type() == "iinf") {
        if (const auto read = read_item_info(child->body); !read) {
          return failed(read.error());
        }
      } else if (child->type() == "iloc") {
        iloc = child->body;
      } else if (child->type() == "idat") {
        idat_ = child->body;
      }
    }
    if (!exif_item_) {
      return not_found("No Exif data found in HEIF");
    }
    if (!iloc) {
      return failed("No ItemLocationBox");
    }
    auto location = read_item_location(iloc.value_or(ByteReader{{}}));
    if (!location) {
      return failed(location.error());
    }
    return gather(*location);
  }

private:
  static constexpr auto too_small = "Box too small"sv;

  Expected<void, std::string_view> read_item_info(ByteReader r) {
    const auto version = full_box_version(r);
    if (!version) {
      return too_small;
    }
    const auto count = read_u16_or_u32(r, version != 0);
    if (!count) {
      return too_small;
    }
    for (std::uint32_t i = 0; i < count.value_or(0); ++i) {
      auto child = read_child(r);
      if (!child) {
        return child.error();
      }
      if (child->type() != "infe") {
        continue;
      }
      ByteReader e = child->body;
      const auto entry_version = full_box_version(e);
      if (!entry_version) {
        return too_small;
      }
      std::optional<std::uint32_t> id;
      if (entry_version == 2) {
        id = e.u16_be();
      } else if (entry_version == 3) {
        id = e.u32_be();
      } else {
        return "Unsupported ItemInfoEntry"sv;
      }
      const auto protection = e.u16_be();
      const auto type = e.u32_be();
      if (!id || !protection || !type) {
        return too_small;
      }
      if (type == 0x45786966U) { // "Exif"
        exif_item_ = id;
      }
    }
    return {};
  }

  // One item of the location box up to its extent count.
  struct ItemHeader {
    std::uint32_t id = 0;
    unsigned construction_method = 0;
    std::uint64_t base_offset = 0;
    std::uint16_t extent_count = 0;
  };

  static Expected<ItemHeader, std::string_view>
  read_item_header(ByteReader& r, std::uint8_t version, unsigned base_size) {
    const auto id = read_u16_or_u32(r, version == 2);
    unsigned method = 0;
    if (version != 0) {
      const auto word = r.u16_be();
      if (!word) {
        return unexpected(too_small);
      }
      method = word.value_or(0) & 0x0FU;
    }
    const auto reference = r.u16_be();
    if (!id || !reference) {
      return unexpected(too_small);
    }
    if (method == 0 && reference != 0) {
      return unexpected("External data reference is not supported"sv);
    }
    const auto base = read_sized(r, base_size, "Invalid base_offset_size"sv);
    if (!base) {
      return unexpected(base.error());
    }
    const auto extent_count = r.u16_be();
    if (!extent_count) {
      return unexpected(too_small);
    }
    return ItemHeader{id.value_or(0), method, base.value(), extent_count.value_or(0)};
  }

  // The next extent of an item; the index is not used.
  static Expected<Extent, std::string_view> next_extent(ByteReader& r, const ItemLocation& at) {
    const auto index = read_sized(r, at.index_size, "Invalid index_size"sv);
    if (!index) {
      return unexpected(index.error());
    }
    const auto offset = read_sized(r, at.offset_size, "Invalid offset_size"sv);
    if (!offset) {
      return unexpected(offset.error());
    }
    const auto length = read_sized(r, at.length_size, "Invalid length_size"sv);
    if (!length) {
      return unexpected(length.error());
    }
    return Extent{offset.value(), length.value()};
  }

  // The Exif item's extents, checked one by one; they are read again when gathered.
  static Expected<ByteReader, std::string_view> read_extents(ByteReader& r,
                                                             const ItemLocation& at) {
    const std::size_t start = r.position();
    for (unsigned e = 0; e < at.extent_count; ++e) {
      if (const auto checked = next_extent(r, at); !checked) {
        return unexpected(checked.error());
      }
    }
    return r.sub_clipped_at(start, r.position() - start);
  }

  // ISO/IEC 14496-12 item location box: field sizes, then each item's extents.
  Expected<ItemLocation, std::string_view> read_item_location(ByteReader r) const {
    // Version and flags, then four 4-bit field sizes.
    const auto h = r.take_fixed<6>();
    if (!h) {
      return unexpected(too_small);
    }
    const std::uint8_t version = h->u8<0>();
    if (version > 2) {
      return unexpected("Unsupported ItemLocationBox"sv);
    }
    const std::uint16_t sizes = h->u16_be<4>();
    ItemLocation layout;
    layout.offset_size = sizes >> 12U;
    layout.length_size = (sizes >> 8U) & 0x0FU;
    layout.index_size = version == 0 ? 0U : sizes & 0x0FU;
    const unsigned base_size = (sizes >> 4U) & 0x0FU;
    const auto count = read_u16_or_u32(r, version == 2);
    if (!count) {
      return unexpected(too_small);
    }
    Expected<ItemLocation, std::string_view> found =
        unexpected("No matching item in ItemLocationBox"sv);
    for (std::uint32_t i = 0; i < count.value_or(0); ++i) {
      const auto item = read_item_header(r, version, base_size);
      if (!item) {
        return unexpected(item.error());
      }
      ItemLocation at = layout;
      at.construction_method = item->construction_method;
      at.base_offset = item->base_offset;
      at.extent_count = item->extent_count;
      if (item->id != exif_item_) {
        const std::uint64_t width = at.index_size + at.offset_size + at.length_size;
        if (!r.skip(width * at.extent_count)) {
          return unexpected(too_small);
        }
        continue;
      }
      auto extents = read_extents(r, at);
      if (!extents) {
        return unexpected(extents.error());
      }
      at.extents = extents.value();
      found = at; // a later entry for the same item replaces an earlier one
    }
    return found;
  }

  // The extent's bytes, not yet loaded.
  Expected<ByteReader, std::string_view> extent(const ItemLocation& at, std::uint64_t offset,
                                                std::uint64_t length) const {
    if (at.construction_method == 2) {
      return unexpected("Construction by item offset is not supported"sv);
    }
    if (at.construction_method > 2) {
      return unexpected("Invalid construction_method"sv);
    }
    if (at.construction_method == 1 && !idat_) {
      return unexpected("No ItemDataBox"sv);
    }
    if (offset > UINT64_MAX - at.base_offset) {
      return unexpected("Invalid offset"sv);
    }
    const std::uint64_t start = at.base_offset + offset;
    if (at.construction_method == 0) {
      // A zero length reaches the end of the file.
      if (length != 0 && !file_.fits(start, length)) {
        return unexpected("Broken HEIF file"sv);
      }
      return file_.sub_clipped_at(start, length == 0 ? file_.size() : length);
    }
    if (length != 0 && start > UINT64_MAX - length) {
      return unexpected("Invalid length"sv);
    }
    const ByteReader idat = idat_.value_or(ByteReader{{}});
    const std::uint64_t end = length == 0 ? idat.size() : start + length;
    if (start > end || end > idat.size()) {
      return unexpected("Out of ItemDataBox"sv);
    }
    return idat.sub_clipped_at(start, end - start);
  }

  // Joins the extents; a single extent stays a view of the input.
  [[nodiscard]] Located gather(ItemLocation at) const {
    Block block;
    std::uint64_t total = 0;
    for (unsigned e = 0; e < at.extent_count; ++e) {
      const auto next = next_extent(at.extents, at);
      if (!next) {
        return failed(next.error());
      }
      const auto piece = extent(at, next->offset, next->length);
      if (!piece) {
        return failed(piece.error());
      }
      total += piece->size();
      if (total > max_heif_exif) {
        return failed("Exif data too large");
      }
      if (e == 0) {
        block.tiff = piece.value();
        continue;
      }
      if (e == 1) {
        const auto first = block.tiff.whole();
        block.owned.assign(first.span().begin(), first.span().end());
      }
      const auto bytes = piece->whole();
      block.owned.insert(block.owned.end(), bytes.span().begin(), bytes.span().end());
      block.tiff = ByteReader(block.owned);
    }
    // The item starts with a 32-bit offset to the TIFF header (6 to skip "Exif\0\0").
    ByteReader item = block.tiff;
    const auto header_offset = item.u32_be();
    if (!header_offset) {
      return failed("ExifDataBlock too small");
    }
    if (!item.skip(header_offset.value_or(0))) {
      return failed("Invalid Exif header offset");
    }
    block.tiff = item.sub_clipped(item.remaining());
    return block;
  }

  ByteReader file_;
  ByteReader meta_;
  std::optional<std::uint32_t> exif_item_;
  std::optional<ByteReader> idat_;
};

// Top-level boxes up to the first "meta", whose answer is final.
Located locate_heif(ByteReader r) {
  constexpr auto broken = "Broken HEIF file"sv;
  bool seen_file_type = false;
  while (!r.at_end()) {
    const auto header = read_box_header(r);
    if (!header) {
      return failed(header.error() == HeaderError::Short ? broken : "Invalid box size"sv);
    }
    const std::string_view type = header->type_text();
    const std::uint64_t size = header->body_size.value_or(r.remaining());
    if (type == "ftyp" || type == "meta") {
      if (!r.fits(r.position(), size)) {
        return failed(broken);
      }
      const ByteReader body = r.sub_clipped(size);
      if (type == "meta") {
        if (!seen_file_type) {
          return failed("MetaBox found before FileTypeBox");
        }
        return HeifMeta(r, body).locate();
      }
      if (body.size() < 8) {
        return failed("Box too small");
      }
      if (!has_heif_brand(body)) {
        return failed("No compatible brand recognized in ISO base media file");
      }
      seen_file_type = true;
      continue;
    }
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
      return failed("Large seek not supported");
    }
    // A box reaching past the end ends the walk.
    if (!r.skip(size)) {
      break;
    }
  }
  return not_found("No Exif data found in HEIF");
}

Located locate(const ByteReader& r, Depth depth) {
  const ByteReader head = r.sub_clipped_at(0, detection_bytes);
  if (head.matches_at(0, "MM\0*"sv) || head.matches_at(0, "II*\0"sv)) {
    // The whole input: only the parts the TIFF walk reaches are read.
    return Block{{}, r};
  }
  if (head.matches_at(0, "\xFF\xD8"sv)) {
    return locate_jpeg(r);
  }
  if (head.matches_at(0, "\x89PNG\r\n\x1A\n"sv)) {
    return locate_png(r, depth);
  }
  if (looks_like_heif(head)) {
    return locate_heif(r);
  }
  if (head.matches_at(0, "RIFF"sv) && head.matches_at(8, "WEBP"sv)) {
    return locate_webp(r, depth);
  }
  return failed("Unknown image format");
}

} // namespace

Expected<ExifData, ReadError> read_exif(const ByteReader& stream, Keep keep, Depth depth) {
  auto block = locate(stream, depth);
  if (!block) {
    return unexpected(block.error());
  }
  return read_tiff(std::move(block->owned), block->tiff, keep, depth);
}

Expected<ExifData, ReadError> read_exif(std::span<const std::uint8_t> stream, Keep keep,
                                        Depth depth) {
  return read_exif(ByteReader(stream), keep, depth);
}

} // namespace trawl::exif
