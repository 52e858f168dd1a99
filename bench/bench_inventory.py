"""The inventory (trawl --db) over 100,000 small files, as ratios within one run:

(a) the first scan into a new database over `trawl -r` without one (target <= 1.3);
(b) the first scan over a re-scan of the unchanged tree, which only stats (target >= 10);
(c) a re-scan after 1% of the files changed;
(d) database bytes per record (after a checkpoint), the same records as columns instead of
    JSON text, and the projection to 100 million files.

Run with the package importable: PYTHONPATH=build/python python bench/bench_inventory.py
"""

import json
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from bench_collections import make_tree  # noqa: E402

import trawl  # noqa: E402

COUNT = 100_000


def seconds(*args, repeat=3, before=None):
    times = []
    for _ in range(repeat):
        if before is not None:
            before()
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "trawl", "--no-progress", "-q", "-j", "2", *args],
                       check=False, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def remove(db):
    for suffix in ("", "-wal", "-shm", "-lock"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)


def database_bytes(db):
    with sqlite3.connect(db) as connection:
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return os.path.getsize(db)


def as_columns(db, target):
    """The inventory's records as one table with a column per dotted key (the keys of these
    records): the other way to store them."""
    with trawl.Inventory(db) as inventory:
        rows = [trawl.flatten(rec) for rec in inventory]
    columns = sorted({k for row in rows for k in row})
    with sqlite3.connect(target) as out:
        names = ", ".join(f'"{c}"' for c in columns)
        out.execute(f"CREATE TABLE files ({names}, PRIMARY KEY (path)) WITHOUT ROWID")
        out.executemany(f"INSERT INTO files VALUES ({', '.join('?' * len(columns))})",
                        ([os.fsencode(row["path"]) if c == "path" else row.get(c)
                          for c in columns] for row in rows))
    return os.path.getsize(target), len(columns)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "tree")
        db = os.path.join(tmp, "inventory.db")
        make_tree(tree, COUNT)
        seconds("-r", tree, repeat=1)  # warm the page cache and the directory cache
        time.sleep(2.5)  # older than a timestamp tick: the first scan's records are trusted
        plain = seconds("-r", tree)
        first = seconds("-r", tree, "--db", db, before=lambda: remove(db))
        print(f"(a) first scan {first:.2f} s, trawl -r {plain:.2f} s: {first / plain:.2f} x "
              "(target <= 1.3)", flush=True)
        again = seconds("-r", tree, "--db", db, repeat=5)
        print(f"(b) unchanged re-scan {again:.3f} s ({again / COUNT * 1e6:.1f} us per file): "
              f"{first / again:.1f} x faster than the first (target >= 10)", flush=True)
        changed = []
        for i in range(0, COUNT, 100):
            name = os.path.join(tree, f"{i // 1000:03d}", f"{i}a.jpg")
            with open(name, "ab") as f:
                f.write(b"\0")
            changed.append(name)
        time.sleep(2.5)
        one = seconds("-r", tree, "--db", db, repeat=1)
        print(f"(c) re-scan with {len(changed):,} files changed: {one:.2f} s", flush=True)
        size = database_bytes(db)
        with sqlite3.connect(db) as connection:
            body, paths = connection.execute(
                "SELECT avg(length(body)), (SELECT avg(length(path)) FROM files) FROM records"
            ).fetchone()
        columns, width = as_columns(db, os.path.join(tmp, "columns.db"))
        per = size / COUNT
        print(f"(d) {size / 1e6:.1f} MB, {per:.0f} bytes per record (JSON text {body:.0f} bytes, "
              f"path {paths:.0f}); as {width} columns instead: {columns / COUNT:.0f} bytes per "
              f"record", flush=True)
        print(f"    100 million such files: {per * 1e8 / 1e9:.0f} GB; an unchanged re-scan "
              f"{again / COUNT * 1e8 / 60:.0f} min with the metadata in memory")
        with sqlite3.connect(db) as connection:
            check = connection.execute("PRAGMA integrity_check").fetchone()[0]
        print(f"    integrity_check: {check}; records dumped: "
              f"{len(json.loads(subprocess.run([sys.executable, '-m', 'trawl', '--db', db, '--dump', '--format', 'json', '-q'], capture_output=True, check=True).stdout)):,}")


if __name__ == "__main__":
    main()
