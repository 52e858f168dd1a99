// Tracks of ISO base media files (ISO/IEC 14496-12) and QuickTime movies: the handler and first
// sample entry of each track, and the sample durations of movie fragments.
#include <algorithm>
#include <bit>

#include "../support/iso_box.hpp"
#include "../support/text.hpp"
#include "media_thorough.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// Real files hold a few dozen tracks; more IDs than this are not timed.
constexpr std::size_t max_tracks = 4096;

[[nodiscard]] bool is(const std::array<std::uint8_t, 4>& type, std::string_view name) {
  return as_chars(type) == name;
}

// The first sample entry of a media information box: minf > stbl > stsd (version, flags,
// entry count, then the entries as boxes).
std::optional<IsoBox> first_sample_entry(const ByteReader& minf) {
  const auto stbl = child_box(minf, "stbl");
  auto stsd = stbl ? child_box(*stbl, "stsd") : std::nullopt;
  if (!stsd || !stsd->skip(8)) {
    return std::nullopt;
  }
  return next_box(*stsd);
}

[[nodiscard]] std::uint64_t add_saturated(std::uint64_t a, std::uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// The summed sample durations of a track run: per sample when the run lists them (flag 0x100),
// otherwise its sample count times the default.
std::uint64_t run_ticks(const ByteReader& trun, std::uint32_t default_duration) {
  const auto h = trun.fixed<8>(0);
  if (!h) {
    return 0;
  }
  const std::uint32_t flags = h->u32_be<0>() & 0xFFFFFFU;
  const std::uint32_t count = h->u32_be<4>();
  if ((flags & 0x100U) == 0) {
    return std::uint64_t{count} * default_duration;
  }
  // Optional data offset and first-sample flags, then per sample up to four 32-bit fields.
  ByteReader walk = trun;
  const std::uint64_t start =
      8U + ((flags & 0x1U) != 0 ? 4U : 0U) + ((flags & 0x4U) != 0 ? 4U : 0U);
  const auto stride = 4U * static_cast<std::uint64_t>(std::popcount(flags & 0xF00U));
  std::uint64_t ticks = 0;
  // Each sample read takes 4 bytes: the count cannot make the loop longer than the run.
  for (std::uint32_t i = 0; i < count && walk.seek(start + i * stride); ++i) {
    const auto duration = walk.u32_be();
    if (!duration) {
      break;
    }
    ticks += *duration;
  }
  return ticks;
}

} // namespace

bool starts_with_movie_box(const Probe& probe) {
  const auto h = ByteReader(probe.head).fixed<8>(0);
  if (!h) {
    return false;
  }
  const std::uint32_t size = h->u32_be<0>();
  if (size != 0 && size != 1 && (size < 8 || size > probe.len)) {
    return false;
  }
  const std::string_view type = as_chars(h->bytes<4, 4>());
  return type == "moov" || type == "mdat" || type == "wide" || type == "free" || type == "skip" ||
         type == "pnot";
}

void Mp4Tracks::read_movie(const ByteReader& moov) {
  ByteReader r = moov;
  while (const auto box = next_box(r)) {
    if (box->is("trak")) {
      read_track(box->payload);
      continue;
    }
    if (!box->is("mvex")) {
      continue;
    }
    // Track extends: version, flags, track ID, sample description index, default duration.
    ByteReader extends = box->payload;
    while (const auto trex = next_box(extends)) {
      const auto t = trex->payload.fixed<16>(0);
      if (!trex->is("trex") || !t) {
        continue;
      }
      const auto it = timings_.find(t->u32_be<4>());
      if (it != timings_.end()) {
        it->second.default_duration = t->u32_be<12>();
      } else if (timings_.size() < max_tracks) {
        timings_[t->u32_be<4>()].default_duration = t->u32_be<12>();
      }
    }
  }
}

void Mp4Tracks::read_track(const ByteReader& trak) {
  std::optional<std::uint32_t> id;
  Timing timing;
  Code handler{};
  std::optional<IsoBox> entry;
  ByteReader r = trak;
  while (const auto box = next_box(r)) {
    if (box->is("tkhd")) {
      // Version 1 has 64-bit creation and modification times before the track ID.
      const auto v0 = box->payload.fixed<16>(0);
      const auto v1 = v0 && v0->u8<0>() == 1 ? box->payload.fixed<24>(0) : std::nullopt;
      id = v1 ? std::optional(v1->u32_be<20>()) : v0 ? std::optional(v0->u32_be<12>()) : id;
    } else if (box->is("mdia")) {
      ByteReader media = box->payload;
      while (const auto part = next_box(media)) {
        if (part->is("mdhd")) {
          if (const auto times = header_times(part->payload)) {
            timing.timescale = times->timescale;
            timing.movie_ticks = times->duration;
          }
        } else if (const auto h = part->payload.fixed<12>(0); h && part->is("hdlr")) {
          const auto type = h->bytes<8, 4>();
          std::copy(type.begin(), type.end(), handler.begin());
        } else if (part->is("minf")) {
          entry = first_sample_entry(part->payload);
        }
      }
    }
  }
  if (id && (timings_.size() < max_tracks || timings_.contains(*id))) {
    Timing& t = timings_[*id];
    t.timescale = timing.timescale;
    t.movie_ticks = timing.movie_ticks;
  }
  if (!entry) {
    return;
  }
  if ((is(handler, "vide") || is(handler, "pict")) && !video_) {
    // Visual sample entry: 8 bytes of sample entry, 16 reserved, then width and height.
    Video video{entry->type, std::nullopt, std::nullopt};
    if (const auto v = entry->payload.fixed<28>(0)) {
      video.width = v->u16_be<24>();
      video.height = v->u16_be<26>();
    }
    video_ = video;
  } else if (is(handler, "soun") && !audio_) {
    audio_ = entry->type;
  }
}

void Mp4Tracks::read_fragment(const ByteReader& moof) {
  ByteReader r = moof;
  while (const auto box = next_box(r)) {
    if (box->is("traf")) {
      read_track_fragment(box->payload);
    }
  }
}

// A track fragment: its header (track ID, optional defaults), then its runs.
void Mp4Tracks::read_track_fragment(const ByteReader& traf) {
  ByteReader r = traf;
  Timing* timing = nullptr;
  std::uint32_t default_duration = 0;
  while (const auto box = next_box(r)) {
    if (box->is("tfhd")) {
      const auto h = box->payload.fixed<8>(0);
      const auto it = h ? timings_.find(h->u32_be<4>()) : timings_.end();
      timing = it != timings_.end() ? &it->second : nullptr;
      if (timing == nullptr) {
        continue;
      }
      // Base data offset (flag 1) and sample description index (flag 2) come first.
      const std::uint32_t flags = h->u32_be<0>();
      const std::uint64_t at =
          8U + ((flags & 0x1U) != 0 ? 8U : 0U) + ((flags & 0x2U) != 0 ? 4U : 0U);
      const auto own = (flags & 0x8U) != 0 ? box->payload.u32_be_at(at) : std::nullopt;
      default_duration = own.value_or(timing->default_duration);
    } else if (box->is("trun") && timing != nullptr) {
      timing->fragment_ticks =
          add_saturated(timing->fragment_ticks, run_ticks(box->payload, default_duration));
      fragmented_ = true;
    }
  }
}

void Mp4Tracks::report(Namespace& ns) const {
  const auto code_text = [](const Code& code) { return utf8_lossy(as_chars(code)); };
  if (video_) {
    ns.set("video_codec", code_text(video_->codec));
    if (video_->width && video_->height) {
      ns.set("width", *video_->width).set("height", *video_->height);
    }
  }
  if (audio_) {
    ns.set("audio_codec", code_text(*audio_));
  }
  if (!fragmented_) {
    return;
  }
  // A fragmented movie's headers count only the samples inside the movie box.
  std::optional<double> longest;
  for (const auto& [id, t] : timings_) {
    if (t.timescale != 0) {
      const double seconds =
          static_cast<double>(add_saturated(t.movie_ticks, t.fragment_ticks)) / t.timescale;
      longest = std::max(longest.value_or(0.0), seconds);
    }
  }
  if (longest) {
    ns.set("duration_seconds", Value::from_float(round_to(*longest, 3)));
  }
}

} // namespace trawl
