"""Many files at once: a directory walk, a threaded parse over any iterable of paths, and the
flat row form of a result."""

from __future__ import annotations

import collections
import json
import os
import stat
from collections.abc import Generator, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any

from ._trawl import _parse_fast, parse
from .types import Result

# Paths handed to a worker at a time: one task per file would spend more on the pool's own
# bookkeeping than on parsing a small file.
_BATCH = 16


def walk(
    root: str | os.PathLike[str],
    *,
    ext: Iterable[str] | None = None,
    follow_symlinks: bool = False,
) -> Iterator[str]:
    """Yield the regular files under `root` (itself, if it is a file), depth first, names
    sorted. `ext` keeps files by extension, case-insensitively (with or without the dot).
    Symbolic links are not followed unless asked; a directory reached twice is walked once.
    Directories that cannot be read are skipped."""
    wanted = None if ext is None else {e.lower().lstrip(".") for e in ext}

    def keep(name: str) -> bool:
        if wanted is None:
            return True
        dot = name.rfind(".")
        return dot > 0 and name[dot + 1 :].lower() in wanted

    top = os.fspath(root)
    try:
        st = os.stat(top) if follow_symlinks else os.lstat(top)
    except OSError:
        return
    if not stat.S_ISDIR(st.st_mode):
        if stat.S_ISREG(st.st_mode) and keep(os.path.basename(top)):
            yield top
        return
    seen = {(st.st_dev, st.st_ino)}
    # An explicit stack of open listings: no recursion, whatever the depth.
    stack = [_listing(top)]
    while stack:
        entry = next(stack[-1], None)
        if entry is None:
            stack.pop()
            continue
        try:
            is_dir = entry.is_dir(follow_symlinks=follow_symlinks)
            if is_dir:
                info = entry.stat(follow_symlinks=follow_symlinks)
                if (info.st_dev, info.st_ino) not in seen:
                    seen.add((info.st_dev, info.st_ino))
                    stack.append(_listing(entry.path))
            elif entry.is_file(follow_symlinks=follow_symlinks) and keep(entry.name):
                yield entry.path
        except OSError:
            continue


def _listing(path: str) -> Iterator[os.DirEntry[str]]:
    try:
        with os.scandir(path) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError:
        entries = []
    return iter(entries)


def _select(result: Result, only: frozenset[str] | None) -> Result:
    if only is None:
        return result
    kept: Any = {k: v for k, v in result.items() if k in only}
    errors = [e for e in result.get("errors", ()) if e["extractor"] in only]
    if errors:
        kept["errors"] = errors
    selected: Result = kept
    return selected


def _parse_batch(paths: list[Any], fast: bool, only: frozenset[str] | None) -> list[Any]:
    run = _parse_fast if fast else parse
    out: list[Any] = []
    for path in paths:
        try:
            out.append(_select(run(path), only))
        except (OSError, MemoryError) as error:
            out.append(error)
    return out


def parse_many(
    paths: Iterable[str | os.PathLike[str]],
    *,
    jobs: int | None = None,
    ordered: bool = True,
    fast: bool = False,
    only: Iterable[str] | None = None,
) -> Generator[tuple[Any, Result | OSError | MemoryError], None, None]:
    """Parse every path on `jobs` threads (default: the number of CPUs) and yield
    (path, result) pairs, where a path that cannot be read gives its OSError (and a parse that
    runs out of memory its MemoryError) instead of a dict. Results come in input order, or as
    they finish with ordered=False. `fast` skips SHA-256, CRC-32 and entropy; `only` keeps those
    namespaces. Paths are taken from the iterable as work frees up, so any number of them runs
    in bounded memory; closing the iterator stops the pool."""
    workers = max(1, jobs if jobs is not None else (os.cpu_count() or 1))
    keep = None if only is None else frozenset(only)
    window = 4 * workers  # batches in flight
    source = iter(paths)
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="trawl")
    pending: collections.deque[tuple[list[Any], Future[list[Any]]]] = collections.deque()

    def submit() -> bool:
        batch = [p for _, p in zip(range(_BATCH), source)]
        if not batch:
            return False
        pending.append((batch, pool.submit(_parse_batch, batch, fast, keep)))
        return True

    try:
        more = True
        while more and len(pending) < window:
            more = submit()
        while pending:
            if ordered:
                batch, future = pending.popleft()
            else:
                done, _ = wait([f for _, f in pending], return_when=FIRST_COMPLETED)
                index = next(i for i, (_, f) in enumerate(pending) if f in done)
                batch, future = pending[index]
                del pending[index]
            results = future.result()
            if more:
                more = submit()
            yield from zip(batch, results)
    finally:
        for _, future in pending:
            future.cancel()
        pool.shutdown(wait=False, cancel_futures=True)


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
