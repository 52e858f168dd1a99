"""The stubs give each namespace its keys and value types (typing_sample.py is type-checked
with the README's snippets)."""

import re
import sys
import typing
from pathlib import Path

import pytest

import trawl


# trawl.types against what the core emits: every namespace of the extractor list has its
# TypedDict, and every key of every corpus file's result is typed, with the type it has.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from extractors import EXTRACTORS  # noqa: E402

from trawl import types  # noqa: E402
from conftest import corpus_files  # noqa: E402

# Directories after the thumbnail's are named by number.
EXIF_IFD = re.compile(r"ifd[0-9]+")


def test_every_extractor_has_a_typed_namespace():
    assert set(typing.get_type_hints(types.Result)) == set(EXTRACTORS) | {"errors"}


def untyped(value, hint, where):
    """The places in `value` that `hint` does not describe, as "path: reason"."""
    if typing.is_typeddict(hint):
        if not isinstance(value, dict):
            return [f"{where}: {type(value).__name__}, typed {hint.__name__}"]
        hints = typing.get_type_hints(hint)
        if hint is types.ExifFacts:
            hints = {**{k: dict[str, str] for k in value if EXIF_IFD.fullmatch(k)}, **hints}
        return [problem for key, item in value.items()
                for problem in (untyped(item, hints[key], f"{where}.{key}") if key in hints
                                else [f"{where}.{key}: not typed"])]
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is list:
        if not isinstance(value, list):
            return [f"{where}: {type(value).__name__}, typed list"]
        return [p for i, item in enumerate(value) for p in untyped(item, args[0], f"{where}[{i}]")]
    if origin is dict:
        if not isinstance(value, dict):
            return [f"{where}: {type(value).__name__}, typed dict"]
        return [p for key, item in value.items() for p in untyped(item, args[1], f"{where}.{key}")]
    # bool is an int to isinstance, and an int is not a float here.
    return [] if type(value) is hint else [f"{where}: {type(value).__name__}, typed {hint}"]


FILES = corpus_files()


@pytest.mark.skipif(not FILES, reason="no corpus")
@pytest.mark.parametrize("thorough", [False, True], ids=["default", "thorough"])
def test_corpus_results_match_the_types(thorough):
    problems = [f"{path.name}: {p}" for path in FILES
                for p in untyped(trawl.inspect(path.read_bytes(), thorough=thorough), types.Result,
                                 "result")]
    assert not problems, "\n".join(problems[:20])
