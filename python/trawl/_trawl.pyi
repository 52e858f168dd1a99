import os
from typing import Any

__version__: str

def parse(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Parse a file by path and return its metadata as a dict.

    Raises OSError if the file cannot be read."""

def parse_bytes(data: bytes) -> dict[str, Any]:
    """Parse an in-memory buffer and return its metadata as a dict.

    Useful for data that never touches disk, such as an upload or a download."""
