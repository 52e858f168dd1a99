"""The trawl command end to end, in a subprocess."""

import csv
import io
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from test_batch import make_tree


def trawl_cmd(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "trawl", *map(str, args)], input=stdin,
                          capture_output=True, cwd=cwd, timeout=120)


def lines(out):
    return [json.loads(line) for line in out.stdout.decode().splitlines()]


def test_recursion_filters_and_records_that_name_their_input(tmp_path):
    make_tree(tmp_path)
    out = trawl_cmd("-r", tmp_path, "--ext", "gif", "--only", "gif", "-j", "2")
    assert out.returncode == 0, out.stderr
    records = lines(out)
    assert [r["path"] for r in records] == [str(tmp_path / "a/x.gif"), str(tmp_path / "b/x.gif")]
    assert [r["gif"]["version"] for r in records] == ["89a", "87a"]
    assert all(set(r) == {"path", "gif"} for r in records)


def test_errors_exit_codes_and_directories(tmp_path):
    make_tree(tmp_path)
    out = trawl_cmd(tmp_path / "c.txt", tmp_path / "missing", tmp_path / "a")
    assert out.returncode == 1
    ok, missing, directory = lines(out)
    assert ok["path"] == str(tmp_path / "c.txt") and ok["file"]["size_bytes"] == 5
    assert missing["error"]["type"] == "OSError"
    assert "No such file or directory" in missing["error"]["message"]
    assert "use -r" in directory["error"]["message"]
    assert trawl_cmd("--jobs", "0", tmp_path).returncode == 2
    assert trawl_cmd().returncode == 2
    assert trawl_cmd("--version").stdout.decode().startswith("trawl ")
    assert b"--files-from" in trawl_cmd("--help").stdout


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
    assert json.loads(trawl_cmd(root / "none", "--format", "json").stdout)[0]["error"]
    pretty = trawl_cmd(root / "c.txt", "--pretty").stdout.decode()
    assert pretty.startswith("{\n  ") and json.loads(pretty) == records[-1]
    table = list(csv.DictReader(io.StringIO(trawl_cmd("-r", root, "--format", "csv")
                                            .stdout.decode())))
    assert [row["path"] for row in table] == [r["path"] for r in records]
    assert table[0]["gif.version"] == "89a" and table[0]["file.size_bytes"] == "14"
    assert table[-1]["gif.version"] == ""


def test_unordered_gives_the_same_records(tmp_path):
    root = make_tree(tmp_path)
    ordered = lines(trawl_cmd("-r", root, "-j", "3"))
    unordered = lines(trawl_cmd("-r", root, "-j", "3", "--unordered"))
    key = lambda r: r["path"]  # noqa: E731
    assert sorted(unordered, key=key) == sorted(ordered, key=key)


def test_closed_pipe_ends_quietly(tmp_path):
    for i in range(2000):
        (tmp_path / f"{i}.txt").write_text(str(i))
    shell = f"{sys.executable} -m trawl -r {tmp_path} | head -n 1"
    out = subprocess.run(["bash", "-c", shell], capture_output=True, timeout=120)
    assert out.stderr == b""
    assert len(out.stdout.splitlines()) == 1


def test_ctrl_c_ends_with_130_and_no_traceback(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # an endless input: the parse waits for data
    try:
        child = subprocess.Popen([sys.executable, "-m", "trawl", str(fifo)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        os.close(writer)
    assert child.returncode == 130
    assert b"Traceback" not in err
