// MPEG audio streams (ISO/IEC 11172-3, ISO/IEC 13818-3 and the MPEG 2.5 extension, layers I to
// III): what the sniffer and the thorough readers ask of a head.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <trawl/extractor.hpp>

#include "../sniff/sniffer.hpp"

namespace trawl {

/// "audio/mpeg" with the layer's extension (mp1, mp2, mp3) when `head` starts with an MPEG audio
/// frame that the next frame's header confirms, as a decoder syncs.
[[nodiscard]] std::optional<SniffResult> mpeg_audio_type(std::span<const std::uint8_t> head);

/// Whether the thorough readers of MPEG audio and its tags should look at the input: it starts
/// with an ID3v2 tag, was sniffed as MPEG audio, or starts with a frame header.
[[nodiscard]] bool may_be_mpeg_audio(const Probe& probe);

} // namespace trawl
