"""EXIF fields of real camera files against the values their makers wrote, and robustness of the
EXIF reader on damaged copies of its samples."""

import random

import pytest

import trawl

from conftest import corpus_files

# (file, camera, position rounded to 5 places or None, has a thumbnail directory): cameras and
# positions as exiftool reads them (the generated files: as exiftool was told to write them).
CAMERAS = [
    ("real/jpeg/exiftool_camera_gps_thumb.jpg", ('"FUJIFILM"', '"X-T3"'), (46.5197, 6.6323), True),
    ("real/heif/heifenc.heic", ('"FUJIFILM"', '"X-T3"'), (46.5197, 6.6323), True),
    ("real/jpeg/gps_DSCN0010.jpg", ('"NIKON"', '"COOLPIX P6000"'), (43.46745, 11.88513), True),
    ("real/heif/iphone_IMG_5195.HEIC", ('"Apple"', '"iPhone 11 Pro Max"'), (39.05134, -94.28877), False),
    ("real/tiff/im_le_exif_gps.tiff", ('"SONY"', '"ILCE-7M3"'), (64.1466, -21.9426), False),
    ("real/jpeg/camera_Canon_40D.jpg", ('"Canon"', '"Canon EOS 40D"'), None, True),
    ("real/jpeg/phone_jolla.jpg", ('"Jolla"', '"Jolla"'), None, False),
]


@pytest.mark.parametrize("name, camera, position, thumbnail", CAMERAS, ids=[c[0] for c in CAMERAS])
def test_camera_files(corpus, name, camera, position, thumbnail):
    result = trawl.parse_bytes((corpus / name).read_bytes())
    assert "errors" not in result
    exif = result["exif"]
    assert (exif["primary"]["Make"], exif["primary"]["Model"]) == camera
    assert ("thumbnail" in exif) == thumbnail
    if position is None:
        assert "gps_decimal" not in exif
    else:
        got = exif["gps_decimal"]
        assert (round(got["latitude"], 5), round(got["longitude"], 5)) == position


def test_exposure_as_written(corpus):
    # exiftool -DateTimeOriginal="2020:06:21 05:43:00" -ExposureTime=1/1000 -FNumber=5.6 -ISO=160
    # -FocalLength=56
    primary = trawl.parse_bytes((corpus / "real/jpeg/exiftool_camera_gps_thumb.jpg").read_bytes())[
        "exif"]["primary"]
    assert {k: primary[k] for k in ("DateTimeOriginal", "ExposureTime", "FNumber",
                                    "PhotographicSensitivity", "FocalLength")} == {
        "DateTimeOriginal": "2020-06-21 05:43:00", "ExposureTime": "1/1000 s", "FNumber": "f/5.6",
        "PhotographicSensitivity": "160", "FocalLength": "56 mm"}


# Every text the reader can fail with, apart from operating-system errors.
READER_ERRORS = {
    "Unknown image format", "Truncated TIFF header", "Invalid TIFF byte order", "Invalid forty two",
    "Broken JPEG file", "Unexpected SOI", "Invalid segment length", "Broken PNG file",
    "Broken WebP file", "Invalid header file size", "Chunk overflowing parent", "Broken HEIF file",
    "Invalid box size", "Box too small", "Large seek not supported",
    "No compatible brand recognized in ISO base media file", "MetaBox found before FileTypeBox",
    "Unsupported MetaBox", "Unsupported ItemInfoEntry", "Unsupported ItemLocationBox",
    "External data reference is not supported", "Invalid base_offset_size", "Invalid index_size",
    "Invalid offset_size", "Invalid length_size", "No ItemLocationBox",
    "No matching item in ItemLocationBox", "Invalid offset", "Invalid length", "No ItemDataBox",
    "Out of ItemDataBox", "Construction by item offset is not supported",
    "Invalid construction_method", "Exif data too large", "ExifDataBlock too small",
    "Invalid Exif header offset",
}

# The reader's own samples, or without them the corpus files carrying EXIF in each container.
EXIF_FILES = {"exiftool_camera_gps_thumb.jpg", "heifenc.heic", "im_le_exif_gps.tiff",
              "exiftool_exif.png", "webpmux_exif_gps.webp"}
SAMPLES = [p for p in corpus_files("exif") if p.stat().st_size > 0] or [
    p for p in corpus_files("real") if p.name in EXIF_FILES]


def damaged_copies(data, seed):
    rng = random.Random(seed)
    for _ in range(40):
        flipped = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            i = rng.randrange(len(flipped))
            flipped[i] ^= 1 << rng.randrange(8)
        yield bytes(flipped)
        yield data[: rng.randrange(len(data))]


@pytest.mark.parametrize("path", SAMPLES, ids=[p.name for p in SAMPLES])
def test_damaged_samples_give_results_or_reader_errors(path):
    for copy in damaged_copies(path.read_bytes(), path.name):
        result = trawl.parse_bytes(copy)
        for error in result.get("errors", []):
            if error["extractor"] == "exif":
                assert error["message"] in READER_ERRORS
        exif = result.get("exif", {})
        assert set(exif) <= {"primary", "thumbnail", "gps_decimal"} | {f"ifd{n}" for n in range(2, 8)}
