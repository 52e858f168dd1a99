"""Parse benchmarks, printed as ratios to baselines measured in the same run (medians).

(a) parse(path) over a 256 MiB random file against OpenSSL SHA-256 alone over that file;
(b) parse_bytes per call for b"", 1 KiB and 1 MiB against the same facts in plain Python;
(c) the resident-memory growth of parsing an unrecognised 1 GiB file;
(d) parse(path) over small real files against opening, reading and hashing them in Python.

Run with the package importable: PYTHONPATH=build/python python bench/bench_parse.py
"""

import hashlib
import math
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

import trawl


def median_seconds(fn, repeat, number=1):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def plain_python(data):
    counts = [0] * 256
    for b in data:
        counts[b] += 1
    n = len(data)
    entropy = -sum(c / n * math.log2(c / n) for c in counts if c) if n else None
    return hashlib.sha256(data).hexdigest(), f"{zlib.crc32(data):08x}", entropy


def large_file(tmp):
    path = os.path.join(tmp, "random.bin")
    with open(path, "wb") as f:
        for _ in range(256):
            f.write(os.urandom(1 << 20))
    sha256_file(path)  # warm the page cache
    trawl.parse(path)
    # Alternate the two so that both see the same machine; the ratio is the median of pairs.
    pairs = [(median_seconds(lambda: trawl.parse(path), 1), median_seconds(lambda: sha256_file(path), 1))
             for _ in range(9)]
    ours = statistics.median(p[0] for p in pairs)
    sha = statistics.median(p[1] for p in pairs)
    ratio = statistics.median(p[0] / p[1] for p in pairs)
    print(f"(a) parse(256 MiB file): {ours * 1e3:.0f} ms ({256 / ours:.0f} MiB/s); "
          f"SHA-256 alone {sha * 1e3:.0f} ms; ratio {ratio:.2f} (target <= 1.6)")


def small_buffers():
    for label, data in [("b''", b""), ("1 KiB", os.urandom(1024)), ("1 MiB", os.urandom(1 << 20))]:
        number = 20000 if len(data) <= 1024 else 20
        ours = median_seconds(lambda: trawl.parse_bytes(data), 7, number)
        plain = median_seconds(lambda: plain_python(data), 5, max(1, number // 100))
        print(f"(b) parse_bytes({label}): {ours * 1e6:.2f} us per call; plain Python "
              f"{plain * 1e6:.1f} us; trawl is {plain / ours:.0f}x faster")


def small_files(corpus):
    """parse(path) over real files of at most 256 KiB against opening, reading, SHA-256 and
    CRC-32 of the same files in plain Python (the floor a parse by path cannot go below)."""
    paths = sorted(os.path.join(d, n) for d, _, names in os.walk(corpus) for n in names
                   if os.path.getsize(os.path.join(d, n)) <= 256 << 10)[:400]

    def floor():
        for p in paths:
            with open(p, "rb") as f:
                data = f.read()
            hashlib.sha256(data).hexdigest()
            zlib.crc32(data)

    def ours():
        for p in paths:
            trawl.parse(p)

    pairs = [(median_seconds(ours, 1), median_seconds(floor, 1)) for _ in range(15)]
    mean_kib = sum(os.path.getsize(p) for p in paths) / len(paths) / 1024
    per_file = statistics.median(p[0] for p in pairs) / len(paths)
    ratio = statistics.median(p[0] / p[1] for p in pairs)
    print(f"(d) parse(path) over {len(paths)} small files ({mean_kib:.0f} KiB on average): "
          f"{per_file * 1e6:.0f} us per file; ratio to open + read + SHA-256 + CRC-32 in Python "
          f"{ratio:.2f} (target <= 1.3)")


RSS_CHILD = """
import resource, sys, trawl
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
trawl.parse(sys.argv[1])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) / 1024)
"""


def constant_memory(tmp):
    path = os.path.join(tmp, "big.bin")
    with open(path, "wb") as f:
        f.truncate(1 << 30)  # sparse zeros: no type is recognised
    growth = subprocess.run([sys.executable, "-c", RSS_CHILD, path], capture_output=True,
                            text=True, check=True).stdout.strip()
    print(f"(c) parse(1 GiB unrecognised file): peak RSS growth {float(growth):.1f} MiB "
          "(target < 16)")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        large_file(tmp)
        small_buffers()
        constant_memory(tmp)
    corpus = os.environ.get("TRAWL_CORPUS", os.path.join(os.path.dirname(__file__), "..", "..",
                                                         "shared", "corpus"))
    if not os.path.isdir(corpus):
        corpus = os.path.join(os.path.dirname(__file__), "..", "tests", "corpus")
    small_files(corpus)


if __name__ == "__main__":
    main()
