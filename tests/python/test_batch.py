"""The batch API: walk, parse_many and flatten, and the Dask bag on a local cluster."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import threading
import time

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
    failures = []
    assert list(trawl.walk(root / "missing", onerror=failures.append)) == []
    assert [type(e) for e in failures] == [FileNotFoundError]
    # A root named by a link is followed, as find -H does; a str is one extension.
    os.symlink(root / "b", root / "link")
    assert rel(trawl.walk(root / "link", ext="gif")) == ["link/x.gif"]


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


@pytest.mark.parametrize("options", [{}, {"fast": True}, {"only": ["jpeg"]}])
def test_failures_have_the_type_and_code_open_gives(tmp_path, options):
    (tmp_path / "f").write_text("x")
    got = dict(trawl.parse_many([tmp_path, tmp_path / "missing", tmp_path / "f"], **options))
    directory, missing = got[tmp_path], got[tmp_path / "missing"]
    assert isinstance(directory, IsADirectoryError) and directory.errno == 21
    assert isinstance(missing, FileNotFoundError) and missing.errno == 2
    assert str(missing) == f"{tmp_path / 'missing'}: No such file or directory (os error 2)"
    assert trawl.record("x", missing)["error"] == {
        "type": "FileNotFoundError", "code": "ENOENT", "errno": 2, "message": str(missing)}
    assert isinstance(got[tmp_path / "f"], dict)


def test_parse_many_fast_only_and_a_str(tmp_path):
    root = make_tree(tmp_path)
    results = dict(trawl.parse_many(trawl.walk(root), fast=True, only=["file", "gif"]))
    gif = results[str(root / "a" / "x.gif")]
    assert set(gif) == {"file", "gif"}
    assert "sha256" not in gif["file"] and gif["file"]["mime_detected"] == "image/gif"
    assert set(results[str(root / "c.txt")]) == {"file"}
    # A str is one item, and one extension; unknown namespaces are named.
    name = str(root / "a" / "x.gif")
    (path, result), = trawl.parse_many(name, only="gif")
    assert path == name and set(result) == {"gif"}
    assert list(trawl.walk(root / "a", ext="gif")) == [name]
    with pytest.raises(ValueError, match="'FILE', 'foo' \\(known: bmp, elf, exif, file, "):
        trawl.parse_many([name], only=["foo", "FILE"])
    for wrong in (b"file", [b"file"], ["file", 1]):
        with pytest.raises(TypeError, match="namespace names \\(str\\)"):
            trawl.inspect(name, only=wrong)


def pool_threads_left(seconds):
    """The pool's threads still alive after waiting up to `seconds` for them to end."""
    deadline = time.monotonic() + seconds
    while (left := [t for t in threading.enumerate() if t.name == "trawl"]) and \
            time.monotonic() < deadline:
        time.sleep(0.01)
    return left


def test_parse_many_closes_its_pool_when_abandoned():
    paths = (f"/nonexistent/{i}" for i in range(10**9))  # endless: only a window is taken
    results = trawl.parse_many(paths, jobs=2)
    first = [next(results) for _ in range(5)]
    assert all(isinstance(r, OSError) for _, r in first)
    results.close()  # still referenced, so close() alone has to end the threads
    assert not pool_threads_left(5)


def endless_inputs(tmp_path, count):
    """/dev/zero and FIFOs whose writer stays open without writing, and the writers."""
    paths, writers = [], []
    for i in range(count):
        if i % 2:
            paths.append("/dev/zero")
            continue
        fifo = tmp_path / f"pipe{i}"
        os.mkfifo(fifo)
        writers.append(os.open(fifo, os.O_RDWR))
        paths.append(str(fifo))
    return paths, writers


def test_close_stops_workers_in_endless_reads_and_others_go_on(tmp_path):
    endless, writers = endless_inputs(tmp_path, 4)
    small = [str(p) for p in corpus_files("real")[:20]]
    try:
        results = trawl.parse_many(endless + small, jobs=5, ordered=False)
        done = [next(results)[0] for _ in small]  # the stuck workers hold nothing back
        assert sorted(done) == sorted(small)
        time.sleep(0.3)
        results.close()
        assert not pool_threads_left(0.2)
    finally:
        for fd in writers:
            os.close(fd)


def reading(pid, paths, timeout=20.0):
    """Waits until process `pid` has one of `paths` open (its parses have started): a Ctrl-C
    that comes earlier can land in the start-up of a library that swallows it."""
    fds = f"/proc/{pid}/fd"
    if not os.path.isdir(fds):
        time.sleep(0.5)
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError):
            if set(paths) & {os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)}:
                return
        time.sleep(0.02)


@pytest.mark.parametrize("module, run", [
    ("trawl", "for _ in trawl.parse_many(sys.argv[1:], jobs=4): pass"),
    # Dask's thread pool waits for its threads at exit: the tasks must end too. (A process pool
    # interrupted while its workers still start can hang in the pool itself, whatever they run.)
    ("trawl.dask",
     "trawl.dask.parse_paths(sys.argv[1:], partition_size=1).compute(scheduler='threads')"),
])
def test_ctrl_c_ends_the_run_and_the_interpreter(tmp_path, module, run):
    if module == "trawl.dask":
        pytest.importorskip("dask.bag", reason="the dask extra is not installed")
    endless, writers = endless_inputs(tmp_path, 4)
    script = f"import sys, {module}\nprint('ready', flush=True)\n{run}\n"
    # A session of its own, so that nothing it started outlives the test, even on a timeout.
    child = subprocess.Popen([sys.executable, "-c", script, *endless], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True)
    try:
        assert child.stdout.readline() == b"ready\n"
        reading(child.pid, [p for p in endless if p != "/dev/zero"])
        os.killpg(child.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole group
        try:
            _, err = child.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            # A signal that comes just before a thread blocks on a lock without a timeout (as
            # Dask's scheduler does on POSIX) wakes nothing: a user presses Ctrl-C again.
            os.killpg(child.pid, signal.SIGINT)
            _, err = child.communicate(timeout=20)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        for fd in writers:
            os.close(fd)
    assert b"KeyboardInterrupt" in err


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

    odd = tmp_path / os.fsdecode(b"caf\xe9.txt")  # not UTF-8: the table keeps its bytes
    odd.write_text("x")
    paths = [str(p) for p in corpus_files("real")[:60]] + [str(tmp_path / "missing"), str(odd)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        bag = trawl.dask.parse_paths(paths, partition_size=16)
        records = bag.compute()
        out = tmp_path / "table"
        trawl.dask.to_parquet(bag, str(out))
        frame = trawl.dask.to_dataframe(bag).compute()
    # The DataFrame holds the name that is not UTF-8 as hex, whatever Dask does with text.
    assert [bytes.fromhex(h) for h in frame["path_bytes"].dropna()] == [os.fsencode(str(odd))]
    expected = []
    for p in paths:
        try:
            expected.append({"path": p, **trawl.parse(p)})
        except OSError as error:
            expected.append({"path": p, "error": {"type": "FileNotFoundError", "code": "ENOENT",
                                                  "errno": 2, "message": str(error)}})
    assert records == expected
    table = pd.read_parquet(out)
    exact = [os.fsdecode(b) if isinstance(b, bytes) else p
             for p, b in zip(table["path"], table["path_bytes"])]
    assert sorted(exact) == sorted(paths)
    flat = {r["path"]: trawl.flatten(r) for r in expected}
    for path, row in zip(exact, table.to_dict("records")):
        want = flat[path]
        want["path"] = row["path"]  # shown with U+FFFD where the name is not UTF-8
        for key, value in want.items():
            got = row[key]
            assert got == value or str(got) == str(value), (row["path"], key)
        # Columns the record does not have are empty.
        assert all(pd.isna(v) for k, v in row.items() if k not in want and k != "path_bytes")
