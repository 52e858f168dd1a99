// Compound File Binary (MS-CFB) documents: which Office application a head belongs to.
#pragma once

#include <cstdint>

#include "../support/byte_reader.hpp"

namespace trawl {

/// The application named by the root storage's class id.
enum class CompoundKind : std::uint8_t { None, Word, Excel, PowerPoint };

/// Parses `head` as a whole compound file; None when it is not one, does not parse, or the
/// root class id is none of the three.
[[nodiscard]] CompoundKind compound_file_kind(const ByteReader& head) noexcept;

} // namespace trawl
