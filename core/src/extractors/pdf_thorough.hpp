// The thorough reading of the "pdf" namespace: the byte search's page count, information and
// version replaced by what the object graph says.
#pragma once

#include <cstdint>
#include <span>

#include <trawl/extractor.hpp>

#include "../support/byte_reader.hpp"

namespace trawl {

/// How many offsets of " obj" the pass keeps for an input of `len` bytes.
[[nodiscard]] std::uint64_t pdf_mark_cap(std::uint64_t len) noexcept;

/// Replaces "version", "page_count" and "info" of `ns` (the byte search's) with the structured
/// answers and adds "encryption" and "password_required"; `marks` are the offsets of " obj".
/// False when the caller asked to stop (Probe::stopping) before the answers were complete.
[[nodiscard]] bool read_pdf_structure(Namespace& ns, const ByteReader& file, const Probe& probe,
                                      std::span<const std::uint64_t> marks);

} // namespace trawl
