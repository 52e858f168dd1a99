"""The shape of a result, for type checkers: one TypedDict per namespace, keys and value types
as the README's output table gives them. Every key is optional (a namespace holds what its file
had); a namespace whose list or text reached a cap also holds "truncated"."""

from __future__ import annotations

from typing import TypedDict


class FileFacts(TypedDict, total=False):
    size_bytes: int
    sha256: str
    crc32: str
    entropy_bits_per_byte: float
    mime_detected: str
    extension_canonical: str
    name: str
    extension_claimed: str
    modified_unix: int
    created_unix: int


class JpegSegment(TypedDict, total=False):
    marker: str
    name: str
    offset: int
    length: int
    jfif_version: str
    density: str
    payload: str
    comment: str


class JpegFacts(TypedDict, total=False):
    segments: list[JpegSegment]
    width: int
    height: int
    bit_depth: int
    components: int
    progressive: bool
    color_space_guess: str
    quality_estimate: int
    xmp_packet_chars: int
    scan_data_offset: int
    truncated: list[str]


class PngChunk(TypedDict):
    type: str
    offset: int
    length: int


class PngTextLanguage(TypedDict):
    language: str
    translated_keyword: str


class PngFacts(TypedDict, total=False):
    chunks: list[PngChunk]
    width: int
    height: int
    bit_depth: int
    color_type: str
    interlaced: bool
    text: dict[str, str]
    text_languages: dict[str, PngTextLanguage]
    last_modified: str
    gamma: float
    dpi: float
    truncated: list[str]


class GifFacts(TypedDict, total=False):
    version: str
    width: int
    height: int
    global_color_table: bool
    global_color_table_size: int
    color_resolution_bits: int
    frames: int
    animated: bool
    loop_count: int


class BmpFacts(TypedDict, total=False):
    file_size_header: int
    dib_header_size: int
    width: int
    height: int
    top_down: bool
    bit_depth: int
    compression: str


class RiffFacts(TypedDict, total=False):
    form_type: str
    media_kind: str
    webp_format: str
    width: int
    height: int
    has_alpha: bool
    has_animation: bool
    has_exif: bool
    audio_format_tag: int
    channels: int
    sample_rate: int
    bits_per_sample: int
    duration_seconds: float


class Id3Frames(TypedDict, total=False):
    title: str
    artist: str
    album: str
    year: str
    genre: str
    track: str
    album_artist: str
    composer: str


class Id3Facts(TypedDict, total=False):
    version: str
    unsynchronisation: bool
    extended_header: bool
    tag_size: int
    frames: Id3Frames
    v1_version: str
    truncated: list[str]


class MpegFacts(TypedDict, total=False):
    """Thorough reading only."""

    version: str
    layer: int
    sample_rate: int
    channels: int
    channel_mode: str
    bitrate_bps: int
    duration_seconds: float
    vbr_header: str
    first_frame_offset: int


class Mp4Box(TypedDict):
    type: str
    size: int


class Mp4Facts(TypedDict, total=False):
    top_level_boxes: list[Mp4Box]
    major_brand: str
    minor_version: int
    compatible_brands: list[str]
    timescale: int
    duration_units: int
    duration_seconds: float
    video_codec: str
    width: int
    height: int
    audio_codec: str
    truncated: list[str]


ElfFacts = TypedDict(
    "ElfFacts",
    {"class": str, "endianness": str, "abi": str, "type": str, "machine": str,
     "interpreter": str, "pie": bool},
    total=False,
)


class PdfInfo(TypedDict, total=False):
    title: str
    author: str
    subject: str
    creator: str
    producer: str
    keywords: str
    creation_date: str
    modification_date: str


class PdfFacts(TypedDict, total=False):
    version: str
    object_count: int
    page_count: int
    linearized: bool
    encrypted: bool
    info: PdfInfo
    truncated: list[str]
    encryption: str  # thorough reading
    password_required: bool  # thorough reading


class GzipFacts(TypedDict, total=False):
    compression_method: str
    modification_time_unix: int
    os: str
    original_filename: str


class ZipEntry(TypedDict):
    name: str
    method: str
    compressed: int
    uncompressed: int
    modified: str


class ZipFacts(TypedDict, total=False):
    entry_count: int
    entries: list[ZipEntry]
    compression_ratio: float
    container_kind: str
    truncated: list[str]


class GpsDecimal(TypedDict):
    latitude: float
    longitude: float


class ExifFacts(TypedDict, total=False):
    """Tag name to value text by image file directory; "ifd2" and later may follow."""

    primary: dict[str, str]
    thumbnail: dict[str, str]
    gps_decimal: GpsDecimal
    truncated: list[str]


class XmpFacts(TypedDict, total=False):
    """The thorough reading only."""

    title: str
    description: str
    creator: list[str]
    create_date: str
    modify_date: str
    creator_tool: str
    rating: float
    truncated: list[str]


class ErrorEntry(TypedDict):
    extractor: str
    message: str


class Result(TypedDict, total=False):
    file: FileFacts
    jpeg: JpegFacts
    png: PngFacts
    gif: GifFacts
    bmp: BmpFacts
    riff: RiffFacts
    id3: Id3Facts
    mpeg: MpegFacts
    mp4: Mp4Facts
    elf: ElfFacts
    pdf: PdfFacts
    gzip: GzipFacts
    zip: ZipFacts
    exif: ExifFacts
    xmp: XmpFacts
    errors: list[ErrorEntry]
