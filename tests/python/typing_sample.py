"""Checked by mypy in test_types.py, never run: results are typed per namespace."""

from typing import assert_type

import trawl

result = trawl.parse("photo.jpg")
assert_type(result["jpeg"]["width"], int)
assert_type(result["file"]["sha256"], str)
assert_type(result["pdf"]["info"]["title"], str)
assert_type(result["zip"]["entries"][0]["compressed"], int)
assert_type(result["exif"]["primary"]["Make"], str)
assert_type(result.get("errors", [])[0]["message"], str)
for path, outcome in trawl.parse_many(["a", "b"], fast=True):
    if not isinstance(outcome, Exception):
        assert_type(outcome["mp4"]["duration_seconds"], float)
