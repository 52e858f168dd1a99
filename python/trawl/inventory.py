"""The inventory: a SQLite database of the command's records that each scan keeps current,
reading again only the files whose identity or change stamps moved since they were read.

    with trawl.Inventory("photos.db") as inventory:
        scan = inventory.scan("/srv/photos", fast=True)
        for path, rec in inventory.changes(since=scan.id - 1):
            ...
"""

from __future__ import annotations

import bisect
import contextlib
import errno
import json
import os
import sqlite3
import stat
import sys
import time
from collections.abc import Callable, Container, Iterable, Iterator
from operator import itemgetter
from typing import Any, NamedTuple, cast

from . import _trawl
from ._batch import (Failed, Sized, _items, encode, extensions, fast_json, has_ext, namespaces,
                     os_error, parse_many, record)

if sys.platform == "win32":  # pragma: no cover - not run here
    import msvcrt
else:
    import fcntl

_APPLICATION_ID = 0x7472776C  # "trwl": another program's database is refused, never changed
_VERSION = 2  # 2: the dirs table, which a version-1 trawl would let go stale
# A directory's stored stamps: the rows of its files summed up in one blob, so that an unchanged
# directory costs one row. It is rewritten from the files rows, in the transaction that writes
# them or a later one, and a write to a file row voids its directory's blob in the same
# transaction (NULL: compare row by row). A directory with current rows under it has a row here,
# so that a walk that no longer meets it finds what to remove.
_DIRS = "CREATE TABLE dirs (path BLOB PRIMARY KEY, stamps BLOB) WITHOUT ROWID"
_SCHEMA = [
    """CREATE TABLE scans (
        id INTEGER PRIMARY KEY,
        started_ns INTEGER NOT NULL,
        finished_ns INTEGER,
        roots TEXT NOT NULL,
        options TEXT NOT NULL,
        new INTEGER NOT NULL DEFAULT 0,
        changed INTEGER NOT NULL DEFAULT 0,
        unchanged INTEGER NOT NULL DEFAULT 0,
        removed INTEGER NOT NULL DEFAULT 0,
        errors INTEGER NOT NULL DEFAULT 0,
        read INTEGER NOT NULL DEFAULT 0)""",
    # The record lives in its own table so that a re-scan walks narrow rows. The stamps of an
    # error record are NULL: every scan reads it again.
    """CREATE TABLE files (
        path BLOB PRIMARY KEY,
        dev INTEGER, ino INTEGER, size INTEGER, mtime_ns INTEGER, ctime_ns INTEGER,
        read_scan INTEGER NOT NULL,
        changed_scan INTEGER NOT NULL,
        removed_scan INTEGER,
        record INTEGER NOT NULL) WITHOUT ROWID""",
    "CREATE TABLE records (id INTEGER PRIMARY KEY, body TEXT NOT NULL)",
    _DIRS,
    f"PRAGMA application_id = {_APPLICATION_ID}",
    f"PRAGMA user_version = {_VERSION}",
]
_ROW = "path, dev, ino, size, mtime_ns, ctime_ns, read_scan, removed_scan, changed_scan, record"
# Positions in a files row. The walk reads the columns before changed_scan, all that it
# compares: each column fetched costs as much as a fifth of a stat.
_PATH, _READ, _REMOVED, _CHANGED, _RECORD = 0, 6, 7, 8, 9
_WALKED = ", ".join(_ROW.split(", ")[:_CHANGED])
_WHOLE = ", ".join(f"f.{name}" for name in _ROW.split(", "))
_NO_STAMPS = (None, None, None, None, None)

# A file whose stamps are this recent when a scan reads it may change again within one
# timestamp tick (a second or two on coarse filesystems) and keep them: the next scan reads it
# again.
_RECENT_NS = 2_000_000_000
# Writes are committed every this many rows or seconds: a killed scan loses at most that much.
_BATCH_ROWS = 1000
_BATCH_SECONDS = 1.0
# Stored rows read per query while walking. Each query is its own short read, so that a long
# scan never pins an old snapshot (which keeps the write-ahead log from being reset).
_CHUNK = 2048
_SEP = os.fsencode(os.sep)
_PAST_SEP = bytes([_SEP[0] + 1])
_HALF, _FULL = 1 << 63, 1 << 64
_GONE = (errno.ENOENT, errno.ENOTDIR)


class Scan(NamedTuple):
    """One scan: when it ran, what it was given, how it read (`options`) and what it found.
    `finished` is None while it runs or when it was stopped before its end; its counts are then
    those committed so far."""

    id: int
    started: float
    finished: float | None
    roots: list[str]
    options: dict[str, Any]
    new: int
    changed: int
    unchanged: int
    removed: int
    errors: int
    read: int


class Inventory:
    """A SQLite database of records, created when missing, that `scan` keeps current: a file
    whose device, inode, size, modification and status-change times are those stored (and
    which was read with the same options) is not opened again. Removed files keep their last
    record, marked with the scan that found them gone. One scan at a time per database;
    readers (other processes too) see every batch a scan commits."""

    def __init__(self, path: str | os.PathLike[str], *, create: bool = True) -> None:
        self.path = os.fspath(path)
        if not create and not os.path.isfile(self.path):
            raise FileNotFoundError(errno.ENOENT, "no such inventory", self.path)
        self._db = _connect(self.path)
        try:
            # Opening to read leaves an empty file as it is, rather than making it an inventory.
            if not create and not _ours(self._db, self.path):
                raise ValueError(f"{self.path}: not a trawl inventory")
            _prepare(self._db, self.path)
        except BaseException:
            self._db.close()
            raise

    def __enter__(self) -> Inventory:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._db.close()

    def scan(
        self,
        roots: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
        *,
        fast: bool = False,
        only: str | Iterable[str] | None = None,
        jobs: int | None = None,
        ext: str | Iterable[str] | None = None,
        follow_symlinks: bool = False,
        thorough: bool = False,
    ) -> Scan:
        """Bring the records under `roots` (directories, walked as trawl.walk does, or files)
        up to date, and return the scan's counts. `fast`, `only` and `thorough` are the reading
        options of parse_many; a record read with other options is read again. BlockingIOError
        when another scan of this database is running."""
        run = self._run(map(os.fspath, _items(roots)), recursive=True, ext=ext,
                        follow_symlinks=follow_symlinks, fast=fast, only=only, jobs=jobs,
                        thorough=thorough)
        for _ in run:
            pass
        return run.summary

    def __iter__(self) -> Iterator[dict[str, Any]]:
        """The current records, as trawl.record gives them, in the byte order of their paths."""
        for path, body in self._bodies():
            yield stored_record(path, body)

    def get(self, path: str | os.PathLike[str]) -> dict[str, Any] | None:
        """The current record of one path (made absolute), or None."""
        row = self._db.execute(
            "SELECT r.body FROM files f JOIN records r ON r.id = f.record "
            "WHERE f.path = ? AND f.removed_scan IS NULL",
            (os.fsencode(os.path.abspath(path)),)).fetchone()
        return None if row is None else stored_record(os.path.abspath(os.fspath(path)), row[0])

    def changes(self, since: int) -> Iterator[tuple[str, dict[str, Any] | None]]:
        """What the scans after scan `since` changed, in path order: (path, record) for a new
        or changed record, (path, None) for a removed file. Reads the whole table once."""
        cursor = self._db.execute(
            "SELECT f.path, f.removed_scan, r.body FROM files f JOIN records r "
            "ON r.id = f.record WHERE f.changed_scan > ? OR f.removed_scan > ? "
            "ORDER BY f.path", (since, since))
        try:
            for key, removed, body in cursor:
                path = os.fsdecode(key)
                yield path, None if removed is not None else stored_record(path, body)
        finally:
            cursor.close()

    def scans(self) -> list[Scan]:
        """Every scan, oldest first."""
        rows = self._db.execute("SELECT id, started_ns, finished_ns, roots, options, new, "
                                "changed, unchanged, removed, errors, read FROM scans ORDER BY id")
        return [Scan(i, started / 1e9, None if finished is None else finished / 1e9,
                     json.loads(roots), json.loads(options), *counts)
                for i, started, finished, roots, options, *counts in rows]

    # The command's side: stored records as JSON, and scans that stream what they read.

    def _bodies(self) -> Iterator[tuple[str, str]]:
        cursor = self._db.execute(
            "SELECT f.path, r.body FROM files f JOIN records r ON r.id = f.record "
            "WHERE f.removed_scan IS NULL ORDER BY f.path")
        try:
            for key, body in cursor:
                yield os.fsdecode(key), body
        finally:
            cursor.close()

    def _run(
        self,
        names: Iterable[str],
        *,
        recursive: bool,
        ext: str | Iterable[str] | None = None,
        follow_symlinks: bool = False,
        fast: bool = False,
        only: str | Iterable[str] | None = None,
        jobs: int | None = None,
        thorough: bool = False,
        ordered: bool = False,
        describe: Callable[[str, Any], dict[str, Any]] = record,
        progress: Callable[[int], object] | None = None,
    ) -> _ScanRun:
        keep = namespaces(only)
        options = {"fast": fast, "only": None if keep is None else sorted(keep),
                   "thorough": thorough}
        return _ScanRun(self, names, options, recursive=recursive, ext=extensions(ext),
                        follow=follow_symlinks, jobs=jobs, ordered=ordered, describe=describe,
                        progress=progress)


def joined(path: str, body: str) -> bytes:
    """The command's JSON line of a stored record: the path's field spliced before the stored
    ones, which the same encoder wrote, so the bytes are those of encoding the whole record.
    Where an escape may have changed the encoder (a name that is not UTF-8), it is encoded
    whole again."""
    if "\\ud" in body or not path.isascii() and _surrogates(path):
        return encode(stored_record(path, body))
    head = encode({"path": path})
    return head[:-1] + (b"}" if body == "{}" else b"," + body[1:].encode())


def _surrogates(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def stored_record(path: str, body: str) -> dict[str, Any]:
    """A stored record as trawl.record gives it."""
    fast = fast_json()
    try:
        fields = (json.loads if fast is None else fast.loads)(body)
    except ValueError:  # an escaped lone surrogate, which the fast decoder refuses
        fields = json.loads(body)
    return {"path": path, **fields}


def _connect(path: str) -> sqlite3.Connection:
    db = sqlite3.connect(path, timeout=60, isolation_level=None, check_same_thread=False)
    db.execute("PRAGMA synchronous = NORMAL")  # in WAL mode: consistent after a power loss
    db.execute("PRAGMA cache_size = -32768")  # 32 MiB, whatever the collection's size
    return db


def _prepare(db: sqlite3.Connection, path: str) -> None:
    """Makes an empty database an inventory; see _ours for the others."""
    if _ours(db, path):
        return
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("BEGIN IMMEDIATE")
    try:
        if not _ours(db, path):  # unless another process made it meanwhile
            for statement in _SCHEMA:
                db.execute(statement)
        db.execute("COMMIT")
    except BaseException:
        db.execute("ROLLBACK")
        raise


def _ours(db: sqlite3.Connection, path: str) -> bool:
    """True for an inventory this version reads, False for an empty database; ValueError for
    any other."""
    (app,), (version,) = (db.execute("PRAGMA application_id").fetchone(),
                          db.execute("PRAGMA user_version").fetchone())
    if app == _APPLICATION_ID:
        if version > _VERSION:
            raise ValueError(f"{path}: made by a newer trawl (inventory version {version})")
        return True
    if app != 0 or db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
        raise ValueError(f"{path}: not a trawl inventory")
    return False


class _Lock:
    """The one-scan-at-a-time lock: a lock on a file beside the database, which the system
    drops when the process ends however it ends. Not the database file itself: closing a
    descriptor of that file would drop SQLite's own locks on it."""

    def __init__(self, db_path: str) -> None:
        name = db_path + "-lock"
        self.fd = os.open(name, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            if sys.platform == "win32":  # pragma: no cover - not run here
                msvcrt.locking(self.fd, msvcrt.LK_NBLCK, 1)
            else:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            os.close(self.fd)
            if error.errno not in (errno.EAGAIN, errno.EACCES, errno.EWOULDBLOCK, errno.EDEADLK):
                raise
            raise BlockingIOError(errno.EAGAIN, f"{db_path}: another scan of this inventory "
                                  "is running; try again when it ends") from None

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)  # closing drops the lock
            self.fd = -1


class _Settled(OSError):
    """A path settled without reading it: `row` removed, or back (with the stamps it had when it
    was removed). It travels through parse_many as a known result, so that its write waits its
    turn in the same bounded pipeline as the files read."""

    def __init__(self, row: tuple[Any, ...], back: bool, frame: _Frame | None) -> None:
        super().__init__()
        self.row = row
        self.back = back
        self.frame = frame


class _Sealed(OSError):
    """The walk is done with a directory: its blob is rewritten once the rows it yielded are."""

    def __init__(self, frame: _Frame) -> None:
        super().__init__()
        self.frame = frame


class _Frame:
    """A directory being walked: its entries still to walk (files not passed over, and
    directories), the stored rows of its gaps when compared row by row (None: by its blob), and
    what its blob's rewrite needs. `items` is written by the walk, `settled` by the writer."""

    __slots__ = ("key", "ident", "entries", "subdirs", "gone", "rows", "rebuild", "items",
                 "settled", "sealed")

    def __init__(self, key: bytes, ident: tuple[int, int], entries: list[_Listed],
                 gone: list[bytes]) -> None:
        self.key = key  # the path and a separator: the prefix of its files
        self.ident = ident
        self.entries = iter(entries)
        self.subdirs = [path + _SEP for path, stamps in entries if stamps is None]
        self.gone = gone
        self.rows: _Rows | None = None
        self.rebuild = False
        self.items = 0
        self.settled = 0
        self.sealed = False


class _Entry(Sized):
    """A path to read, with the stamps the walk saw (None: not a regular file, whose size
    is then unknown) and its stored row (None: none)."""

    __slots__ = ("key", "stamps", "prior", "frame")

    def __init__(self, path: str, key: bytes, stamps: tuple[int, ...] | None,
                 prior: tuple[Any, ...] | None, frame: _Frame | None = None) -> None:
        super().__init__(path, None if stamps is None else stamps[2])
        self.key = key
        self.stamps = stamps
        self.prior = prior
        self.frame = frame


def _stamps(info: os.stat_result) -> _Stamps:
    return (_signed(info.st_dev), _signed(info.st_ino), info.st_size, info.st_mtime_ns,
            info.st_ctime_ns)


def _signed(number: int) -> int:
    # SQLite's integers are signed: the top half of unsigned 64-bit numbers wraps.
    return number - _FULL if number >= _HALF else number


def _has_ext(name: bytes, ext: frozenset[str]) -> bool:
    return has_ext(os.fsdecode(name), ext)


class _ScanRun:
    """One scan. Iterating it runs the scan and yields (path, stored JSON of the record without
    its path) for every record read; `summary` holds the counts after. Paths are walked,
    stat'ed and compared with the stored rows on parse_many's feeder thread; the files to read
    go to its workers, and the rows are written here, in batches."""

    def __init__(self, inventory: Inventory, names: Iterable[str], options: dict[str, Any], *,
                 recursive: bool, ext: frozenset[str] | None, follow: bool, jobs: int | None,
                 ordered: bool, describe: Callable[[str, Any], dict[str, Any]],
                 progress: Callable[[int], object] | None) -> None:
        self.inventory = inventory
        self.db = inventory._db
        self.names = names
        self.options = options
        self.recursive = recursive
        self.ext = ext
        self.follow = follow
        self.jobs = jobs
        self.ordered = ordered
        self.describe = describe
        self.progress = progress
        self.roots: list[str] = []  # the directories walked
        self.seen = 0
        self.finished: float | None = None
        self.files: list[tuple[Any, ...]] = []
        self.records: list[tuple[int, str]] = []
        self.ready: list[_Frame] = []  # directories whose blobs the next commit rewrites
        # Blobs are compared and written by walks that see every file (the extension compares).
        self.blobs = ext is None and _BLOBS
        self.new = self.changed = self.unchanged = self.removed = self.errors = self.read = 0
        path = os.fsencode(os.path.abspath(inventory.path))
        folder, _, name = path.rpartition(_SEP)
        own = tuple(name + suffix for suffix in (b"", b"-wal", b"-shm", b"-journal", b"-lock"))
        self.own = {folder + _SEP + file for file in own}
        self.own_names = {folder + _SEP: own}
        self.lock = _Lock(inventory.path)
        try:
            self._begin()
        except BaseException:
            self.lock.release()
            raise

    def _begin(self) -> None:
        key = json.dumps(self.options, separators=(",", ":"))  # as encode() writes it
        self.started = time.time_ns()
        # A stored row is trusted when the scan that read it used these options and its stamps
        # were older than that scan's start, by the margin of a timestamp tick.
        self.trusted = {i: started - _RECENT_NS for i, started, options in self.db.execute(
            "SELECT id, started_ns, options FROM scans") if options == key}
        self.db.execute("BEGIN IMMEDIATE")
        _upgrade(self.db)
        self.id: int = self.db.execute(
            "INSERT INTO scans (started_ns, roots, options) VALUES (?, '[]', ?)",
            (self.started, key)).lastrowid or 0
        self.next_record = self.db.execute(
            "SELECT coalesce(max(id), 0) + 1 FROM records").fetchone()[0]
        self.db.execute("COMMIT")
        self.last_commit = time.monotonic()

    @property
    def summary(self) -> Scan:
        return Scan(self.id, self.started / 1e9, self.finished, self.roots, self.options,
                    self.new, self.changed, self.unchanged, self.removed, self.errors, self.read)

    def __iter__(self) -> Iterator[tuple[str, str]]:
        results = parse_many(self._source(), jobs=self.jobs, ordered=self.ordered,
                             fast=self.options["fast"], only=self.options["only"],
                             thorough=self.options["thorough"])
        try:
            for item, result in results:
                out = self._settle(item, result)
                if out is not None:
                    yield out
                if len(self.files) >= _BATCH_ROWS or (
                        self.files and time.monotonic() - self.last_commit >= _BATCH_SECONDS):
                    self._commit()
            finished = time.time_ns()
            self._commit(finished)
            self.finished = finished / 1e9
        except BaseException:
            results.close()
            with contextlib.suppress(sqlite3.Error):
                self._commit()  # stopped (Ctrl-C, a closed output): what was read is kept
            raise
        finally:
            results.close()
            self.lock.release()

    def _commit(self, finished: int | None = None) -> None:
        db = self.db
        present = {row[_PATH][:row[_PATH].rfind(_SEP) + 1] for row in self.files
                   if row[_REMOVED] is None}
        gone = {row[_PATH][:row[_PATH].rfind(_SEP) + 1] for row in self.files
                if row[_REMOVED] is not None} - present
        db.execute("BEGIN IMMEDIATE")
        try:
            db.executemany("INSERT OR REPLACE INTO records VALUES (?, ?)", self.records)
            db.executemany(f"INSERT OR REPLACE INTO files ({_ROW}) VALUES (?{', ?' * 9})",
                           self.files)
            # The blobs of the directories written void, then those the walk is done with
            # rewritten from the rows as they now stand.
            db.executemany("INSERT OR REPLACE INTO dirs VALUES (?, NULL)",
                           ((key,) for key in present))
            db.executemany("UPDATE dirs SET stamps = NULL WHERE path = ?",
                           ((key,) for key in gone))
            for frame in self.ready:
                _rewrite(db, frame)
            db.execute("UPDATE scans SET finished_ns = ?, roots = ?, new = ?, changed = ?, "
                       "unchanged = ?, removed = ?, errors = ?, read = ? WHERE id = ?",
                       (finished, json.dumps(self.roots),
                        self.new, self.changed, self.unchanged, self.removed, self.errors,
                        self.read, self.id))
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        self.files.clear()
        self.records.clear()
        self.ready.clear()
        self.last_commit = time.monotonic()

    # On the feeder thread: what to read, what is unchanged, what is gone.

    def _source(self) -> Iterator[Any]:
        reader = _connect(self.inventory.path)
        reader.execute("PRAGMA query_only = 1")
        walked: list[bytes] = []
        try:
            for name in self.names:
                path = os.path.abspath(name)
                key = os.fsencode(path)
                try:  # once: what the path is and, for a file, its stamps
                    info: os.stat_result | None = os.stat(path)
                except (OSError, ValueError):  # the parse gives the error
                    info = None
                is_dir = info is not None and stat.S_ISDIR(info.st_mode)
                within = any(key == w or key.startswith(w.rstrip(_SEP) + _SEP) for w in walked)
                if self.recursive and is_dir:
                    if within:
                        continue  # walked already, within an earlier root
                    walked.append(key.rstrip(_SEP) or _SEP)
                    self.roots.append(path)
                    own = _row(reader, key)  # a file or an error record where it stands now
                    if own is not None and own[_REMOVED] is None:
                        yield Failed(path, _Settled(own, back=False, frame=None))
                    yield from self._walked(reader, key, frozenset(walked[:-1]))
                elif within and info is not None and stat.S_ISREG(info.st_mode) and (
                        self.follow or not os.path.islink(path)):
                    continue  # a file the walk of an earlier root met
                elif self.ext is None or _has_ext(os.path.basename(key), self.ext) or is_dir:
                    yield from self._named(reader, path, key, info)
        finally:
            reader.close()

    def _tick(self, n: int = 1) -> None:
        self.seen += n
        if self.progress is not None:
            self.progress(n)

    def _named(self, reader: sqlite3.Connection, path: str, key: bytes,
               info: os.stat_result | None) -> Iterator[Any]:
        self._tick()
        prior = _row(reader, key)
        if info is None:  # could not be stat'ed: the parse gives the error
            yield _Entry(path, key, None, prior)
            return
        if stat.S_ISREG(info.st_mode):
            item = self._judge(key, _stamps(info), prior)
            if item is not None:
                yield item
        else:  # a directory, a pipe, a device: read every time
            yield _Entry(path, key, None, prior)

    def _walked(self, reader: sqlite3.Connection, top: bytes,
                done: frozenset[bytes] = frozenset()) -> Iterator[Any]:
        """The files under `top` compared with their stored rows, a directory at a time, in path
        byte order (a directory "a" sorts as "a/"): by the directory's blob where it has a
        sound one, otherwise row by row with the rows stored in it (those under its listed
        directories left to them). A row the walk passes without meeting its file is gone. A
        directory reached again is not walked: any walked already when following links,
        otherwise an ancestor; nor a root walked before (`done`), whose rows it settled."""
        failures: list[tuple[bytes, OSError]] = []
        kept: list[bytes] = []  # paths that could not be listed or stat'ed: their rows stay
        # The error record of a directory comes before the names that sort between it and its
        # own files ("a", "a.txt", "a/x"): whether it still stands is known after the walk.
        later: list[tuple[Any, ...]] = []
        failed_here: set[bytes] = set()

        def failed(path: bytes, error: OSError) -> None:
            failures.append((path, error))

        frame = self._frame(reader, top, True, failed)
        yield from self._failed(failures, kept, failed_here)
        stack: list[_Frame] = []
        seen: set[tuple[int, int]] = set()
        if frame is not None:
            seen.add(frame.ident)
            stack.append(frame)
            yield from self._opened(reader, frame, kept, later)
        while stack:
            frame = stack[-1]
            run: _Run = []
            for entry in frame.entries:
                if entry[1] is not None:
                    run.append(entry)  # type: ignore[arg-type]  # a file: its stamps
                    continue
                if entry[0] in done:
                    continue
                yield from self._compared(reader, frame, run, kept, later)
                run = []
                child = self._frame(reader, entry[0], False, failed)
                yield from self._failed(failures, kept, failed_here)
                if child is not None and child.ident not in seen:
                    seen.add(child.ident)
                    stack.append(child)
                    yield from self._opened(reader, child, kept, later)
                    break
            else:
                yield from self._compared(reader, frame, run, kept, later)
                yield from self._closed(frame, kept, later)
                stack.pop()
                if not self.follow:
                    seen.discard(frame.ident)
        for row in later:
            if row[_PATH] not in failed_here:
                yield Failed(os.fsdecode(row[_PATH]), _Settled(row, back=False, frame=None))

    def _frame(self, reader: sqlite3.Connection, path: bytes, root: bool,
               failed: Callable[[bytes, OSError], None]) -> _Frame | None:
        """A directory listed, and compared with its blob where it has a sound one; None when
        it cannot be listed."""
        key = path if path.endswith(_SEP) else path + _SEP
        if self.blobs:
            row = reader.execute("SELECT stamps FROM dirs WHERE path = ?", (key,)).fetchone()
            if row is not None and isinstance(row[0], bytes):
                compared = _stamped(path, self.follow, failed, root, row[0],
                                    self.own_names.get(key, ()), self.trusted)
                if compared is None:
                    return None
                if compared is not False:
                    ident, entries, gone, unchanged, _ = compared
                    self.unchanged += unchanged
                    self._tick(unchanged)
                    return _Frame(key, ident, entries, gone)
        listed = _listing(path, self.follow, self.ext, failed, root)
        if listed is None:
            return None
        frame = _Frame(key, listed[0], listed[1], [])
        frame.rows = _Rows(_gap_rows(reader, key, frame.subdirs))
        frame.rebuild = True
        return frame

    def _opened(self, reader: sqlite3.Connection, frame: _Frame, kept: list[bytes],
                later: list[tuple[Any, ...]]) -> Iterator[Any]:
        """For a directory compared by its blob: the stored files it no longer holds, and the
        rows under the directories it no longer holds, which only the dirs table tells of."""
        if frame.rows is not None:
            return
        for key in frame.gone:
            row = _row(reader, key)
            if row is not None:
                yield from self._unseen(row, kept, later, frame)
        depth = len(frame.key) + 1
        for low, high in _gaps(frame.key, frame.subdirs):
            if reader.execute("SELECT 1 FROM dirs WHERE path > ? AND path < ? LIMIT 1",
                              (low, high)).fetchone() is None:
                continue
            frame.rebuild = True
            for chunk in _stored(reader, low, high, depth):
                for row in chunk:
                    yield from self._unseen(row, kept, later, frame)

    def _compared(self, reader: sqlite3.Connection, frame: _Frame, run: _Run,
                  kept: list[bytes], later: list[tuple[Any, ...]]) -> Iterator[Any]:
        """The files of a run that are not passed over, against the rows of the frame."""
        if not run:
            return
        own = self.own
        rows = frame.rows
        if rows is None:  # all of these differ from the blob
            for key, stamps in run:
                if key not in own:
                    item = self._judge(key, stamps, _row(reader, key), frame)
                    if item is not None:
                        yield item
            self._tick(len(run))
            return
        trusted = self.trusted
        i = 0
        while i < len(run):
            # The common case, files as they are stored, passed over in one call.
            done, at = _unchanged(run, i, rows.chunk, rows.at, own, trusted)
            if done > i:
                self.unchanged += done - i
                i = done
                rows.move(at)
                continue
            key, stamps = run[i]
            i += 1
            if key in own:
                continue  # the inventory itself, which the scan is writing
            while rows.row is not None and rows.row[_PATH] < key:
                yield from self._unseen(rows.row, kept, later, frame)
                rows.move(rows.at + 1)
            prior = None
            if rows.row is not None and rows.row[_PATH] == key:
                prior = rows.row
                rows.move(rows.at + 1)
            item = self._judge(key, stamps, prior, frame)
            if item is not None:
                yield item
        self._tick(len(run))

    def _closed(self, frame: _Frame, kept: list[bytes],
                later: list[tuple[Any, ...]]) -> Iterator[Any]:
        """The rows left in the frame's gaps, gone; then the frame's seal, after which the
        writer rewrites its blob as soon as the rows it yielded are written."""
        rows = frame.rows
        while rows is not None and rows.row is not None:
            yield from self._unseen(rows.row, kept, later, frame)
            rows.move(rows.at + 1)
        if self.blobs and (frame.items or frame.rebuild):
            yield Failed(os.fsdecode(frame.key), _Sealed(frame))

    def _failed(self, failures: list[tuple[bytes, OSError]], kept: list[bytes],
                failed_here: set[bytes]) -> Iterator[Any]:
        while failures:
            key, error = failures.pop(0)
            if error.errno in _GONE:
                continue  # gone while walked: its rows are removed like any other
            kept.append(key)
            failed_here.add(key)
            path = os.fsdecode(key)
            self._tick()
            yield Failed(path, os_error(path, error.errno or errno.EIO, error.strerror))

    def _unseen(self, row: tuple[Any, ...], kept: list[bytes], later: list[tuple[Any, ...]],
                frame: _Frame | None) -> Iterator[Any]:
        key = row[_PATH]
        if row[_REMOVED] is not None or row[_READ] == self.id:
            return  # removed already, or written by this scan (a later chunk sees it)
        if kept and any(key == k or key.startswith(k + _SEP) for k in kept):
            return
        if self.ext is not None and not _has_ext(os.path.basename(key), self.ext):
            return  # outside what this scan looks at
        # The error record of a directory: the listing says so, where a stat of the whole path
        # may not (ENAMETOOLONG deep down, a blob compared before the directory is tried).
        if row[1] is None and (frame is not None and _holds(frame.subdirs, key + _SEP)
                               or os.path.isdir(os.fsdecode(key))):
            later.append(row)
            return
        if frame is not None:
            frame.items += 1
        yield Failed(os.fsdecode(key), _Settled(row, back=False, frame=frame))

    def _judge(self, key: bytes, stamps: tuple[int, ...], prior: tuple[Any, ...] | None,
               frame: _Frame | None = None) -> Any | None:
        """The item for a regular file: None when its stored record stands."""
        if prior is not None:
            trusted = self.trusted.get(prior[_READ])
            if (trusted is not None and prior[1:6] == stamps
                    and stamps[3] < trusted and stamps[4] < trusted):
                if prior[_REMOVED] is None:
                    self.unchanged += 1
                    return None
                if frame is not None:
                    frame.items += 1
                return Failed(os.fsdecode(key), _Settled(prior, back=True, frame=frame))
        if frame is not None:
            frame.items += 1
        return _Entry(os.fsdecode(key), key, stamps, prior, frame)

    # On the caller's thread: the rows to write, and the counts.

    def _settle(self, item: Any, result: Any) -> tuple[str, str] | None:
        frame = item.frame if isinstance(item, _Entry) else getattr(result, "frame", None)
        if frame is not None:
            if isinstance(result, _Sealed):
                frame.sealed = True
            else:
                frame.settled += 1
            if frame.sealed and frame.settled == frame.items:
                self.ready.append(frame)
            if isinstance(result, _Sealed):
                return None
        if isinstance(result, _Settled):
            whole = self._whole(result.row[_PATH])
            if whole is None:
                return None  # deleted from the table meanwhile
            row, stored = whole
            if not result.back:
                self.files.append((*row[:_REMOVED], self.id, *row[_CHANGED:]))
                self.removed += 1
                return None
            self.files.append((*row[:_REMOVED], None, self.id, row[_RECORD]))
            self.new += 1
            return os.fsdecode(row[_PATH]), stored
        path = os.fspath(item)
        if isinstance(item, _Entry):
            key = item.key
            whole = None if item.prior is None else self._whole(key)
            self.read += 1
        else:  # a directory the walk could not list
            key = os.fsencode(path)
            whole = self._whole(key)
        prior, stored = (None, "") if whole is None else whole
        if isinstance(result, dict):
            body = encode(result).decode()  # the record less its path
        else:
            rec = self.describe(path, result)
            del rec["path"]
            body = encode(rec).decode()
        if isinstance(result, OSError) and result.errno in _GONE:
            if prior is not None and prior[_REMOVED] is None:
                self.files.append((*prior[:_REMOVED], self.id, *prior[_CHANGED:]))
                self.removed += 1
                return None
            self.errors += 1  # nothing there, nothing stored
            return path, body
        failed = not isinstance(result, dict)
        stamps = item.stamps if isinstance(item, _Entry) and not failed else None
        if stamps is not None and not all(-_HALF <= n < _HALF for n in stamps):
            stamps = None  # a time SQLite cannot hold (after 2262): read at every scan
        if prior is None:
            number, kind = self.next_record, "new"
            self.next_record += 1
        else:
            number = prior[_RECORD]
            if prior[_REMOVED] is not None:
                kind = "new"
            elif stored == body:
                kind = "unchanged"
            else:
                kind = "changed"
        self.files.append((key, *(stamps or _NO_STAMPS), self.id, None,
                           prior[_CHANGED] if prior is not None and kind == "unchanged"
                           else self.id, number))
        if kind != "unchanged":
            self.records.append((number, body))
        if failed:
            self.errors += 1
            return path, body
        setattr(self, kind, getattr(self, kind) + 1)
        return None if kind == "unchanged" else (path, body)

    def _whole(self, key: bytes) -> tuple[tuple[Any, ...], str] | None:
        """The whole stored row of a path, which the walk read in part, and its record's JSON;
        None when there is none."""
        row = self.db.execute(f"SELECT {_WHOLE}, r.body FROM files f LEFT JOIN records r "
                              "ON r.id = f.record WHERE f.path = ?", (key,)).fetchone()
        return None if row is None else (row[:-1], row[-1] or "")


def _row(db: sqlite3.Connection, key: bytes) -> tuple[Any, ...] | None:
    row: tuple[Any, ...] | None = db.execute(f"SELECT {_ROW} FROM files WHERE path = ?",
                                             (key,)).fetchone()
    return row


def _stored(reader: sqlite3.Connection, low: bytes, high: bytes,
            deeper: int = 0) -> Iterator[list[tuple[Any, ...]]]:
    """The rows with low <= path < high, in path order, in chunks of a query each; with
    `deeper`, only those with a separator from that byte (1-based) on."""
    where = "" if not deeper else f" AND instr(substr(path, {deeper}), ?) > 0"
    query = (f"SELECT {_WALKED} FROM files WHERE path >= ? AND path < ?{where} ORDER BY path "
             f"LIMIT {_CHUNK}")
    while True:
        rows = reader.execute(query, (low, high, _SEP) if deeper else (low, high)).fetchall()
        if rows:
            yield rows
        if len(rows) < _CHUNK:
            return
        low = rows[-1][_PATH] + b"\0"  # the next path after it


def _holds(sorted_keys: list[bytes], key: bytes) -> bool:
    at = bisect.bisect_left(sorted_keys, key)
    return at < len(sorted_keys) and sorted_keys[at] == key


def _gaps(key: bytes, subdirs: list[bytes]) -> Iterator[tuple[bytes, bytes]]:
    """The ranges of paths under the directory `key` (ending with a separator) that are under
    none of `subdirs` (sorted, each ending with one)."""
    low = key
    for sub in subdirs:
        yield low, sub
        low = sub[:-1] + _PAST_SEP
    yield low, key[:-1] + _PAST_SEP


def _gap_rows(reader: sqlite3.Connection, key: bytes,
              subdirs: list[bytes]) -> Iterator[list[tuple[Any, ...]]]:
    for low, high in _gaps(key, subdirs):
        yield from _stored(reader, low, high)


def _rewrite(db: sqlite3.Connection, frame: _Frame) -> None:
    """A directory's blob, from its files' rows as they stand in this transaction. The dirs rows
    of directories it no longer holds go once no current row is left under them."""
    key = frame.key
    rows: list[tuple[Any, ...]] = []
    for low, high in _gaps(key, frame.subdirs):
        rows += db.execute(
            "SELECT path, dev, ino, size, mtime_ns, ctime_ns, read_scan FROM files "
            "WHERE path >= ? AND path < ? AND removed_scan IS NULL "
            "AND instr(substr(path, ?), ?) = 0 ORDER BY path",
            (low, high, len(key) + 1, _SEP)).fetchall()
        for (sub,) in db.execute("SELECT path FROM dirs WHERE path > ? AND path < ?",
                                 (low, high)).fetchall():
            if db.execute("SELECT 1 FROM files WHERE path >= ? AND path < ? AND "
                          "removed_scan IS NULL LIMIT 1",
                          (sub, sub[:-1] + _PAST_SEP)).fetchone() is None:
                db.execute("DELETE FROM dirs WHERE path = ?", (sub,))
    db.execute("INSERT OR REPLACE INTO dirs VALUES (?, ?)", (key, _stamps_blob(rows, len(key))))


def _upgrade(db: sqlite3.Connection) -> None:
    """Within a scan's first transaction: the dirs table added to an inventory of version 1,
    with a row (no blob) for each directory holding current rows."""
    if db.execute("SELECT 1 FROM sqlite_master WHERE name = 'dirs'").fetchone() is not None:
        return
    db.execute(_DIRS)
    folders = {path[:path.rfind(_SEP) + 1] for (path,) in
               db.execute("SELECT path FROM files WHERE removed_scan IS NULL")}
    db.executemany("INSERT INTO dirs VALUES (?, NULL)", ((key,) for key in sorted(folders)))
    db.execute(f"PRAGMA user_version = {_VERSION}")


class _Rows:
    """The stored rows a walk passes, a chunk at a time: `row` is chunk[at], None after the
    last. The next chunk is read as soon as the walk passes one, before anything is yielded."""

    __slots__ = ("chunks", "chunk", "at", "row")

    def __init__(self, chunks: Iterator[list[tuple[Any, ...]]]) -> None:
        self.chunks = chunks
        self.chunk: list[tuple[Any, ...]] = []
        self.at = 0
        self.row: tuple[Any, ...] | None = None
        self.move(0)

    def move(self, at: int) -> None:
        if at >= len(self.chunk):
            self.chunk, at = next(self.chunks, []), 0
        self.at = at
        self.row = self.chunk[at] if at < len(self.chunk) else None


def _tree(top: bytes, ext: frozenset[str] | None, follow: bool,
          failed: Callable[[bytes, OSError], None]) -> Iterator[_Run]:
    """Runs of the regular files under `top` with their stamps, in the byte order of their paths
    (a directory "a" sorts as "a/"), which is the order of the files table. A directory reached
    again is not walked: any walked already when following links, otherwise an ancestor."""
    listed = _listing(top, follow, ext, failed, True)
    if listed is None:
        return
    seen = {listed[0]}
    stack = [(listed[0], iter(listed[1]))]
    while stack:
        ident, entries = stack[-1]
        run: _Run = []
        for entry in entries:
            if entry[1] is not None:
                run.append(entry)  # type: ignore[arg-type]  # a file: its stamps
                continue
            child = _listing(entry[0], follow, ext, failed, False)
            if child is not None and child[0] not in seen:
                seen.add(child[0])
                stack.append((child[0], iter(child[1])))
                break
        else:
            stack.pop()
            if not follow:
                seen.discard(ident)
        if run:
            yield run


_Stamps = tuple[int, int, int, int, int]
# A path with its stamps (a regular file) or None (a directory).
_Listed = tuple[bytes, _Stamps | None]
_Listing = tuple[tuple[int, int], list[_Listed]]
_Run = list[tuple[bytes, _Stamps]]  # files listed one after the other
_BY_FD = os.scandir in os.supports_fd and os.stat in os.supports_dir_fd


def _listing_in_python(path: bytes, follow: bool, ext: frozenset[str] | None,
                       failed: Callable[[bytes, OSError], None], root: bool) -> _Listing | None:
    """A directory's identity and its regular files and directories, sorted as the files table
    is: (path, stamps) for a file, (path, None) for a directory. Entries are stat'ed by name
    within the open directory, which spares the system resolving the whole path again for each.
    Where the extension has _listing, it gives the same without the interpreter lock."""
    entries: list[tuple[bytes, _Listed]] = []  # with the sort key
    base = path if path.endswith(_SEP) else path + _SEP
    try:
        # A root named by its link is followed; a link met inside only when following.
        flags = os.O_RDONLY | os.O_DIRECTORY | (0 if root or follow else os.O_NOFOLLOW)
        fd = os.open(path, flags) if _BY_FD else None
    except OSError as error:
        failed(path, error)
        return None
    try:
        info = os.fstat(fd) if fd is not None else os.stat(path)
        for name in os.listdir(path):
            try:
                # The status serves both to tell files from directories and as the stamps.
                st = os.stat(name if fd is not None else base + name, dir_fd=fd,
                             follow_symlinks=follow)
            except OSError as error:
                if error.errno not in _GONE:  # a file gone meanwhile is not there: no error
                    failed(base + name, error)
                continue
            if stat.S_ISREG(st.st_mode):
                if ext is not None and not _has_ext(name, ext):
                    continue
                dev, ino = st.st_dev, st.st_ino
                if dev >= _HALF or ino >= _HALF:
                    dev, ino = _signed(dev), _signed(ino)
                entries.append((name, (base + name,
                                       (dev, ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns))))
            elif stat.S_ISDIR(st.st_mode):
                entries.append((name + _SEP, (base + name, None)))
    except OSError as error:
        failed(path, error)
        return None
    finally:
        if fd is not None:
            os.close(fd)
    entries.sort(key=itemgetter(0))
    return (_signed(info.st_dev), _signed(info.st_ino)), [e for _, e in entries]


def _unchanged_in_python(run: _Run, i: int, rows: list[tuple[Any, ...]], j: int,
                         own: Container[bytes], trusted: dict[int, int]) -> tuple[int, int]:
    """Passes over the files run[i:] that rows[j:] store as they are, present and read by a
    trusted scan after their stamps last moved, the common case of a re-scan: the positions in
    both of the first that is not."""
    while i < len(run) and j < len(rows):
        key, stamps = run[i]
        row = rows[j]
        limit = trusted.get(row[_READ])
        if (row[_PATH] != key or row[1:6] != stamps
                or row[_REMOVED] is not None or limit is None
                or not (stamps[3] < limit and stamps[4] < limit) or key in own):
            break
        i += 1
        j += 1
    return i, j


# The extension's versions give the same, and _listing lists without the interpreter lock; an
# extension without them (Windows has no _listing) leaves these.
_listing: Callable[[bytes, bool, frozenset[str] | None, Callable[[bytes, OSError], None], bool],
                   _Listing | None] = getattr(_trawl, "_listing", _listing_in_python)
_unchanged: Callable[[_Run, int, list[tuple[Any, ...]], int, Container[bytes], dict[int, int]],
                     tuple[int, int]] = getattr(_trawl, "_unchanged", _unchanged_in_python)
# Directories compared by their blobs, where the extension lists them (None: row by row).
_BLOBS = hasattr(_trawl, "_stamped")
_stamped = cast(Callable[..., Any], getattr(_trawl, "_stamped", None))
_stamps_blob = cast(Callable[[list[tuple[Any, ...]], int], bytes],
                    getattr(_trawl, "_stamps_blob", None))
