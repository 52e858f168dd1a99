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
import resource
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
ROUNDS = 3


# As installed: compiled bytecode is kept.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def seconds(*args):
    """Wall-clock and CPU seconds (user and system, all threads) of one run. On a shared
    machine the CPU figure is the steadier one: a one-thread re-scan gets a smaller share of
    busy cores than a scan whose threads parse."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "trawl", "--no-progress", "-q", "-j", "2", *args],
                   check=False, stdout=subprocess.DEVNULL, env=ENV)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def remove(db):
    for suffix in ("", "-wal", "-shm", "-journal", "-lock"):
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
        seconds("-r", tree)  # warm the page cache and the directory cache
        time.sleep(2.5)  # older than a timestamp tick: the first scan's records are trusted
        # Rounds of the three runs, so that the load of the machine weighs on each alike.
        rounds = []
        for _ in range(ROUNDS):
            remove(db)
            plain = seconds("-r", tree)
            first = seconds("-r", tree, "--db", db)
            again = min(seconds("-r", tree, "--db", db) for _ in range(2))
            rounds.append((plain, first, again))
        for i, kind in enumerate(("wall-clock", "CPU")):
            plain, first, again = (statistics.median(r[j][i] for r in rounds) for j in range(3))
            ratio = statistics.median(f[i] / p[i] for p, f, _ in rounds)
            speedup = statistics.median(f[i] / a[i] for _, f, a in rounds)
            print(f"{kind}:\n(a) first scan {first:.2f} s, trawl -r {plain:.2f} s: {ratio:.2f} x "
                  "(target <= 1.3)", flush=True)
            print(f"(b) unchanged re-scan {again:.3f} s ({again / COUNT * 1e6:.1f} us per "
                  f"file): {speedup:.1f} x faster than the first (target >= 10)", flush=True)
        again = statistics.median(r[2][0] for r in rounds)
        changed = []
        for i in range(0, COUNT, 100):
            name = os.path.join(tree, f"{i // 1000:03d}", f"{i}a.jpg")
            with open(name, "ab") as f:
                f.write(b"\0")
            changed.append(name)
        one = seconds("-r", tree, "--db", db)[0]
        print(f"(c) re-scan with {len(changed):,} files changed: {one:.2f} s", flush=True)
        size = database_bytes(db)
        with sqlite3.connect(db) as connection:
            body, paths = connection.execute(
                "SELECT avg(length(body)), (SELECT avg(length(path)) FROM files) FROM records"
            ).fetchone()
            try:  # where SQLite has its page statistics
                narrow, stamps = (connection.execute(
                    "SELECT sum(pgsize) FROM dbstat WHERE name = ?", (name,)).fetchone()[0]
                    for name in ("files", "dirs"))
            except sqlite3.Error:
                narrow = stamps = None
        columns, width = as_columns(db, os.path.join(tmp, "columns.db"))
        per = size / COUNT
        print(f"(d) {size / 1e6:.1f} MB, {per:.0f} bytes per record (JSON text {body:.0f} bytes, "
              f"path {paths:.0f}; the files table "
              f"{'?' if narrow is None else f'{narrow / COUNT:.0f}'} bytes per file, the dirs "
              f"table a re-scan reads {'?' if stamps is None else f'{stamps / COUNT:.0f}'}); as "
              f"{width} columns instead: {columns / COUNT:.0f} bytes per record", flush=True)
        print(f"    100 million such files: {per * 1e8 / 1e9:.0f} GB; an unchanged re-scan "
              f"{again / COUNT * 1e8 / 60:.0f} min with the metadata in memory")
        with sqlite3.connect(db) as connection:
            check = connection.execute("PRAGMA integrity_check").fetchone()[0]
        print(f"    integrity_check: {check}")

if __name__ == "__main__":
    main()
