// XMP (ISO 16684-1) packets: their common properties, and where JPEG, PNG, WebP, TIFF, ISO base
// media and PDF files keep them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <trawl/extractor.hpp>
#include <trawl/value.hpp>

#include "../support/byte_reader.hpp"

namespace trawl::xmp {

/// The most bytes of one packet that are read: Photoshop's document history makes packets of
/// several MiB, far beyond any other real one.
inline constexpr std::size_t max_packet = std::size_t{16} << 20U;

/// The "xmp" namespace of one packet: "title" and "description" (dc, the x-default
/// alternative), "creator" (dc, a list), "create_date", "modify_date", "creator_tool" and
/// "rating" (xmp). The packet is UTF-8, or UTF-16 after a byte-order mark; XML that cannot be
/// read ends the reading, keeping what was found before.
[[nodiscard]] Namespace read_packet(std::span<const std::uint8_t> packet);

/// A packet found in a file, copied out of it.
struct Packet {
  std::vector<std::uint8_t> bytes;
  bool cut = false; ///< longer than max_packet, or compressed beyond its cap
};

/// The packet of a JPEG (APP1), PNG (iTXt "XML:com.adobe.xmp"), WebP ("XMP " chunk), TIFF (tag
/// 700 of the first IFD) or ISO base media file (the XMP "uuid" box, or moov/udta/XMP_).
[[nodiscard]] std::optional<Packet> find_packet(const ByteReader& file);

/// A scan of a PDF's bytes for packets left uncompressed (metadata streams without a filter):
/// its namespace is that of the last packet that declares the PDF namespace, else of the last.
[[nodiscard]] std::unique_ptr<Scan> start_pdf_scan();

/// Whether `head` starts a file that find_packet or a PDF search reads.
[[nodiscard]] bool has_container(std::span<const std::uint8_t> head);

} // namespace trawl::xmp
