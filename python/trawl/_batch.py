"""Many files at once: a directory walk, a threaded parse over any iterable of paths, and the
flat row form of a result."""

from __future__ import annotations

import errno
import functools
import json
import os
import queue
import re
import stat
import threading
import weakref
from collections.abc import Callable, Container, Generator, Iterable, Iterator
from typing import Any, cast

from ._trawl import _Cancel, _inspect, _parse_with
from .types import Result


@functools.cache
def fast_json() -> Any:
    """orjson when installed, else None. Imported when first needed: its import costs as much
    as a re-scan of 10,000 unchanged files, which encodes nothing."""
    try:
        import orjson
    except ImportError:  # pragma: no cover - depends on the installation
        return None
    return orjson


def _fast_json(value: dict[str, Any]) -> bytes:
    fast = fast_json()
    if fast is None:  # pragma: no cover - depends on the installation
        return json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
    return bytes(fast.dumps(value))


_SURROGATE = re.compile("[\ud800-\udfff]")


def escaped(text: str) -> bytes:
    """`text` as UTF-8, with lone surrogates (the undecodable bytes of a name that is not valid
    UTF-8, by surrogateescape) written as \\udcXX escapes: json.loads gives the same str back
    and os.fsencode the original bytes."""
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text).encode()


def encode(value: dict[str, Any]) -> bytes:
    """Compact JSON, as the command writes a record."""
    try:
        return _fast_json(value)
    except TypeError:  # a lone surrogate, which the fast encoder refuses
        return escaped(json.dumps(value, ensure_ascii=False, separators=(",", ":")))


# A worker sends its results back after this many paths, or after this many bytes of files,
# or when no path is waiting: one hand-over per file would cost more than parsing a small file,
# and a large file must not hold back the results parsed before it.
_BATCH = 16
_BATCH_BYTES = 8 << 20
# Paths in flight per worker, between the source and the caller, counted in batches: the
# feeder waits for room for a whole batch, not for each path, so that it and the caller do
# not wake each other once per file.
_WINDOW = 4

NAMESPACES = frozenset(Result.__annotations__) - {"errors"}
"""The namespaces a result can hold: the names `only` accepts."""


def _items(value: Any) -> list[Any]:
    # A lone str (or path object) is one item, not a sequence of characters.
    return [value] if isinstance(value, (str, os.PathLike)) else list(value)


def extensions(ext: str | Iterable[str] | None) -> frozenset[str] | None:
    """`ext` (one extension or several, with or without the dot) as the lower-case set that
    has_ext matches names against."""
    return None if ext is None else frozenset(e.lower().lstrip(".") for e in _items(ext))


def has_ext(name: str, wanted: Container[str]) -> bool:
    """Whether a file name's extension (after its last dot, not a leading one) is wanted."""
    dot = name.rfind(".")
    return dot > 0 and name[dot + 1 :].lower() in wanted


def namespaces(only: str | Iterable[str] | None) -> frozenset[str] | None:
    """`only` as a set of namespace names; ValueError names any unknown one and lists the
    known ones, TypeError a name that is not a str."""
    if only is None:
        return None
    names = frozenset(_items(only)) if not isinstance(only, (bytes, bytearray)) else {only}
    wrong = next((name for name in names if not isinstance(name, str)), None)
    if wrong is not None:
        raise TypeError(f"only= takes namespace names (str), not {type(wrong).__name__}")
    unknown = sorted(names - NAMESPACES)
    if unknown:
        known = ", ".join(sorted(NAMESPACES))
        raise ValueError(f"unknown namespace{'s' if len(unknown) > 1 else ''} "
                         f"{', '.join(map(repr, unknown))} (known: {known})")
    return names


def os_error(path: str, code: int, text: str | None = None) -> OSError:
    """The OSError subclass Python's open() raises for `code` (FileNotFoundError for ENOENT),
    with `errno` set and the core's message: "<path>: <text> (os error N)"."""
    kind = type(OSError(code, ""))
    error = kind(f"{path}: {text or os.strerror(code)} (os error {code})")
    error.errno = code
    return error


def _typed(error: OSError) -> OSError:
    # The binding raises a plain OSError with the system's code beside its message.
    windows = getattr(error, "winerror", None)
    if error.errno is None and not windows:
        return error
    code = OSError(None, "", None, windows).errno if windows else error.errno
    kind = type(OSError(code, "")) if code is not None else OSError
    if kind is OSError:
        return error
    typed = kind(*error.args)
    typed.errno = code
    return typed


def walk(
    root: str | os.PathLike[str],
    *,
    ext: str | Iterable[str] | None = None,
    follow_symlinks: bool = False,
    onerror: Callable[[OSError], object] | None = None,
) -> Iterator[str]:
    """Yield the regular files under `root` (itself, if it is a file), depth first, names
    sorted. `ext` keeps files by extension, case-insensitively (with or without the dot; a str
    is one extension). `root` is followed when it is a symbolic link; links inside are not
    followed unless asked, and a directory reached twice is walked once. A directory that cannot
    be read (or `root` itself, when missing) is skipped, and its OSError, with `filename` set,
    goes to `onerror` when given (as os.walk does)."""
    wanted = extensions(ext)

    def keep(name: str) -> bool:
        return wanted is None or has_ext(name, wanted)

    def failed(error: OSError) -> None:
        if onerror is not None:
            onerror(error)

    top = os.fspath(root)
    try:
        st = os.stat(top)  # a root named by its link is what the caller means
    except OSError as error:
        failed(error)
        return
    if not stat.S_ISDIR(st.st_mode):
        if stat.S_ISREG(st.st_mode) and keep(os.path.basename(top)):
            yield top
        return
    seen = {(st.st_dev, st.st_ino)}
    # An explicit stack of open listings: no recursion, whatever the depth.
    stack = [_listing(top, failed)]
    while stack:
        entry = next(stack[-1], None)
        if entry is None:
            stack.pop()
            continue
        try:
            if entry.is_dir(follow_symlinks=follow_symlinks):
                info = entry.stat(follow_symlinks=follow_symlinks)
                if (info.st_dev, info.st_ino) not in seen:
                    seen.add((info.st_dev, info.st_ino))
                    stack.append(_listing(entry.path, failed))
            elif entry.is_file(follow_symlinks=follow_symlinks) and keep(entry.name):
                yield entry.path
        except OSError as error:
            failed(error)


def _listing(path: str, failed: Callable[[OSError], None]) -> Iterator[os.DirEntry[str]]:
    try:
        with os.scandir(path) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError as error:
        failed(error)
        entries = []
    return iter(entries)


class Failed(os.PathLike[str]):
    """An input already known to fail (a directory the walk could not read): parse_many yields
    its path and error in its place."""

    __slots__ = ("error", "path")

    def __init__(self, path: str, error: OSError) -> None:
        self.path = path
        self.error = error

    def __fspath__(self) -> str:
        return self.path


class Sized(os.PathLike[str]):
    """A path with its size when the caller knows it is a regular file of that size (it has
    just stat'ed it): the workers batch it without a stat of their own."""

    __slots__ = ("path", "size")

    def __init__(self, path: str, size: int | None) -> None:
        self.path = path
        self.size = size

    def __fspath__(self) -> str:
        return self.path


def _select(result: Result, only: frozenset[str]) -> Result:
    kept: Any = {k: v for k, v in result.items() if k in only}
    errors = [e for e in result.get("errors", ()) if e["extractor"] in only]
    if errors:
        kept["errors"] = errors
    selected: Result = kept
    return selected


# A result still to be read from the file.
_UNREAD = object()


class _Run:
    """One parse_many call: a feeder thread takes paths from the source as they come, workers
    parse them under one cancel flag, and the caller's generator puts the results in order.
    The threads are daemons and stop() ends them at once, endless reads included, so an
    abandoned run never keeps the interpreter from exiting."""

    def __init__(self, source: Iterator[Any], workers: int, fast: bool, thorough: bool,
                 only: frozenset[str] | None) -> None:
        self.source = source
        self.workers = workers
        self.fast = fast
        self.thorough = thorough
        self.only = only
        self.cancel = _Cancel()
        self.todo: queue.SimpleQueue[tuple[int, Any] | None] = queue.SimpleQueue()
        self.done: queue.SimpleQueue[list[tuple[int, Any, Any]] | BaseException | None] = (
            queue.SimpleQueue())
        # Room for batches of paths in flight, one token each (a semaphore in C).
        self.room: queue.SimpleQueue[None] = queue.SimpleQueue()
        for _ in range(_WINDOW * workers):
            self.room.put(None)
        self.failure: BaseException | None = None

    def start(self) -> None:
        for target in [self.feed] + [self.work] * self.workers:
            threading.Thread(target=target, name="trawl", daemon=True).start()

    def stop(self) -> None:
        self.cancel.cancel()
        self.room.put(None)  # a feeder waiting for room sees the flag

    def feed(self) -> None:
        index = 0
        try:
            while index % _BATCH or (self.room.get() is None and not self.cancel.cancelled):
                path = next(self.source, self)
                if path is self:
                    break
                self.todo.put((index, path))
                index += 1
        except BaseException as error:  # the caller raises it after the results before it
            self.failure = error
        finally:
            for _ in range(self.workers):
                self.todo.put(None)

    def work(self) -> None:
        todo, done, cancel, only = self.todo, self.done, self.cancel, self.only
        try:
            ending = False
            while not ending and (item := todo.get()) is not None:
                out: list[tuple[int, Any, Any]] = []
                size = 0
                while not cancel.cancelled:
                    index, path = item
                    length, known = self.measure(path)
                    if length >= _BATCH_BYTES and out:  # a large file: send what came before
                        done.put(out)
                        out, size = [], 0
                    result = self.parse(path) if known is _UNREAD else known
                    if only is not None and isinstance(result, dict):
                        result = _select(cast(Result, result), only)
                    out.append((index, path, result))
                    size += length
                    if len(out) >= _BATCH or size >= _BATCH_BYTES:
                        break
                    try:
                        item = todo.get_nowait()
                    except queue.Empty:
                        break
                    if item is None:
                        ending = True
                        break
                done.put(out)
        except BaseException as error:  # a bad item (not a path): the caller raises it
            done.put(error)
        finally:
            done.put(None)

    def measure(self, path: Any) -> tuple[int, Any]:
        """The file's size for the batching (0 when unknown, the batch limit for a pipe or a
        device, which may never end), and its result when that is known without reading it;
        _UNREAD otherwise."""
        if isinstance(path, Failed):
            return 0, path.error
        if isinstance(path, Sized) and path.size is not None:
            return path.size, _UNREAD
        try:
            info = os.stat(path)
        except (OSError, ValueError):  # the parse says why
            return 0, _UNREAD
        if stat.S_ISDIR(info.st_mode):
            return 0, os_error(os.fsdecode(path), errno.EISDIR)
        return (info.st_size if stat.S_ISREG(info.st_mode) else _BATCH_BYTES), _UNREAD

    def parse(self, path: Any) -> Result | OSError | MemoryError | None:
        """The result: a dict, an exception, or None when cancelled."""
        try:
            return _parse_with(path, self.fast, self.thorough, self.cancel)
        except OSError as error:
            return _typed(error)
        except MemoryError as error:
            return error

    def results(self, ordered: bool) -> Generator[tuple[Any, Any], None, None]:
        self.start()
        try:
            waiting: dict[int, tuple[Any, Any]] = {}
            following = 0
            running = self.workers
            while running:
                try:
                    batch = self.done.get(timeout=0.1)
                except queue.Empty:
                    # The interpreter is exiting while this runs on a pool's thread (a Dask
                    # task), and that pool is about to wait for the thread: end now.
                    if getattr(threading, "_SHUTTING_DOWN", False):
                        from concurrent.futures import CancelledError  # seldom: not at start-up

                        raise CancelledError("the interpreter is exiting") from None
                    continue
                if batch is None:
                    running -= 1
                    continue
                if isinstance(batch, BaseException):
                    raise batch
                for index, path, result in batch:
                    if isinstance(path, Failed):
                        path = path.path
                    if ordered:
                        waiting[index] = (path, result)
                        continue
                    following += 1
                    if following % _BATCH == 0:
                        self.room.put(None)
                    yield path, result
                while following in waiting:
                    following += 1
                    if following % _BATCH == 0:
                        self.room.put(None)
                    yield waiting.pop(following - 1)
            if self.failure is not None:
                raise self.failure
        finally:
            self.stop()


def parse_many(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    *,
    jobs: int | None = None,
    ordered: bool = True,
    fast: bool = False,
    only: str | Iterable[str] | None = None,
    thorough: bool = False,
) -> Generator[tuple[Any, Result | OSError | MemoryError], None, None]:
    """Parse every path on `jobs` threads (default: the number of CPUs) and yield
    (path, result) pairs, where a path that cannot be read (a directory included) gives its
    OSError, of the subclass open() would raise and with `errno` set, instead of a dict (and a
    parse that runs out of memory its MemoryError). Results come in input order, or as they
    finish with ordered=False. `fast` skips SHA-256, CRC-32 and entropy; `only` keeps those
    namespaces (ValueError for an unknown name); `thorough` reads as inspect() does. A str or path object given for `paths` (or a
    str for `only`) is one item. Paths are taken from the iterable as they come and as work
    frees up, so any number of them runs in bounded memory; closing the iterator (or Ctrl-C
    while it waits) stops every worker at once."""
    keep = namespaces(only)
    source = iter(_items(paths)) if isinstance(paths, (str, os.PathLike)) else iter(paths)
    run = _Run(source, max(1, jobs if jobs is not None else (os.cpu_count() or 1)), fast,
               thorough, keep)
    results = run.results(ordered)
    # Also stopped when the generator is dropped unfinished, or left running at exit.
    weakref.finalize(results, run.stop)
    return results


def inspect(
    source: str | os.PathLike[str] | bytes | bytearray | memoryview,
    *,
    thorough: bool = False,
    fast: bool = False,
    only: str | Iterable[str] | None = None,
) -> Result:
    """The metadata of a file (a path) or of bytes, read as asked: `thorough` reads the
    structures that the default reading takes approximately (a PDF's cross-references, object
    streams and encrypted strings, compressed PNG text, ID3 unsynchronisation, MPEG audio
    frames, ...) and gives corrected values and the added facts the README lists; `fast` skips
    SHA-256, CRC-32 and entropy; `only` keeps those namespaces. With no option the result is
    parse()'s or parse_bytes()'s, and failures are theirs: OSError when the path cannot be
    opened, an error entry for a directory."""
    keep = namespaces(only)
    if isinstance(source, (bytearray, memoryview)):
        source = bytes(source)  # a copy: the caller may change it while the parse runs
    elif not isinstance(source, (str, bytes, os.PathLike)):
        raise TypeError(f"inspect() argument 'source' must be a path or bytes, "
                        f"not {type(source).__name__}")
    result = _inspect(source, fast, thorough)
    return _select(result, keep) if keep is not None else result


def record(path: Any, result: Result | BaseException) -> dict[str, Any]:
    """The record of the command and of trawl.dask: {"path": ..., <namespace>: {...}}, or for
    a failure {"path": ..., "error": {"type", "code", "errno", "message"}} (code and errno when
    the system gave one)."""
    name = os.fsdecode(path)
    if isinstance(result, dict):
        return {"path": name, **result}
    error: dict[str, Any] = {"type": type(result).__name__}
    code = getattr(result, "errno", None)
    if isinstance(code, int) and code in errno.errorcode:
        error["code"] = errno.errorcode[code]
        error["errno"] = code
    error["message"] = str(result)
    return {"path": name, "error": error}


def flatten(result: Result | dict[str, Any], prefix: str = "") -> dict[str, Any]:
    """A flat dict with dotted keys ("jpeg.width", "exif.primary.Make"); lists become their JSON
    text, other values stay as they are. The row form of --format csv and of table output."""
    flat: dict[str, Any] = {}
    stack: list[tuple[str, Any]] = [(prefix, result)]
    while stack:
        base, node = stack.pop()
        for key, value in node.items():
            name = f"{base}{key}"
            if isinstance(value, dict):
                stack.append((name + ".", value))
            elif isinstance(value, list):
                flat[name] = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
            else:
                flat[name] = value
    return dict(sorted(flat.items()))


def display_path(path: str) -> tuple[str, bytes | None]:
    """A path as text for a table cell, and its exact bytes when that text differs from them
    (a name that is not valid UTF-8, whose undecodable bytes show as U+FFFD)."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        exact = os.fsencode(path)
        return exact.decode("utf-8", "replace"), exact
    return path, None
