"""Agreement of trawl's default and thorough readings with trusted tools, field by field.

Usage: PYTHONPATH=build/release/python python bench/bench_thorough.py CORPUS_DIR
           [--format pdf,png,...] [--jobs N] [--examples N] [--no-timing]
       PYTHONPATH=build/release/python python bench/bench_thorough.py --self-check

Every file under CORPUS_DIR is sorted by its first bytes (not its name) into a format, read by
the format's tools (pdfinfo, Pillow, mutagen, ffprobe, readelf, zipfile, gzip) and by
trawl.inspect() in both modes, and each field of FIELDS is compared. A field counts for a file
when the tool has an answer; a trawl key that is absent then counts as a disagreement. The table
gives, per field, the files with a tool answer, the agreement of each mode and the commonest
shapes of the thorough mode's disagreements. Then both modes are timed over the same files.

Tool answers are cached in /tmp/bench-thorough-cache by SHA-256 and tool, so a rerun after a
reader lands costs only the trawl calls. Tools run with timeouts, files in parallel (--jobs).
"""

from __future__ import annotations

import argparse
import collections
import datetime as dt
import gc
import gzip
import json
import multiprocessing
import os
import re
import signal
import struct
import subprocess
import sys
import time
import warnings
import xml.etree.ElementTree as ET
import zipfile

import trawl

CACHE_DIR = "/tmp/bench-thorough-cache"
SELF_CHECK_CORPUS = "/work/shared/corpus"
MAX_FILE = 64 << 20

# format, field, tool, comparison, trawl key path (dots; None: no trawl key yet, shown "n/a").
# Keys a thorough reader adds go here once its branch has committed them ("mpeg" and "xmp" so
# far); a key absent from a dict counts against the mode wherever the tool has an answer.
FIELDS = [
    ("pdf", "page_count", "pdfinfo", "int", "pdf.page_count"),
    ("pdf", "title", "pdfinfo", "str", "pdf.info.title"),
    ("pdf", "author", "pdfinfo", "str", "pdf.info.author"),
    ("pdf", "subject", "pdfinfo", "str", "pdf.info.subject"),
    ("pdf", "creator", "pdfinfo", "str", "pdf.info.creator"),
    ("pdf", "producer", "pdfinfo", "str", "pdf.info.producer"),
    ("pdf", "keywords", "pdfinfo", "str", "pdf.info.keywords"),
    ("pdf", "creation_date", "pdfinfo", "date", "pdf.info.creation_date"),
    ("pdf", "modification_date", "pdfinfo", "date", "pdf.info.modification_date"),
    ("pdf", "version", "pdfinfo", "enum", "pdf.version"),
    ("pdf", "encrypted", "pdfinfo", "enum", "pdf.encrypted"),
    ("png", "width", "pillow", "int", "png.width"),
    ("png", "height", "pillow", "int", "png.height"),
    ("png", "bit_depth", "pillow", "int", "png.bit_depth"),
    ("png", "color_type", "pillow", "enum", "png.color_type"),
    ("png", "text", "pillow", "dict", "png.text"),
    ("jpeg", "width", "pillow", "int", "jpeg.width"),
    ("jpeg", "height", "pillow", "int", "jpeg.height"),
    ("gif", "width", "pillow", "int", "gif.width"),
    ("gif", "height", "pillow", "int", "gif.height"),
    ("gif", "frames", "pillow", "int", "gif.frames"),
    ("bmp", "width", "pillow", "int", "bmp.width"),
    ("bmp", "height", "pillow", "int", "bmp.height"),
    ("webp", "width", "pillow", "int", "riff.width"),
    ("webp", "height", "pillow", "int", "riff.height"),
    ("tiff", "width", "pillow", "int", "exif.primary.ImageWidth"),
    ("tiff", "height", "pillow", "int", "exif.primary.ImageLength"),
    ("mp3", "duration", "mutagen", "seconds", "mpeg.duration_seconds"),
    ("mp3", "bitrate", "mutagen", "bitrate", "mpeg.bitrate_bps"),
    ("mp3", "sample_rate", "mutagen", "int", "mpeg.sample_rate"),
    ("mp3", "channels", "mutagen", "int", "mpeg.channels"),
    ("mp3", "title", "mutagen", "multistr", "id3.frames.title"),
    ("mp3", "artist", "mutagen", "multistr", "id3.frames.artist"),
    ("mp3", "album", "mutagen", "multistr", "id3.frames.album"),
    ("mp3", "track", "mutagen", "multistr", "id3.frames.track"),
    ("mp3", "year", "mutagen", "year", "id3.frames.year"),
    ("wav", "duration", "ffprobe", "seconds", "riff.duration_seconds"),
    ("wav", "sample_rate", "ffprobe", "int", "riff.sample_rate"),
    ("wav", "channels", "ffprobe", "int", "riff.channels"),
    ("wav", "bits", "ffprobe", "int", "riff.bits_per_sample"),
    ("mp4", "duration", "ffprobe", "seconds", "mp4.duration_seconds"),
    ("mp4", "video_width", "ffprobe", "int", "mp4.width"),
    ("mp4", "video_height", "ffprobe", "int", "mp4.height"),
    ("mp4", "video_codec", "ffprobe", "enum", "mp4.video_codec"),
    ("mp4", "audio_codec", "ffprobe", "enum", "mp4.audio_codec"),
    ("elf", "class", "readelf", "enum", "elf.class"),
    ("elf", "endianness", "readelf", "enum", "elf.endianness"),
    ("elf", "type", "readelf", "enum", "elf.type+pie"),
    ("elf", "machine", "readelf", "enum", "elf.machine"),
    ("elf", "interpreter", "readelf", "str", "elf.interpreter"),
    ("zip", "entry_count", "zipfile", "int", "zip.entry_count"),
    ("zip", "names", "zipfile", "names", "zip.entries"),
    ("zip", "kind", "zipfile", "enum", "zip.container_kind"),
    ("gzip", "original_name", "gzip", "str", "gzip.original_filename"),
    ("gzip", "mtime", "gzip", "int", "gzip.modification_time_unix"),
]
# EXIF and XMP of every image format Pillow reads them from.
for _fmt in ("png", "webp", "tiff", "jpeg"):
    FIELDS += [
        (_fmt, "exif.Make", "pillow", "exifstr", "exif.primary.Make"),
        (_fmt, "exif.Model", "pillow", "exifstr", "exif.primary.Model"),
        (_fmt, "exif.DateTimeOriginal", "pillow", "date", "exif.primary.DateTimeOriginal"),
        (_fmt, "xmp.title", "pillow", "multistr", "xmp.title"),
        (_fmt, "xmp.creator", "pillow", "multistr", "xmp.creator"),
        (_fmt, "xmp.creator_tool", "pillow", "str", "xmp.creator_tool"),
        (_fmt, "xmp.create_date", "pillow", "date", "xmp.create_date"),
        (_fmt, "xmp.rating", "pillow", "float", "xmp.rating"),
    ]

FORMAT_ORDER = ["pdf", "png", "jpeg", "gif", "bmp", "webp", "tiff", "mp3", "wav", "mp4", "elf",
                "zip", "gzip"]
TOOLS = {  # tool -> cache version (bump when its parsing below changes)
    "pdfinfo": 4, "pillow": 3, "mutagen": 1, "ffprobe": 3, "readelf": 1, "zipfile": 1, "gzip": 1,
}
FORMAT_TOOL = {f: tool for f, _, tool, _, _ in FIELDS}

# readelf's words -> trawl's
ELF_CLASS = {"ELF32": "32-bit", "ELF64": "64-bit"}
ELF_TYPE = {
    "REL": "relocatable", "EXEC": "executable", "DYN": "shared object", "CORE": "core dump",
    "PIE": "position-independent executable",
}
ELF_MACHINE = {
    "Intel 80386": "x86", "Advanced Micro Devices X86-64": "x86-64", "ARM": "ARM",
    "AArch64": "AArch64", "RISC-V": "RISC-V",
}
PNG_COLOR = {0: "grayscale", 2: "RGB", 3: "palette", 4: "grayscale+alpha", 6: "RGBA"}
ZIP_KIND = {
    "docx": "Word document (docx)", "xlsx": "Excel workbook (xlsx)", "pptx": "PowerPoint (pptx)",
    "jar": "Java archive (jar)", "apk": "Android package (apk)", "mimetype": "EPUB/OpenDocument",
    "plain": "plain zip",
}
NOT_MP4 = {b"heic", b"heix", b"mif1", b"msf1", b"avif", b"avis", b"crx ", b"jxl "}


def sniff(path):
    """The corpus format of a file from its first bytes (None: not compared)."""
    with open(path, "rb") as f:
        h = f.read(64)
    ext = os.path.splitext(path)[1].lower()
    if h.startswith(b"%PDF-"):
        return "pdf"
    if h.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if h.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if h.startswith((b"GIF87a", b"GIF89a")):
        return "gif"
    if h[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
        return "tiff"
    if h.startswith(b"RIFF") and h[8:12] == b"WEBP":
        return "webp"
    if h.startswith(b"RIFF") and h[8:12] == b"WAVE":
        return "wav"
    if h.startswith(b"BM") and ext in (".bmp", ".dib"):
        return "bmp"
    if h.startswith(b"ID3") or (ext in (".mp3", ".mp2") and h[:1] == b"\xff"):
        return "mp3"
    if h[4:8] == b"ftyp" and h[8:12] not in NOT_MP4:
        return "mp4"
    if h[4:8] in (b"moov", b"mdat", b"wide", b"free") and ext in (".mov", ".mp4", ".m4a"):
        return "mp4"
    if h.startswith((b"PK\3\4", b"PK\5\6")):
        return "zip"
    if h.startswith(b"\x1f\x8b"):
        return "gzip"
    if h.startswith(b"\x7fELF"):
        return "elf"
    return None


# ---------------------------------------------------------------------------------------------
# Tools: each returns {field: answer}; a field without an answer is left out.


class _Timeout(Exception):
    pass


def _alarm(_sig, _frame):
    raise _Timeout()


def _run(cmd, timeout, env=None):
    p = subprocess.run(cmd, capture_output=True, timeout=timeout, env=env)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


XMP_NS = {
    "rdf": "http://www.w3.org/1999/02/22-rdf-syntax-ns#",
    "dc": "http://purl.org/dc/elements/1.1/",
    "xmp": "http://ns.adobe.com/xap/1.0/",
    "pdf": "http://ns.adobe.com/pdf/1.3/",
}


def parse_xmp(packet):
    """title, creator (list), creator_tool, create_date, modify_date, rating, producer, keywords,
    description from an XMP packet: element or attribute form, rdf:Alt/Seq/Bag items."""
    if isinstance(packet, str):
        packet = packet.encode("utf-8")
    start = packet.find(b"<x:xmpmeta")
    if start < 0:
        start = packet.find(b"<rdf:RDF")
    end_tag = b"</x:xmpmeta>" if packet[start:start + 10] == b"<x:xmpmeta" else b"</rdf:RDF>"
    end = packet.find(end_tag, start)
    if start < 0 or end < 0:
        return {}
    try:
        root = ET.fromstring(packet[start:end + len(end_tag)])
    except ET.ParseError:
        return {}
    rdf = "{%s}" % XMP_NS["rdf"]
    found = {}

    def items(el):
        lis = el.findall(f"./{rdf}Alt/{rdf}li") or el.findall(f"./{rdf}Seq/{rdf}li") \
            or el.findall(f"./{rdf}Bag/{rdf}li")
        if not lis:
            return [(el.text or "").strip()] if (el.text or "").strip() else []
        default = [li for li in lis
                   if li.get("{http://www.w3.org/XML/1998/namespace}lang") == "x-default"]
        return [li.text or "" for li in (default or lis)]

    wanted = {
        ("dc", "title"): "title", ("dc", "creator"): "creator", ("dc", "description"):
        "description", ("xmp", "CreatorTool"): "creator_tool", ("xmp", "CreateDate"):
        "create_date", ("xmp", "ModifyDate"): "modify_date", ("xmp", "Rating"): "rating",
        ("pdf", "Producer"): "producer", ("pdf", "Keywords"): "keywords",
    }
    for desc in root.iter(f"{rdf}Description"):
        for (ns, local), name in wanted.items():
            qn = "{%s}%s" % (XMP_NS[ns], local)
            if name in found:
                continue
            if desc.get(qn) is not None:
                found[name] = [desc.get(qn)]
            elif (el := desc.find(qn)) is not None and items(el):
                found[name] = items(el)
    out = {}
    for name, vals in found.items():
        vals = [v for v in vals if v and v.strip()]
        if vals:
            out[name] = vals if name == "creator" else vals[0]
    return out


PDFINFO_KEYS = {
    "Title": "title", "Subject": "subject", "Keywords": "keywords", "Author": "author",
    "Creator": "creator", "Producer": "producer", "CreationDate": "creation_date",
    "ModDate": "modification_date", "Pages": "pages", "Encrypted": "encrypted",
    "PDF version": "version",
}
PDFINFO_LABELS = ("Title", "Subject", "Keywords", "Author", "Creator", "Producer",
                  "CreationDate", "ModDate", "Custom Metadata", "Metadata Stream", "Tagged",
                  "UserProperties", "Suspects", "Form", "JavaScript", "Pages", "Encrypted",
                  "Page size", "Page rot", "File size", "Optimized", "PDF version", "PDF subtype")
XMP_FOR_PDF = {"title": "title", "author": "creator", "subject": "description",
               "creator": "creator_tool", "producer": "producer", "keywords": "keywords",
               "creation_date": "create_date", "modification_date": "modify_date"}


def tool_pdfinfo(path):
    env = dict(os.environ, TZ="UTC")
    rc, out, err = _run(["pdfinfo", "-isodates", "-enc", "UTF-8", path], 60, env)
    if rc != 0:
        if "Incorrect password" in err:
            return {"encrypted": True, "_error": err.strip()[:200]}
        return {"_error": err.strip()[:200]}
    raw = {}
    last = None
    for line in out.split("\n"):
        # values start at column 17, or one space after a longer label
        m = re.match(r"([A-Za-z][A-Za-z ]*?):( *)", line)
        if m and m.group(1) in PDFINFO_LABELS:
            last = m.group(1)
            skip = min(len(m.group(2)), max(16 - len(last), 1))
            raw[last] = line[len(last) + 1 + skip:]
        elif last is not None and line:
            raw[last] += "\n" + line  # a value with a line break
    ans = {}
    for label, field in PDFINFO_KEYS.items():
        if raw.get(label):  # an empty string is no answer
            ans[field] = raw[label]
    if "pages" in ans:
        ans["page_count"] = int(ans.pop("pages"))
    if "encrypted" in ans:
        ans["encrypted"] = ans["encrypted"].startswith("yes")
    # dates and strings the document information lacks come from the XMP packet
    rc, meta, _ = _run(["pdfinfo", "-meta", path], 60, env)
    if rc == 0 and meta.strip():
        xmp = parse_xmp(meta.encode("utf-8"))
        for field, x in XMP_FOR_PDF.items():
            v = xmp.get(x)
            v = "; ".join(v) if isinstance(v, list) else v
            if field not in ans and v:
                ans[field] = v
                ans.setdefault("_from_xmp", []).append(field)
    return ans


def _exif_text(v):
    if isinstance(v, bytes):
        v = v.decode("latin-1")
    return None if v is None else str(v)


def tool_pillow(path):
    from PIL import Image

    ans = {}
    with Image.open(path) as im:
        ans["width"], ans["height"] = im.size
        if im.format == "TIFF":  # as stored: Pillow turns the size of rotated G3/G4 images
            tags = getattr(im, "tag_v2", {})
            ans["width"], ans["height"] = tags.get(256, im.size[0]), tags.get(257, im.size[1])
        if im.format == "GIF":
            ans["frames"] = im.n_frames
        if im.format == "PNG":
            with open(path, "rb") as f:
                ihdr = f.read(33)
            ans["bit_depth"] = ihdr[24]
            ans["color_type"] = PNG_COLOR.get(ihdr[25], f"code {ihdr[25]}")
            try:
                im.load()
            except Exception as e:  # text after damaged image data stays unread
                ans["_load_error"] = str(e)[:100]
            text = {k: str(v) for k, v in (im.text or {}).items()}
            if text:
                ans["text"] = text
        exif = im.getexif()
        for tag, field in ((0x010F, "exif.Make"), (0x0110, "exif.Model")):
            if exif.get(tag) is not None:
                ans[field] = _exif_text(exif.get(tag))
        try:
            dto = exif.get_ifd(0x8769).get(0x9003)
        except Exception:
            dto = None
        if dto is not None:
            ans["exif.DateTimeOriginal"] = _exif_text(dto)
        packet = im.info.get("xmp") or im.info.get("XML:com.adobe.xmp")
        if packet is None and im.format == "TIFF":
            packet = getattr(im, "tag_v2", {}).get(700)
        if packet:
            xmp = parse_xmp(packet)
            for k in ("title", "creator", "creator_tool", "create_date", "rating"):
                if k in xmp:
                    ans["xmp." + k] = xmp[k]
    return ans


def tool_mutagen(path):
    from mutagen.id3 import ID3, ID3NoHeaderError
    from mutagen.mp3 import MP3, HeaderNotFoundError

    ans = {}
    tags = None
    try:
        a = MP3(path)
        ans.update(duration=a.info.length, bitrate=a.info.bitrate,
                   sample_rate=a.info.sample_rate, channels=a.info.channels)
        tags = a.tags
    except HeaderNotFoundError:
        try:
            tags = ID3(path)
        except ID3NoHeaderError:
            tags = None
    if tags is not None:
        for frame, field in (("TIT2", "title"), ("TPE1", "artist"), ("TALB", "album"),
                             ("TRCK", "track"), ("TDRC", "year")):
            if frame in tags:
                vals = [str(t) for t in tags[frame].text]
                if any(vals):
                    ans[field] = vals
    return ans


def tool_ffprobe(path):
    rc, out, err = _run(["ffprobe", "-v", "error", "-print_format", "json", "-show_format",
                         "-show_streams", path], 120)
    if rc != 0:
        return {"_error": err.strip()[:200]}
    j = json.loads(out)
    ans = {}
    fmt = j.get("format", {})
    streams = j.get("streams", [])
    if fmt.get("duration") not in (None, "N/A"):
        ans["duration"] = float(fmt["duration"])
    audio = [s for s in streams if s.get("codec_type") == "audio"]
    if audio:
        a = audio[0]
        if a.get("sample_rate"):
            ans["sample_rate"] = int(a["sample_rate"])
        if a.get("channels"):
            ans["channels"] = a["channels"]
        if a.get("bits_per_sample"):
            ans["bits"] = a["bits_per_sample"]
    video = [s for s in streams if s.get("codec_type") == "video"
             and not s.get("disposition", {}).get("attached_pic")]
    if video:
        # 0 is no answer: the stream could not be opened (a file cut short)
        if video[0].get("width") and video[0].get("height"):
            ans["video_width"], ans["video_height"] = video[0]["width"], video[0]["height"]
    if video and video[0].get("codec_name"):
        ans["video_codec"] = video[0]["codec_name"]
    if audio and audio[0].get("codec_name"):
        ans["audio_codec"] = audio[0]["codec_name"]
    return ans


def tool_readelf(path):
    rc, out, err = _run(["readelf", "-W", "-h", "-l", "-d", path], 60)
    ans = {}
    for line in out.split("\n"):
        key, _, val = line.strip().partition(":")
        val = val.strip()
        if key == "Class":
            ans["class"] = ELF_CLASS.get(val, val)
        elif key == "Data":
            ans["endianness"] = "little" if "little" in val else "big" if "big" in val else val
        elif key == "Type":
            word = "PIE" if "Position-Independent" in val else val.split(" ")[0]
            ans["type"] = ELF_TYPE.get(word, val)
        elif key == "Machine":
            ans["machine"] = ELF_MACHINE.get(val, val)
        m = re.search(r"\[Requesting program interpreter: (.*)\]", line)
        if m:
            ans["interpreter"] = m.group(1)
    if not ans and rc != 0:
        return {"_error": err.strip()[:200]}
    return ans


def _zip_kind(names):
    if "word/document.xml" in names:
        return "docx"
    if any(n.startswith("xl/") for n in names) and "[Content_Types].xml" in names:
        return "xlsx"
    if any(n.startswith("ppt/") for n in names) and "[Content_Types].xml" in names:
        return "pptx"
    if "META-INF/MANIFEST.MF" in names:
        return "jar"
    if "AndroidManifest.xml" in names:
        return "apk"
    if "mimetype" in names:
        return "mimetype"
    return "plain"


def tool_zipfile(path):
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        names = [i.filename for i in infos]
        return {"entry_count": len(infos), "names": names,
                "kind": ZIP_KIND[_zip_kind(set(names))]}


def tool_gzip(path):
    ans = {}
    with open(path, "rb") as f:
        head = f.read(65536)
    flags = head[3]
    pos = 10
    if flags & 4 and len(head) >= 12:  # FEXTRA
        pos += 2 + struct.unpack_from("<H", head, 10)[0]
    if flags & 8:  # FNAME, ISO 8859-1 by RFC 1952
        end = head.find(b"\0", pos)
        if end >= 0:
            ans["original_name"] = head[pos:end].decode("latin-1")
    with gzip.open(path) as g:
        g.read(1)
        if g.mtime:
            ans["mtime"] = g.mtime
    return ans


TOOL_FUNCS = {"pdfinfo": tool_pdfinfo, "pillow": tool_pillow, "mutagen": tool_mutagen,
              "ffprobe": tool_ffprobe, "readelf": tool_readelf, "zipfile": tool_zipfile,
              "gzip": tool_gzip}


def tool_answers(tool, path, sha):
    """The tool's answers for a file, from the cache when there; (answers, seconds, cached)."""
    cache = os.path.join(CACHE_DIR, sha[:2], f"{sha}.{tool}.v{TOOLS[tool]}.json")
    try:
        with open(cache) as f:
            rec = json.load(f)
        return rec["answers"], rec["seconds"], True
    except (OSError, ValueError, KeyError):
        pass
    start = time.perf_counter()
    signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(120)
    try:
        answers = TOOL_FUNCS[tool](path)
    except (_Timeout, subprocess.TimeoutExpired):
        answers = {"_error": "timeout"}
    except Exception as e:
        answers = {"_error": f"{type(e).__name__}: {e}"[:200]}
    finally:
        signal.alarm(0)
    seconds = time.perf_counter() - start
    os.makedirs(os.path.dirname(cache), exist_ok=True)
    tmp = f"{cache}.{os.getpid()}"
    with open(tmp, "w") as f:
        json.dump({"answers": answers, "seconds": seconds, "path": path}, f, default=str)
    os.replace(tmp, cache)
    return answers, seconds, False


# ---------------------------------------------------------------------------------------------
# Comparison: (agree, shape of the disagreement)


# Sample-entry codes -> ffprobe's codec names (several codes name one codec).
MP4_CODEC = {
    "avc1": "h264", "avc3": "h264", "hvc1": "hevc", "hev1": "hevc", "mp4v": "mpeg4",
    "av01": "av1", "vp09": "vp9", "jpeg": "mjpeg", "mp4a": "aac", "alac": "alac",
    "sowt": "pcm_s16le", "twos": "pcm_s16be", "ac-3": "ac3", "ec-3": "eac3", "Opus": "opus",
    "fLaC": "flac", ".mp3": "mp3", "samr": "amr_nb", "s263": "h263",
}


def lookup(d, path):
    """The value at a dotted key; "elf.type+pie" is the type in readelf's words and
    "mp4.*_codec" the codec in ffprobe's."""
    if path == "elf.type+pie":
        pie = lookup(d, "elf.pie")
        return "position-independent executable" if pie else lookup(d, "elf.type")
    if path.startswith("mp4.") and path.endswith("_codec"):
        code = d.get("mp4", {}).get(path[4:])
        return MP4_CODEC.get(code, code) if code is not None else None
    cur = d
    for step in path.split("."):
        if not isinstance(cur, dict) or step not in cur:
            return None
        cur = cur[step]
    return cur


def _short(v, n=18):
    s = repr(v)
    return s if len(s) <= n else s[:n - 3] + "..."


def _leading_int(v):
    if isinstance(v, bool):
        return None
    if isinstance(v, (int, float)):
        return v
    m = re.match(r"\s*(-?\d+)", str(v))
    return int(m.group(1)) if m else None


def _unquote(v):
    """EXIF text as trawl writes it ("a" or "a", "b"): the first value, escapes undone."""
    s = str(v)
    m = re.match(r'^"((?:[^"\\]|\\.)*)"', s)
    if not m:
        return s
    # Bytes outside printable ASCII are \xNN (UTF-8 text too); \\ and \" stand for themselves.
    raw = re.sub(rb"\\(x[0-9a-f]{2}|.)", lambda e: bytes([int(e.group(1)[1:], 16)])
                 if len(e.group(1)) == 3 else e.group(1), m.group(1).encode("latin-1", "replace"))
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


_PDF_DATE = re.compile(r"^(?:D:)?(\d{4})(\d\d)?(\d\d)?(\d\d)?(\d\d)?(\d\d)?"
                       r"\s*(?:([Zz+-])(?:(\d\d)'?(?:(\d\d)'?)?)?)?")
_ISO_DATE = re.compile(r"^(\d{4})(?:[-:](\d\d)(?:[-:](\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d))?"
                       r"(?:\.\d+)?)?)?)?\s*(?:([Zz+-])(?:(\d\d):?(\d\d)?)?)?")


def parse_date(v):
    """An aware datetime (UTC where no zone is given) from PDF, ISO 8601 or EXIF date text."""
    if v is None:
        return None
    s = str(v).strip()
    m = _PDF_DATE.match(s) if s.startswith("D:") or re.match(r"^\d{8}", s) else None
    m = m or _ISO_DATE.match(s)
    if not m:
        return None
    y, mo, d, h, mi, sec, sign, th, tm = m.groups()
    try:
        base = dt.datetime(int(y), int(mo or 1), int(d or 1), int(h or 0), int(mi or 0),
                           int(sec or 0))
    except ValueError:
        return None
    off = dt.timedelta(0)
    if sign in ("+", "-"):
        off = dt.timedelta(hours=int(th or 0), minutes=int(tm or 0))
        off = off if sign == "+" else -off
    return base.replace(tzinfo=dt.timezone(off))


def compare(kind, tool, got):
    if got is None:
        return False, "absent"
    if kind == "int":
        g, t = _leading_int(got), int(tool)
        if g is None:
            return False, f"not a number {_short(got)}"
        if g == t:
            return True, ""
        if g == 0:
            return False, "trawl 0"
        return False, "trawl lower" if g < t else "trawl higher"
    if kind == "float":
        g, t = _to_float(got), _to_float(tool)
        if g is None or t is None:
            return False, f"not a number {_short(got)} / tool {_short(tool)}"
        return abs(g - t) < 1e-6, f"trawl {_short(g)} / tool {_short(t)}"
    if kind in ("seconds", "bitrate"):
        g = _to_float(got)
        t = float(tool)
        if g is None:
            return False, f"not a number {_short(got)}"
        tol = max(0.03, 0.005 * t) if kind == "seconds" else max(1000.0, 0.01 * t)
        if abs(g - t) <= tol:
            return True, ""
        rel = (g - t) / t if t else float("inf")
        return False, f"off by {rel:+.0%}" if abs(rel) < 10 else "off by > 10x"
    if kind == "enum":
        if got == tool:
            return True, ""
        return False, f"{_short(got, 30)} / tool {_short(tool, 30)}"
    if kind in ("str", "exifstr", "multistr", "year"):
        if kind == "exifstr":
            got = _unquote(got)
        cands = [tool] if not isinstance(tool, list) else [
            tool[0], "/".join(tool), " / ".join(tool), "; ".join(tool), ", ".join(tool),
            "\0".join(tool)]
        if kind == "year":
            got = str(got)[:4]
            cands = [str(c)[:4] for c in cands]
        if kind == "exifstr":
            got, cands = got.rstrip(" \0"), [str(c).rstrip(" \0") for c in cands]
        if isinstance(got, list):
            got = "; ".join(map(str, got))
        got = str(got)
        if got in cands:
            return True, ""
        return False, _text_shape(got, cands[0])
    if kind == "date":
        g, t = parse_date(_unquote(got)), parse_date(tool)
        if (g is None or t is None) and _unquote(got).strip() == str(tool).strip():
            return True, ""  # the same text that is no date (pdfinfo passes such text on)
        if g is None:
            return False, f"unparsed {_short(got)}"
        if t is None:
            return False, f"tool unparsed {_short(tool)}"
        if g == t:
            return True, ""
        if g.replace(tzinfo=None) == t.replace(tzinfo=None):
            return False, "zone differs"
        return False, f"off by {int((g - t).total_seconds())} s"
    if kind == "dict":
        if not isinstance(got, dict):
            return False, "not a dict"
        if got == tool:
            return True, ""
        missing = sorted(set(tool) - set(got))
        extra = sorted(set(got) - set(tool))
        if missing:
            return False, f"missing keys ({_short(missing[0], 16)}{', ...' if len(missing) > 1 else ''})"
        if extra:
            return False, f"extra keys ({_short(extra[0], 16)})"
        k = next(k for k in tool if got[k] != tool[k])
        return False, f"value of {_short(k, 14)}: " + _text_shape(got[k], tool[k])
    if kind == "names":
        names = [e.get("name") for e in got] if isinstance(got, list) else []
        if names == tool:
            return True, ""
        if len(names) != len(tool):
            return False, "count differs"
        if sorted(names) == sorted(tool):
            return False, "order differs"
        diff = [(a, b) for a, b in zip(names, tool) if a != b]
        return False, f"{len(diff)} names differ: " + _text_shape(*diff[0])
    raise ValueError(kind)


def _to_float(v):
    if isinstance(v, bool) or v is None:
        return None
    try:
        return float(v)
    except (TypeError, ValueError):
        m = re.match(r"\s*(-?\d+(?:\.\d+)?)", str(v))
        return float(m.group(1)) if m else None


def _text_shape(got, tool):
    got, tool = str(got), str(tool)
    if got == "":
        return "trawl empty"
    if got.strip() == tool.strip():
        return "whitespace"
    if " ".join(got.split()) == " ".join(tool.split()):
        return "inner whitespace"
    for enc in ("latin-1", "cp1252"):
        try:
            if got.encode(enc).decode("utf-8") == tool or tool.encode(enc).decode("utf-8") == got:
                return "UTF-8 vs Latin-1"
        except (UnicodeError, ValueError):
            pass
    if "\ufffd" in got:
        return "replacement chars"
    if tool.startswith(got):
        return "trawl cut short"
    if got.startswith(tool):
        return "trawl longer"
    if "\\" in got and "\\" not in tool:
        return "escapes left in"
    if got.isascii() != tool.isascii():
        return "non-ASCII differs"
    return f"{_short(got, 14)} vs {_short(tool, 14)}"


# ---------------------------------------------------------------------------------------------
# Work per file


def _init_worker():
    warnings.simplefilter("ignore")  # the tools' remarks on damaged files
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)  # and libtiff's, written straight to the descriptor
    try:
        os.nice(10)
    except OSError:
        pass
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _inspect(path, thorough):
    try:
        return trawl.inspect(path, thorough=thorough), None
    except Exception as e:  # a raise is a finding of its own
        return {}, f"{type(e).__name__}: {e}"


def check_file(job):
    path, fmt = job
    default, err_d = _inspect(path, False)
    thorough, err_t = _inspect(path, True)
    sha = lookup(default, "file.sha256") or lookup(thorough, "file.sha256")
    if sha is None:
        import hashlib
        with open(path, "rb") as f:
            sha = hashlib.sha256(f.read()).hexdigest()
    tool = FORMAT_TOOL[fmt]
    answers, seconds, cached = tool_answers(tool, path, sha)
    rows = []
    for f, field, _, kind, key in FIELDS:
        if f != fmt or field not in answers:
            continue
        ans = answers[field]
        if key is None:
            rows.append((field, None, None, "", "", None, None))
            continue
        gd, gt = lookup(default, key), lookup(thorough, key)
        ad, sd = compare(kind, ans, gd)
        at, st = compare(kind, ans, gt)
        rows.append((field, ad, at, sd, st, _short(gt, 60), _short(ans, 60)))
    seen = {(field, mode) for f, field, _, _, key in FIELDS if f == fmt and key
            for mode, d in (("default", default), ("thorough", thorough))
            if lookup(d, key) is not None}
    return {
        "path": path, "format": fmt, "tool": tool, "tool_seconds": seconds, "cached": cached,
        "tool_error": answers.get("_error"), "rows": rows, "seen": sorted(seen),
        "raised": [e for e in (err_d, err_t) if e],
        "errors": (len(default.get("errors", [])), len(thorough.get("errors", []))),
        "from_xmp": answers.get("_from_xmp", []),
    }


def gather(root, formats):
    jobs = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            p = os.path.join(dirpath, name)
            if not os.path.isfile(p) or os.path.islink(p) or os.path.getsize(p) > MAX_FILE:
                continue
            try:
                fmt = sniff(p)
            except OSError:
                continue
            if fmt and (not formats or fmt in formats):
                jobs.append((p, fmt))
    return jobs


def time_modes(jobs, rounds=5):
    """Per format, the sum over files of each mode's best of `rounds` inspect() calls, in
    processor time (this process, every thread: it counts no wait for other work on a shared
    machine) and wall time, after a round that warms the page cache and the allocator."""
    best = {}
    for path, _ in jobs:
        for thorough in (False, True):
            _inspect(path, thorough)
    gc.collect()
    gc.disable()  # a collection would land on whichever call happens to run
    for r in range(rounds):
        for path, _ in jobs:
            for thorough in (False, True) if r % 2 == 0 else (True, False):
                wall, cpu = time.perf_counter(), time.process_time()
                _inspect(path, thorough)
                cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
                old = best.get((path, thorough), (cpu, wall))
                best[(path, thorough)] = (min(old[0], cpu), min(old[1], wall))
    gc.enable()
    fmt_of = dict(jobs)
    per_fmt = collections.defaultdict(lambda: [0.0, 0.0, 0.0, 0.0])
    for (path, thorough), (cpu, wall) in best.items():
        per_fmt[fmt_of[path]][int(thorough)] += cpu
        per_fmt[fmt_of[path]][2 + int(thorough)] += wall
    return per_fmt


# ---------------------------------------------------------------------------------------------


def run(root, formats, jobs_n, examples, timing):
    jobs = gather(root, formats)
    counts = collections.Counter(fmt for _, fmt in jobs)
    print(f"{len(jobs)} files under {root}: "
          + ", ".join(f"{f} {counts[f]}" for f in FORMAT_ORDER if counts[f]))
    start = time.perf_counter()
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(jobs_n, initializer=_init_worker) as pool:
        results = pool.map(check_file, jobs, chunksize=4)
    print(f"tools and comparisons: {time.perf_counter() - start:.1f} s with {jobs_n} jobs")

    stats = {}
    seen = collections.Counter()
    ex = collections.defaultdict(list)
    for res in results:
        for mode_field in res["seen"]:
            seen[(res["format"],) + tuple(mode_field)] += 1
        for field, ad, at, sd, st, gt, ans in res["rows"]:
            s = stats.setdefault((res["format"], field), {
                "n": 0, "d": 0, "t": 0, "shapes": collections.Counter(),
                "dshapes": collections.Counter()})
            s["n"] += 1
            if ad is None:
                continue
            s["d"] += ad
            s["t"] += at
            if not at:
                s["shapes"][st] += 1
                if len(ex[(res["format"], field)]) < examples:
                    ex[(res["format"], field)].append((res["path"], gt, ans))
            if not ad:
                s["dshapes"][sd] += 1

    print()
    print(f"{'format':6} {'field':24} {'trawl key':30} {'tool n':>6} {'default':>8} "
          f"{'thorough':>8}  commonest thorough disagreements")
    for fmt in FORMAT_ORDER:
        for f, field, tool, _, key in FIELDS:
            if f != fmt or (formats and fmt not in formats):
                continue
            s = stats.get((fmt, field))
            n = s["n"] if s else 0
            if key is None:
                d = t = "n/a"
                shapes = ""
            elif n == 0:
                d = t = "-"
                shapes = ""
            else:
                d, t = f"{100 * s['d'] / n:.1f}%", f"{100 * s['t'] / n:.1f}%"
                shapes = "; ".join(f"{k} ({v})" for k, v in s["shapes"].most_common(3))
                missing = [m for m in ("default", "thorough") if not seen[(fmt, field, m)]]
                if missing:
                    shapes = f"[key never set: {'/'.join(missing)}] " + shapes
            print(f"{fmt:6} {field:24} {key or '-':30} {n:>6} {d:>8} {t:>8}  {shapes[:110]}")
    if examples:
        print("\nExamples of thorough disagreements (path | trawl | tool):")
        for (fmt, field), rows in sorted(ex.items()):
            for path, gt, ans in rows:
                print(f"  {fmt}.{field}: {path} | {gt} | {ans}")

    print()
    tool_time = collections.defaultdict(lambda: [0, 0.0, 0])
    for res in results:
        tt = tool_time[res["tool"]]
        tt[0] += 1
        tt[1] += res["tool_seconds"]
        tt[2] += 0 if res["cached"] else 1
    print("tool time (as first measured; fresh runs this time):")
    for tool, (n, secs, fresh) in sorted(tool_time.items(), key=lambda x: -x[1][1]):
        print(f"  {tool:8} {n:5} files {secs:8.2f} s  {1000 * secs / n:7.1f} ms/file  ({fresh} fresh)")
    slow = sorted(results, key=lambda r: -r["tool_seconds"])[:5]
    print("slowest tool runs: " + "; ".join(
        f"{r['tool']} {r['tool_seconds']:.2f} s {os.path.basename(r['path'])}" for r in slow))
    terr = collections.Counter(r["tool"] for r in results if r["tool_error"])
    if terr:
        print("tool gave no answer (error or timeout): "
              + ", ".join(f"{k} {v}" for k, v in terr.most_common()))
    xmp = sum(1 for r in results if r["from_xmp"])
    if xmp:
        print(f"pdf: {xmp} files take some document fields from the XMP packet (no Info entry)")
    raised = [r for r in results if r["raised"]]
    print(f"inspect() raised: {len(raised)} files"
          + (f" (first: {raised[0]['path']}: {raised[0]['raised'][0]})" if raised else ""))
    print("files with error entries: default "
          f"{sum(1 for r in results if r['errors'][0])}, thorough "
          f"{sum(1 for r in results if r['errors'][1])}")

    if timing:
        per_fmt = time_modes(jobs)
        print("\ninspect() time, best of 5 per file, summed: processor time default / thorough /"
              " ratio; wall-time ratio")
        tot = [0.0] * 4
        for fmt in [f for f in FORMAT_ORDER if f in per_fmt] + ["all"]:
            v = tot if fmt == "all" else per_fmt[fmt]
            if fmt != "all":
                tot = [a + b for a, b in zip(tot, v)]
                v = per_fmt[fmt]
            print(f"  {fmt:5} {v[0] * 1000:9.1f} ms {v[1] * 1000:9.1f} ms  "
                  f"{v[1] / v[0] if v[0] else 0:5.2f}   {v[3] / v[2] if v[2] else 0:5.2f}"
                  + ("   (target <= 1.5)" if fmt == "all" else ""))
    return results, stats


def self_check(jobs_n):
    """A quick run over the shared corpus, with a few sanity checks of the yardstick itself."""
    results, stats = run(SELF_CHECK_CORPUS, set(), jobs_n, 0, True)
    problems = []
    for res in results[:200]:
        a = trawl.parse(res["path"])
        b = trawl.inspect(res["path"])
        for d in (a, b):
            for k in ("modified_unix", "created_unix"):
                d.get("file", {}).pop(k, None)
        if a != b:
            problems.append(f"inspect() differs from parse(): {res['path']}")
    for fmt, field in (("png", "width"), ("jpeg", "height"), ("pdf", "version"),
                       ("elf", "class"), ("zip", "entry_count")):
        s = stats.get((fmt, field))
        if s and s["n"] and s["d"] / s["n"] < 0.8:
            problems.append(f"{fmt}.{field}: default agreement {s['d']}/{s['n']} is below 80 %")
    for tool in {r["tool"] for r in results}:
        if all(r["tool_error"] for r in results if r["tool"] == tool):
            problems.append(f"{tool} answered for no file")
    print("\nself-check: " + ("OK" if not problems else "FAILED"))
    for p in problems:
        print("  " + p)
    return 1 if problems else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("corpus", nargs="?")
    ap.add_argument("--format", default="", help="comma-separated formats (default: all)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--examples", type=int, default=0,
                    help="print this many disagreeing files per field")
    ap.add_argument("--no-timing", action="store_true")
    ap.add_argument("--self-check", action="store_true")
    args = ap.parse_args()
    if args.self_check:
        return self_check(args.jobs)
    if not args.corpus:
        ap.error("a corpus directory is needed (or --self-check)")
    formats = {f for f in args.format.split(",") if f}
    run(args.corpus, formats, args.jobs, args.examples, not args.no_timing)
    return 0


if __name__ == "__main__":
    sys.exit(main())
