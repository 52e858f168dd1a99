import hashlib

import pytest

import trawl
from conftest import corpus_files

SAMPLES = corpus_files("real") + corpus_files("sniff") + corpus_files("exif")


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: str(p.relative_to(p.parents[1])))
def test_truncated_samples_still_give_a_report(path):
    data = path.read_bytes()
    for cut in sorted({0, 1, 7, 8, 9, len(data) // 2, max(len(data) - 1, 0)}):
        piece = data[:cut]
        facts = trawl.parse_bytes(piece)["file"]
        assert facts["size_bytes"] == len(piece)
        assert facts["sha256"] == hashlib.sha256(piece).hexdigest()
