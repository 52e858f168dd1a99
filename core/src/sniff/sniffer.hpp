// File-type sniffing over the head bytes of an input.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace trawl {

/// The MIME type and extension (without dot) of a recognised type; static text.
struct SniffResult {
  std::string_view mime;
  std::string_view extension;
};

/// The first row of the detection table that matches `head`, or nothing.
[[nodiscard]] std::optional<SniffResult> sniff(std::span<const std::uint8_t> head) noexcept;

} // namespace trawl
