// MPEG audio streams (ISO/IEC 11172-3, ISO/IEC 13818-3 and the MPEG 2.5 extension, layers I to
// III) in the thorough reading: the first frame after any ID3v2 tags, its Xing, Info or VBRI
// header (with the LAME encoder delay and padding), and the stream's rate and length.
#include "mpeg_audio.hpp"

#include <array>
#include <cmath>
#include <string_view>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "extractors.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// The header fields a decoder checks before it trusts a sync word.
struct FrameHeader {
  std::uint8_t version_bits = 0; // 3: MPEG 1, 2: MPEG 2, 0: MPEG 2.5
  unsigned layer = 0;
  std::uint32_t bitrate = 0; // bits per second
  std::uint32_t sample_rate = 0;
  unsigned mode = 0; // stereo, joint stereo, dual channel, mono
  std::uint32_t samples = 0;
  std::uint32_t length = 0; // bytes, header included

  [[nodiscard]] bool same_stream(const FrameHeader& o) const noexcept {
    return version_bits == o.version_bits && layer == o.layer && sample_rate == o.sample_rate;
  }
};

// kbps by bit-rate index 1 to 14 for MPEG 1 layers I, II, III, then MPEG 2 and 2.5 layer I,
// then their layers II and III.
constexpr std::array<std::array<std::uint16_t, 14>, 5> bitrates = {{
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
}};
// Hz by version bits (MPEG 2.5, reserved, MPEG 2, MPEG 1) and rate index.
constexpr std::array<std::array<std::uint32_t, 3>, 4> sample_rates = {{
    {11025, 12000, 8000},
    {0, 0, 0},
    {22050, 24000, 16000},
    {44100, 48000, 32000},
}};

// Sync, version, layer, CRC flag, bit-rate index, rate index, padding, private bit, mode: free
// bit rates and the reserved values are refused, as stream readers do.
std::optional<FrameHeader> decode_header(std::uint32_t word) {
  const auto field = [word](unsigned shift, std::uint32_t mask) { return (word >> shift) & mask; };
  const std::uint32_t rate_index = field(12, 0xF);
  const std::uint32_t hz_index = field(10, 3);
  FrameHeader h;
  h.version_bits = static_cast<std::uint8_t>(field(19, 3));
  h.layer = 4 - field(17, 3);
  if (field(21, 0x7FF) != 0x7FF || h.version_bits == 1 || h.layer == 4 || rate_index == 0 ||
      rate_index == 15 || hz_index == 3) {
    return std::nullopt;
  }
  const bool mpeg1 = h.version_bits == 3;
  const std::size_t row = mpeg1 ? h.layer - 1 : (h.layer == 1 ? 3 : 4);
  h.bitrate = std::uint32_t{bitrates.at(row).at(rate_index - 1)} * 1000;
  h.sample_rate = sample_rates.at(h.version_bits).at(hz_index);
  h.mode = field(6, 3);
  const std::uint32_t padding = field(9, 1);
  if (h.layer == 1) {
    h.samples = 384;
    h.length = (12 * h.bitrate / h.sample_rate + padding) * 4;
  } else {
    h.samples = h.layer == 3 && !mpeg1 ? 576 : 1152;
    h.length = h.samples / 8 * h.bitrate / h.sample_rate + padding;
  }
  return h;
}

std::optional<FrameHeader> header_at(const ByteReader& r, std::uint64_t offset) {
  if (const auto word = r.u32_be_at(offset)) {
    return decode_header(*word);
  }
  return std::nullopt;
}

// A stream-level header in the first frame: the frame count and byte count it gives, and the
// samples the LAME encoder added at the start and the end.
struct VbrHeader {
  std::string_view kind; // "Xing", "Info" or "VBRI"
  std::optional<std::uint32_t> frames;
  std::optional<std::uint32_t> bytes;
  std::optional<std::uint32_t> delay_and_padding;
};

// LAME's tag after the Xing fields: a 9-byte version text, then from version 3.90 on the
// encoder details, whose bytes 12 to 14 hold the delay and the padding in 12 bits each.
std::optional<std::uint32_t> lame_delay_and_padding(const ByteReader& r, std::uint64_t at) {
  const auto version = r.fixed<20>(at);
  if (!version) {
    return std::nullopt;
  }
  const std::string_view text = as_chars(version->bytes<0, 20>());
  if (!text.starts_with("LAME"sv) && !text.starts_with("L3.99"sv)) {
    return std::nullopt;
  }
  const std::size_t digits_at = text.find_first_not_of("EMAL"sv);
  if (digits_at == std::string_view::npos || text[digits_at] < '0' || text[digits_at] > '9') {
    return std::nullopt;
  }
  const auto major = static_cast<unsigned>(text[digits_at] - '0');
  std::string_view rest = text.substr(digits_at + 1);
  rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of('.')));
  const std::size_t minor_digits = std::min(rest.size(), rest.find_first_not_of("0123456789"sv));
  if (minor_digits == 0) {
    return std::nullopt;
  }
  unsigned minor = 0;
  for (const char c : rest.substr(0, std::min<std::size_t>(minor_digits, 4))) {
    minor = minor * 10 + static_cast<unsigned>(c - '0');
  }
  minor = minor_digits > 4 ? 9999 : minor;
  rest.remove_prefix(minor_digits);
  // Versions before 3.90, and 3.90 alpha builds that wrote "(" here, have no encoder details.
  const bool old = major < 3 || (major == 3 && minor < 90);
  const bool alpha =
      major == 3 && minor == 90 && rest.size() >= 11 && rest[rest.size() - 11] == '(';
  if (old || alpha || rest.size() < 11) {
    return std::nullopt;
  }
  const auto details = r.fixed<27>(at + 9);
  if (!details || (details->u8<0>() >> 4U) != 0) {
    return std::nullopt;
  }
  const std::uint32_t both = details->u24_be<12>();
  return (both >> 12U) + (both & 0xFFFU);
}

// Xing or Info after the side information (its size depends on version and channels):
// flags, then the frame count, byte count, 100-byte table and quality each when flagged.
std::optional<VbrHeader> xing_header(const ByteReader& r, std::uint64_t frame,
                                     const FrameHeader& h) {
  const bool mono = h.mode == 3;
  const std::uint64_t side = h.version_bits == 3 ? (mono ? 21 : 36) : (mono ? 13 : 21);
  const auto start = r.fixed<8>(frame + side);
  if (!start) {
    return std::nullopt;
  }
  VbrHeader out;
  const std::string_view id = as_chars(start->bytes<0, 4>());
  if (id != "Xing"sv && id != "Info"sv) {
    return std::nullopt;
  }
  out.kind = id == "Xing"sv ? "Xing"sv : "Info"sv;
  const std::uint32_t flags = start->u32_be<4>();
  std::uint64_t at = frame + side + 8;
  for (auto [bit, field] : {std::pair{1U, &out.frames}, std::pair{2U, &out.bytes}}) {
    if ((flags & bit) != 0) {
      *field = r.u32_be_at(at);
      if (!*field) {
        return std::nullopt;
      }
      at += 4;
    }
  }
  for (auto [bit, size] : {std::pair{4U, 100U}, std::pair{8U, 4U}}) {
    if ((flags & bit) != 0) {
      if (!r.fits(at, size)) {
        return std::nullopt;
      }
      at += size;
    }
  }
  out.delay_and_padding = lame_delay_and_padding(r, at);
  return out;
}

// Fraunhofer's VBRI, 32 bytes after the header whatever the layout: version 1, then the byte
// and frame counts and a seek table that must be whole.
std::optional<VbrHeader> vbri_header(const ByteReader& r, std::uint64_t frame) {
  const auto v = r.fixed<26>(frame + 36);
  if (!v || as_chars(v->bytes<0, 4>()) != "VBRI"sv || v->u16_be<4>() != 1) {
    return std::nullopt;
  }
  const std::uint32_t entry_size = v->u16_be<22>();
  if ((entry_size != 2 && entry_size != 4) ||
      !r.fits(frame + 36 + 26, std::uint64_t{entry_size} * v->u16_be<18>())) {
    return std::nullopt;
  }
  return VbrHeader{"VBRI"sv, v->u32_be<14>(), v->u32_be<10>(), std::nullopt};
}

struct Frame {
  std::uint64_t offset = 0;
  FrameHeader header;
  std::optional<VbrHeader> vbr;
};

// After the sync at `at`, up to four frames in a row of one stream; a frame that carries a
// stream header ends the run.
std::size_t frames_from(const ByteReader& r, std::uint64_t at, std::array<Frame, 4>& run) {
  std::size_t n = 0;
  while (n < run.size()) {
    const auto h = header_at(r, at);
    if (!h || (n > 0 && !h->same_stream(run[0].header))) {
      break;
    }
    std::optional<VbrHeader> vbr;
    if (h->layer == 3) {
      vbr = xing_header(r, at, *h);
      vbr = vbr ? vbr : vbri_header(r, at);
    }
    run.at(n++) = Frame{at, *h, vbr};
    if (vbr) {
      break;
    }
    at += h->length;
  }
  return n;
}

// The first frame from `start` on: at a sync (FF and three more set bits) that a stream header
// or three more frames confirm, else the first that one more frame confirms; looked for in a
// bounded span, as players do.
std::optional<Frame> first_frame(const ByteReader& r, std::uint64_t start) {
  constexpr std::uint64_t span = std::uint64_t{1} << 20U;
  constexpr unsigned max_syncs = 1500;
  const auto window = start < r.size()
                          ? r.sub_at(start, std::min<std::uint64_t>(span, r.size() - start))
                          : std::nullopt;
  if (!window) {
    return std::nullopt;
  }
  std::optional<Frame> fallback;
  unsigned syncs = 0;
  for (std::uint64_t in = window->find(0xFF, 0); in < window->size();
       in = window->find(0xFF, in + 1)) {
    const std::uint64_t at = start + in;
    const auto second = r.u8_at(at + 1);
    if (!second) {
      break;
    }
    if ((*second & 0xE0U) != 0xE0U) {
      continue;
    }
    if (++syncs >= max_syncs) {
      break;
    }
    std::array<Frame, 4> run{};
    const std::size_t n = frames_from(r, at, run);
    if (n >= 2 && !fallback) {
      fallback = run[0];
    }
    if (n > 0 && run.at(n - 1).vbr) {
      return run.at(n - 1);
    }
    if (n == run.size()) {
      return run[0];
    }
  }
  return fallback;
}

// Where the audio starts: after every ID3v2 tag in front (some writers stack them).
std::uint64_t after_id3_tags(const ByteReader& r) {
  std::uint64_t at = 0;
  while (r.matches_at(at, "ID3"sv)) {
    const auto h = r.fixed<10>(at);
    if (!h) {
      break;
    }
    std::uint64_t size = 0;
    for (const std::uint8_t b : h->bytes<6, 4>()) {
      size = (size << 7U) | (b & 0x7FU);
    }
    if (size == 0) {
      break;
    }
    const bool footer = h->u8<3>() == 4 && (h->u8<5>() & 0x10U) != 0;
    at += 10 + size + (footer ? 10 : 0);
  }
  return at;
}

std::string_view mode_label(unsigned mode) {
  constexpr std::array<std::string_view, 4> labels = {"stereo", "joint stereo", "dual channel",
                                                      "mono"};
  return labels.at(mode & 3U);
}

// Length and mean rate from the stream header where it has them, else the first frame's rate
// over the bytes from that frame to the end of the file.
void set_rate_and_length(Namespace& ns, const Frame& f, std::uint64_t file_size) {
  const FrameHeader& h = f.header;
  std::uint64_t bitrate = h.bitrate;
  std::optional<double> seconds;
  if (f.vbr && f.vbr->kind == "VBRI"sv) {
    const double length =
        static_cast<double>(std::uint64_t{h.samples} * f.vbr->frames.value_or(0)) / h.sample_rate;
    if (length > 0) {
      bitrate = static_cast<std::uint64_t>(
          static_cast<double>(std::uint64_t{f.vbr->bytes.value_or(0)} * 8) / length);
    }
    seconds = length;
  } else if (f.vbr && f.vbr->frames) {
    std::uint64_t samples = std::uint64_t{h.samples} * *f.vbr->frames;
    if (f.vbr->bytes && samples > 0) {
      // The count includes the header frame's bytes but not the frame itself.
      const std::uint64_t audio = *f.vbr->bytes - std::min<std::uint64_t>(*f.vbr->bytes, h.length);
      bitrate = static_cast<std::uint64_t>(std::nearbyint(
          static_cast<double>(audio * 8 * h.sample_rate) / static_cast<double>(samples)));
    }
    const std::uint64_t trimmed = f.vbr->delay_and_padding.value_or(0);
    samples = samples > trimmed ? samples - trimmed : 0;
    seconds = static_cast<double>(samples) / h.sample_rate;
  }
  if (!seconds) {
    seconds = static_cast<double>((file_size - f.offset) * 8) / static_cast<double>(bitrate);
  }
  ns.set("bitrate_bps", bitrate).set("duration_seconds", Value::from_float(round_to(*seconds, 3)));
}

} // namespace

std::optional<SniffResult> mpeg_audio_type(std::span<const std::uint8_t> head) {
  const ByteReader r(head);
  const auto first = header_at(r, 0);
  if (!first) {
    return std::nullopt;
  }
  const auto next = header_at(r, first->length);
  if (!next || !next->same_stream(*first)) {
    return std::nullopt;
  }
  constexpr std::array<std::string_view, 3> extensions = {"mp1", "mp2", "mp3"};
  return SniffResult{"audio/mpeg", extensions.at(first->layer - 1)};
}

bool may_be_mpeg_audio(const Probe& probe) {
  const ByteReader head(probe.head);
  return probe.thorough && (head.matches_at(0, "ID3"sv) || probe.mime == "audio/mpeg" ||
                            header_at(head, 0).has_value());
}

bool MpegExtractor::supports(const Probe& probe) const {
  return may_be_mpeg_audio(probe);
}

ExtractResult MpegExtractor::extract(Source& source, const Probe& probe) const {
  Namespace ns(name());
  if (!probe.thorough) {
    return ns;
  }
  const auto input = whole_input(*this, source, probe);
  if (!input) {
    return input.error();
  }
  const ByteReader& r = *input;
  const auto frame = first_frame(r, after_id3_tags(r));
  if (!frame) {
    return ns;
  }
  const FrameHeader& h = frame->header;
  constexpr std::array<std::string_view, 4> versions = {"2.5", "", "2", "1"};
  ns.set("version", versions.at(h.version_bits))
      .set("layer", std::uint64_t{h.layer})
      .set("sample_rate", std::uint64_t{h.sample_rate})
      .set("channel_mode", mode_label(h.mode))
      .set("channels", std::uint64_t{h.mode == 3 ? 1U : 2U})
      .set("first_frame_offset", frame->offset);
  if (frame->vbr) {
    ns.set("vbr_header", frame->vbr->kind);
  }
  set_rate_and_length(ns, *frame, r.size());
  return ns;
}

} // namespace trawl
