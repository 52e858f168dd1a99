import hashlib
import zlib

from hypothesis import given, settings
from hypothesis import strategies as st

import trawl

NAMESPACES = {"bmp", "elf", "exif", "file", "gif", "gzip", "id3", "jpeg", "mp4", "pdf", "png", "riff", "zip"}
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


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=4096))
def test_any_bytes_give_the_documented_shape(data):
    result = trawl.parse_bytes(data)
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
