"""Audio, video and executable facts against what independent tools report for the corpus files
(ffprobe/soxi for WAV and MP4, mutagen/eyeD3 for ID3, readelf for ELF, webpinfo for WebP)."""

import pytest

import trawl

from conftest import assert_facts

CASES = [
    ("real/wav/sox_pcm16_stereo_44k.wav", "riff",
     {"media_kind": "audio (WAV)", "audio_format_tag": 1, "channels": 2, "sample_rate": 44100,
      "bits_per_sample": 16}),
    ("real/wav/ffmpeg_float64.wav", "riff",
     {"audio_format_tag": 65534, "channels": 1, "sample_rate": 32000, "bits_per_sample": 64}),
    ("real/wav/sox_ulaw.wav", "riff", {"audio_format_tag": 7, "sample_rate": 8000}),
    ("real/wav/mutagen_pcm8_id3_chunk.wav", "riff",
     {"channels": 2, "sample_rate": 16000, "bits_per_sample": 8}),
    ("real/avi/ffmpeg_mjpeg.avi", "riff", {"form_type": "AVI ", "media_kind": "video (AVI)"}),
    ("real/webp/cwebp_lossless.webp", "riff",
     {"webp_format": "lossless", "width": 200, "height": 150}),
    ("real/webp/cwebp_lossy.webp", "riff", {"webp_format": "lossy", "width": 400, "height": 300}),
    ("real/webp/img2webp_animated.webp", "riff",
     {"webp_format": "extended", "width": 64, "height": 48, "has_animation": True,
      "has_alpha": False}),
    ("real/webp/libwebp_lossy_alpha1.webp", "riff",
     {"webp_format": "extended", "width": 1000, "height": 307, "has_alpha": True}),
    ("real/webp/webpmux_exif_gps.webp", "riff", {"has_exif": True, "width": 400}),
    ("real/mp3/eyed3_v23_utf16.mp3", "id3",
     {"version": "2.3.0", "tag_size": 316, "frames": {"title": "\u03a9mega title",
                                                      "artist": "\u00c4rtist"}}),
    ("real/mp3/eyed3_v24_utf16be.mp3", "id3",
     {"version": "2.4.0", "tag_size": 364,
      "frames": {"title": "Big-endian \u03a9mega", "artist": "\u00c9lodie", "album": "BE album",
                 "track": "04"}}),
    ("real/mp3/eyed3_v24_utf8.mp3", "id3",
     {"frames": {"title": "\u00c7a va \u2014 \u00fcn\u00efcode", "artist": "Sigur R\u00f3s",
                 "album": "\u00c1g\u00e6tis byrjun", "album_artist": "Sigur R\u00f3s",
                 "genre": "Post-Rock", "track": "02/10"}}),
    ("real/mp3/mutagen_id3v22.mp3", "id3",
     {"version": "2.2.0", "frames": {"title": "cosmic american", "artist": "Anais Mitchell",
                                     "album": "Hymns for the Exiled", "track": "3/11",
                                     "year": "2004"}}),
    ("real/mp3/mutagen_id3v24_extended_header.id3", "id3",
     {"version": "2.4.0", "extended_header": True, "tag_size": 184}),
    ("real/mp4/ffmpeg_h264.mp4", "mp4",
     {"major_brand": "isom", "minor_version": 512,
      "compatible_brands": ["isom", "iso2", "avc1", "mp41"], "timescale": 1000,
      "duration_seconds": 2.5}),
    ("real/mp4/ffmpeg.mov", "mp4", {"major_brand": "qt  ", "duration_seconds": 1.334}),
    ("real/mp4/mutagen_has_tags.m4a", "mp4",
     {"major_brand": "mp42", "timescale": 90000, "duration_seconds": 3.707}),
    ("real/mp4/ffmpeg_fragmented.mp4", "mp4", {"duration_units": 0, "duration_seconds": 0.0}),
    ("real/elf/aarch64_pie.elf", "elf",
     {"class": "64-bit", "endianness": "little", "abi": "System V", "type": "shared object",
      "machine": "AArch64"}),
    ("real/elf/freebsd_x86_64_echo", "elf",
     {"abi": "FreeBSD", "type": "executable", "machine": "x86-64"}),
    ("real/elf/linux_mips4_bash", "elf",
     {"class": "32-bit", "endianness": "big", "type": "executable", "machine": "other"}),
    ("real/elf/qemu_aarch64_core.core", "elf", {"type": "core dump", "machine": "AArch64"}),
    ("real/elf/x86_64_relocatable.o", "elf", {"type": "relocatable", "machine": "x86-64"}),
    ("real/elf/x86_64_ifunc_gnu_abi.so", "elf", {"abi": "Linux", "type": "shared object"}),
    ("real/elf/solaris_x86_ls", "elf", {"class": "32-bit", "machine": "x86"}),
    ("real/elf/riscv64_exec.elf", "elf", {"machine": "RISC-V"}),
]


@pytest.mark.parametrize("name, namespace, facts", CASES, ids=[c[0] for c in CASES])
def test_facts_match_independent_tools(corpus, name, namespace, facts):
    assert_facts(corpus / name, namespace, facts)


# The thorough reading, against readelf -h -l and ffprobe.
THOROUGH_CASES = [
    ("real/elf/x86_64_pie.elf", "elf",
     {"type": "executable", "pie": True, "interpreter": "/lib64/ld-linux-x86-64.so.2"}),
    ("real/elf/x86_64_shared.so", "elf", {"type": "shared object", "pie": False,
                                          "interpreter": None}),
    ("real/elf/linux_mips4_bash", "elf", {"machine": "MIPS R3000", "interpreter": "/lib/ld.so.1"}),
    ("real/elf/qemu_aarch64_core.core", "elf", {"type": "core dump", "interpreter": None}),
    ("real/wav/alsa_Front_Left.wav", "riff", {"duration_seconds": 1.48}),
    ("real/wav/sox_ulaw.wav", "riff", {"duration_seconds": 0.4}),
    ("real/wav/mutagen_pcm8_id3_chunk.wav", "riff", {"duration_seconds": 2.0}),
    ("real/mp4/ffmpeg_h264.mp4", "mp4",
     {"video_codec": "avc1", "width": 128, "height": 96, "audio_codec": None}),
    ("real/mp4/ffmpeg.mov", "mp4", {"video_codec": "jpeg", "width": 96, "height": 64}),
    # Cover art is metadata, not a track.
    ("real/mp4/mutagen_has_tags.m4a", "mp4", {"audio_codec": "mp4a", "width": None}),
    ("real/mp4/ffmpeg_fragmented.mp4", "mp4",
     {"duration_seconds": 1.5, "duration_units": 0, "video_codec": "avc1", "width": 64}),
]


@pytest.mark.parametrize("name, namespace, facts", THOROUGH_CASES,
                         ids=[c[0] for c in THOROUGH_CASES])
def test_thorough_facts_match_independent_tools(corpus, name, namespace, facts):
    result = trawl.inspect((corpus / name).read_bytes(), thorough=True)
    assert "errors" not in result
    assert {key: result[namespace].get(key) for key in facts} == facts


def test_quicktime_without_file_type_box(corpus):
    # A "moov" first: the thorough reading alone walks it.
    data = (corpus / "real/mp4/mutagen_moov_first_64bit.mp4").read_bytes()
    assert "mp4" not in trawl.inspect(data)
    assert trawl.inspect(data, thorough=True)["mp4"]["top_level_boxes"][0]["type"] == "moov"


def test_outermost_boxes_only(corpus):
    boxes = trawl.parse_bytes((corpus / "real/mp4/ffmpeg_faststart.m4a").read_bytes())["mp4"][
        "top_level_boxes"]
    assert [b["type"] for b in boxes][:2] == ["ftyp", "moov"]
    assert "trak" not in [b["type"] for b in boxes]
    assert sum(b["size"] for b in boxes) == (corpus / "real/mp4/ffmpeg_faststart.m4a").stat().st_size


def test_files_not_starting_with_their_header(corpus):
    # A "moov" first is not offered to the box walk; an MP3 without a tag has no "id3".
    for name, namespace in [("real/mp4/mutagen_moov_first_64bit.mp4", "mp4"),
                            ("real/mp3/lame_no_tag.mp3", "id3")]:
        assert namespace not in trawl.parse_bytes((corpus / name).read_bytes())
