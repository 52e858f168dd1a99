// ISO/IEC 14496-12 boxes (MP4, QuickTime, HEIF): the one walk of the readers of the family.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "byte_reader.hpp"
#include "text.hpp"

namespace trawl {

/// One box: its type, its size with the header, and a reader over its payload.
struct IsoBox {
  std::array<std::uint8_t, 4> type{};
  std::uint64_t size = 0;
  ByteReader payload{std::span<const std::uint8_t>{}};

  [[nodiscard]] bool is(std::string_view name) const noexcept { return as_chars(type) == name; }
};

/// The box at the cursor of `boxes`: a 32-bit size (0: to the end of `boxes`, 1: a 64-bit size
/// follows), the type, the payload. Nothing where the header or the payload would run past
/// `boxes`, which ends a walk.
[[nodiscard]] inline std::optional<IsoBox> next_box(ByteReader& boxes) {
  const auto head = boxes.take_fixed<8>();
  if (!head) {
    return std::nullopt;
  }
  std::uint64_t size = head->u32_be<0>();
  std::uint64_t header = 8;
  if (size == 0) {
    size = boxes.remaining() + header;
  } else if (size == 1) {
    size = boxes.u64_be().value_or(0);
    header = 16;
  }
  const auto payload = size >= header ? boxes.sub(size - header) : std::nullopt;
  if (!payload) {
    return std::nullopt;
  }
  IsoBox box;
  const auto type = head->bytes<4, 4>();
  std::copy(type.begin(), type.end(), box.type.begin());
  box.size = size;
  box.payload = payload.value_or(ByteReader{std::span<const std::uint8_t>{}});
  return box;
}

/// The payload of the first box of `type` among `boxes`.
[[nodiscard]] inline std::optional<ByteReader> child_box(ByteReader boxes, std::string_view type) {
  while (const auto box = next_box(boxes)) {
    if (box->is(type)) {
      return box->payload;
    }
  }
  return std::nullopt;
}

/// The timescale and duration of a movie or media header ("mvhd", "mdhd").
struct HeaderTimes {
  std::uint32_t timescale = 0;
  std::uint64_t duration = 0;
};

/// Version 0 has 32-bit times, version 1 a 64-bit duration; nothing when the payload is short.
[[nodiscard]] inline std::optional<HeaderTimes> header_times(const ByteReader& payload) {
  const auto v0 = payload.fixed<20>(0);
  if (!v0) {
    return std::nullopt;
  }
  const auto v1 = v0->u8<0>() == 1 ? payload.fixed<32>(0) : std::nullopt;
  return HeaderTimes{v1 ? v1->u32_be<20>() : v0->u32_be<12>(),
                     v1 ? v1->u64_be<24>() : v0->u32_be<16>()};
}

} // namespace trawl
