"""Image facts checked against what independent tools report for the corpus files."""

import pytest

import trawl

from conftest import assert_facts

# (file, namespace, expected facts): sizes, depths and frame counts as file(1), identify,
# pngcheck and gifsicle report them; quality as the encoder was told.
CASES = [
    ("real/jpeg/cjpeg_baseline_q75.jpg", "jpeg",
     {"width": 648, "height": 432, "bit_depth": 8, "components": 3, "progressive": False,
      "quality_estimate": 75, "color_space_guess": "YCbCr/RGB"}),
    ("real/jpeg/cjpeg_progressive_q90.jpg", "jpeg",
     {"width": 400, "height": 300, "progressive": True, "quality_estimate": 90}),
    ("real/jpeg/camera_Canon_40D.jpg", "jpeg", {"width": 100, "height": 68}),
    ("real/jpeg/phone_jolla.jpg", "jpeg", {"width": 3264, "height": 2448}),
    ("real/jpeg/exif_zero_length_string.jpg", "jpeg", {"width": 4032, "height": 2012}),
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
]


@pytest.mark.parametrize("name, namespace, facts", CASES, ids=[c[0].split("/")[-1] for c in CASES])
def test_facts_match_independent_tools(corpus, name, namespace, facts):
    assert_facts(corpus / name, namespace, facts)


def test_jpeg_segments_name_their_payloads(corpus):
    segments = trawl.parse(corpus / "real/jpeg/xmp_BlueSquare.jpg")["jpeg"]["segments"]
    payloads = {s["payload"] for s in segments if "payload" in s}
    assert payloads == {"EXIF", "XMP", "ICC profile", "Photoshop IRB (IPTC likely)"}
    jfif = segments[0]
    assert (jfif["name"], jfif["jfif_version"]) == ("APP0", "1.02")
    comments = [s.get("comment") for s in trawl.parse(corpus / "real/jpeg/camera_Nikon_D70.jpg")["jpeg"]["segments"]]
    assert "comment in GIMP 2.4.5" in comments


def test_short_bmp_headers_report_only_sizes(corpus):
    for name, dib in [("bmpsuite_pal8os2v2-16.bmp", 16), ("ppmtobmp_os2_core12.bmp", 12)]:
        assert set(trawl.parse(corpus / "real/bmp" / name)["bmp"]) == {"dib_header_size", "file_size_header"}


# The thorough reading: text, EXIF and XMP as Pillow (PngImageFile.text, Image.Exif, getxmp)
# and pypdf (xmp_metadata) report them.
THOROUGH = [
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


@pytest.mark.parametrize("name, namespace, facts", THOROUGH,
                         ids=[c[0].split("/")[-1] for c in THOROUGH])
def test_thorough_facts_match_independent_tools(corpus, name, namespace, facts):
    data = (corpus / name).read_bytes()
    result = trawl.inspect(data, thorough=True)
    assert "errors" not in result
    got = result.get(namespace, {})
    assert {key: got.get(key) for key in facts} == facts
    assert "xmp" not in trawl.parse_bytes(data)
