import os
from pathlib import Path

import pytest

import trawl

CORPUS = Path(os.environ.get("TRAWL_CORPUS", Path(__file__).resolve().parents[3] / "shared" / "corpus"))


def corpus_files(*parts):
    """Every regular file under the corpus folder `parts`, sorted; empty when the corpus is absent."""
    root = CORPUS.joinpath(*parts)
    if not root.is_dir():
        return []
    return sorted(p for p in root.rglob("*") if p.is_file() and p.suffix not in {".tsv", ".md", ".sh"})


@pytest.fixture(scope="session")
def corpus():
    if not CORPUS.is_dir():
        pytest.skip(f"corpus folder {CORPUS} is absent (set TRAWL_CORPUS)")
    return CORPUS


def assert_facts(path, namespace, facts):
    """The file parses without errors and its namespace holds these facts (None: absent)."""
    result = trawl.parse_bytes(path.read_bytes())
    assert "errors" not in result
    got = result[namespace]
    assert {key: got.get(key) for key in facts} == facts
