// Duration of RIFF WAVE audio (Microsoft multimedia formats): the data chunk's bytes over the
// format's byte rate, or, for compressed formats, the fact chunk's sample count over the rate.
#include <algorithm>
#include <optional>

#include "../support/text.hpp"
#include "media_thorough.hpp"

namespace trawl {

namespace {

// Format tags whose data is a whole number of bytes per sample frame (PCM, IEEE float, A-law,
// mu-law, and the extensible format, which names one of them): their fact chunk adds nothing.
bool framed(std::uint16_t tag) {
  return tag == 1 || tag == 3 || tag == 6 || tag == 7 || tag == 0xFFFE;
}

} // namespace

void read_wave_duration(Namespace& ns, const ByteReader& input) {
  ByteReader walk = input;
  if (!walk.seek(12)) {
    return;
  }
  // The first of each chunk; a data chunk running past the end counts the bytes present.
  std::optional<Fixed<16>> format;
  std::optional<std::uint32_t> samples;
  std::optional<std::uint64_t> data;
  while (const auto chunk = walk.take_fixed<8>()) {
    const std::uint32_t size = chunk->u32_le<4>();
    const std::string_view id = as_chars(chunk->bytes<0, 4>());
    if (id == "fmt " && !format) {
      // Read like the default reading's audio keys: 16 bytes, whatever the size says.
      format = walk.fixed<16>(walk.position());
    } else if (id == "fact" && !samples && size >= 4) {
      samples = walk.u32_le_at(walk.position());
    } else if (id == "data" && !data) {
      data = std::min<std::uint64_t>(size, walk.remaining());
    }
    if (!walk.skip(std::uint64_t{size} + (size & 1U))) {
      break;
    }
  }
  if (!format || !data) {
    return;
  }
  const std::uint32_t rate = format->u32_le<4>();
  const std::uint32_t byte_rate = format->u32_le<8>();
  std::optional<double> seconds;
  if (!framed(format->u16_le<0>()) && samples && rate != 0) {
    seconds = static_cast<double>(*samples) / rate;
  } else if (byte_rate != 0) {
    seconds = static_cast<double>(*data) / byte_rate;
  }
  if (seconds) {
    ns.set("duration_seconds", Value::from_float(round_to(*seconds, 3)));
  }
}

} // namespace trawl
