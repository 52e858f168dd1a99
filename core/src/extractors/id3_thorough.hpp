// ID3 tags in the thorough reading: the text frames of an ID3v2 tag as tag readers present them,
// and an ID3v1 tag at the end of the input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <trawl/value.hpp>

#include "../support/byte_reader.hpp"

namespace trawl {

/// Sets "frames" (and "truncated", "v1_version") in `ns` from the ID3v2 tag at the start of `r`,
/// of `tag_size` bytes after its header (none without a tag), and from an ID3v1 tag in the last
/// 128 bytes for the fields the ID3v2 tag lacks.
void read_id3_thorough(const ByteReader& r, std::optional<std::uint64_t> tag_size, Namespace& ns);

/// UTF-16 text of a frame as UTF-8 without its leading byte-order marks (every one: writers
/// repeat them).
[[nodiscard]] std::string id3_utf16(std::string_view text, bool big_endian);

} // namespace trawl
