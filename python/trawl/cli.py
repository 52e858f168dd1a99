"""The trawl command: metadata of files and directory trees as JSON lines, JSON or CSV."""

from __future__ import annotations

import argparse
import contextlib
import csv
import errno
import functools
import json
import os
import re
import signal
import sys
import time
import types
from collections.abc import Iterator
from typing import IO, TYPE_CHECKING, Any, NoReturn

from . import __version__
from ._batch import (Failed, display_path, encode, escaped, flatten, has_ext, namespaces,
                     os_error, parse_many, record, walk)
from .types import Result

if TYPE_CHECKING:
    from .inventory import Inventory

def _pretty(value: dict[str, Any]) -> bytes:
    return escaped(json.dumps(value, indent=2, ensure_ascii=False))


EXAMPLES = """\
examples:
  trawl photo.jpg                        one file, one JSON line
  trawl -r ~/Pictures --ext jpg,heic     a tree, only those extensions
  find /data -name '*.pdf' -print0 | trawl -0 -   paths from standard input
  trawl -r /srv/uploads --fast --only file,zip -j 8 --format csv > uploads.csv
  trawl -r /srv/photos --db photos.db --changed   keep an inventory; print what changed
  trawl --db photos.db --dump --format csv        the inventory's records

every record names its input: {"path": ..., <namespace>: {...}, ...}; a path that cannot be
read gives {"path": ..., "error": {"type": "FileNotFoundError", "code": "ENOENT", "errno": 2,
"message": ...}}. A line on standard error sums up the run (--quiet drops it).
exit status: 0 when every path was parsed, 1 when some could not be read (error records),
2 on a usage error, 3 when the output (or the inventory) could not be written, 4 when another
scan of the inventory is running, 130 when interrupted, 141 when the reader of the output went
away.
"""

CELL_LIMIT = 32767  # the longest cell a spreadsheet holds


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        _usage_error(message)


def _usage_error(message: str) -> NoReturn:
    sys.stderr.write(f"trawl: error: {message} (see trawl --help)\n")
    sys.exit(2)


def _arguments() -> argparse.ArgumentParser:
    p = _Parser(
        prog="trawl",
        description="Print the metadata of files (and, with -r, of directory trees).",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", nargs="*", metavar="PATH",
                   help="a file, a directory with -r, or - to read paths from standard input")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="walk directories (a directory named as a symbolic link is followed; "
                        "links inside are not, loops never twice)")
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
    p.add_argument("--thorough", action="store_true",
                   help="read structures fully where the default reading is approximate (PDF "
                        "cross-references, compressed text, audio frames): corrected values "
                        "and added facts, see the README")
    p.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="worker threads (default: the number of CPUs, here %(default)s)")
    p.add_argument("--unordered", action="store_true",
                   help="print records as they finish instead of in input order")
    p.add_argument("--format", choices=["jsonl", "json", "csv"], default="jsonl",
                   help="jsonl: one object per line (default); json: one array; csv: flattened "
                        "dotted columns")
    p.add_argument("--columns", metavar="COL,...",
                   help="csv: exactly these columns after path and path_bytes, e.g. "
                        "file.size_bytes,jpeg.width (default: those of the first 1000 records)")
    p.add_argument("--cell-limit", type=int, default=CELL_LIMIT, metavar="N",
                   help="csv: cut longer cells to N characters (default: %(default)s, a "
                        "spreadsheet's limit; 0 keeps every cell whole)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="a progress bar on standard error with files/s and MB/s "
                        "(default: when standard error is a terminal)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no summary line on standard error at the end")
    p.add_argument("--db", metavar="FILE",
                   help="keep an inventory: scan into this SQLite database (made when missing), "
                        "reading only new and changed files; see --dump and --changed")
    p.add_argument("--changed", action="store_true",
                   help="with --db: print the records the scan read (new, changed, errors)")
    p.add_argument("--dump", action="store_true",
                   help="with --db and no PATH: print the inventory's current records")
    p.add_argument("--pretty", action="store_true", help="indent each JSON object")
    p.add_argument("--version", action="version", version=f"trawl {__version__}")
    return p


def _joined_negatives(argv: list[str]) -> list[str]:
    # "-j -1" would read "-1" as an option (the parser has "-0"): keep it as the value, so the
    # range check can say what is wrong.
    out: list[str] = []
    for arg in argv:
        if out and out[-1] in ("-j", "--jobs", "--cell-limit") and re.fullmatch(r"-\d+", arg):
            out[-1] = f"{out[-1]}={arg}" if out[-1].startswith("--") else f"-j{arg}"
        else:
            out.append(arg)
    return out


class _WriteFailed(Exception):
    """The output could not be written (a full disk, /dev/full)."""


class _Sink:
    """Standard output as bytes: records are UTF-8 whatever the locale says."""

    def __init__(self, out: IO[bytes]) -> None:
        self.out = out

    def write(self, data: bytes) -> None:
        self._checked(self.out.write, data)

    def flush(self) -> None:
        self._checked(self.out.flush)

    @staticmethod
    def _checked(action: Any, *args: Any) -> None:
        try:
            action(*args)
        except BrokenPipeError:  # the reader went away: main() ends quietly
            raise
        except OSError as error:
            raise _WriteFailed(error) from None


def _read_list(stream: IO[bytes], null: bool) -> Iterator[str]:
    """Paths as they arrive: each chunk is whatever the stream has (read1), so a path is passed
    on as soon as its separator comes."""
    separator = b"\0" if null else b"\n"
    pending = b""
    read = getattr(stream, "read1", stream.read)
    while chunk := read(65536):
        parts = (pending + chunk).split(separator)
        pending = parts.pop()
        yield from (os.fsdecode(p) for p in parts if p)
    if pending:
        yield os.fsdecode(pending)


def _named(options: argparse.Namespace, lists: list[IO[bytes]]) -> Iterator[str]:
    """The paths named on the command line and in the lists, as they come."""
    for path in options.paths:
        if path != "-":
            yield path
    for stream in lists:
        with stream:
            yield from _read_list(stream, options.null)


def _inputs(options: argparse.Namespace, ext: list[str] | None,
            lists: list[IO[bytes]]) -> Iterator[str | Failed]:
    def named(path: str) -> Iterator[str | Failed]:
        if options.recursive and os.path.isdir(path):
            failures: list[OSError] = []
            for found in walk(path, ext=ext, follow_symlinks=options.follow_symlinks,
                              onerror=failures.append):
                yield from _failed(failures)
                yield found
            yield from _failed(failures)
        elif ext is None or has_ext(os.path.basename(path), ext) or os.path.isdir(path):
            yield path  # a directory without -r gives its error record whatever --ext says

    for path in _named(options, lists):
        yield from named(path)


def _failed(failures: list[OSError]) -> Iterator[Failed]:
    while failures:
        error = failures.pop(0)
        path = os.fsdecode(error.filename)
        code = error.errno or errno.EIO
        yield Failed(path, os_error(path, code, error.strerror))


class _Csv:
    """CSV rows of flattened records. The columns are the given ones, or those of the first
    records (up to 1000, held back until then); other fields of a record go to the last column,
    "other", as JSON, so that any number of records streams in bounded memory. A path that is
    not valid UTF-8 shows with U+FFFD in "path" and exactly, as hex, in "path_bytes"."""

    sample = 1000

    def __init__(self, sink: _Sink, columns: list[str] | None, cell_limit: int) -> None:
        self.sink = sink
        self.cell_limit = cell_limit
        self.rows: list[dict[str, Any]] | None = None if columns else []
        # Lines end in CR LF, so that a name holding either is quoted and reads back whole.
        self.writer = csv.writer(self, lineterminator="\r\n")
        self.columns: list[str] = []
        self.known: set[str] = set()
        self.spilled = 0
        self.spilled_names: set[str] = set()
        self.cut = 0
        self.count = 0
        if columns:
            self._header(columns)

    def write(self, text: str) -> None:  # the csv writer's file
        self.sink.write(text.encode("utf-8", "replace"))

    def add(self, rec: dict[str, Any]) -> None:
        row = flatten(rec)
        row["path"], exact = display_path(rec["path"])
        if exact is not None:
            row["path_bytes"] = exact.hex()
        if self.rows is not None:
            self.rows.append(row)
            if len(self.rows) >= self.sample:
                self._start()
            return
        self._row(row)

    def _header(self, columns: list[str]) -> None:
        self.columns = ["path", "path_bytes", *columns, "other"]
        self.known = set(self.columns)
        self.writer.writerow(self.columns)

    def _start(self) -> None:
        rows, self.rows = self.rows or [], None
        self._header(sorted({k for row in rows for k in row} - {"path", "path_bytes"}))
        for row in rows:
            self._row(row)

    def _row(self, row: dict[str, Any]) -> None:
        extra = {k: v for k, v in row.items() if k not in self.known}
        if extra:
            row = {k: v for k, v in row.items() if k in self.known}
            row["other"] = encode(extra).decode("utf-8", "replace")
            self.spilled += 1
            self.spilled_names.update(extra)
        cells = [self._cell(row.get(c)) for c in self.columns]
        self.writer.writerow(cells)
        self.count += 1

    def _cell(self, value: Any) -> Any:
        if isinstance(value, str) and self.cell_limit and len(value) > self.cell_limit:
            self.cut += 1
            return value[: self.cell_limit]
        return value

    def close(self) -> list[str]:
        """Ends the table; the notes for standard error."""
        if self.rows is not None:
            self._start()
        notes = []
        if self.spilled:
            names = sorted(self.spilled_names)
            shown = ",".join(names[:8]) + (",..." if len(names) > 8 else "")
            notes.append(f"{self.spilled:,} of {self.count:,} rows have fields beyond the "
                         f"columns, kept as JSON in 'other' ({shown}); name the columns with "
                         "--columns")
        if self.cut:
            notes.append(f"{self.cut:,} cells were cut to {self.cell_limit:,} characters "
                         "(--cell-limit 0 keeps them whole)")
        return notes


def _size(path: str, result: Result) -> int:
    if "file" in result:
        return result["file"].get("size_bytes", 0)
    try:  # --only left the file facts out
        return os.stat(path).st_size
    except OSError:
        return 0


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


def _open_lists(options: argparse.Namespace) -> list[IO[bytes]]:
    lists: list[IO[bytes]] = []
    if "-" in options.paths:
        lists.append(sys.stdin.buffer)
    for name in options.files_from:
        if name == "-":
            lists.append(sys.stdin.buffer)
            continue
        try:
            lists.append(open(name, "rb"))  # noqa: SIM115 - closed once read
        except OSError as error:
            _usage_error(f"--files-from {name}: {error.strerror}")
    return lists


def run(argv: list[str] | None = None) -> int:
    start = time.perf_counter()
    parser = _arguments()
    options = parser.parse_args(_joined_negatives(sys.argv[1:] if argv is None else argv))
    if options.db is None and (options.dump or options.changed):
        parser.error(f"{'--dump' if options.dump else '--changed'} needs --db FILE")
    if options.dump and (options.paths or options.files_from or options.changed):
        parser.error("--dump prints the inventory: no PATH and no --changed with it")
    if not options.paths and not options.files_from and not options.dump:
        parser.error("no PATH given (use - to read paths from standard input)")
    if not 1 <= options.jobs <= 1024:
        parser.error(f"--jobs must be from 1 to 1024, not {options.jobs}")
    if options.cell_limit < 0:
        parser.error(f"--cell-limit must be 0 or more, not {options.cell_limit}")
    ext = None if options.ext is None else [e.strip().lower().lstrip(".")
                                            for e in options.ext.split(",") if e.strip()]
    only = None
    if options.only is not None:
        names = [n.strip() for n in options.only.split(",") if n.strip()]
        if not names:
            parser.error("--only: no namespace given")
        try:
            only = namespaces(names)
        except ValueError as error:
            parser.error(f"--only: {error}")
    columns = None if options.columns is None else [c.strip() for c in
                                                    options.columns.split(",") if c.strip()]
    lists = _open_lists(options)
    if options.db is not None:
        return _with_inventory(options, ext, only, lists, columns, start)
    out = _Output(options, columns)
    bar = _progress(options.progress)
    parsed = failed = 0
    size = 0
    results = parse_many(_inputs(options, ext, lists), jobs=options.jobs,
                         ordered=not options.unordered, fast=options.fast, only=only,
                         thorough=options.thorough)
    try:
        for path, result in results:
            if isinstance(result, dict):
                parsed += 1
                if bar is not None:
                    size += _size(path, result)
            else:
                failed += 1
            out.add(_record(path, result, options.recursive))
            if bar is not None:
                bar.update(1)
                bar.set_postfix_str(f"{size / 1e6 / max(bar.format_dict['elapsed'], 1e-9):.1f} MB/s",
                                    refresh=False)
        notes = out.close()
    finally:
        results.close()
        if bar is not None:
            bar.close()
    if not options.quiet:
        for note in notes:
            _note(f"trawl: {note}\n")
        if parsed + failed == 0 and ext is not None:
            _note(f"trawl: no file matched --ext {options.ext}\n")
        elapsed = time.perf_counter() - start
        _note(f"trawl: {_count(parsed + failed, 'file')}, {_count(parsed, 'record')}, "
                         f"{_count(failed, 'error record')}, {elapsed:.2f} s, "
                         f"{(parsed + failed) / elapsed:,.0f} files/s\n")
    return 1 if failed else 0


def _record(path: Any, result: Result | BaseException, recursive: bool) -> dict[str, Any]:
    rec = record(path, result)
    if isinstance(result, IsADirectoryError) and not recursive:
        rec["error"]["message"] += " (use -r to walk it)"
    return rec


class _Output:
    """Records on standard output in the chosen format."""

    def __init__(self, options: argparse.Namespace, columns: list[str] | None,
                 flush_each: bool = True) -> None:
        self.sink = _Sink(sys.stdout.buffer)
        self.array = options.format == "json"
        self.encode = _pretty if options.pretty else encode
        self.csv = _Csv(self.sink, columns, options.cell_limit) if options.format == "csv" else None
        self.flush_each = flush_each  # a pipeline sees each record as it comes
        self.count = 0
        if self.array:
            self.sink.write(b"[")

    def add(self, rec: dict[str, Any]) -> None:
        if self.csv is not None:
            self.count += 1
            self.csv.add(rec)
        else:
            self._json(self.encode(rec))

    def add_stored(self, path: str, body: str) -> None:
        """A record from the inventory: its path and the JSON of the rest."""
        if self.csv is None and self.encode is encode:
            self._json(self._inventory.joined(path, body))
        else:
            self.add(self._inventory.stored_record(path, body))

    @functools.cached_property
    def _inventory(self) -> types.ModuleType:
        # Imported once, at the first stored record: a plain run does without sqlite3.
        from . import inventory

        return inventory

    def _json(self, data: bytes) -> None:
        self.count += 1
        if self.array:
            self.sink.write((b"\n" if self.count == 1 else b",\n") + data)
        else:
            self.sink.write(data + b"\n")
            if self.flush_each:
                self.sink.flush()

    def close(self) -> list[str]:
        """Ends the output; the notes for standard error."""
        notes = self.csv.close() if self.csv is not None else []
        if self.array:
            self.sink.write(b"\n]\n" if self.count else b"]\n")
        self.sink.flush()
        return notes


def _with_inventory(options: argparse.Namespace, ext: list[str] | None,
                    only: frozenset[str] | None, lists: list[IO[bytes]],
                    columns: list[str] | None, start: float) -> int:
    """--db: a scan into the inventory (printing what it read with --changed), or --dump."""
    import sqlite3  # only here: a plain run does without it

    from .inventory import Inventory

    try:
        inventory = Inventory(options.db, create=not options.dump)
    except (OSError, ValueError, sqlite3.Error) as error:
        if isinstance(error, ValueError):  # names the file already
            _usage_error(f"--db {error}")
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        _usage_error(f"--db {options.db}: {reason}")
    with inventory:
        try:
            if options.dump:
                out = _Output(options, columns, flush_each=False)
                for path, body in inventory._bodies():
                    out.add_stored(path, body)
                _close(out, options.quiet)
                _quiet_note(options, f"trawl: {_count(out.count, 'record')} in {options.db}, "
                                     f"{time.perf_counter() - start:.2f} s\n")
                return 0
            return _scan(inventory, options, ext, only, lists, columns, start)
        except BlockingIOError as error:
            sys.stderr.write(f"trawl: {error.strerror}\n")
            return 4
        except sqlite3.Error as error:
            sys.stderr.write(f"trawl: cannot use the inventory {options.db}: {error}\n")
            return 3


def _scan(inventory: Inventory, options: argparse.Namespace, ext: list[str] | None,
          only: frozenset[str] | None, lists: list[IO[bytes]], columns: list[str] | None,
          start: float) -> int:
    bar = _progress(options.progress)
    run = inventory._run(_named(options, lists), recursive=options.recursive, ext=ext,
                         follow_symlinks=options.follow_symlinks, fast=options.fast, only=only,
                         jobs=options.jobs, thorough=options.thorough,
                         ordered=not options.unordered,
                         describe=functools.partial(_record, recursive=options.recursive),
                         progress=None if bar is None else bar.update)
    out = _Output(options, columns) if options.changed else None
    try:
        for path, body in run:
            if out is not None:
                out.add_stored(path, body)
        if out is not None:
            _close(out, options.quiet)
    finally:
        if bar is not None:
            bar.close()
    s = run.summary
    seen = s.new + s.changed + s.unchanged + s.errors
    elapsed = time.perf_counter() - start
    _quiet_note(options, f"trawl: {s.new:,} new, {s.changed:,} changed, {s.unchanged:,} "
                         f"unchanged, {s.removed:,} removed, {_count(s.errors, 'error')}, "
                         f"{elapsed:.2f} s, {seen / elapsed:,.0f} files/s\n")
    return 1 if s.errors else 0


def _close(out: _Output, quiet: bool) -> None:
    for note in out.close():
        if not quiet:
            _note(f"trawl: {note}\n")


def _quiet_note(options: argparse.Namespace, text: str) -> None:
    if not options.quiet:
        _note(text)


def _note(text: str) -> None:
    """A note on standard error; one that cannot be written (`2>/dev/full`) is dropped."""
    with contextlib.suppress(OSError):
        sys.stderr.write(text)
        sys.stderr.flush()


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def main(argv: list[str] | None = None) -> int:
    """The console entry point: ends quietly on a closed pipe and on Ctrl-C, with one line when
    the output cannot be written."""
    # A closed standard stream (`2>&-`) is None here: notes then go nowhere, a missing output
    # is a write failure and a missing input is empty.
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 (lives as long as the process)
    if sys.stdin is None:
        sys.stdin = open(os.devnull)  # noqa: SIM115
    if sys.stdout is None:
        sys.stderr.write("trawl: cannot write the output: standard output is closed\n")
        return 3
    try:
        return run(argv)
    except KeyboardInterrupt:
        # Worker threads may be inside a long parse: leave without waiting for them.
        _quiet_exit(128 + signal.SIGINT)
    except BrokenPipeError:
        _quiet_exit(128 + signal.SIGPIPE)
    except _WriteFailed as failure:
        error = failure.args[0]
        sys.stderr.write(f"trawl: cannot write the output: {error.strerror or error}\n")
        _quiet_exit(3)
    finally:
        _settle_notes()
    return 1  # not reached


def _settle_notes() -> None:
    """Notes that cannot be written (`2>/dev/full`) are dropped: they must not turn the exit
    status into a failure at interpreter exit."""
    try:
        sys.stderr.flush()
    except OSError:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 (lives as long as the process)


def _quiet_exit(code: int) -> None:
    try:
        sys.stderr.flush()
    except OSError:
        pass
    # Whatever is still buffered for a closed pipe would only fail again at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    with contextlib.suppress(OSError, ValueError):
        os.dup2(devnull, sys.stdout.fileno())
    os._exit(code)
