import hashlib
import sys
import zlib
from pathlib import Path

import pytest

from hypothesis import given, settings
from hypothesis import strategies as st

import trawl

from conftest import corpus_files

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from extractors import EXTRACTORS  # noqa: E402

NAMESPACES = set(EXTRACTORS)
VALUE_TYPES = (bool, int, float, str, list, dict, type(None))


def check_value(value):
    assert isinstance(value, VALUE_TYPES)
    if isinstance(value, list):
        for item in value:
            check_value(item)
    elif isinstance(value, dict):
        assert list(value) == sorted(value)
        for item in value.values():
            check_value(item)


def check_result(result, data):
    assert list(result) == sorted(result)
    assert set(result) <= NAMESPACES | {"errors"}
    if "errors" in result:
        assert result["errors"]
        for record in result["errors"]:
            assert list(record) == ["extractor", "message"]
            assert record["extractor"] in NAMESPACES
    facts = result["file"]
    assert facts["size_bytes"] == len(data)
    assert facts["sha256"] == hashlib.sha256(data).hexdigest()
    assert facts["crc32"] == f"{zlib.crc32(data):08x}"
    assert ("entropy_bits_per_byte" in facts) == bool(data)
    assert ("mime_detected" in facts) == ("extension_canonical" in facts)
    for namespace in result.values():
        check_value(namespace)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=4096))
def test_any_bytes_give_the_documented_shape(data):
    check_result(trawl.parse_bytes(data), data)


# Corpus files up to 256 KiB (their first 256 KiB otherwise), read once.
SAMPLES = [p.read_bytes()[: 256 * 1024] for p in corpus_files("real") + corpus_files("exif")]
PATH_KEYS = {"name", "extension_claimed", "modified_unix", "created_unix"}


@st.composite
def mutated_sample(draw):
    data = bytearray(draw(st.sampled_from(SAMPLES)))
    for _ in range(draw(st.integers(1, 4))):
        if not data:
            break
        kind = draw(st.sampled_from(["truncate", "flip", "splice", "repeat"]))
        at = draw(st.integers(0, len(data) - 1))
        if kind == "truncate":
            del data[at:]
        elif kind == "flip":
            data[at] ^= 1 << draw(st.integers(0, 7))
        elif kind == "splice":
            other = draw(st.sampled_from(SAMPLES))
            start = draw(st.integers(0, max(len(other) - 1, 0)))
            data[at:at] = other[start:start + draw(st.integers(1, 512))]
        else:
            data[at:at] = data[at:at + draw(st.integers(1, 64))] * draw(st.integers(2, 50))
    return bytes(data)


@pytest.mark.skipif(not SAMPLES, reason="corpus folder is absent (set TRAWL_CORPUS)")
@settings(max_examples=400, deadline=None)
@given(mutated_sample())
def test_mutated_corpus_files_give_the_documented_shape(data):
    check_result(trawl.parse_bytes(data), data)


@pytest.mark.skipif(not SAMPLES, reason="corpus folder is absent (set TRAWL_CORPUS)")
@settings(max_examples=60, deadline=None)
@given(mutated_sample())
def test_parse_of_a_file_equals_parse_bytes_plus_path_facts(tmp_path_factory, data):
    path = tmp_path_factory.mktemp("mutated") / "sample.bin"
    path.write_bytes(data)
    by_path = trawl.parse(path)
    by_bytes = trawl.parse_bytes(data)
    assert set(by_path["file"]) - set(by_bytes["file"]) <= PATH_KEYS
    by_path["file"] = {k: v for k, v in by_path["file"].items() if k not in PATH_KEYS}
    assert by_path == by_bytes
