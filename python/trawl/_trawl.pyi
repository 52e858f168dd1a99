import os
from collections.abc import Callable, Container
from typing import Any

from .types import Result

__version__: str

def parse(path: str | os.PathLike[str]) -> Result:
    """Parse a file by path and return its metadata as a dict.

    Raises OSError if the file cannot be read."""

def parse_bytes(data: bytes) -> Result:
    """Parse an in-memory buffer and return its metadata as a dict.

    Useful for data that never touches disk, such as an upload or a download."""


class _Cancel:
    """A flag that the parses of one batch run share; cancel() stops them all."""

    @property
    def cancelled(self) -> bool: ...
    def cancel(self) -> None: ...

def _parse_with(
    path: str | os.PathLike[str], fast: bool, thorough: bool, cancel: _Cancel, /
) -> Result | None: ...
def _inspect(source: str | os.PathLike[str] | bytes, fast: bool, thorough: bool, /) -> Result: ...
def _listing(
    path: bytes,
    follow: bool,
    ext: frozenset[str] | None,
    failed: Callable[[bytes, OSError], None],
    root: bool,
    /,
) -> tuple[tuple[int, int], list[tuple[bytes, tuple[int, int, int, int, int] | None]]] | None: ...
def _stamped(
    path: bytes,
    follow: bool,
    failed: Callable[[bytes, OSError], None],
    root: bool,
    stamps: bytes,
    own: tuple[bytes, ...],
    trusted: dict[int, int],
    /,
) -> (
    tuple[tuple[int, int], list[tuple[bytes, tuple[int, int, int, int, int] | None]], list[bytes],
          int, int]
    | bool
    | None
): ...
def _stamps_blob(rows: list[tuple[Any, ...]], skip: int, /) -> bytes: ...
def _unchanged(
    run: list[tuple[bytes, tuple[int, int, int, int, int]]],
    i: int,
    rows: list[tuple[Any, ...]],
    j: int,
    own: Container[bytes],
    trusted: dict[int, int],
    /,
) -> tuple[int, int]: ...
