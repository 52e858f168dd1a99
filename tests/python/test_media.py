"""Audio, video and executable facts against what independent tools report for the corpus files
(ffprobe/soxi for WAV and MP4, mutagen/eyeD3 for ID3, readelf for ELF, webpinfo for WebP)."""

import pytest

import trawl

from conftest import assert_facts, corpus_files

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


# The thorough reading of MP3 files: tag facts as mutagen gives them (checked by hand), stream
# facts against mutagen itself.
THOROUGH_CASES = [
    ("real/mp3/mutagen_id3v23_unsynch.id3", "id3",
     {"unsynchronisation": True, "frames": {"title": "My babe just cares for me",
                                            "artist": "Nina Simone", "album": "100% Jazz",
                                            "track": "03"}}),
    ("real/mp3/mutagen_id3v24_extended_header.id3", "id3",
     {"frames": {"title": "One Second of Silence", "artist": "Snild Dolkow",
                 "album": "Mutagen Bug Reports", "track": "1", "year": "2023",
                 "genre": "Relaxation..? :)"}}),
    # Two TPE1 frames; the ID3v1 tag adds nothing the ID3v2 tag has.
    ("real/mp3/mutagen_silence_v23.mp3", "id3",
     {"v1_version": "1.1", "frames": {"title": "Silence", "artist": "piman\0jzig",
                                      "album": "Quod Libet Test Data", "track": "02/10",
                                      "year": "2004", "genre": "Silence"}}),
    ("real/mp3/id3v2_tool_v23_latin1.mp3", "id3",
     {"v1_version": "1.1", "frames": {"title": "Public title", "artist": "Public artist",
                                      "album": "Public album", "genre": "Pop", "year": "2001",
                                      "track": "9"}}),
    # The 2.4 tag's TYER frame gives the year, where mutagen takes the ID3v1 tag's (1337).
    ("real/mp3/mutagen_id3v1v2_combined.mp3", "id3", {"frames": {
        "title": "cosmic american", "artist": "Anais Mitchell", "album": "Hymns for the Exiled",
        "track": "3/11", "year": "2004"}}),
    # MPEG 2.5 with an Info header: 0.576 s of frames less LAME's delay and padding.
    ("real/mp3/lame_no_tag.mp3", "mpeg",
     {"version": "2.5", "layer": 3, "sample_rate": 8000, "channels": 1, "channel_mode": "mono",
      "bitrate_bps": 32000, "duration_seconds": 0.4, "vbr_header": "Info",
      "first_frame_offset": 0}),
    ("real/mp3/lame_no_tag.mp3", "file", {"mime_detected": "audio/mpeg"}),
]


@pytest.mark.parametrize("name, namespace, facts", THOROUGH_CASES,
                         ids=[f"{c[0]}-{c[1]}" for c in THOROUGH_CASES])
def test_thorough_mp3_facts(corpus, name, namespace, facts):
    got = trawl.inspect((corpus / name).read_bytes(), thorough=True)[namespace]
    assert {key: got.get(key) for key in facts} == facts


MP3_FILES = [p for p in corpus_files() if p.suffix == ".mp3"]


@pytest.mark.skipif(not MP3_FILES, reason="no corpus")
@pytest.mark.parametrize("path", MP3_FILES, ids=lambda p: p.name)
def test_thorough_mp3_stream_matches_mutagen(path):
    mp3 = pytest.importorskip("mutagen.mp3")
    info = mp3.MP3(path).info
    got = trawl.inspect(path, thorough=True)["mpeg"]
    assert (got["duration_seconds"], got["bitrate_bps"], got["sample_rate"], got["channels"],
            got["layer"]) == (round(info.length, 3), info.bitrate, info.sample_rate,
                              info.channels, info.layer)
    # The default reading has no such namespace.
    assert "mpeg" not in trawl.parse(path)
