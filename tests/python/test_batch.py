"""The batch API: walk, parse_many and flatten, and the Dask bag on a local cluster."""

import json
import os

import pytest

import trawl
from conftest import corpus_files


def make_tree(root):
    """a/x.gif, b/x.gif, b/deep/e.PDF, c.txt, and a link back to the top (a loop)."""
    (root / "a").mkdir()
    (root / "b" / "deep").mkdir(parents=True)
    (root / "a" / "x.gif").write_bytes(b"GIF89a\x01\x00\x01\x00\x00\x00\x00;")
    (root / "b" / "x.gif").write_bytes(b"GIF87a\x02\x00\x02\x00\x00\x00\x00;")
    (root / "b" / "deep" / "e.PDF").write_bytes(b"%PDF-1.4\n")
    (root / "c.txt").write_text("hello")
    os.symlink(root, root / "b" / "loop")
    return root


def test_walk_sorted_filtered_and_without_loops(tmp_path):
    root = make_tree(tmp_path)
    rel = lambda paths: [os.path.relpath(p, root) for p in paths]  # noqa: E731
    assert rel(trawl.walk(root)) == ["a/x.gif", "b/deep/e.PDF", "b/x.gif", "c.txt"]
    assert rel(trawl.walk(root, ext=["pdf", ".GIF"])) == ["a/x.gif", "b/deep/e.PDF", "b/x.gif"]
    # Following links reaches the top again, which was walked already.
    assert rel(trawl.walk(root, follow_symlinks=True)) == rel(trawl.walk(root))
    assert list(trawl.walk(root / "c.txt")) == [str(root / "c.txt")]
    assert list(trawl.walk(root / "missing")) == []


def test_parse_many_equals_a_sequential_loop(tmp_path):
    paths = corpus_files("real")[:200] + [tmp_path / "no such file"]
    sequential = []
    for p in paths:
        try:
            sequential.append(trawl.parse(p))
        except OSError as error:
            sequential.append(str(error))
    for ordered in (True, False):
        got = {str(p): (r if isinstance(r, dict) else str(r))
               for p, r in trawl.parse_many(paths, jobs=3, ordered=ordered)}
        assert got == {str(p): r for p, r in zip(paths, sequential)}
    in_order = [p for p, _ in trawl.parse_many(iter(paths), jobs=2)]
    assert in_order == paths


def test_parse_many_fast_and_only(tmp_path):
    root = make_tree(tmp_path)
    results = dict(trawl.parse_many(trawl.walk(root), fast=True, only=["file", "gif"]))
    gif = results[str(root / "a" / "x.gif")]
    assert set(gif) == {"file", "gif"}
    assert "sha256" not in gif["file"] and gif["file"]["mime_detected"] == "image/gif"
    assert set(results[str(root / "c.txt")]) == {"file"}


def test_parse_many_closes_its_pool_when_abandoned():
    paths = (f"/nonexistent/{i}" for i in range(10**9))  # endless: only a window is taken
    results = trawl.parse_many(paths, jobs=2)
    first = [next(results) for _ in range(5)]
    assert all(isinstance(r, OSError) for _, r in first)
    results.close()


def leaves(node, prefix=""):
    """The expected flat form, written independently: nested dicts joined by dots."""
    for key, value in node.items():
        if isinstance(value, dict):
            yield from leaves(value, f"{prefix}{key}.")
        elif isinstance(value, list):
            yield f"{prefix}{key}", json.dumps(value, ensure_ascii=False, separators=(",", ":"))
        else:
            yield f"{prefix}{key}", value


def test_flatten_every_namespace(corpus):
    seen = set()
    for path in corpus_files("real"):
        result = trawl.parse(path)
        flat = trawl.flatten(result)
        assert list(flat) == sorted(flat)
        assert flat == dict(leaves(result))
        seen.update(key.split(".")[0] for key in flat)
    assert {"file", "jpeg", "png", "gif", "zip", "pdf", "exif", "mp4", "riff", "id3"} <= seen


def test_dask_bag_on_a_local_cluster(corpus, tmp_path):
    pytest.importorskip("dask.bag", reason="the dask extra is not installed")
    distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
    import pandas as pd

    import trawl.dask

    paths = [str(p) for p in corpus_files("real")[:60]] + [str(tmp_path / "missing")]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        bag = trawl.dask.parse_paths(paths, partition_size=16)
        records = bag.compute()
        out = tmp_path / "table"
        trawl.dask.to_parquet(bag, str(out))
    expected = []
    for p in paths:
        try:
            expected.append({"path": p, **trawl.parse(p)})
        except OSError as error:
            expected.append({"path": p, "error": {"type": "OSError", "message": str(error)}})
    assert records == expected
    table = pd.read_parquet(out).sort_values("path").reset_index(drop=True)
    assert list(table["path"]) == sorted(paths)
    flat = {r["path"]: trawl.flatten(r) for r in expected}
    for row in table.to_dict("records"):
        want = flat[row["path"]]
        for key, value in want.items():
            got = row[key]
            assert got == value or str(got) == str(value), (row["path"], key)
