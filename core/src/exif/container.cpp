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
    auto code = r.u8();
    while (code == 0xFF) {
      code = r.u8();
    }
    if (!code) {
      return failed(broken);
    }
    if (*code == 0x00 || *code == 0x01 || (*code >= 0xD0 && *code <= 0xD7)) {
      continue;
    }
    if (*code == 0xD8) {
      return failed("Unexpected SOI");
    }
    if (*code == 0xD9) {
      return not_found("No Exif data found in JPEG");
    }
    const auto length = r.u16_be();
    if (!length) {
      return failed(broken);
    }
    if (*length < 2) {
      return failed("Invalid segment length");
    }
    auto payload = r.sub(*length - 2U);
    if (!payload) {
      return failed(broken);
    }
    if (*code == 0xE1 && payload->matches_at(0, "Exif\0\0"sv)) {
      return Block{{}, *payload->sub_at(6, payload->size() - 6)};
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
    const auto length = r.u32_be();
    const auto type = r.bytes(4);
    if (!length || !type) {
      return profile_or(broken, true);
    }
    if (as_chars(type->span()) == "eXIf") {
      const auto data = r.sub(*length);
      if (!data) {
        return failed(broken);
      }
      return Block{{}, after_prefix(*data, depth)};
    }
    if (const auto data = r.sub_at(r.position(), *length); data && depth == Depth::Thorough) {
      profiles.look_at(as_chars(type->span()), *data);
    }
    if (!r.skip(std::uint64_t{*length} + 4)) {
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
    const auto fourcc = r.bytes(4);
    const auto size = r.u32_le();
    if (!fourcc || !size) {
      return failed(broken);
    }
    if (*size > left) {
      return failed(overflow);
    }
    left -= *size;
    if (as_chars(fourcc->span()) == "EXIF") {
      const auto data = r.sub(*size);
      if (!data) {
        return failed(broken);
      }
      return Block{{}, after_prefix(*data, depth)};
    }
    std::uint64_t skip = *size;
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
  const auto size = r.u32_be();
  const auto type = r.u32_be();
  if (!size || !type) {
    return unexpected(HeaderError::Short);
  }
  BoxHeader header;
  for (std::size_t i = 0; i < 4; ++i) {
    header.type.at(i) = static_cast<char>((*type >> (24U - 8U * i)) & 0xFFU);
  }
  if (*size == 1) {
    const auto large = r.u64_be();
    if (!large) {
      return unexpected(HeaderError::Short);
    }
    if (*large < 16) {
      return unexpected(HeaderError::InvalidSize);
    }
    header.body_size = *large - 16;
    return header;
  }
  if (*size == 0) {
    return header;
  }
  if (*size < 8) {
    return unexpected(HeaderError::InvalidSize);
  }
  header.body_size = *size - 8U;
  return header;
}

// Brands from the ninth byte on, four bytes each; a partial last one is ignored.
bool has_heif_brand(ByteReader ftyp_body) {
  if (!ftyp_body.skip(8)) {
    return false;
  }
  while (const auto brand = ftyp_body.u32_be()) {
    if (*brand == 0x6D696631U || *brand == 0x6D736631U) { // "mif1", "msf1"
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
    const auto body = r.sub(header->body_size.value_or(r.remaining()));
    if (!body) {
      return false;
    }
    if (header->type_text() == "ftyp") {
      return body->size() >= 8 && has_heif_brand(*body);
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
  auto body = parent.sub(header->body_size.value_or(parent.remaining()));
  if (!body) {
    return unexpected("Box too small"sv);
  }
  return ChildBox{header->type, *body};
}

// ISO/IEC 14496-12 full box: version in the top 8 bits, flags below.
std::optional<std::uint8_t> full_box_version(ByteReader& r) {
  const auto word = r.u32_be();
  if (!word) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(*word >> 24U);
}

// A 16-bit or 32-bit big-endian count or identifier.
std::optional<std::uint32_t> read_u16_or_u32(ByteReader& r, bool wide) {
  if (wide) {
    return r.u32_be();
  }
  const auto v = r.u16_be();
  return v ? std::optional<std::uint32_t>(*v) : std::nullopt;
}

std::optional<std::uint64_t> read_sized(ByteReader& r, unsigned size) {
  switch (size) {
  case 0:
    return 0;
  case 4:
    return r.u32_be();
  default:
    return r.u64_be();
  }
}

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
    if (*version != 0) {
      return failed("Unsupported MetaBox");
    }
    std::optional<ByteReader> iloc;
    while (!meta_.at_end()) {
      auto child = read_child(meta_);
      if (!child) {
        return failed(child.error());
      }
      if (child->type() == "iinf") {
        if (const auto error = read_item_info(child->body)) {
          return failed(*error);
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
    auto location = read_item_location(*iloc);
    if (!location) {
      return failed(location.error());
    }
    return gather(*location);
  }

private:
  static constexpr auto too_small = "Box too small"sv;

  std::optional<std::string_view> read_item_info(ByteReader r) {
    const auto version = full_box_version(r);
    if (!version) {
      return too_small;
    }
    const auto count = read_u16_or_u32(r, *version != 0);
    if (!count) {
      return too_small;
    }
    for (std::uint32_t i = 0; i < *count; ++i) {
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
      if (*entry_version == 2) {
        id = e.u16_be();
      } else if (*entry_version == 3) {
        id = e.u32_be();
      } else {
        return "Unsupported ItemInfoEntry"sv;
      }
      const auto protection = e.u16_be();
      const auto type = e.u32_be();
      if (!id || !protection || !type) {
        return too_small;
      }
      if (*type == 0x45786966U) { // "Exif"
        exif_item_ = id;
      }
    }
    return std::nullopt;
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
      method = *word & 0x0FU;
    }
    const auto reference = r.u16_be();
    if (!id || !reference) {
      return unexpected(too_small);
    }
    if (method == 0 && *reference != 0) {
      return unexpected("External data reference is not supported"sv);
    }
    if (base_size != 0 && base_size != 4 && base_size != 8) {
      return unexpected("Invalid base_offset_size"sv);
    }
    const auto base = read_sized(r, base_size);
    const auto extent_count = r.u16_be();
    if (!base || !extent_count) {
      return unexpected(too_small);
    }
    return ItemHeader{*id, method, *base, *extent_count};
  }

  // The Exif item's extents, checked field by field; they are read again when gathered.
  static Expected<ByteReader, std::string_view> read_extents(ByteReader& r,
                                                             const ItemLocation& at) {
    const std::size_t start = r.position();
    for (unsigned e = 0; e < at.extent_count; ++e) {
      for (const auto& [size, error] : {std::pair{at.index_size, "Invalid index_size"sv},
                                        std::pair{at.offset_size, "Invalid offset_size"sv},
                                        std::pair{at.length_size, "Invalid length_size"sv}}) {
        if (size != 0 && size != 4 && size != 8) {
          return unexpected(error);
        }
        if (!read_sized(r, size)) {
          return unexpected(too_small);
        }
      }
    }
    return *r.sub_at(start, r.position() - start);
  }

  // ISO/IEC 14496-12 item location box: field sizes, then each item's extents.
  Expected<ItemLocation, std::string_view> read_item_location(ByteReader r) const {
    const auto version = full_box_version(r);
    const auto sizes = r.u16_be();
    if (!version || !sizes) {
      return unexpected(too_small);
    }
    if (*version > 2) {
      return unexpected("Unsupported ItemLocationBox"sv);
    }
    ItemLocation layout;
    layout.offset_size = *sizes >> 12U;
    layout.length_size = (*sizes >> 8U) & 0x0FU;
    layout.index_size = *version == 0 ? 0U : *sizes & 0x0FU;
    const unsigned base_size = (*sizes >> 4U) & 0x0FU;
    const auto count = read_u16_or_u32(r, *version == 2);
    if (!count) {
      return unexpected(too_small);
    }
    std::optional<ItemLocation> found;
    for (std::uint32_t i = 0; i < *count; ++i) {
      const auto item = read_item_header(r, *version, base_size);
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
      at.extents = *extents;
      found = at; // a later entry for the same item replaces an earlier one
    }
    if (!found) {
      return unexpected("No matching item in ItemLocationBox"sv);
    }
    return *found;
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
      const ByteReader& r = file_;
      const std::uint64_t from = std::min<std::uint64_t>(start, r.size());
      const auto piece = r.sub_at(from, length == 0 ? r.size() - from : length);
      if (!piece || (length != 0 && from != start)) {
        return unexpected("Broken HEIF file"sv);
      }
      return *piece;
    }
    if (length != 0 && start > UINT64_MAX - length) {
      return unexpected("Invalid length"sv);
    }
    const std::uint64_t end = length == 0 ? idat_->size() : start + length;
    if (start > end || end > idat_->size()) {
      return unexpected("Out of ItemDataBox"sv);
    }
    return *idat_->sub_at(start, end - start);
  }

  // Joins the extents; a single extent stays a view of the input.
  [[nodiscard]] Located gather(ItemLocation at) const {
    Block block;
    std::uint64_t total = 0;
    for (unsigned e = 0; e < at.extent_count; ++e) {
      (void)read_sized(at.extents, at.index_size);
      const std::uint64_t offset = *read_sized(at.extents, at.offset_size);
      const std::uint64_t length = *read_sized(at.extents, at.length_size);
      const auto piece = extent(at, offset, length);
      if (!piece) {
        return failed(piece.error());
      }
      total += piece->size();
      if (total > max_heif_exif) {
        return failed("Exif data too large");
      }
      if (e == 0) {
        block.tiff = *piece;
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
    const ByteReader& item = block.tiff;
    const auto header_offset = item.u32_be_at(0);
    if (!header_offset) {
      return failed("ExifDataBlock too small");
    }
    const auto tiff =
        item.sub_at(4 + std::uint64_t{*header_offset},
                    item.size() - 4 - std::min<std::uint64_t>(*header_offset, item.size() - 4));
    if (*header_offset > item.size() - 4 || !tiff) {
      return failed("Invalid Exif header offset");
    }
    block.tiff = *tiff;
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
      auto body = r.sub(size);
      if (!body) {
        return failed(broken);
      }
      if (type == "meta") {
        if (!seen_file_type) {
          return failed("MetaBox found before FileTypeBox");
        }
        return HeifMeta(r, *body).locate();
      }
      if (body->size() < 8) {
        return failed("Box too small");
      }
      if (!has_heif_brand(*body)) {
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
  const ByteReader head = *r.sub_at(0, std::min<std::size_t>(r.size(), detection_bytes));
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
