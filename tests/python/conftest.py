import os
from pathlib import Path, PurePosixPath

import pytest

import trawl

HERE = Path(__file__).resolve()
# The full sample corpus when there is one, then the subset kept in the repository.
_FULL = Path(os.environ.get("TRAWL_CORPUS", HERE.parents[3] / "shared" / "corpus"))
ROOTS = [root for root in (_FULL, HERE.parents[1] / "corpus") if root.is_dir()]


class Corpus:
    """A corpus path: `corpus / "real/jpeg/x.jpg"` is the first root holding that file; a test
    that asks for a file no root holds is skipped, naming it."""

    def __init__(self, relative=PurePosixPath()):
        self.relative = PurePosixPath(relative)

    def __truediv__(self, part):
        return Corpus(self.relative / part).resolve()

    def resolve(self):
        for root in ROOTS:
            candidate = root / self.relative
            if candidate.exists():
                return candidate
        pytest.skip(f"{self.relative} is in neither corpus ({', '.join(map(str, ROOTS))}); "
                    "set TRAWL_CORPUS to the full sample corpus")


def corpus_files(*parts):
    """Every regular file under the corpus folder `parts` in any root (the full corpus's copy
    first), sorted by their path inside the corpus; empty when no root has that folder."""
    found = {}
    for root in ROOTS:
        base = root.joinpath(*parts)
        if base.is_dir():
            for p in base.rglob("*"):
                if p.is_file() and p.suffix not in {".tsv", ".md", ".sh"}:
                    found.setdefault(p.relative_to(root), p)
    return [found[k] for k in sorted(found)]


@pytest.fixture(scope="session")
def corpus():
    return Corpus()


def assert_facts(data, namespace, facts):
    """The bytes parse without errors and their namespace holds these facts (None: absent)."""
    result = trawl.parse_bytes(data)
    assert "errors" not in result
    got = result[namespace]
    assert {key: got.get(key) for key in facts} == facts
