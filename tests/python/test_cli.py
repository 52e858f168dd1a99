"""The trawl command end to end, in a subprocess."""

import csv
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import zipfile

import pytest

from test_batch import endless_inputs, make_tree

# Bytes that are not UTF-8 in a file name, and the locale that cannot show them.
ODD_NAME = b"caf\xe9 \xff.txt"
C_LOCALE = {**os.environ, "LC_ALL": "C", "PYTHONIOENCODING": "ascii:strict"}


def trawl_cmd(*args, stdin=None, cwd=None, env=None, prefix=()):
    return subprocess.run([*prefix, sys.executable, "-m", "trawl", *map(os.fsencode, args)],
                          input=stdin, capture_output=True, cwd=cwd, timeout=120, env=env)


def lines(out):
    return [json.loads(line) for line in out.stdout.decode().splitlines()]


def no_dac_override():
    """A command prefix that takes from root the power to read every directory."""
    if os.geteuid() != 0:
        return []
    if not shutil.which("setpriv"):
        pytest.skip("running as root without setpriv")
    return ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]


def test_recursion_filters_and_records_that_name_their_input(tmp_path):
    make_tree(tmp_path)
    out = trawl_cmd("-r", tmp_path, "--ext", "gif", "--only", "gif", "-j", "2")
    assert out.returncode == 0, out.stderr
    records = lines(out)
    assert [r["path"] for r in records] == [str(tmp_path / "a/x.gif"), str(tmp_path / "b/x.gif")]
    assert [r["gif"]["version"] for r in records] == ["89a", "87a"]
    assert all(set(r) == {"path", "gif"} for r in records)


@pytest.mark.parametrize("flags", [[], ["--fast"], ["--only", "jpeg"], ["--ext", "txt"]])
def test_errors_exit_codes_and_directories(tmp_path, flags):
    make_tree(tmp_path)
    out = trawl_cmd(tmp_path / "c.txt", tmp_path / "missing.txt", tmp_path / "a", *flags)
    assert out.returncode == 1
    ok, missing, directory = lines(out)
    assert ok["path"] == str(tmp_path / "c.txt")
    assert missing["error"] == {
        "type": "FileNotFoundError", "code": "ENOENT", "errno": 2,
        "message": f"{tmp_path / 'missing.txt'}: No such file or directory (os error 2)"}
    assert directory["error"]["type"] == "IsADirectoryError"
    assert "use -r" in directory["error"]["message"]
    assert re.fullmatch(r"trawl: 3 files, 1 record, 2 error records, [\d.]+ s, [\d,]+ files/s\n",
                        out.stderr.decode())
    # A failure before a good path still fails the run; -q keeps stderr empty.
    quiet = trawl_cmd(tmp_path / "missing.txt", tmp_path / "c.txt", "-q", *flags)
    assert (quiet.returncode, quiet.stderr) == (1, b"")


@pytest.mark.parametrize("args, says", [
    ([], "no PATH given"),
    (["--jobs", "0", "x"], "--jobs must be from 1 to 1024, not 0"),
    (["-j", "-1", "x"], "--jobs must be from 1 to 1024, not -1"),
    (["-j", "100000", "x"], "--jobs must be from 1 to 1024, not 100000"),
    (["--only", ",", "x"], "--only: no namespace given"),
    (["--files-from", "missing"], "--files-from missing: No such file or directory"),
    (["--files-from", "."], "--files-from .: Is a directory"),
    (["--only", "foo,FILE", "x"], "unknown namespaces 'FILE', 'foo' (known: bmp, elf,"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--dump"], "--dump needs --db FILE"),
    (["--changed", "x"], "--changed needs --db FILE"),
    (["--db", "i.db", "--dump", "x"], "--dump prints the inventory: no PATH"),
    (["--db", "missing.db", "--dump"], "--db missing.db: no such inventory"),
    (["--db", ".", "x"], "--db .: unable to open database file"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, args, says):
    out = trawl_cmd(*args, cwd=tmp_path)
    assert out.returncode == 2 and out.stdout == b""
    assert out.stderr.count(b"\n") == 1 and says in out.stderr.decode()


def test_a_failed_write_exits_3_with_one_line(tmp_path):
    make_tree(tmp_path)
    with open("/dev/full", "wb") as full:
        out = subprocess.run([sys.executable, "-m", "trawl", "-r", str(tmp_path)], stdout=full,
                             stderr=subprocess.PIPE, timeout=120)
    assert out.returncode == 3
    assert out.stderr == b"trawl: cannot write the output: No space left on device\n"


@pytest.mark.parametrize("flags", [["-r", "."], ["-0", "-"], ["-r", ".", "--pretty"],
                                   ["-r", ".", "--format", "json"]])
def test_names_that_are_not_utf8_round_trip_under_any_locale(tmp_path, flags):
    (tmp_path / os.fsdecode(ODD_NAME)).write_text("x")
    (tmp_path / "plain.txt").write_text("y")
    out = trawl_cmd(*flags, stdin=b"./" + ODD_NAME + b"\0./plain.txt\0", cwd=tmp_path,
                    env=C_LOCALE)
    assert out.returncode == 0, out.stderr
    text = out.stdout.decode("utf-8")  # strict: JSON output is UTF-8
    if "--format" in flags:
        records = json.loads(text)
    elif "--pretty" in flags:
        records = [json.loads(t) for t in text.replace("}\n{", "}\0{").split("\0")]
    else:
        records = [json.loads(t) for t in text.splitlines()]
    assert sorted(os.fsencode(r["path"]) for r in records) == [b"./" + ODD_NAME, b"./plain.txt"]


def test_csv_names_spills_and_long_cells(tmp_path):
    (tmp_path / os.fsdecode(ODD_NAME)).write_text("x")
    (tmp_path / "line\rbreak.txt").write_text("yy")  # a row must not split at the CR
    with zipfile.ZipFile(tmp_path / "many.zip", "w") as z:
        for i in range(600):
            z.writestr(f"entry-with-a-long-name-{i:04}.txt", b"")
    out = trawl_cmd("-r", ".", "--format", "csv", "--columns", "file.size_bytes", cwd=tmp_path,
                    env=C_LOCALE)
    assert out.returncode == 0
    rows = list(csv.DictReader(io.StringIO(out.stdout.decode("utf-8"))))
    assert list(rows[0]) == ["path", "path_bytes", "file.size_bytes", "other"]
    odd = next(r for r in rows if r["path_bytes"])
    assert bytes.fromhex(odd["path_bytes"]) == b"./" + ODD_NAME
    assert odd["path"] == "./caf\ufffd \ufffd.txt" and odd["file.size_bytes"] == "1"
    assert max(len(v) for r in rows for v in r.values()) <= 32767
    assert next(r for r in rows if "break" in r["path"])["path"] == "./line\rbreak.txt"
    notes = out.stderr.decode()
    assert "3 of 3 rows have fields beyond the columns" in notes and "--columns" in notes
    assert "1 cells were cut to 32,767 characters" in notes
    whole = trawl_cmd("many.zip", "--format", "csv", "--cell-limit", "0", cwd=tmp_path)
    csv.field_size_limit(1 << 24)
    row, = csv.DictReader(io.StringIO(whole.stdout.decode()))
    assert len(json.loads(row["zip.entries"])) == 600


def test_unreadable_directories_and_linked_roots(tmp_path):
    make_tree(tmp_path)
    (tmp_path / "locked").mkdir()
    (tmp_path / "locked" / "x").write_text("x")
    os.chmod(tmp_path / "locked", 0)
    os.symlink(tmp_path / "b", tmp_path / "link")
    try:
        out = trawl_cmd("-r", tmp_path, prefix=no_dac_override())
    finally:
        os.chmod(tmp_path / "locked", 0o755)
    assert out.returncode == 1
    failed = [r for r in lines(out) if "error" in r]
    assert failed == [{"path": str(tmp_path / "locked"), "error": {
        "type": "PermissionError", "code": "EACCES", "errno": 13,
        "message": f"{tmp_path / 'locked'}: Permission denied (os error 13)"}}]
    linked = [r["path"] for r in lines(trawl_cmd("-r", tmp_path / "link"))]
    assert linked == [str(tmp_path / "link" / "deep" / "e.PDF"), str(tmp_path / "link" / "x.gif")]


@pytest.mark.parametrize("separator", ["\n", "\0"])
def test_paths_from_standard_input_and_from_a_file(tmp_path, separator):
    root = make_tree(tmp_path)
    names = [str(root / "c.txt"), str(root / "a/x.gif")]
    flag = ["-0"] if separator == "\0" else []
    out = trawl_cmd(*flag, "-", "--fast", stdin=separator.join(names).encode())
    assert [r["path"] for r in lines(out)] == names
    assert "sha256" not in lines(out)[0]["file"]
    listing = tmp_path / "list"
    listing.write_text(separator.join(names))
    out = trawl_cmd(*flag, "--files-from", listing)
    assert [r["path"] for r in lines(out)] == names


def test_json_and_csv_shapes(tmp_path):
    root = make_tree(tmp_path)
    records = lines(trawl_cmd("-r", root))
    array = json.loads(trawl_cmd("-r", root, "--format", "json").stdout)
    assert array == records
    by_path = lambda r: r["path"]  # noqa: E731
    unordered = lines(trawl_cmd("-r", root, "-j", "3", "--unordered"))
    assert sorted(unordered, key=by_path) == sorted(records, key=by_path)
    assert json.loads(trawl_cmd(root / "none", "--format", "json").stdout)[0]["error"]
    pretty = trawl_cmd(root / "c.txt", "--pretty").stdout.decode()
    assert pretty.startswith("{\n  ") and json.loads(pretty) == records[-1]
    table = list(csv.DictReader(io.StringIO(trawl_cmd("-r", root, "--format", "csv")
                                            .stdout.decode())))
    assert [row["path"] for row in table] == [r["path"] for r in records]
    assert table[0]["gif.version"] == "89a" and table[0]["file.size_bytes"] == "14"
    assert table[-1]["gif.version"] == ""


def test_paths_from_a_pipe_are_parsed_as_they_arrive(tmp_path):
    make_tree(tmp_path)
    child = subprocess.Popen([sys.executable, "-m", "trawl", "-j", "2", "-"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        for name in ("c.txt", "a/x.gif"):
            child.stdin.write(f"{tmp_path / name}\n".encode())
            child.stdin.flush()
            assert json.loads(child.stdout.readline())["path"] == str(tmp_path / name)
    finally:
        child.stdin.close()
        child.wait(timeout=10)


def test_closed_pipe_ends_quietly(tmp_path):
    for i in range(2000):
        (tmp_path / f"{i}.txt").write_text(str(i))
    shell = f"{sys.executable} -m trawl -r {tmp_path} | head -n 1"
    out = subprocess.run(["bash", "-c", shell], capture_output=True, timeout=120)
    assert out.stderr == b""
    assert len(out.stdout.splitlines()) == 1


def test_ctrl_c_ends_with_130_and_no_traceback(tmp_path):
    (fifo,), (writer,) = endless_inputs(tmp_path, 1)  # the parse waits for data
    try:
        child = subprocess.Popen([sys.executable, "-m", "trawl", fifo],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        os.close(writer)
    assert child.returncode == 130
    assert b"Traceback" not in err
