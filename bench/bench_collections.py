"""Collections: the trawl command over trees of files, as rates and ratios within one run.

(a) files/s of `trawl -r -j 2` over 100,000 small files (tiny JPEG, PNG, PDF, ZIP and text files
    made in a temporary folder), and of -j 1;
(b) the rate of -j 2 over -j 1 on medium files (1 MiB each);
(c) the command's cost per record over parse() itself: the command with -j 1 against a loop of
    parse() over the same files in one process, less the command's start-up.

Run with the package importable: PYTHONPATH=build/python python bench/bench_collections.py
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from crafted import HEADERS, PNG_1X1  # noqa: E402

import trawl  # noqa: E402

SMALL = [
    HEADERS["jpeg"] + b"\xff\xd9",
    PNG_1X1 + b"\x00\x00\x00\x00IEND\xaeB`\x82",
    b"%PDF-1.4\n1 0 obj <</Type /Page>> endobj\n/Title (x)\n%%EOF\n",
    b"PK\x05\x06" + bytes(18),
    b"hello, world\n",
]
NAMES = ["a.jpg", "b.png", "c.pdf", "d.zip", "e.txt"]


def make_tree(root, count, sizes=None):
    for i in range(count):
        folder = os.path.join(root, f"{i // 1000:03d}")
        if i % 1000 == 0:
            os.makedirs(folder)
        kind = i % len(SMALL)
        data = SMALL[kind] if sizes is None else SMALL[kind] + os.urandom(sizes)
        with open(os.path.join(folder, f"{i}{NAMES[kind]}"), "wb") as f:
            f.write(data)


def command_seconds(*args, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "trawl", "--no-progress", "-q", *args], check=False,
                       stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        small = os.path.join(tmp, "small")
        make_tree(small, 100_000)
        command_seconds("-r", small, repeat=1)  # warm the page cache and the directory cache
        startup = command_seconds("--version", repeat=5)
        for jobs in ("2", "1"):
            t = command_seconds("-r", "-j", jobs, small)
            print(f"(a) trawl -r -j {jobs}, 100,000 small files: {t:.2f} s, "
                  f"{100_000 / t:,.0f} files/s", flush=True)
        paths = list(trawl.walk(small))
        loop = []
        for _ in range(3):
            start = time.perf_counter()
            for p in paths:
                trawl.parse(p)
            loop.append(time.perf_counter() - start)
        parse_only = statistics.median(loop)
        cli = command_seconds("-r", "-j", "1", small)
        per_record = (cli - startup - parse_only) / len(paths)
        print(f"(c) per record: command -j 1 {cli:.2f} s - start-up {startup:.2f} s - parse loop "
              f"{parse_only:.2f} s = {per_record * 1e6:.1f} us per record (target <= 30)")
        medium = os.path.join(tmp, "medium")
        make_tree(medium, 600, sizes=1 << 20)
        command_seconds("-r", medium, repeat=1)
        one = command_seconds("-r", "-j", "1", medium)
        two = command_seconds("-r", "-j", "2", medium)
        print(f"(b) 600 files of 1 MiB: -j 1 {one:.2f} s, -j 2 {two:.2f} s: "
              f"{one / two:.2f} x the rate (target >= 1.7)")


if __name__ == "__main__":
    main()
