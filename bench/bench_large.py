"""Large files: memory and time of parse(path) for every format, as ratios within one run.

(a) peak resident-memory growth of parse(path) over a 1 GiB sparse file behind each format's
    header (each in a fresh child process);
(b) time of parse(path) over 256 MiB of random bytes behind each header, against OpenSSL SHA-256
    alone over the same file (median of 5 pairs);
(c) the same ratio for a 1 GiB zero-filled file with no header.

Run with the package importable: PYTHONPATH=build/python python bench/bench_large.py [FORMAT...]
"""

import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from crafted import HEADERS  # noqa: E402

import trawl  # noqa: E402

GIB = 1 << 30
# The peak is reset just before the call (Linux: clear_refs 5), then read from VmHWM.
CHILD = r"""
import sys, trawl
def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = rss_kib()
result = trawl.%s(%s)
print((peak_kib() - before) / 1024)
"""


def rss_growth_mib(path):
    code = CHILD % ("parse", "sys.argv[1]")
    out = subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True,
                         text=True)
    return float(out.stdout)


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def ratio(path, pairs=5):
    ours, base = [], []
    trawl.parse(path)  # warm the page cache
    for _ in range(pairs):
        start = time.perf_counter()
        trawl.parse(path)
        ours.append(time.perf_counter() - start)
        start = time.perf_counter()
        sha256_file(path)
        base.append(time.perf_counter() - start)
    return statistics.median(ours), statistics.median(base)


def main():
    formats = sys.argv[1:] or list(HEADERS)
    random_tail = os.urandom(256 << 20)
    print(f"{'format':8} {'RSS growth, 1 GiB sparse':>26} {'256 MiB random: parse / SHA-256':>34}")
    with tempfile.TemporaryDirectory() as tmp:
        for name in formats:
            header = HEADERS[name]
            sparse = os.path.join(tmp, "sparse")
            with open(sparse, "wb") as f:
                f.write(header)
                f.truncate(GIB)
            growth = rss_growth_mib(sparse)
            os.remove(sparse)
            dense = os.path.join(tmp, "dense")
            with open(dense, "wb") as f:
                f.write(header)
                f.write(random_tail[len(header):])
            ours, base = ratio(dense)
            os.remove(dense)
            print(f"{name:8} {growth:22.1f} MiB {ours * 1e3:12.0f} ms / {base * 1e3:.0f} ms ="
                  f" {ours / base:.2f} x", flush=True)
        zeros = os.path.join(tmp, "zeros")
        with open(zeros, "wb") as f:
            for _ in range(GIB // (64 << 20)):
                f.write(bytes(64 << 20))
        ours, base = ratio(zeros, pairs=3)
        print(f"1 GiB of zeros: parse {ours * 1e3:.0f} ms / SHA-256 {base * 1e3:.0f} ms ="
              f" {ours / base:.2f} x")


if __name__ == "__main__":
    main()
