"""Checked by mypy in test_readme.py, never run: results are typed per namespace."""

from typing import Any, assert_type

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
with trawl.Inventory("photos.db") as inventory:
    scan = inventory.scan("photos", fast=True, only=["file", "exif"], jobs=2)
    assert_type(scan.new + scan.changed + scan.unchanged + scan.removed + scan.errors, int)
    assert_type(scan.finished, float | None)
    for name, rec in inventory.changes(since=scan.id - 1):
        assert_type(name, str)
        assert_type(rec, dict[str, Any] | None)
