import inspect
import os
import pathlib
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import trawl
from trawl import _trawl
from conftest import corpus_files


def test_module_attributes_and_docstrings():
    assert _trawl.__doc__ == "Metadata extraction for any file type."
    cmake = (pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    assert f"project(trawl VERSION {trawl.__version__} " in cmake
    assert _trawl.__version__ == trawl.__version__
    names = [k for k in vars(_trawl) if not k.startswith("__") or k in ("__doc__", "__version__")]
    posix = ["_listing", "_stamped", "_stamps_blob"] if sys.platform != "win32" else []
    assert names == ["__doc__", "parse", "parse_bytes", "_parse_with", "_inspect", *posix,
                     "_unchanged", "__version__", "_Cancel"]
    assert str(inspect.signature(trawl.parse)) == "(path)"
    assert str(inspect.signature(trawl.parse_bytes)) == "(data)"
    assert trawl.parse.__doc__ and trawl.parse_bytes.__doc__
    assert trawl.__all__ == ["Inventory", "Scan", "flatten", "inspect", "parse", "parse_bytes",
                             "parse_many", "record", "walk", "__version__"]


class PathLikeBytes:
    def __fspath__(self):
        return b"/tmp"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: trawl.parse(b"/tmp"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: trawl.parse(PathLikeBytes()), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: trawl.parse(5), "argument 'path': expected str, bytes or os.PathLike object, not int"),
        (lambda: trawl.parse_bytes(bytearray(b"x")), "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: trawl.parse_bytes(memoryview(b"x")), "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda: trawl.parse_bytes("text"), "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: trawl.parse(), "parse() missing 1 required positional argument: 'path'"),
        (lambda: trawl.parse_bytes(b"", b""), "parse_bytes() takes 1 positional argument but 2 were given"),
        (lambda: trawl.parse_bytes(b"", data=b""), "parse_bytes() got multiple values for argument 'data'"),
        (lambda: trawl.parse(file="x"), "parse() got an unexpected keyword argument 'file'"),
        (lambda: trawl.inspect(5), "inspect() argument 'source' must be a path or bytes, not int"),
        (lambda: trawl.inspect(b"", True), "inspect() takes 1 positional argument but 2 were given"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_os_errors_name_the_path(tmp_path):
    missing = tmp_path / "missing.bin"
    with pytest.raises(OSError) as info:
        trawl.parse(str(missing))
    assert type(info.value) is OSError
    assert info.value.args == (f"{missing}: No such file or directory (os error 2)",)
    with pytest.raises(OSError) as info:
        trawl.parse("a\0b")
    assert str(info.value) == "a\0b: file name contained an unexpected NUL byte"


def test_path_forms_agree_and_inspect_without_options_is_parse(tmp_path):
    data = b"\x89PNG\r\n\x1a\n" + bytes(40)
    target = tmp_path / "photo.tar.gz"
    target.write_bytes(data)
    by_str = trawl.parse(str(target))
    assert by_str == trawl.parse(target) == trawl.parse(path=str(target))
    assert by_str["file"]["extension_claimed"] == "gz"
    assert trawl.parse_bytes(data=b"abc") == trawl.parse_bytes(b"abc")
    assert trawl.inspect(target) == trawl.inspect(str(target)) == by_str
    assert trawl.inspect(data) == trawl.inspect(bytearray(data)) == trawl.parse_bytes(data)
    assert trawl.inspect(memoryview(data), fast=True, only="file") == {
        "file": {k: v for k, v in trawl.parse_bytes(data)["file"].items()
                 if k not in ("sha256", "crc32", "entropy_bits_per_byte")}}
    with pytest.raises(ValueError):
        trawl.inspect(data, only="nope")


def test_empty_input():
    assert trawl.parse_bytes(b"") == {
        "file": {
            "crc32": "00000000",
            "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
            "size_bytes": 0,
        }
    }


@pytest.mark.parametrize("threads", [2, 8])
def test_concurrent_calls_match_sequential(corpus, threads):
    paths = corpus_files("sniff") + corpus_files("real")
    inputs = [p.read_bytes() for p in paths] + [os.urandom(1 << 20) for _ in range(4)]
    expected = [trawl.parse_bytes(d) for d in inputs]
    by_path = [trawl.parse(p) for p in paths]
    with ThreadPoolExecutor(max_workers=threads) as pool:
        for _ in range(3):
            assert list(pool.map(trawl.parse_bytes, inputs)) == expected
            assert list(pool.map(trawl.parse, paths)) == by_path


def test_references_are_not_leaked():
    data = b"\x89PNG\r\n\x1a\n" + bytes(5000)
    before = sys.getrefcount(data)
    for _ in range(1000):
        trawl.parse_bytes(data)
        with pytest.raises(TypeError):
            trawl.parse_bytes(bytearray(data))
    assert sys.getrefcount(data) == before
