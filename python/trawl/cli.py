"""The trawl command: metadata of files and directory trees as JSON lines, JSON or CSV."""

from __future__ import annotations

import argparse
import csv
import io
import os
import signal
import sys
from collections.abc import Iterator
from typing import Any, TextIO

from . import __version__
from ._batch import flatten, parse_many, walk

try:  # a fast encoder when installed; the standard one otherwise
    import orjson

    def _encode(record: dict[str, Any]) -> str:
        return orjson.dumps(record).decode()

except ImportError:  # pragma: no cover - depends on the installation
    import json

    def _encode(record: dict[str, Any]) -> str:
        return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


def _pretty(record: dict[str, Any]) -> str:
    import json

    return json.dumps(record, indent=2, ensure_ascii=False)


EXAMPLES = """\
examples:
  trawl photo.jpg                        one file, one JSON line
  trawl -r ~/Pictures --ext jpg,heic     a tree, only those extensions
  find /data -name '*.pdf' -print0 | trawl -0 -   paths from standard input
  trawl -r /srv/uploads --fast --only file,zip -j 8 --format csv > uploads.csv

every record names its input: {"path": ..., <namespace>: {...}, ...}; a path that cannot be
read gives {"path": ..., "error": {"type": "OSError", "message": ...}}.
exit status: 0 when every path was parsed, 1 when some could not be read, 2 on a usage error,
130 when interrupted.
"""


def _arguments() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="trawl",
        description="Print the metadata of files (and, with -r, of directory trees).",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", nargs="*", metavar="PATH",
                   help="a file, a directory with -r, or - to read paths from standard input")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="walk directories (symbolic links are not followed, loops never twice)")
    p.add_argument("--follow-symlinks", action="store_true",
                   help="follow symbolic links while walking")
    p.add_argument("--files-from", metavar="FILE", action="append", default=[],
                   help="read paths from FILE, one per line (- for standard input)")
    p.add_argument("-0", "--null", action="store_true",
                   help="paths read from a list are separated by NUL, as from find -print0")
    p.add_argument("--ext", metavar="EXT,...",
                   help="keep files with these extensions (case-insensitive), e.g. jpg,png")
    p.add_argument("--only", metavar="NS,...",
                   help="keep these namespaces in each record, e.g. file,exif")
    p.add_argument("--fast", action="store_true",
                   help="skip SHA-256, CRC-32 and entropy (size, type and formats stay)")
    p.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="worker threads (default: the number of CPUs, here %(default)s)")
    p.add_argument("--unordered", action="store_true",
                   help="print records as they finish instead of in input order")
    p.add_argument("--format", choices=["jsonl", "json", "csv"], default="jsonl",
                   help="jsonl: one object per line (default); json: one array; csv: flattened "
                        "dotted columns")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="a progress bar on standard error with files/s and MB/s "
                        "(default: when standard error is a terminal)")
    p.add_argument("--pretty", action="store_true", help="indent each JSON object")
    p.add_argument("--version", action="version", version=f"trawl {__version__}")
    return p


def _read_list(stream: TextIO, null: bool) -> Iterator[str]:
    if not null:
        for line in stream:
            line = line.rstrip("\n")
            if line:
                yield line
        return
    pending = ""
    while chunk := stream.read(65536):
        parts = (pending + chunk).split("\0")
        pending = parts.pop()
        yield from (p for p in parts if p)
    if pending:
        yield pending


def _stdin_text() -> TextIO:
    # Paths are bytes on POSIX: surrogate escapes carry any name through unchanged.
    return io.TextIOWrapper(sys.stdin.buffer, encoding=sys.getfilesystemencoding(),
                            errors="surrogateescape", newline="\n")


def _inputs(options: argparse.Namespace, ext: list[str] | None) -> Iterator[str]:
    lists = list(options.files_from)
    for path in options.paths:
        if path == "-":
            lists.append("-")
            continue
        if options.recursive and os.path.isdir(path):
            yield from walk(path, ext=ext, follow_symlinks=options.follow_symlinks)
        elif ext is None or _has_ext(path, ext):
            yield path
    for name in lists:
        stream = _stdin_text() if name == "-" else open(  # noqa: SIM115
            name, encoding=sys.getfilesystemencoding(), errors="surrogateescape", newline="\n")
        with stream:
            for path in _read_list(stream, options.null):
                if options.recursive and os.path.isdir(path):
                    yield from walk(path, ext=ext, follow_symlinks=options.follow_symlinks)
                elif ext is None or _has_ext(path, ext):
                    yield path


def _has_ext(path: str, ext: list[str]) -> bool:
    name = os.path.basename(path)
    dot = name.rfind(".")
    return dot > 0 and name[dot + 1 :].lower() in ext


def _record(path: str, result: Any, recursive: bool) -> tuple[dict[str, Any], bool]:
    """The output record and whether the path was parsed."""
    if isinstance(result, dict):
        if not recursive and "errors" in result and os.path.isdir(path):
            error = IsADirectoryError(f"{path}: is a directory (use -r to walk it)")
            return {"path": path, "error": {"type": "OSError", "message": str(error)}}, False
        return {"path": path, **result}, True
    kind = "OSError" if isinstance(result, OSError) else type(result).__name__
    return {"path": path, "error": {"type": kind, "message": str(result)}}, False


class _Csv:
    """CSV rows of flattened records. The columns are those of the first records (up to 1000,
    held back until then); a later record's other fields go to the last column, "other", as
    JSON, so that any number of records streams in bounded memory."""

    sample = 1000

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.rows: list[dict[str, Any]] | None = []
        self.writer: csv.DictWriter[str] | None = None

    def write(self, record: dict[str, Any]) -> None:
        row = flatten(record)
        if self.rows is not None:
            self.rows.append(row)
            if len(self.rows) >= self.sample:
                self._start()
            return
        self._row(row)

    def _start(self) -> None:
        rows, self.rows = self.rows or [], None
        columns = sorted({k for row in rows for k in row} - {"path"})
        self.writer = csv.DictWriter(self.out, ["path", *columns, "other"], lineterminator="\n")
        self.writer.writeheader()
        for row in rows:
            self._row(row)

    def _row(self, row: dict[str, Any]) -> None:
        assert self.writer is not None
        known = set(self.writer.fieldnames)
        extra = {k: v for k, v in row.items() if k not in known}
        cells = {k: v for k, v in row.items() if k in known}
        if extra:
            cells["other"] = _encode(extra)
        self.writer.writerow(cells)

    def close(self) -> None:
        if self.rows is not None:
            self._start()
        self.out.flush()


def _progress(enabled: bool | None) -> Any:
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:  # pragma: no cover - tqdm is a dependency
        return None
    return tqdm(unit=" files", file=sys.stderr, dynamic_ncols=True, smoothing=0.1)


def run(argv: list[str] | None = None) -> int:
    parser = _arguments()
    options = parser.parse_args(argv)
    if not options.paths and not options.files_from:
        parser.error("no PATH given (use - to read paths from standard input)")
    if options.jobs < 1:
        parser.error("--jobs must be at least 1")
    ext = None if options.ext is None else [e.strip().lower().lstrip(".")
                                            for e in options.ext.split(",") if e.strip()]
    only = None if options.only is None else [n.strip() for n in options.only.split(",")
                                              if n.strip()]
    out = sys.stdout
    encode = _pretty if options.pretty else _encode
    csv_out = _Csv(out) if options.format == "csv" else None
    bar = _progress(options.progress)
    status = 0
    first = True
    size = 0
    if options.format == "json":
        out.write("[")
    results = parse_many(_inputs(options, ext), jobs=options.jobs,
                         ordered=not options.unordered, fast=options.fast, only=only)
    try:
        for path, result in results:
            record, parsed = _record(os.fsdecode(path), result, options.recursive)
            status |= 0 if parsed else 1
            if csv_out is not None:
                csv_out.write(record)
            elif options.format == "json":
                out.write(("\n" if first else ",\n") + encode(record))
            else:
                out.write(encode(record) + "\n")
                out.flush()
            first = False
            if bar is not None:
                size += record.get("file", {}).get("size_bytes", 0)
                bar.update(1)
                bar.set_postfix_str(f"{size / 1e6 / max(bar.format_dict['elapsed'], 1e-9):.1f} MB/s",
                                    refresh=False)
        if options.format == "json":
            out.write("\n]\n" if not first else "]\n")
        if csv_out is not None:
            csv_out.close()
        out.flush()
    finally:
        results.close()
        if bar is not None:
            bar.close()
    return status


def main(argv: list[str] | None = None) -> int:
    """The console entry point: ends quietly on a closed pipe and on Ctrl-C."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        # Worker threads may be inside a long parse: leave without waiting for them.
        _quiet_exit(128 + signal.SIGINT)
    except BrokenPipeError:
        _quiet_exit(128 + signal.SIGPIPE)
    return 1  # not reached


def _quiet_exit(code: int) -> None:
    try:
        sys.stderr.flush()
    except OSError:
        pass
    # Whatever is still buffered for a closed pipe would only fail again at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os._exit(code)
