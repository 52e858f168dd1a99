// Where images and media keep their XMP packet: JPEG APP1 segments, PNG iTXt chunks, WebP (RIFF)
// chunks, TIFF tag 700 and ISO base media boxes.
#include <array>
#include <cstring>

#include "../extractors/extractors.hpp"
#include "../support/iso_box.hpp"
#include "../support/png_text.hpp"
#include "../support/text.hpp"
#include "xmp.hpp"

namespace trawl::xmp {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view jpeg_signature = "http://ns.adobe.com/xap/1.0/\0"sv;
// The "uuid" box type ISO base media files keep XMP in.
constexpr std::string_view xmp_uuid =
    "\xBE\x7A\xCF\xCB\x97\xA9\x42\xE8\x9C\x71\x99\x94\x91\xE3\xAF\xAC"sv;

Packet copy_packet(const ByteReader& bytes) {
  const ByteView view = bytes.clipped_at(0, max_packet);
  return Packet{{view.span().begin(), view.span().end()}, bytes.size() > max_packet};
}

// Marker segments up to the first scan; the last XMP segment counts. Stray bytes before a
// marker (a segment whose length is wrong) are passed over.
std::optional<Packet> jpeg_packet(ByteReader r) {
  std::optional<ByteReader> found;
  (void)r.skip(2);
  for (;;) {
    if (!r.seek(r.find(0xFF, r.position())) || !r.skip(1)) {
      break;
    }
    auto code = r.u8();
    while (code == 0xFF) {
      code = r.u8();
    }
    if (!code || *code == 0xD9 || *code == 0xDA) {
      break;
    }
    if (*code == 0x00 || *code == 0x01 || (*code >= 0xD0 && *code <= 0xD7)) {
      continue; // markers without a length
    }
    const auto length = r.u16_be();
    if (!length || *length < 2) {
      break;
    }
    const auto payload = r.sub(*length - 2U);
    if (!payload) {
      break;
    }
    if (*code == 0xE1 && payload->matches_at(0, jpeg_signature)) {
      found = payload->sub_at(jpeg_signature.size(), payload->size() - jpeg_signature.size());
    }
  }
  if (!found) {
    return std::nullopt;
  }
  return copy_packet(*found);
}

// Chunks up to IEND; the last iTXt "XML:com.adobe.xmp" counts.
std::optional<Packet> png_packet(ByteReader r) {
  std::optional<ByteReader> found;
  (void)r.skip(8);
  for (;;) {
    // Chunks of twelve zero bytes (no data, a zero type and CRC) are passed over in one step.
    (void)r.skip(r.zeros_at(r.position()) / 12 * 12);
    const auto length = r.u32_be();
    const auto type = r.bytes(4);
    if (!length || !type) {
      break;
    }
    const std::string_view kind = as_chars(type->span());
    const auto data = r.sub(*length);
    if (!data || kind == "IEND") {
      break;
    }
    if (kind == "iTXt" && png_text_keyword(*data) == "XML:com.adobe.xmp") {
      found = data;
    }
    if (!r.skip(4)) {
      break;
    }
  }
  if (!found) {
    return std::nullopt;
  }
  InflateBudget budget(r.size());
  auto text = read_png_text("iTXt", *found, max_packet, budget);
  if (!text) {
    return std::nullopt;
  }
  return Packet{{text->text.begin(), text->text.end()}, text->cut};
}

// RIFF chunks inside the declared size: four-character code, 32-bit size, data, a pad byte.
std::optional<Packet> webp_packet(ByteReader r) {
  const auto declared = r.u32_le_at(4);
  if (!declared || !r.skip(12)) {
    return std::nullopt;
  }
  ByteReader chunks = r.sub_clipped(*declared - std::min<std::uint32_t>(*declared, 4));
  for (;;) {
    // Empty chunks with a zero identifier are passed over in one step.
    (void)chunks.skip(chunks.zeros_at(chunks.position()) / 8 * 8);
    const auto fourcc = chunks.bytes(4);
    const auto size = chunks.u32_le();
    if (!fourcc || !size) {
      return std::nullopt;
    }
    const auto data = chunks.sub(*size);
    if (!data) {
      return std::nullopt;
    }
    if (as_chars(fourcc->span()) == "XMP ") {
      return copy_packet(*data);
    }
    if (*size % 2 == 1 && !chunks.skip(1)) {
      return std::nullopt;
    }
  }
}

// Tag 700 of the first IFD: BYTE or UNDEFINED (some writers use ASCII).
std::optional<Packet> tiff_packet(const ByteReader& file) {
  const ByteReader r =
      file.with_order(file.matches_at(0, "MM") ? ByteOrder::Big : ByteOrder::Little);
  const auto first = r.u32_at(4);
  const auto count = first ? r.u16_at(*first) : std::nullopt;
  if (!count) {
    return std::nullopt;
  }
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto entry = r.fixed<12>(*first + 2 + 12 * i);
    if (!entry) {
      return std::nullopt;
    }
    const std::uint16_t type = entry->u16<2>();
    if (entry->u16<0>() != 700 || (type != 1 && type != 2 && type != 7)) {
      continue;
    }
    const std::uint32_t length = entry->u32<4>();
    const std::uint64_t at = length > 4 ? entry->u32<8>() : *first + 2 + 12 * i + 8;
    if (const auto value = r.sub_at(at, length)) {
      return copy_packet(*value);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// The XMP "uuid" box at the top level, else moov/udta/XMP_.
std::optional<Packet> media_packet(ByteReader r) {
  std::optional<ByteReader> movie;
  while (const auto box = next_box(r)) {
    if (box->is("uuid") && box->payload.matches_at(0, xmp_uuid)) {
      const auto body = box->payload.sub_at(xmp_uuid.size(), box->payload.size() - xmp_uuid.size());
      return body ? std::optional(copy_packet(*body)) : std::nullopt;
    }
    if (box->is("moov") && !movie) {
      movie = box->payload;
    }
  }
  const auto user_data = movie ? child_box(*movie, "udta") : std::nullopt;
  const auto xmp = user_data ? child_box(*user_data, "XMP_") : std::nullopt;
  if (!xmp) {
    return std::nullopt;
  }
  return copy_packet(*xmp);
}

} // namespace

std::optional<Packet> find_packet(const ByteReader& file) {
  if (file.matches_at(0, "\xFF\xD8\xFF"sv)) {
    return jpeg_packet(file);
  }
  if (file.matches_at(0, "\x89PNG\r\n\x1A\n"sv)) {
    return png_packet(file);
  }
  if (file.matches_at(0, "RIFF"sv) && file.matches_at(8, "WEBP"sv)) {
    return webp_packet(file);
  }
  if (file.matches_at(0, "II*\0"sv) || file.matches_at(0, "MM\0*"sv)) {
    return tiff_packet(file);
  }
  if (file.matches_at(4, "ftyp"sv)) {
    return media_packet(file);
  }
  return std::nullopt;
}

bool has_container(std::span<const std::uint8_t> head) {
  const ByteReader r(head);
  return r.matches_at(0, "\xFF\xD8\xFF"sv) || r.matches_at(0, "\x89PNG\r\n\x1A\n"sv) ||
         (r.matches_at(0, "RIFF"sv) && r.matches_at(8, "WEBP"sv)) || r.matches_at(0, "II*\0"sv) ||
         r.matches_at(0, "MM\0*"sv) || r.matches_at(4, "ftyp"sv) || r.matches_at(0, "%PDF-"sv);
}

} // namespace trawl::xmp
