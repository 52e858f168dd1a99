"""The inventory: what a re-scan reads, removals, option changes, the command's --db, --dump
and --changed, killed scans, concurrent readers and writers."""

import contextlib
import csv
import io
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

import trawl
from test_batch import make_tree
from test_cli import ODD_NAME, lines, trawl_cmd

SUMMARY = re.compile(r"trawl: ([\d,]+) new, ([\d,]+) changed, ([\d,]+) unchanged, "
                     r"([\d,]+) removed, ([\d,]+) errors?, [\d.]+ s, [\d,]+ files/s\n")


def counts(out):
    """new, changed, unchanged, removed, errors from the command's last line."""
    found = SUMMARY.fullmatch(out.stderr.decode())
    assert found, out.stderr
    return tuple(int(n.replace(",", "")) for n in found.groups())


@pytest.fixture
def settled(monkeypatch):
    """No file counts as recent: the stamps alone decide what a re-scan reads."""
    monkeypatch.setattr(trawl.inventory, "_RECENT_NS", -10**18)


def tree(tmp_path):
    (tmp_path / "tree").mkdir()
    return make_tree(tmp_path / "tree")


def scan(db, root, **options):
    with trawl.Inventory(db) as inventory:
        return inventory.scan(root, **options)


def grow(p):
    with open(p, "ab") as f:
        f.write(b"!")


def same_size_times_restored(p):
    info = os.stat(p)
    p.write_bytes(b"X" * info.st_size)
    os.utime(p, ns=(info.st_atime_ns, info.st_mtime_ns))  # only the status-change time moves


def replaced(p):
    p.with_name("tmp").write_bytes(p.read_bytes())
    info = os.stat(p)
    os.utime(p.with_name("tmp"), ns=(info.st_atime_ns, info.st_mtime_ns))
    os.replace(p.with_name("tmp"), p)


# What a change to c.txt does to a re-scan: (new, changed, removed, files read); None where
# the record holds the birth time, in seconds, which may or may not have moved.
@pytest.mark.parametrize("change, expected", [
    (lambda p: None, (0, 0, 0, 0)),
    (grow, (0, 1, 0, 1)),
    (same_size_times_restored, (0, 1, 0, 1)),
    (lambda p: os.chmod(p, 0o600), (0, 0, 0, 1)),  # read again, same record
    (replaced, (0, None, 0, 1)),  # another inode, same bytes and times
    (os.remove, (0, 0, 1, 0)),
    (lambda p: p.with_name("new.txt").write_text("new"), (1, 0, 0, 1)),
    (lambda p: shutil.rmtree(p.parent / "b"), (0, 0, 2, 0)),
])
def test_a_rescan_reads_what_changed_and_only_that(tmp_path, settled, change, expected):
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    first = scan(db, root)
    assert (first.new, first.read, first.errors) == (4, 4, 0)
    change(root / "c.txt")
    again = scan(db, root)
    new, changed, removed, read = expected
    assert (again.new, again.removed, again.read) == (new, removed, read)
    assert again.changed == changed or changed is None
    assert again.new + again.changed + again.unchanged == 4 + new - removed
    with trawl.Inventory(db) as inventory:
        current = {r["path"]: r for r in inventory}
        assert current == {p: trawl.record(p, trawl.parse(p)) for p in trawl.walk(root)}
        changes = dict(inventory.changes(since=first.id))
        removed = [p for p, r in changes.items() if r is None]
        assert len(removed) == again.removed
        assert len(changes) - len(removed) == again.new + again.changed
        assert all(changes[p] == current[p] for p in changes if p not in removed)


def test_recent_files_and_changed_options_are_read_again(tmp_path, settled, monkeypatch):
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    scan(db, root)
    fast = scan(db, root, fast=True)
    assert (fast.changed, fast.read) == (4, 4)
    assert scan(db, root, fast=True).read == 0
    with trawl.Inventory(db) as inventory:
        assert all("sha256" not in r["file"] for r in inventory)
    only = scan(db, root, fast=True, only="gif")
    assert (only.changed, only.unchanged, only.read) == (4, 0, 4)
    assert scan(db, root, fast=True, only="gif", thorough=True).read == 4
    # Files changed within a timestamp tick of the scan that read them are read again; their
    # records are the same.
    monkeypatch.setattr(trawl.inventory, "_RECENT_NS", 10**18)
    assert scan(db, root, fast=True, only="gif").read == 4
    picked = scan(db, root, fast=True, only="gif", ext="pdf")  # the others are out of scope
    assert (picked.unchanged, picked.removed, picked.read) == (1, 0, 1)
    with trawl.Inventory(db) as inventory:
        assert inventory.scans()[-1].options == {"fast": True, "only": ["gif"], "thorough": False}


def test_dump_prints_what_trawl_prints(tmp_path):
    root = tree(tmp_path)
    (root / os.fsdecode(ODD_NAME)).write_text("x")
    (root / "a" / "y.gif").write_bytes(b"GIF89a")  # a record with an error entry
    db = tmp_path / "inventory.db"
    out = trawl_cmd("-r", root, "--db", db)
    assert out.returncode == 0 and out.stdout == b""
    assert counts(out) == (6, 0, 0, 0, 0)
    for flags in ([], ["--format", "json"], ["--format", "csv"], ["--pretty"]):
        dumped = trawl_cmd("--db", db, "--dump", *flags)
        plain = trawl_cmd("-r", root, *flags)
        assert dumped.returncode == 0
        if flags == ["--format", "csv"]:
            dumped, plain = (list(csv.reader(io.StringIO(o.stdout.decode()))) for o in
                             (dumped, plain))
            assert dumped[0] == plain[0] and sorted(dumped) == sorted(plain)
            assert bytes.fromhex(next(r[1] for r in dumped[1:] if r[1])) == os.fsencode(root) + \
                b"/" + ODD_NAME
        elif flags == ["--pretty"]:
            assert sorted(dumped.stdout.split(b"\n}\n")) == sorted(plain.stdout.split(b"\n}\n"))
        elif flags:
            by_path = lambda r: r["path"]  # noqa: E731
            assert sorted(json.loads(dumped.stdout), key=by_path) == \
                sorted(json.loads(plain.stdout), key=by_path)
        else:  # the same bytes
            assert sorted(dumped.stdout.splitlines()) == sorted(plain.stdout.splitlines())
    stored = sqlite3.connect(db).execute("SELECT path FROM files").fetchall()
    assert (os.fsencode(root) + b"/" + ODD_NAME,) in stored


def test_changed_prints_the_records_read_and_removals_count(tmp_path):
    root = tree(tmp_path)
    db = root / "inventory.db"  # inside the tree: the scan leaves its own files out
    assert len(lines(trawl_cmd("-r", root, "--db", db, "--changed"))) == 4
    (root / "c.txt").write_text("hello, again")
    (root / "new.txt").write_text("new")
    os.remove(root / "a" / "x.gif")
    out = trawl_cmd("-r", root, "--db", db, "--changed", "-j", "1")
    assert out.returncode == 0
    assert lines(out) == lines(trawl_cmd(root / "c.txt", root / "new.txt"))
    new, changed, unchanged, removed, errors = counts(out)
    assert (new, changed, removed, errors) == (1, 1, 1, 0)
    # A named path that is gone is removed; one never seen is an error record, not stored.
    out = trawl_cmd("--db", db, "--changed", root / "new.txt", root / "nothing")
    assert out.returncode == 1
    assert [r["error"]["code"] for r in lines(out)] == ["ENOENT"]
    os.remove(root / "new.txt")
    assert counts(trawl_cmd("--db", db, root / "new.txt"))[3] == 1
    assert len(lines(trawl_cmd("--db", db, "--dump"))) == 3


def test_unlistable_directories_keep_their_records(tmp_path):
    if os.geteuid() == 0 and not shutil.which("setpriv"):
        pytest.skip("running as root without setpriv")
    prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"] \
        if os.geteuid() == 0 else []
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    trawl_cmd("-r", root, "--db", db)
    os.chmod(root / "b", 0)
    try:
        out = trawl_cmd("-r", root, "--db", db, "--changed", prefix=prefix)
    finally:
        os.chmod(root / "b", 0o755)
    assert out.returncode == 1
    assert [r["path"] for r in lines(out)] == [str(root / "b")]
    assert counts(out)[3:] == (0, 1)
    again = trawl_cmd("-r", root, "--db", db)
    assert counts(again)[3:] == (1, 0)  # the directory's error record goes
    assert len(lines(trawl_cmd("--db", db, "--dump"))) == 4


def test_another_program_database_is_refused_untouched(tmp_path):
    db = tmp_path / "other.db"
    with sqlite3.connect(db) as other:
        other.execute("CREATE TABLE t (x)")
    out = trawl_cmd("-r", tmp_path, "--db", db)
    assert out.returncode == 2 and b"not a trawl inventory" in out.stderr
    assert sqlite3.connect(db).execute("PRAGMA journal_mode").fetchone() == ("delete",)


def start_scan(db, paths):
    """A scan reading paths from a pipe left open: it keeps the inventory until killed."""
    child = subprocess.Popen([sys.executable, "-m", "trawl", "-j", "1", "--db", str(db), "-"],
                             stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdin.write(b"".join(os.fsencode(p) + b"\n" for p in paths))
    child.stdin.flush()
    return child


def stored(db, wanted, timeout=60):
    """Waits (reading the database meanwhile) until `wanted` rows are committed."""
    reader = sqlite3.connect(db, timeout=10)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(sqlite3.OperationalError):  # no table yet
            found = reader.execute("SELECT count(*) FROM files").fetchone()[0]
            if found >= wanted:
                return found
        time.sleep(0.02)
    raise AssertionError(f"fewer than {wanted} rows stored in {timeout} s")


def many_files(root, count):
    root.mkdir()
    for i in range(count):
        (root / f"{i:05}.txt").write_text(str(i))
    return sorted(str(p) for p in root.iterdir())


def test_a_killed_scan_leaves_a_sound_database_and_the_next_finishes(tmp_path):
    paths = many_files(tmp_path / "tree", 2500)
    db = tmp_path / "inventory.db"
    child = start_scan(db, paths)
    try:
        stored(db, 1000)
    finally:
        child.kill()
        child.wait(timeout=10)
    assert child.returncode == -signal.SIGKILL
    check = sqlite3.connect(db)
    assert check.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    kept = check.execute("SELECT count(*) FROM files").fetchone()[0]
    assert 1000 <= kept < 2500  # in batches: the last ones were not committed
    out = trawl_cmd("--db", db, "--files-from", "-", stdin="\n".join(paths).encode())
    new, changed, unchanged, removed, errors = counts(out)
    assert (new + unchanged, changed, removed, errors) == (2500, 0, 0, 0)
    assert new == 2500 - kept
    assert sorted(trawl_cmd("--db", db, "--dump").stdout.splitlines()) == \
        sorted(trawl_cmd(*paths).stdout.splitlines())


@pytest.mark.parametrize("delay", [0.2, 0.6])
def test_a_scan_killed_at_any_moment(tmp_path, delay):
    root = tmp_path / "tree"
    many_files(root, 4000)
    db = tmp_path / "inventory.db"
    child = subprocess.Popen([sys.executable, "-m", "trawl", "-r", str(root), "--db", str(db)],
                             stderr=subprocess.DEVNULL)
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    child.wait(timeout=10)
    if db.exists():
        check = sqlite3.connect(db)
        assert check.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    out = trawl_cmd("-r", root, "--db", db)
    assert out.returncode == 0 and sum(counts(out)[:3]) == 4000
    assert trawl_cmd("--db", db, "--dump").stdout.count(b"\n") == 4000


def test_readers_go_on_and_a_second_scan_is_refused_while_one_runs(tmp_path):
    paths = many_files(tmp_path / "tree", 1200)
    db = tmp_path / "inventory.db"
    child = start_scan(db, paths)
    try:
        stored(db, 1000)
        dumped = trawl_cmd("--db", db, "--dump")
        assert dumped.returncode == 0 and dumped.stdout.count(b"\n") >= 1000
        second = trawl_cmd("-r", tmp_path / "tree", "--db", db)
        assert second.returncode == 4 and second.stdout == b""
        assert second.stderr.decode() == f"trawl: {db}: another scan of this inventory is " \
            "running; try again when it ends\n"
        with trawl.Inventory(db) as inventory:
            with pytest.raises(BlockingIOError):
                inventory.scan(tmp_path / "tree")
            assert inventory.scans()[-1].finished is None
    finally:
        child.kill()
        child.wait(timeout=10)
    assert counts(trawl_cmd("-r", tmp_path / "tree", "--db", db))[4] == 0
