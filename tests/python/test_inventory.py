"""The inventory: what a re-scan reads, removals, option changes, the command's --db, --dump
and --changed, killed scans, concurrent readers and writers; the extension's listing and merge
against their Python versions."""

import ast
import contextlib
import csv
import errno
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
from test_cli import ODD_NAME, lines, no_dac_override, trawl_cmd

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


@pytest.fixture(params=["extension", "python"])
def walk_in(request, monkeypatch):
    """The walk with the extension's listing and merge, then with their Python versions."""
    if request.param == "python":
        monkeypatch.setattr(trawl.inventory, "_listing", trawl.inventory._listing_in_python)
        monkeypatch.setattr(trawl.inventory, "_unchanged", trawl.inventory._unchanged_in_python)
    return request.param


# What a change to c.txt does to a re-scan: (new, changed, removed, files read); None where
# the record holds the birth time, in seconds, which may or may not have moved.
@pytest.mark.parametrize("change, expected", [
    (lambda p: None, (0, 0, 0, 0)),
    (grow, (0, 1, 0, 1)),
    (same_size_times_restored, (0, 1, 0, 1)),
    (lambda p: os.chmod(p, 0o600), (0, 0, 0, 1)),  # read again, same record
    # Past what SQLite's integers hold in nanoseconds: stored without stamps, not a failed scan.
    (lambda p: os.utime(p, ns=(0, 2**63 + 5)), (0, 1, 0, 1)),
    (replaced, (0, None, 0, 1)),  # another inode, same bytes and times
    (os.remove, (0, 0, 1, 0)),
    (lambda p: p.with_name("new.txt").write_text("new"), (1, 0, 0, 1)),
    (lambda p: shutil.rmtree(p.parent / "b"), (0, 0, 2, 0)),
])
def test_a_rescan_reads_what_changed_and_only_that(tmp_path, settled, walk_in, change,
                                                   expected):
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


@pytest.mark.parametrize("roots", [
    ["b", "."], [".", "b"], ["b/deep", "b", "."], [".", "."], [".", "c.txt"],
])
def test_nested_roots_count_each_file_once(tmp_path, settled, roots):
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    first = scan(db, [root / r for r in roots])
    assert (first.new, first.read) == (4, 4)
    os.remove(root / "b" / "x.gif")
    again = scan(db, [root / r for r in roots])
    assert (again.removed, again.unchanged, again.read) == (1, 3, 0)
    assert None not in blobs_agree(db).values()


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
    prefix = no_dac_override()
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


def test_a_directory_too_deep_to_name_keeps_its_error_record(tmp_path, settled):
    root = tmp_path / "tree"
    root.mkdir()
    fd = os.open(root, os.O_RDONLY)
    for _ in range(45):  # 45 x 100 bytes: past PATH_MAX, made by name within each directory
        os.mkdir("d" * 99, dir_fd=fd)
        fd, parent = os.open("d" * 99, os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
    os.close(fd)
    db = tmp_path / "inventory.db"
    for _ in range(3):  # then compared by the parent's blob, where a stat of the path fails
        again = scan(db, root)
        assert (again.removed, again.errors) == (0, 1)


def test_another_program_database_or_an_empty_file_is_refused_untouched(tmp_path):
    db = tmp_path / "other.db"
    with sqlite3.connect(db) as other:
        other.execute("CREATE TABLE t (x)")
    out = trawl_cmd("-r", tmp_path, "--db", db)
    assert out.returncode == 2
    assert out.stderr.startswith(f"trawl: error: --db {db}: not a trawl inventory".encode())
    assert sqlite3.connect(db).execute("PRAGMA journal_mode").fetchone() == ("delete",)
    empty = tmp_path / "empty.db"  # read, not scanned into: it stays empty
    empty.touch()
    out = trawl_cmd("--db", empty, "--dump")
    assert (out.returncode, empty.stat().st_size) == (2, 0)
    assert out.stderr.startswith(f"trawl: error: --db {empty}: not a trawl inventory".encode())


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


ODD = "caf\udce9.JPG"  # not UTF-8
ROOT = [".hidden", "B.JPG", "a-b", "a.txt", "a/", "a0", ODD, "locked/", "x.\u00c4"]
FOLLOWED = [".hidden", "B.JPG", "a-b", "a.txt", "a/", "a0", ODD, "dir-link/", "file-link",
            "locked/", "x.\u00c4"]
WALKED = [".hidden", "B.JPG", "a-b", "a.txt", "a/in.txt", "a0", ODD, "x.\u00c4"]


def listing_tree(root):
    """Files whose names sort around a directory's ("a-b", "a.txt", "a/", "a0"), names that are
    not UTF-8 or not ASCII, links to a file, a directory, nothing, themselves and through a
    file, a pipe, and a directory nobody may read."""
    for name in ("a-b", "a.txt", "a0", "B.JPG", ".hidden", ODD, "x.\u00c4"):
        (root / name).write_bytes(os.fsencode(name))
    (root / "a").mkdir()
    (root / "a" / "in.txt").write_text("in")
    (root / "locked").mkdir()
    (root / "locked" / "secret.txt").write_text("secret")
    for name, target in (("file-link", "a.txt"), ("dir-link", "a"), ("dangling", "nowhere"),
                         ("loop", "loop"), ("through", "a.txt/x")):
        os.symlink(target, root / name)
    os.mkfifo(root / "fifo")
    os.chmod(root / "locked", 0)


# Run where the directory is unreadable: as root, without the capabilities that pass by modes.
COMPARE = """
import ast, os, sys
from trawl import inventory

def summary(listed):
    return None if listed is None else [
        os.fsdecode(os.path.basename(path)) + ("/" if stamps is None else "")
        for path, stamps in listed[1]]

def run(listing, path, follow, ext, root):
    failures = []
    def failed(where, error):
        failures.append((where, type(error).__name__, error.errno, error.strerror, error.filename))
    listed = listing(path, follow, ext, failed, root)
    inventory._listing = listing
    walk_failures = []
    runs = list(inventory._tree(path, ext, follow, lambda where, error: walk_failures.append(
        (os.fsdecode(os.path.basename(where)), error.errno))))
    return listed, failures, runs, walk_failures

path, follow, root, ext = ast.literal_eval(sys.argv[1])
ext = None if ext is None else frozenset(ext)
native = inventory._listing is not inventory._listing_in_python
got = [run(f, path, follow, ext, root) for f in (inventory._listing, inventory._listing_in_python)]
print(repr((native, got, summary(got[0][0]))))
"""


def listings(target, follow, root, ext):
    """Both listings of `target` and both walks from it: the extension's, then Python's."""
    out = subprocess.run([*no_dac_override(), sys.executable, "-c", COMPARE,
                          repr((os.fsencode(target), follow, root, ext))],
                         capture_output=True, timeout=60, check=True)
    return ast.literal_eval(out.stdout.decode())


# (directory, follow, root, extensions, names listed or None, errors reported, files walked
# and errors met on the way); errors as patterns: systems differ on opening a link with
# O_NOFOLLOW.
@pytest.mark.skipif(sys.platform == "win32", reason="the extension lists POSIX directories")
@pytest.mark.parametrize("where, follow, root, ext, names, errors, walked", [
    ("", False, True, None, ROOT, [], (WALKED, ["locked EACCES"])),
    ("", True, True, None, FOLLOWED, ["loop ELOOP"],
     ([*WALKED[:-1], "file-link", WALKED[-1]], ["loop ELOOP", "locked EACCES"])),
    ("", False, True, ["jpg", "txt"], ["B.JPG", "a.txt", "a/", ODD, "locked/"], [],
     (["B.JPG", "a.txt", "a/in.txt", ODD], ["locked EACCES"])),
    ("", True, True, ["txt"], ["a.txt", "a/", "dir-link/", "locked/"], ["loop ELOOP"],
     (["a.txt", "a/in.txt"], ["loop ELOOP", "locked EACCES"])),
    ("", False, True, ["\u00e4"], ["a/", "locked/", "x.\u00c4"], [],
     (["x.\u00c4"], ["locked EACCES"])),
    ("a/", False, False, None, ["in.txt"], [], (["a/in.txt"], [])),
    ("dir-link", False, True, None, ["in.txt"], [], (["dir-link/in.txt"], [])),
    ("dir-link", False, False, None, None, ["dir-link (ENOTDIR|ELOOP|EMLINK)"],
     (["dir-link/in.txt"], [])),
    ("dir-link", True, False, ["txt"], ["in.txt"], [], (["dir-link/in.txt"], [])),
    ("locked", False, False, None, None, ["locked EACCES"], ([], ["locked EACCES"])),
    ("missing", False, True, None, None, ["missing ENOENT"], ([], ["missing ENOENT"])),
    ("a.txt", False, True, None, None, ["a.txt ENOTDIR"], ([], ["a.txt ENOTDIR"])),
])
def test_the_extension_lists_as_python_does(tmp_path, where, follow, root, ext, names, errors,
                                             walked):
    no_dac_override()  # skips before the tree is made where it cannot run
    top = tmp_path / "t"
    top.mkdir()
    listing_tree(top)
    try:
        native, (extension, python), listed = listings(os.path.join(top, where), follow, root,
                                                       ext)
    finally:
        os.chmod(top / "locked", 0o755)
    assert native
    assert extension == python  # results, errors (type, errno, text, file name), walks
    _, failures, runs, walk_failures = extension
    assert listed == names
    reported = [f"{os.fsdecode(os.path.basename(path))} {errno.errorcode[code]}"
                for path, _, code, _, _ in failures]
    assert len(reported) == len(errors)
    assert all(re.fullmatch(e, r) for e, r in zip(errors, reported)), reported
    assert [os.path.relpath(os.fsdecode(path), top) for run in runs for path, _ in run] == \
        walked[0]
    assert [f"{name} {errno.errorcode[code]}" for name, code in walk_failures] == walked[1]


def entry(n, **changed):
    stamps = {"dev": 5, "ino": 10 + n, "size": 3, "mtime": 100, "ctime": 200, **changed}
    return (changed.get("path", b"/t/%d" % n), tuple(stamps[k] for k in
                                                      ("dev", "ino", "size", "mtime", "ctime")))


def row(n, read=1, removed=None, **changed):
    path, stamps = entry(n, **changed)
    return (path, *stamps, read, removed)  # as the walk reads it


# Three files as stored but for the second (entry_1, row_1), passed over from `start`: where
# both versions of _unchanged stop, in the files and in the rows.
@pytest.mark.parametrize("entry_1, row_1, start, expected", [
    (entry(1), row(1), (0, 0), (3, 3)),
    (entry(1), row(1), (1, 1), (3, 3)),
    (entry(1), row(1), (3, 3), (3, 3)),
    (entry(1), row(1, path=b"/t/1x"), (0, 0), (1, 1)),
    (entry(1), row(1, dev=6), (0, 0), (1, 1)),
    (entry(1), row(1, ino=1), (0, 0), (1, 1)),
    (entry(1), row(1, size=4), (0, 0), (1, 1)),
    (entry(1), row(1, mtime=99), (0, 0), (1, 1)),
    (entry(1), row(1, ctime=199), (0, 0), (1, 1)),
    (entry(1), row(1, removed=4), (0, 0), (1, 1)),
    (entry(1), row(1, read=2), (0, 0), (1, 1)),  # read with other options
    (entry(1, mtime=1000), row(1, mtime=1000), (0, 0), (1, 1)),  # as recent as its read
    (entry(1, ctime=1000), row(1, ctime=1000), (0, 0), (1, 1)),
    (entry(1, mtime=999, ctime=999), row(1, mtime=999, ctime=999), (0, 0), (3, 3)),
    (entry(1, path=b"/t/own"), row(1, path=b"/t/own"), (0, 0), (1, 1)),
    (entry(1), (b"/t/1", None, None, None, None, None, 1, None), (0, 0), (1, 1)),
    (entry(1), None, (0, 0), (1, 1)),  # the rows end there
])
def test_unchanged_files_are_passed_over_as_python_does(entry_1, row_1, start, expected):
    run = [entry(0), entry_1, entry(2)]
    rows = [row(0), row_1, row(2)] if row_1 is not None else [row(0)]
    own, trusted = {b"/t/own"}, {1: 1000}  # scan 1 trusted for stamps before 1000
    inventory = trawl.inventory
    assert inventory._unchanged is not inventory._unchanged_in_python
    i, j = start
    for unchanged in (inventory._unchanged, inventory._unchanged_in_python):
        assert unchanged(run, i, rows, j, own, trusted) == expected


def stamps_of(blob):
    """A directory's blob read on its own: LEB128 numbers; per file its name, a flag (1: no
    stamps), zigzag dev (from the previous), ino, size, mtime (from the previous), ctime (from
    its mtime), the scan that read it."""
    at = 1
    assert blob[:1] == b"\x01"

    def number():
        nonlocal at
        value = shift = 0
        while True:
            byte = blob[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def signed():
        value = number()
        return (value >> 1) ^ -(value & 1)

    rows, dev, mtime = [], 0, 0
    while at < len(blob):
        size = number()
        name, at = blob[at:at + size], at + size
        stamps = (None,) * 5
        if number() == 0:
            dev, ino, length, mtime = dev + signed(), signed(), signed(), mtime + signed()
            stamps = (dev, ino, length, mtime, mtime + signed())
        rows.append((name, *stamps, signed()))
    return rows


def blobs_agree(db):
    """Every blob holds exactly the current rows of its directory's files, and every directory
    holding current rows has a dirs row."""
    check = sqlite3.connect(db)
    folders = {}
    for path, *rest in check.execute("SELECT path, dev, ino, size, mtime_ns, ctime_ns, read_scan "
                                     "FROM files WHERE removed_scan IS NULL ORDER BY path"):
        folder, _, name = path.rpartition(b"/")
        folders.setdefault(folder + b"/", []).append((name, *rest))
    dirs = dict(check.execute("SELECT path, stamps FROM dirs"))
    assert set(folders) <= set(dirs)
    for key, blob in dirs.items():
        if blob is not None:
            assert stamps_of(blob) == folders.get(key, []), key
    return dirs


def test_blobs_stand_for_the_rows_and_a_rescan_reads_only_what_changed(tmp_path, settled):
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    assert scan(db, root).read == 4
    assert {k for k, b in blobs_agree(db).items() if b is not None} == {
        os.fsencode(p) + b"/" for p in (root, root / "a", root / "b", root / "b" / "deep")}
    again = scan(db, root)
    assert (again.unchanged, again.read) == (4, 0)
    # A named file written alone, then its directory gone: the walk finds its rows all the same.
    (root / "n" / "m").mkdir(parents=True)
    (root / "n" / "m" / "f.txt").write_text("f")
    (root / "n" / "g.txt").write_text("g")
    scan(db, root / "n" / "m" / "f.txt")
    blobs_agree(db)
    scan(db, root / "n")
    shutil.rmtree(root / "n")
    gone = scan(db, root)
    assert (gone.removed, gone.read, gone.unchanged) == (2, 0, 4)
    dirs = blobs_agree(db)
    assert not any(key.startswith(os.fsencode(root / "n")) for key in dirs)


# Blobs that cannot be trusted: the directory is compared row by row, and its blob rewritten.
@pytest.mark.parametrize("blob", [
    None, b"", b"\x02", b"\x01\x05a", b"\x01\x00", b"\x01\x03a/b\x01\x00",
    b"\x01\x01b\x01\x00\x01a\x01\x00",  # names out of order
    b"\x01\x01a\x00" + b"\xff" * 11,  # a number of more than 64 bits
    b"\x01\x01a\x07\x00",  # an unknown flag
    "deleted",
])
def test_a_directory_whose_blob_is_unsound_is_compared_row_by_row(tmp_path, settled, blob):
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    scan(db, root)
    key = os.fsencode(root / "b") + b"/"
    with sqlite3.connect(db) as edit:
        if blob == "deleted":
            edit.execute("DELETE FROM dirs WHERE path = ?", (key,))
        else:
            edit.execute("UPDATE dirs SET stamps = ? WHERE path = ?", (blob, key))
    grow(root / "b" / "x.gif")
    again = scan(db, root)
    assert (again.changed, again.unchanged, again.read) == (1, 3, 1)
    assert blobs_agree(db)[key] is not None
    if isinstance(blob, bytes):  # refused before the directory is listed
        assert trawl._trawl._stamped(key, False, None, True, blob, (), {}) is False


def test_an_inventory_of_the_first_version_is_upgraded(tmp_path, settled):
    root = tree(tmp_path)
    db = tmp_path / "inventory.db"
    scan(db, root)
    with sqlite3.connect(db) as edit:  # as version 1 left it
        edit.execute("DROP TABLE dirs")
        edit.execute("PRAGMA user_version = 1")
    with trawl.Inventory(db) as inventory:
        assert len(list(inventory)) == 4  # read as it is
    shutil.rmtree(root / "b" / "deep")
    again = scan(db, root)
    assert (again.removed, again.unchanged, again.read) == (1, 3, 0)
    assert sqlite3.connect(db).execute("PRAGMA user_version").fetchone() == (2,)
    assert None not in blobs_agree(db).values()
    assert scan(db, root).unchanged == 3


@pytest.mark.parametrize("delay", [0.3, 0.7])
def test_blobs_and_rows_agree_after_a_killed_scan(tmp_path, delay):
    root = tmp_path / "tree"
    root.mkdir()
    for folder in range(8):
        many_files(root / f"{folder}", 400)
    db = tmp_path / "inventory.db"
    trawl_cmd("-r", root, "--db", db)
    for folder in range(0, 8, 2):
        os.remove(root / f"{folder}" / "00007.txt")
        (root / f"{folder}" / "00008.txt").write_text("changed")
    child = subprocess.Popen([sys.executable, "-m", "trawl", "-r", str(root), "--db", str(db)],
                             stderr=subprocess.DEVNULL)
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    child.wait(timeout=10)
    blobs_agree(db)
    out = trawl_cmd("-r", root, "--db", db)
    assert out.returncode == 0 and sum(counts(out)[:3]) == 8 * 400 - 4
    assert None not in blobs_agree(db).values()
    assert trawl_cmd("--db", db, "--dump").stdout.count(b"\n") == 8 * 400 - 4
