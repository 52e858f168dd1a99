#include "sniff.hpp"

namespace trawl {

std::optional<SniffResult> sniff(std::span<const std::uint8_t> /*head*/) noexcept {
  return std::nullopt;
}

} // namespace trawl
