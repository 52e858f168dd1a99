"""Metadata extraction for any file type."""

try:
    from ._trawl import __version__, parse, parse_bytes
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "trawl's compiled module could not be loaded; reinstall with 'pip install .' "
        f"for this Python ({error})"
    ) from error

__all__ = ["parse", "parse_bytes", "__version__"]
