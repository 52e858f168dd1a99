// The thorough reading of a PDF file: page count, document information and version from the
// object graph (the cross-reference, the catalog, the page tree, /Info and the XMP packet).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../support/byte_reader.hpp"

namespace trawl::pdf {

/// What the object graph says.
struct Facts {
  /// /Root /Pages /Count, or the leaves of the page tree where the count is unusable.
  std::optional<std::uint64_t> page_count;
  /// The catalog's /Version ("1.7").
  std::optional<std::string> catalog_version;
  /// The "pdf.info" strings: /Info first, the XMP packet for keys it lacks.
  std::map<std::string, std::string, std::less<>> info;
  /// Keys of `info` cut at the text cap, and "streams" when a stream reached its decoding cap.
  std::vector<std::string> truncated;
  /// The cipher of an encrypted file ("RC4-128", "AES-256", ...).
  std::optional<std::string> encryption;
  /// The strings need a user password (or a handler) we do not have: `info` is left empty.
  bool password_required = false;
  /// The caller asked to stop: the other facts are incomplete.
  bool stopped = false;
};

/// Reads the object graph of the PDF file in `file`; `marks` are the offsets of " obj" in it,
/// in order (used when the cross-reference is damaged), `text_cap` the longest string kept;
/// `stop` is asked every few MiB of work. Nothing when no catalog is found.
[[nodiscard]] std::optional<Facts> read_facts(const ByteReader& file,
                                              std::span<const std::uint64_t> marks,
                                              std::size_t text_cap, std::function<bool()> stop);

/// The version of a header line: the text after "%PDF-" up to a line break (within 16 bytes),
/// without trailing whitespace; else the digits and points right after "%PDF-".
[[nodiscard]] std::optional<std::string> header_version(std::span<const std::uint8_t> head);

/// The later of two versions "major.minor" (numerically); `header` when `catalog` is not one.
[[nodiscard]] std::string later_version(const std::string& header, const std::string& catalog);

} // namespace trawl::pdf
