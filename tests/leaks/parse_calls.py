"""Parse calls for the leak check (scripts/test runs this under valgrind): every corpus file by
path and by bytes, and calls that fail on their arguments or on opening."""

import pathlib
import sys

import trawl

for path in sorted(p for p in pathlib.Path(sys.argv[1]).rglob("*") if p.is_file()):
    trawl.parse(path)
    trawl.parse_bytes(path.read_bytes()[:65536])
for bad in (123, "\0x", b"/nonexistent"):
    try:
        trawl.parse(bad)
    except (TypeError, OSError, ValueError):
        pass
