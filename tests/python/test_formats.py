"""Format facts against what independent tools report: for the corpus files, file(1), identify,
pngcheck, gifsicle, ffprobe, soxi, eyeD3, readelf, webpinfo, unzip, qpdf, pdfinfo and gzip -lv;
for the inputs made here, the Python writer that made them."""

import gzip
import io
import wave
import zipfile
from pathlib import Path

import pytest

import trawl

from conftest import assert_facts, corpus_files


def zipped(*names):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in names:
            z.writestr(name, b"x")
    return out.getvalue()


def wav(channels, width, rate):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(bytes(64))
    return out.getvalue()


MADE = {
    "made/zipfile.jar": zipped("META-INF/MANIFEST.MF", "org/Main.class"),
    "made/gzip_no_name_no_time.gz": gzip.compress(b"changelog\n", mtime=0),
    "made/wave_pcm8_stereo_16k.wav": wav(2, 1, 16000),
}

# (file, namespace, expected facts): quality as the encoder was told.
CASES = [
    ("real/jpeg/cjpeg_baseline_q75.jpg", "jpeg",
     {"width": 648, "height": 432, "bit_depth": 8, "components": 3, "progressive": False,
      "quality_estimate": 75, "color_space_guess": "YCbCr/RGB"}),
    ("real/jpeg/cjpeg_progressive_q90.jpg", "jpeg",
     {"width": 400, "height": 300, "progressive": True, "quality_estimate": 90}),
    ("real/jpeg/im_comment_density72.jpg", "jpeg",
     {"width": 320, "height": 240, "progressive": False, "components": 3}),
    ("real/png/ffmpeg_rgb24.png", "png",
     {"width": 160, "height": 120, "bit_depth": 8, "color_type": "RGB", "interlaced": False}),
    ("real/png/im_palette_adam7.png", "png",
     {"width": 648, "height": 432, "color_type": "palette", "interlaced": True}),
    ("real/png/pil_text_phys.png", "png",
     {"width": 400, "height": 300, "color_type": "grayscale", "dpi": 300.0,
      "text": {"Comment": "public corpus sample", "Title": "Sierpinski"}}),
    ("real/png/im_rgba_text_time.png", "png",
     {"color_type": "RGBA", "gamma": 0.45455, "last_modified": "2026-12-06T06:35:10Z"}),
    ("real/gif/gifsicle_loop5.gif", "gif",
     {"version": "89a", "width": 60, "height": 45, "frames": 2, "animated": True, "loop_count": 5,
      "global_color_table_size": 16}),
    ("real/gif/im_anim_loop0.gif", "gif",
     {"width": 100, "height": 75, "frames": 4, "loop_count": 0, "global_color_table_size": 32}),
    ("real/gif/pamtogif_87a.gif", "gif",
     {"version": "87a", "width": 400, "height": 300, "frames": 1, "animated": False}),
    ("real/bmp/bmpsuite_pal4rle.bmp", "bmp",
     {"width": 127, "height": 64, "bit_depth": 4, "compression": "RLE4", "dib_header_size": 40}),
    ("real/bmp/bmpsuite_pal8topdown.bmp", "bmp", {"height": 64, "top_down": True, "bit_depth": 8}),
    ("real/bmp/bmpsuite_rgb24png.bmp", "bmp", {"dib_header_size": 124, "compression": "PNG"}),
    ("real/bmp/im_v5_alpha.bmp", "bmp", {"width": 64, "height": 48, "compression": "bitfields"}),
    ("real/wav/sox_pcm16_stereo_44k.wav", "riff",
     {"media_kind": "audio (WAV)", "audio_format_tag": 1, "channels": 2, "sample_rate": 44100,
      "bits_per_sample": 16}),
    ("real/wav/ffmpeg_float64.wav", "riff",
     {"audio_format_tag": 65534, "channels": 1, "sample_rate": 32000, "bits_per_sample": 64}),
    ("real/wav/sox_ulaw.wav", "riff", {"audio_format_tag": 7, "sample_rate": 8000}),
    ("made/wave_pcm8_stereo_16k.wav", "riff",
     {"audio_format_tag": 1, "channels": 2, "sample_rate": 16000, "bits_per_sample": 8}),
    ("real/avi/ffmpeg_mjpeg.avi", "riff", {"form_type": "AVI ", "media_kind": "video (AVI)"}),
    ("real/webp/cwebp_lossless.webp", "riff",
     {"webp_format": "lossless", "width": 200, "height": 150}),
    ("real/webp/cwebp_lossy.webp", "riff", {"webp_format": "lossy", "width": 400, "height": 300}),
    ("real/webp/img2webp_animated.webp", "riff",
     {"webp_format": "extended", "width": 64, "height": 48, "has_animation": True,
      "has_alpha": False}),
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
    ("real/mp4/ffmpeg_h264.mp4", "mp4",
     {"major_brand": "isom", "minor_version": 512,
      "compatible_brands": ["isom", "iso2", "avc1", "mp41"], "timescale": 1000,
      "duration_seconds": 2.5}),
    ("real/mp4/ffmpeg.mov", "mp4", {"major_brand": "qt  ", "duration_seconds": 1.334}),
    ("real/mp4/ffmpeg_fragmented.mp4", "mp4", {"duration_units": 0, "duration_seconds": 0.0}),
    ("real/elf/aarch64_pie.elf", "elf",
     {"class": "64-bit", "endianness": "little", "abi": "System V", "type": "shared object",
      "machine": "AArch64"}),
    ("real/elf/freebsd_x86_64_echo", "elf",
     {"abi": "FreeBSD", "type": "executable", "machine": "x86-64"}),
    ("real/elf/mips32_be_exec.elf", "elf",
     {"class": "32-bit", "endianness": "big", "type": "executable", "machine": "other"}),
    ("real/elf/linux_armv7_ls", "elf", {"class": "32-bit", "endianness": "little",
                                        "machine": "ARM"}),
    ("real/elf/x86_64_relocatable.o", "elf", {"type": "relocatable", "machine": "x86-64"}),
    ("real/elf/x86_64_ifunc_gnu_abi.so", "elf", {"abi": "Linux", "type": "shared object"}),
    ("real/elf/riscv64_exec.elf", "elf", {"machine": "RISC-V"}),
    ("real/zip/aapt_app.apk", "zip", {"entry_count": 2, "container_kind": "Android package (apk)"}),
    ("made/zipfile.jar", "zip", {"entry_count": 2, "container_kind": "Java archive (jar)"}),
    ("real/zip/infozip_plain.zip", "zip", {"entry_count": 4, "container_kind": "plain zip"}),
    ("real/zip/openpyxl.xlsx", "zip", {"entry_count": 9, "container_kind": "Excel workbook (xlsx)"}),
    ("real/zip/pandoc.epub", "zip", {"entry_count": 9, "container_kind": "EPUB/OpenDocument"}),
    ("real/zip/pandoc.pptx", "zip", {"entry_count": 40, "container_kind": "PowerPoint (pptx)"}),
    ("real/zip/python_docx.docx", "zip",
     {"entry_count": 17, "container_kind": "Word document (docx)"}),
    ("real/zip/python_zipfile_comment.zip", "zip", {"entry_count": 1}),
    ("real/pdf/ghostscript_2pages.pdf", "pdf",
     {"version": "1.7", "page_count": 2, "info": {
         "title": "Public (corpus) sample", "author": "Ghostscript user", "creator": "make.sh",
         "producer": "GPL Ghostscript 10.00.0", "creation_date": "D:20261206063513Z00'00'",
         "modification_date": "D:20261206063513Z00'00'"}}),
    ("real/pdf/pillow_utf16_title.pdf", "pdf", {"info": {
        "title": "Rose \u00ab\u00e9t\u00e9\u00bb", "author": "Pillow",
        "creation_date": "D:20261206063514Z", "modification_date": "D:20261206063514Z"}}),
    ("real/pdf/qpdf_encrypted_aes128.pdf", "pdf", {"encrypted": True, "page_count": 2}),
    ("real/pdf/qpdf_linearized.pdf", "pdf", {"linearized": True, "page_count": 2}),
    ("real/pdf/reportlab.pdf", "pdf",
     {"version": "1.3", "page_count": 1, "encrypted": False, "linearized": False, "info": {
         "title": "Caf\u00e9 (menu)", "author": "ReportLab", "subject": "unspecified",
         "keywords": "", "creator": "ReportLab PDF Library - www.reportlab.com",
         "producer": "ReportLab PDF Library - www.reportlab.com",
         "creation_date": "D:20000101000000+00'00'",
         "modification_date": "D:20000101000000+00'00'"}}),
    ("real/gzip/gzip_with_name.gz", "gzip",
     {"compression_method": "deflate", "modification_time_unix": 1568020149, "os": "Unix",
      "original_filename": "program.c"}),
    ("real/gzip/perl_os0_fat_extra.gz", "gzip",
     {"modification_time_unix": 100000000, "os": "FAT (Windows/DOS)"}),
    ("real/gzip/python_gzip_os255.gz", "gzip", {"os": "unknown", "original_filename": "data.csv"}),
    ("made/gzip_no_name_no_time.gz", "gzip",
     {"modification_time_unix": None, "original_filename": None}),
]


@pytest.mark.parametrize("name, namespace, facts", CASES, ids=[c[0] for c in CASES])
def test_facts_match_independent_tools(corpus, name, namespace, facts):
    assert_facts(MADE.get(name) or (corpus / name).read_bytes(), namespace, facts)


def test_jpeg_segments_name_their_payloads(corpus):
    segments = trawl.parse(corpus / "real/jpeg/xmp_BlueSquare.jpg")["jpeg"]["segments"]
    payloads = {s["payload"] for s in segments if "payload" in s}
    assert payloads == {"EXIF", "XMP", "ICC profile", "Photoshop IRB (IPTC likely)"}
    jfif = segments[0]
    assert (jfif["name"], jfif["jfif_version"]) == ("APP0", "1.02")
    comments = [s.get("comment") for s in trawl.parse(corpus / "real/jpeg/camera_Nikon_D70.jpg")["jpeg"]["segments"]]
    assert "comment in GIMP 2.4.5" in comments


def test_short_bmp_headers_report_only_sizes(corpus):
    for name in ["bmpsuite_pal8os2v2-16.bmp", "ppmtobmp_os2_core12.bmp"]:
        assert set(trawl.parse(corpus / "real/bmp" / name)["bmp"]) == {"dib_header_size", "file_size_header"}


def test_entries_as_unzip_lists_them(corpus):
    entries = trawl.parse_bytes((corpus / "real/zip/python_zipfile_comment.zip").read_bytes())[
        "zip"]["entries"]
    assert [e["name"] for e in entries] == ["notes/readme.txt"]
    assert entries[0]["method"] == "deflate"


def test_outermost_boxes_only(corpus):
    path = corpus / "real/mp4/ffmpeg_faststart.m4a"
    boxes = trawl.parse_bytes(path.read_bytes())["mp4"]["top_level_boxes"]
    assert [b["type"] for b in boxes][:2] == ["ftyp", "moov"]
    assert "trak" not in [b["type"] for b in boxes]
    assert sum(b["size"] for b in boxes) == path.stat().st_size


def test_files_not_starting_with_their_header(corpus):
    # A "moov" first (with a 64-bit size) is walked by the thorough reading alone; an MP3 without
    # a tag has no "id3".
    moov = b"\0\0\0\x01moov" + (16).to_bytes(8, "big")
    assert trawl.inspect(moov, thorough=True)["mp4"]["top_level_boxes"] == [
        {"size": 16, "type": "moov"}]
    for data, namespace in [(moov, "mp4"), ((corpus / "real/mp3/lame_no_tag.mp3").read_bytes(),
                                            "id3")]:
        assert namespace not in trawl.parse_bytes(data)


# The thorough reading of MP3 files: tag facts as mutagen gives them (checked by hand), stream
# facts against mutagen itself.
THOROUGH_MP3 = [
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


# The thorough reading, against readelf -h -l, ffprobe and pdfinfo (libreoffice_password.pdf
# needs its user password).
PDFTEX_DATE = "D:20220406201541+02'00'"
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
    ("real/pdf/pdftex_minimal.pdf", "pdf",
     {"page_count": 1, "version": "1.5",
      "info": {"creator": "TeX", "producer": "pdfTeX-1.40.23",
               "creation_date": "D:20220403180542+02'00'",
               "modification_date": "D:20220403180542+02'00'"}}),
    ("real/pdf/pdflatex_outline.pdf", "pdf",
     {"page_count": 4,
      "info": {"title": "", "author": "", "subject": "", "keywords": "",
               "creator": "LaTeX with hyperref", "producer": "pdfTeX-1.40.23",
               "creation_date": PDFTEX_DATE, "modification_date": PDFTEX_DATE}}),
    # The first /Title of the file is an outline item's; /Info's is empty.
    ("real/pdf/outline_title_first.pdf", "pdf",
     {"page_count": 4,
      "info": {"title": "", "author": "", "subject": "", "keywords": "",
               "creator": "LaTeX with hyperref", "producer": "pdfTeX-1.40.23",
               "creation_date": PDFTEX_DATE,
               "modification_date": "D:20220716172303-05'00'"}}),
    ("real/pdf/libreoffice_writer.pdf", "pdf",
     {"page_count": 1,
      "info": {"creator": "Writer", "producer": "LibreOffice 6.4",
               "creation_date": "D:20220403193102+02'00'"}}),
    ("real/pdf/qpdf_encrypted_aes128.pdf", "pdf",
     {"page_count": 2, "encryption": "AES-128", "password_required": False,
      "info": {"title": "Public (corpus) sample", "author": "Ghostscript user",
               "creator": "make.sh", "producer": "GPL Ghostscript 10.00.0",
               "creation_date": "D:20261206063513Z00'00'",
               "modification_date": "D:20261206063513Z00'00'"}}),
    ("real/pdf/libreoffice_password.pdf", "pdf",
     {"page_count": 1, "encryption": "RC4-128", "password_required": True, "info": None}),
    ("real/pdf/google_docs.pdf", "pdf",
     {"page_count": 1, "version": "1.4",
      "info": {"title": "PDF Example Document", "producer": "Skia/PDF m103 Google Docs Renderer"}}),
]


# The thorough reading: text, EXIF and XMP as Pillow (PngImageFile.text, Image.Exif, getxmp)
# and pypdf (xmp_metadata) report them.
THOROUGH_TEXT = [
    ("sniff/sample.png", "png",
     {"text": {"Comment": "Optimized by JPEGmini 3.14.12.71901706 0x4b0840d9"},
      "text_languages": None}),
    ("exif/made/webp-exif-prefixed.webp", "exif", {"primary": {"ImageDescription": '"webp"'}}),
    ("real/jpeg/xmp_BlueSquare.jpg", "xmp",
     {"title": "Blue Square Test File - .jpg", "creator_tool": "Adobe Photoshop CS2 Macintosh",
      "description": "XMPFiles BlueSquare test file, created in Photoshop CS2, saved as .psd, "
                     ".jpg, and .tif.",
      "create_date": "2005-09-07T15:07:40-07:00", "creator": None, "rating": None}),
    ("real/jpeg/gps_DSCN0010.jpg", "xmp", {"rating": None}),  # MicrosoftPhoto:Rating is another one
    ("real/pdf/ghostscript_2pages.pdf", "xmp",
     {"title": "Public (corpus) sample", "creator": ["Ghostscript user"], "creator_tool": "make.sh"}),
    ("real/pdf/outline_title_first.pdf", "xmp",
     {"title": "", "description": "", "creator": None, "creator_tool": "LaTeX with hyperref"}),
]


ALL_THOROUGH = THOROUGH_MP3 + THOROUGH_CASES + THOROUGH_TEXT


@pytest.mark.parametrize("name, namespace, facts", ALL_THOROUGH,
                         ids=[f"{c[0].split('/')[-1]}-{c[1]}" for c in ALL_THOROUGH])
def test_thorough_facts_match_independent_tools(corpus, name, namespace, facts):
    data = (corpus / name).read_bytes()
    result = trawl.inspect(data, thorough=True)
    assert "errors" not in result
    got = result.get(namespace, {})
    assert {key: got.get(key) for key in facts} == facts
    assert "xmp" not in trawl.parse_bytes(data)  # the default reading has none


def test_thorough_keeps_the_searched_information_of_a_file_cut_before_its_trailer():
    seed = (Path(__file__).resolve().parents[2] / "fuzz" / "seeds" / "pdf"
            / "032571e1ce1d083ff582f5fa65f05a93f2ca77d8")
    info = trawl.parse(seed)["pdf"]["info"]
    assert info["title"] == "Café (menu)"
    assert trawl.inspect(seed, thorough=True)["pdf"]["info"] == info
