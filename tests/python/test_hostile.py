"""Crafted inputs whose declared sizes, counts and nesting would make a careless parser allocate,
recurse or loop without end: each one is parsed in a fresh process, in bounded time and memory."""

import hashlib
import json
import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import zlib
from pathlib import Path

import pytest

import trawl

# Each case is an expression that builds the input (with struct and n = one million at hand);
# bench/crafted.py's inputs, measured below, add ZIP entries, EXIF pointers and PDF strings.
CASES = {
    "png chunk of 0xFFFFFFFF bytes": "b'\\x89PNG\\r\\n\\x1a\\n' + struct.pack('>I', 0xFFFFFFFF) + b'IHDR' + bytes(40)",
    "jpeg segment lengths at their maximum": "b'\\xff\\xd8' + b'\\xff\\xe1\\xff\\xffExif\\0\\0' + bytes(100)",
    "id3 sizes of 0xFFFFFFFF": "b'ID3\\x03\\x00\\x00\\xff\\xff\\xff\\xff' + b'TIT2' + b'\\xff' * 6 + bytes(20)",
    "id3 title of a million byte-order marks": "b'ID3\\x03\\x00\\x00\\x7f\\x7f\\x7f\\x7f' + b'TIT2' + struct.pack('>I', 2 * n + 1) + bytes(2) + b'\\x01' + b'\\xff\\xfe' * n",
    "riff chunk of 0xFFFFFFFF bytes": "b'RIFF' + b'\\xff' * 4 + b'WAVE' + b'LIST' + b'\\xff' * 4 + bytes(40)",
    "mp4 box of 2**64-1 bytes": "struct.pack('>I4s', 12, b'ftyp') + b'isom' + struct.pack('>I4sQ', 1, b'mdat', 2**64 - 1) + bytes(64)",
    "a million nested moov boxes": "struct.pack('>I4s', 12, b'ftyp') + b'isom' + b''.join(struct.pack('>I4s', 8 * (n - i), b'moov') for i in range(n))",
    "zip end record with offsets of 0xFFFFFFFF": "b'PK\\x05\\x06' + bytes(6) + b'\\xff\\xff' + b'\\xff' * 8 + bytes(2)",
    "gif of a million frames": "b'GIF89a' + struct.pack('<HH', 1, 1) + bytes(3) + b'\\x2c' + bytes(8) + b'\\x00\\x02\\x00' + (b'\\x2c' + bytes(8) + b'\\x00\\x02\\x00') * (n - 1) + b'\\x3b'",
    "tiff whose directories point at themselves": "b'II*\\x00\\x08\\x00\\x00\\x00' + struct.pack('<H', 2) + struct.pack('<HHII', 0x8769, 4, 1, 8) + struct.pack('<HHII', 0x10e, 2, 0xFFFFFFFF, 8) + struct.pack('<I', 8)",
    "gzip with an extra field past the end": "b'\\x1f\\x8b\\x08\\x0c' + bytes(6) + b'\\xff\\xff' + b'x' * 100",
}

CHILD = textwrap.dedent("""\
    import json, resource, sys, time
    import trawl
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.perf_counter()
    result = trawl.inspect(data, thorough=sys.argv[2] == "thorough")
    took = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"size": result["file"]["size_bytes"], "grew_kib": after - before,
                      "seconds": took, "keys": sorted(result)}))
""")


# Read thoroughly: compressed text, XMP packets and PNG EXIF profiles (with zlib at hand).
THOROUGH_CASES = {
    "png of 3000 zTXt chunks that each inflate to 1 MiB": "b'\\x89PNG\\r\\n\\x1a\\n' + b''.join(struct.pack('>I', len(c)) + b'zTXt' + c + bytes(4) for c in [b'k%d\\0\\0' % i + zlib.compress(bytes(1 << 20), 9) for i in range(3000)])",
    "png EXIF profile declaring a huge length": "b'\\x89PNG\\r\\n\\x1a\\n' + struct.pack('>I', 2 * n + 40) + b'tEXtRaw profile type exif\\0\\nexif\\n999999999999\\n' + b'4' * (2 * n) + bytes(4)",
    "jpeg XMP of 20000 nested elements": "b'\\xff\\xd8\\xff\\xe1' + struct.pack('>H', 2 + 29 + 60000) + b'http://ns.adobe.com/xap/1.0/\\0' + b'<a>' * 20000 + bytes(0)",
    "pdf packet that never ends": "b'%PDF-1.7\\n<?xpacket begin ' + b'<x ' * n",
    # Each packet once took a copy of the rest of its 256 KiB block (6 GiB for 16 MiB of them).
    "pdf of 50,000 short packets": "b'%PDF-1.7\\n' + b'<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"></x:xmpmeta>' * (n // 20)",
    "tiff XMP tag as long as the file": "b'II*\\x00\\x08\\x00\\x00\\x00\\x01\\x00' + struct.pack('<HHII', 700, 1, 3 * n, 26) + bytes(4) + b'<a ' * n",
}


@pytest.mark.parametrize("name, thorough", [(name, False) for name in sorted(CASES)] +
                         [(name, True) for name in sorted(THOROUGH_CASES)])
def test_crafted_input_is_bounded(name, thorough, tmp_path):
    path = tmp_path / "input"
    expression = (THOROUGH_CASES if thorough else CASES)[name]
    path.write_bytes(eval(expression, {"struct": struct, "zlib": zlib, "n": 1_000_000}))  # noqa: S307
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), "thorough" if thorough else ""],
                         capture_output=True, text=True, timeout=120, check=True)
    facts = json.loads(out.stdout)
    assert len(facts["keys"]) >= 2, facts  # the format's own namespace besides "file"
    # Peak memory of the parse: its output and working copies, never a declared size.
    assert facts["grew_kib"] * 1024 <= 30 * facts["size"] + 64 * 2**20, facts
    assert facts["seconds"] < 10, facts


def test_repeated_calls_keep_memory_flat(corpus):
    data = (corpus / "real/jpeg/exiftool_camera_gps_thumb.jpg").read_bytes()

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    for _ in range(10_000):
        trawl.parse_bytes(data)
    settled = rss_kib()
    for _ in range(90_000):
        trawl.parse_bytes(data)
    assert rss_kib() - settled < 2048


def test_unreadable_file_raises_os_error(tmp_path):
    path = tmp_path / "secret"
    path.write_bytes(b"x")
    path.chmod(0)
    try:
        open(path, "rb").close()
        pytest.skip("this process reads files whatever their mode (root with its capabilities; "
                    "scripts/test runs this test again without them)")
    except PermissionError:
        pass
    with pytest.raises(OSError) as raised:
        trawl.parse(path)
    assert str(raised.value) == f"{path}: Permission denied (os error 13)"


sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from crafted import CRAFTED, HEADERS, exif_long_value_head  # noqa: E402

# Peak and retained memory of one call, with the peak reset just before it (Linux).
MEASURED = textwrap.dedent("""\
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import trawl
    from crafted import CRAFTED
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))
    kind, arg = sys.argv[2], sys.argv[3]
    data = CRAFTED[arg](16 << 20) if kind == "bytes" else None
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    result = trawl.parse_bytes(data) if kind == "bytes" else trawl.parse(arg)
    print(json.dumps({"n": len(data) if data else result["file"]["size_bytes"],
                      "peak": status("VmHWM:") - before, "kept": status("VmRSS:") - before,
                      "result": {k: sorted(v) if isinstance(v, dict) else v
                                 for k, v in result.items()},
                      "truncated": sorted(k for k, v in result.items()
                                          if isinstance(v, dict) and "truncated" in v)}))
""")
linux_only = pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"),
                                reason="peak memory is read from /proc")


def measure(kind, arg):
    bench = str(Path(__file__).resolve().parents[2] / "bench")
    out = subprocess.run([sys.executable, "-c", MEASURED, bench, kind, arg], capture_output=True,
                         text=True, timeout=300, check=True)
    return json.loads(out.stdout)


@linux_only
@pytest.mark.parametrize("name", sorted(CRAFTED))
def test_output_of_crafted_input_stays_within_a_multiple_of_it(name):
    facts = measure("bytes", name)
    assert facts["peak"] <= 16 * facts["n"] + (64 << 20), facts
    assert facts["truncated"], "every case reaches a cap, which the output marks"


# Starts of large files: each format's header, and EXIF directories whose pointers lead back to
# themselves.
STARTS = {**HEADERS, **{name: CRAFTED[name](0) for name in CRAFTED if name.startswith("exif")},
          # and a value as long as the whole file, held whole by nothing
          "exif undefined value of 256 MiB": exif_long_value_head(0xC000, 7, 256 << 20),
          "exif ascii value of 256 MiB": exif_long_value_head(0x010E, 2, 256 << 20)}


@linux_only
@pytest.mark.parametrize("start", sorted(STARTS))
def test_large_file_of_any_format_in_bounded_memory(start, tmp_path):
    path = tmp_path / "sparse"
    with open(path, "wb") as f:
        f.write(STARTS[start])
        f.truncate(256 << 20)
    facts = measure("path", str(path))
    # Working memory beyond what the returned dict keeps.
    assert facts["peak"] - facts["kept"] <= 64 << 20, facts


def _changed(result):
    return [e["message"] for e in result.get("errors", []) if e["extractor"] == "file"]


def test_file_cut_short_during_the_parse_says_so(tmp_path):
    path = tmp_path / "shrinking.png"
    with open(path, "wb") as f:
        f.write(HEADERS["png"])
        f.truncate(512 << 20)
    cutter = threading.Timer(0.02, lambda: os.truncate(path, 1000))
    cutter.start()
    result = trawl.parse(path)
    cutter.join()
    # Keys stay, with the size the file had when opened, and an entry says what happened.
    assert result["file"]["size_bytes"] == 512 << 20
    assert "png" in result and "sha256" in result["file"]
    assert _changed(result) == ["changed while read: size 536870912 bytes when opened, 1000 after"]


@pytest.mark.parametrize("action", ["chmod", "rename over it", "hard link", "same times"])
def test_metadata_changes_during_the_parse_are_not_content_changes(action, tmp_path):
    # Only the size and modification time speak for the bytes: an upload store that replaces
    # files by rename must not see every parse of the old one flagged.
    path = tmp_path / "kept.png"
    with open(path, "wb") as f:
        f.write(HEADERS["png"])
        f.truncate(256 << 20)
    other = tmp_path / "new.png"
    other.write_bytes(b"x")
    act = {"chmod": lambda: os.chmod(path, 0o600),
           "rename over it": lambda: os.replace(other, path),
           "hard link": lambda: os.link(path, tmp_path / "link"),
           "same times": lambda: os.utime(path, ns=(os.stat(path).st_atime_ns,
                                                    os.stat(path).st_mtime_ns))}[action]
    timer = threading.Timer(0.02, act)
    timer.start()
    result = trawl.parse(path)
    timer.join()
    assert _changed(result) == []


def test_growing_file_is_read_to_its_size_when_opened(tmp_path):
    path = tmp_path / "growing.log"
    start = os.urandom(64 << 20)
    path.write_bytes(start)
    done = threading.Event()

    def grow():
        with open(path, "ab") as f:
            while not done.is_set():
                f.write(b"x" * 65536)
                f.flush()

    writer = threading.Thread(target=grow)
    writer.start()
    try:
        result = trawl.parse(path)
    finally:
        done.set()
        writer.join()
    # The size when opened (the writer may have added some already), never what came after.
    size = result["file"]["size_bytes"]
    assert size >= len(start)
    kept = start + b"x" * (size - len(start))
    assert result["file"]["sha256"] == hashlib.sha256(kept).hexdigest()
    assert _changed(result)[0].startswith(f"changed while read: size {size} bytes when opened, ")


def _tiff_over_pages(total, entries, description=0):
    """A TIFF of `total` bytes whose directory straddles a 64 KiB boundary and whose values lie
    on separate pages (more of them than a 32 MiB cache holds), with an optional long
    ImageDescription near the end."""
    page = 64 << 10
    ifd_at = page * 3 - 6 * 12 - 2
    data = bytearray(total)
    data[0:8] = b"II*\x00" + struct.pack("<I", ifd_at)
    fields = []
    for i in range(entries):
        tag = 0x013B if i == 0 else 0x8000 + i  # Artist, then private tags
        at = (i + 5) * page - 2 if (i + 5) * page < total - 16 else 16 + 8 * i
        value = b"v%04dx" % i
        data[at:at + len(value)] = value
        fields.append(struct.pack("<HHII", tag, 2, len(value), at))
    if description:
        at = total - description - 8
        data[at:at + description] = b"A" * description
        fields.append(struct.pack("<HHII", 0x010E, 2, description, at))
    fields.sort(key=lambda f: struct.unpack("<H", f[:2]))
    blob = struct.pack("<H", len(fields)) + b"".join(fields) + bytes(4)
    data[ifd_at:ifd_at + len(blob)] = blob
    return bytes(data)


@pytest.mark.parametrize("total, entries, description", [
    (1 << 20, 12, 0),                 # kept whole once read
    (33 << 20, 520, 0),               # through the page cache, more values than it holds
    (48 << 20, 10, 40 << 20),         # one value longer than the whole cache
])
def test_large_file_reads_the_same_by_path_and_by_bytes(total, entries, description, tmp_path):
    data = _tiff_over_pages(total, entries, description)
    path = tmp_path / "big.tif"
    path.write_bytes(data)
    by_path = trawl.parse(path)
    for key in ("name", "extension_claimed", "modified_unix", "created_unix"):
        by_path["file"].pop(key, None)
    assert by_path == trawl.parse_bytes(data)
    assert by_path["exif"]["primary"]["Artist"] == '"v0000x"'


@linux_only
def test_address_space_limit_changes_no_fact(tmp_path):
    # Nothing is reserved in proportion to the file: a 2 GiB file under a 1 GiB limit.
    code = textwrap.dedent("""\
        import json, resource, sys
        import trawl
        if sys.argv[2] == "limited":
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        result = trawl.inspect(sys.argv[1], fast=True)
        result["file"].pop("modified_unix", None)
        print(json.dumps(result, sort_keys=True))
    """)
    for name in ("jpeg", "png", "mp4", "zip", "tiff"):
        path = tmp_path / name
        with open(path, "wb") as f:
            f.write(HEADERS[name])
            f.truncate(2 << 30)
        outs = [subprocess.run([sys.executable, "-c", code, str(path), how], capture_output=True,
                               text=True, timeout=300).stdout for how in ("free", "limited")]
        assert outs[0] and outs[0] == outs[1], name
        path.unlink()


@pytest.mark.parametrize("target", ["fifo", "/dev/zero"])
def test_ctrl_c_stops_a_parse_that_would_never_end(target, tmp_path):
    if target == "fifo":
        target = str(tmp_path / "pipe")
        os.mkfifo(target)
        writer = os.open(target, os.O_RDWR)  # keeps the pipe open and empty
    code = ("import sys, time, trawl\n"
            "try:\n    trawl.parse(sys.argv[1])\n"
            "except KeyboardInterrupt:\n    print(time.monotonic(), flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", code, target], stdout=subprocess.PIPE,
                             text=True)
    try:
        time.sleep(1.0)  # well inside the parse
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
        if target.endswith("pipe"):
            os.close(writer)
    assert out, "the parse ended with KeyboardInterrupt"
    assert float(out) - sent < 0.2


def test_running_out_of_memory_is_never_a_crash_or_a_value_error():
    # Under shrinking address-space limits, a parse either returns (with an "out of memory"
    # entry where an extractor ran out) or raises MemoryError.
    code = textwrap.dedent("""\
        import resource, sys
        sys.path.insert(0, sys.argv[1])
        import trawl
        from crafted import CRAFTED
        data = CRAFTED["zip entries"](16 << 20)
        outcomes = set()
        for extra in (60, 30, 10, 5, 1):
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/statm") as f:
                used = int(f.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + (extra << 20), hard))
            try:
                result = trawl.parse_bytes(data)
                outcomes.add(result["errors"][0]["message"] if "errors" in result else "dict")
                assert "file" in result
            except MemoryError:
                outcomes.add("MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(sorted(outcomes))
    """)
    bench = str(Path(__file__).resolve().parents[2] / "bench")
    out = subprocess.run([sys.executable, "-c", code, bench], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    outcomes = set(eval(out.stdout))  # noqa: S307 (a printed list of strings)
    assert outcomes <= {"dict", "out of memory", "MemoryError"}, outcomes
    assert "out of memory" in outcomes, "the tightest limits reach an extractor's allocations"
