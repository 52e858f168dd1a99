// The thorough reading of ELF, WAV and ISO base media files: what the extractors of media.cpp and
// bmp.cpp add when the caller asks for it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

#include <trawl/extractor.hpp>
#include <trawl/value.hpp>

#include "../support/byte_reader.hpp"

namespace trawl {

/// The machine of ELF header field e_machine: readelf's name, the five labels of the default
/// reading kept as they are, "other" for codes outside the table.
[[nodiscard]] std::string_view elf_machine_label(std::uint16_t code) noexcept;

/// Reads an ELF file's program headers: sets "interpreter" (PT_INTERP), "pie" (DF_1_PIE in the
/// dynamic section) and "type" "executable" for a position-independent executable.
void read_elf_details(Namespace& ns, const ByteReader& input);

/// Sets "duration_seconds" of a RIFF WAVE file from its chunks.
void read_wave_duration(Namespace& ns, const ByteReader& input);

/// Whether the head starts with a box that QuickTime files without a file-type box begin with,
/// with a size the input can hold.
[[nodiscard]] bool starts_with_movie_box(const Probe& probe);

/// The tracks of an ISO base media movie and its fragments.
class Mp4Tracks {
public:
  /// Reads the tracks ("trak") and the fragment defaults ("mvex") of one movie box's payload.
  void read_movie(const ByteReader& moov);
  /// Adds the sample durations of one movie fragment box's payload ("moof").
  void read_fragment(const ByteReader& moof);
  /// Sets the first video track's codec, width and height, the first audio track's codec and,
  /// for a fragmented movie, "duration_seconds" of its longest track.
  void report(Namespace& ns) const;

private:
  using Code = std::array<std::uint8_t, 4>;
  struct Timing {
    std::uint32_t timescale = 0;
    std::uint64_t movie_ticks = 0;      // the samples inside the movie box (media header)
    std::uint64_t fragment_ticks = 0;   // the samples of every fragment
    std::uint32_t default_duration = 0; // the movie extends box's default for fragments
  };
  struct Video {
    Code codec{};
    std::optional<std::uint16_t> width;
    std::optional<std::uint16_t> height;
  };
  void read_track(const ByteReader& trak);
  void read_track_fragment(const ByteReader& traf);

  std::map<std::uint32_t, Timing> timings_; // by track ID
  std::optional<Video> video_;
  std::optional<Code> audio_;
  bool fragmented_ = false;
};

} // namespace trawl
