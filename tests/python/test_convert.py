import math

import pytest

_hook = pytest.importorskip("_trawl_convert_hook", reason="the conversion hook is built in the CMake tree only")
convert = _hook.convert


def test_every_value_kind_and_errors_in_their_sorted_place():
    result = convert("all_kinds")
    assert list(result) == ["errors", "file", "kinds"]
    kinds = result["kinds"]
    assert list(kinds) == sorted(kinds)
    expected = {
        "null": None,
        "bool": True,
        "int_negative": -3,
        "int_min": -9223372036854775808,
        "int_positive": 7,
        "uint": 7,
        "uint_max": 18446744073709551615,
        "float": 0.5,
        "float_nan": None,
        "float_inf": None,
        "float_ninf": None,
        "rational": {"den": 3, "num": -1, "value": -0.333},
        "rational_nan": {"den": 0, "num": 1, "value": None},
        "string": "text \u00e9",
        "bytes": "01abff",
        "bytes_64": "11" * 64,
        "bytes_100": "22" * 64 + "... (100 bytes)",
        "nested": [{"b": "0a"}],
    }
    for key, value in expected.items():
        assert kinds[key] == value, key
        assert type(kinds[key]) is type(value), key
    assert math.copysign(1.0, kinds["float_negative_zero"]) == -1.0
    assert list(kinds["rational"]) == ["den", "num", "value"]
    assert result["errors"] == [
        {"extractor": "riff", "message": "malformed riff: header too short"},
        {"extractor": "id3", "message": "I/O error: failed to fill whole buffer"},
    ]
    assert [list(e) for e in result["errors"]] == [["extractor", "message"]] * 2
    assert convert("empty") == {}
    result = convert("errors_namespace")
    assert list(result) == ["a", "errors"]
    assert result["errors"] == [{"extractor": "gif", "message": "malformed gif: header too short"}]


def test_failed_object_creation_raises_value_error():
    with pytest.raises(ValueError, match="^conversion failed: 'utf-8' codec can't decode byte 0xff"):
        convert("bad_utf8")
