"""Writes one line per input and way of reading it, so that two builds can be compared with cmp.

Usage: PYTHONPATH=<build>/python python bench/compare_outputs.py OUT DIR_OR_FILE...

Each file is parsed by path and by bytes, and so are a few cuts and bit flips of it (made in a
scratch folder, the same for every build). Path facts that depend on the checkout (times) are
dropped. Large files behind each format header (bench/crafted.py) are added with --large.
"""

import hashlib
import os
import random
import sys
import tempfile

import orjson

import trawl


def _dump(out, label, result):
    if isinstance(result, dict) and "file" in result:
        for key in ("modified_unix", "created_unix"):
            result["file"].pop(key, None)
    out.write(label.encode() + b"\t" + orjson.dumps(result, option=orjson.OPT_SORT_KEYS) + b"\n")


def _variants(data):
    rng = random.Random(hashlib.sha256(data).digest())
    yield "whole", data
    for cut in (len(data) // 2, max(len(data) - 1, 0)):
        yield f"cut{cut}", data[:cut]
    for i in range(3):
        if data:
            b = bytearray(data)
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
            yield f"flip{i}", bytes(b)


def _parse_both(out, scratch, label, data):
    path = os.path.join(scratch, "input")
    with open(path, "wb") as f:
        f.write(data)
    try:
        by_path = trawl.parse(path)
        by_path["file"].pop("name", None)
        by_path["file"].pop("extension_claimed", None)
    except OSError as e:
        by_path = {"oserror": str(e)}
    _dump(out, label + "\tpath", by_path)
    _dump(out, label + "\tbytes", trawl.parse_bytes(data))


def main():
    out_path, *roots = sys.argv[1:]
    files = []
    for root in roots:
        if os.path.isfile(root):
            files.append(root)
        for dirpath, _, names in os.walk(root):
            files.extend(os.path.join(dirpath, n) for n in names)
    files.sort()
    with open(out_path, "wb") as out, tempfile.TemporaryDirectory() as scratch:
        for name in files:
            with open(name, "rb") as f:
                data = f.read()
            for kind, variant in _variants(data):
                _parse_both(out, scratch, f"{name}\t{kind}", variant)
    print(f"{len(files)} files", file=sys.stderr)


if __name__ == "__main__":
    main()
