"""Inputs for the large-file and amplification benchmarks and tests.

HEADERS gives a minimal start of each recognised format (the rest of a large file is zeros or
random bytes); CRAFTED gives, for a size N, inputs built to make a parser's output or memory grow
as fast as possible with N.
"""

import struct
import zlib

from extractors import EXTRACTORS


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


PNG_1X1 = (
    b"\x89PNG\r\n\x1a\n"
    + _png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0))
    + _png_chunk(b"IDAT", zlib.compress(b"\x00\x00"))
)

# Starts by extractor (the riff and exif ones by the form they read); every extractor has one.
_STARTS = {
    "file": {"none": b""},
    "jpeg": {"jpeg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"},
    "png": {"png": PNG_1X1},
    "gif": {"gif": b"GIF89a\x01\x00\x01\x00\x00\x00\x00"},
    "bmp": {
        "bmp": b"BM" + struct.pack("<IHHIIiiHHII", 0, 0, 0, 54, 40, 1, 1, 1, 24, 0, 0) + bytes(16),
    },
    "riff": {
        "wav": b"RIFF\xff\xff\xff\xffWAVEfmt \x10\x00\x00\x00\x01\x00\x02\x00\x44\xac\x00\x00"
        b"\x10\xb1\x02\x00\x04\x00\x10\x00data\xff\xff\xff\xff",
        "webp": b"RIFF\xff\xff\xff\xffWEBPVP8X\x0a\x00\x00\x00\x08"
        b"\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    },
    "id3": {"id3": b"ID3\x04\x00\x00\x7f\x7f\x7f\x7f"},
    # MPEG-1 layer III, 128 kbps, 44.1 kHz: one frame header, read by the thorough mode only
    "mpeg": {"mpeg": b"\xff\xfb\x90\x64"},
    "mp4": {"mp4": b"\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2"},
    "elf": {"elf": b"\x7fELF\x02\x01\x01" + bytes(9) + b"\x02\x00\x3e\x00"},
    "exif": {"tiff": b"II*\x00\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00"},
    "xmp": {"jpeg xmp": b"\xff\xd8\xff\xe1" + struct.pack(">H", 2 + 29 + 13)
            + b"http://ns.adobe.com/xap/1.0/\x00<x:xmpmeta/>"},
    "pdf": {"pdf": b"%PDF-1.7\n"},
    "gzip": {"gzip": b"\x1f\x8b\x08\x08\x00\x00\x00\x00\x00\x03name\x00"},
    "zip": {"zip": b"PK\x03\x04" + bytes(26)},
}
HEADERS = {form: start for name in EXTRACTORS for form, start in _STARTS[name].items()}


def jpeg_comments(n):
    """Four-byte comment segments (FF FE 00 02) until n bytes."""
    return b"\xff\xd8" + b"\xff\xfe\x00\x02" * ((n - 2) // 4)


def jpeg_app0(n):
    return b"\xff\xd8" + b"\xff\xe0\x00\x02" * ((n - 2) // 4)


def mp4_boxes(n):
    start = b"\x00\x00\x00\x10ftypisom\x00\x00\x00\x00"
    return start + b"\x00\x00\x00\x08free" * ((n - len(start)) // 8)


def png_padding(n):
    """A real 1x1 PNG cut before its end, then zeros: every 12 zero bytes read as a chunk."""
    return PNG_1X1 + bytes(max(0, n - len(PNG_1X1)))


def tiff_shared_blob(n):
    """SBYTE fields of one IFD all pointing at the same blob, which fills the rest."""
    entries = 2000
    ifd_size = 2 + 12 * entries + 4
    blob_at = 8 + ifd_size
    blob = max(0, n - blob_at)
    ifd = struct.pack("<H", entries)
    for i in range(entries):
        ifd += struct.pack("<HHII", 0x1000 + i, 6, blob, blob_at)
    ifd += b"\x00\x00\x00\x00"
    return b"II*\x00\x08\x00\x00\x00" + ifd + bytes(range(256)) * (blob // 256) + bytes(blob % 256)


def _tiff_ifd(tags, value, next_ifd):
    """A little-endian TIFF whose one IFD, at offset 8, gives every tag the LONG `value`."""
    entries = b"".join(struct.pack("<HHII", tag, 4, 1, value) for tag in tags)
    ifd = struct.pack("<H", len(tags)) + entries + struct.pack("<I", next_ifd)
    return b"II*\x00\x08\x00\x00\x00" + ifd


def exif_self_pointers(n):
    """One IFD of 65,535 Exif pointers to itself: each one walks it again as the Exif IFD."""
    tiff = _tiff_ifd([0x8769] * 65535, 8, 0)
    return tiff + bytes(max(0, n - len(tiff)))


def exif_every_context(n):
    """One IFD of 65,535 distinct tags, its pointers and next offset all to itself: walked as
    the Tiff, Exif, GPS and interoperability IFD, and as each of the 8 top-level IFDs."""
    tiff = _tiff_ifd(range(65535), 8, 8)
    return tiff + bytes(max(0, n - len(tiff)))


def exif_ascii_of_nuls(n):
    """One ImageDescription of ASCII type as long as the file, all NULs: a string per byte."""
    head = exif_long_value_head(0x010E, 2, n)
    return head + bytes(max(0, n - len(head)))


def exif_value_as_long_as_the_file(n):
    """One UNDEFINED value covering the whole file."""
    head = exif_long_value_head(0xC000, 7, n)
    return head + bytes(max(0, n - len(head)))


def exif_long_value_head(tag, kind, n):
    """A TIFF whose one field, of `kind`, runs from the end of its IFD to byte n of the file:
    the start of a large file whose rest may be a hole."""
    at = 8 + 2 + 12 + 4
    ifd = struct.pack("<H", 1) + struct.pack("<HHII", tag, kind, max(0, n - at), at) + bytes(4)
    return b"II*\x00\x08\x00\x00\x00" + ifd


def pdf_strings(n):
    """Every information key opening a string that runs to the end of the file."""
    keys = b"/Title (/Author (/Subject (/Creator (/Producer (/Keywords (/CreationDate (/ModDate ("
    start = b"%PDF-1.4\n" + keys
    return start + b"\xe9" * max(0, n - len(start))


def zip_entries(n):
    """Central-directory entries of 46 bytes with empty names, then the end record."""
    count = max(0, (n - 30 - 22) // 46)
    entry = b"PK\x01\x02" + bytes(42)
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 0xFFFF, 0xFFFF, 46 * count, 30, 0)
    return b"PK\x03\x04" + bytes(26) + entry * count + end


CRAFTED = {
    "jpeg comments": jpeg_comments,
    "jpeg APP0": jpeg_app0,
    "mp4 boxes": mp4_boxes,
    "png padding": png_padding,
    "tiff shared blob": tiff_shared_blob,
    "exif self pointers": exif_self_pointers,
    "exif every context": exif_every_context,
    "exif ascii of nuls": exif_ascii_of_nuls,
    "exif value as long as the file": exif_value_as_long_as_the_file,
    "pdf strings": pdf_strings,
    "zip entries": zip_entries,
}
