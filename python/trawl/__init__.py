"""Metadata extraction for any file type."""

try:
    from ._trawl import __version__, parse, parse_bytes
except ModuleNotFoundError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "trawl's compiled module could not be loaded; reinstall with 'pip install .' "
        f"for this Python ({error})"
    ) from error
# Any other ImportError (a sub-interpreter, say) keeps the module's own message.

from ._batch import flatten, inspect, parse_many, record, walk
from .inventory import Inventory, Scan

__all__ = [
    "Inventory", "Scan", "flatten", "inspect", "parse", "parse_bytes", "parse_many", "record",
    "walk", "__version__",
]
