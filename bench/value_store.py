"""Small values: a file in the value store or a row in the run history?

Stores N distinct values of each size both ways, on the disk of ``--dir`` (default: a
temporary directory under the working directory, so not tmpfs), and prints the bytes
on disk per value and the time per value side by side. The store's INLINE_LIMIT
follows from these figures.

    python bench/value_store.py [-n 20000] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import shutil
import sqlite3
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from tevra.values import ValueStore, hash_bytes, make_scratch  # noqa: E402

SIZES = (16, 256, 1024, 2048, 4096, 16384)


def disk_bytes(path: str) -> int:
    total = 0
    for folder, dirs, files in os.walk(path):
        total += os.lstat(folder).st_blocks * 512
        for name in files:
            total += os.lstat(os.path.join(folder, name)).st_blocks * 512
    return total


def values(n: int, size: int) -> list[bytes]:
    return [(b"%08d" % i) * (size // 8) + b"x" * (size % 8) for i in range(n)]


def as_files(root: str, data: list[bytes]) -> tuple[float, int]:
    store = ValueStore(f"{root}/values")
    scratch = make_scratch(root, "w")
    started = time.perf_counter()
    for value in data:
        path = f"{scratch}/value.json"
        with open(path, "wb") as f:
            f.write(value)
        store.put(path)
    os.sync()
    return time.perf_counter() - started, disk_bytes(f"{root}/values")


def inline(root: str, data: list[bytes]) -> tuple[float, int]:
    db = sqlite3.connect(f"{root}/runs.db", isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    db.execute("CREATE TABLE blobs (id INTEGER PRIMARY KEY, hash BLOB UNIQUE NOT NULL, "
               "data BLOB NOT NULL)")
    started = time.perf_counter()
    for i in range(0, len(data), 500):  # the orchestrator commits in batches
        db.execute("BEGIN")
        db.executemany("INSERT OR IGNORE INTO blobs (hash, data) VALUES (?, ?)",
                       [(bytes.fromhex(hash_bytes(v)), v) for v in data[i:i + 500]])
        db.execute("COMMIT")
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    os.sync()
    return time.perf_counter() - started, disk_bytes(root) - os.lstat(root).st_blocks * 512


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=20_000)
    parser.add_argument("--dir", default=".")
    args = parser.parse_args()
    print(f"{args.n} distinct values per size; bytes on disk and microseconds per value")
    print(f"{'size':>6} {'file bytes':>11} {'inline bytes':>13} {'file us':>8} {'inline us':>10}")
    for size in SIZES:
        data = values(args.n, size)
        figures = []
        for way in (as_files, inline):
            root = tempfile.mkdtemp(dir=args.dir, prefix="tevra-bench-")
            try:
                figures.append(way(root, data))
            finally:
                shutil.rmtree(root)
        (ft, fb), (it, ib) = figures
        print(f"{size:>6} {fb / args.n:>11.0f} {ib / args.n:>13.0f} "
              f"{ft / args.n * 1e6:>8.1f} {it / args.n * 1e6:>10.1f}")


if __name__ == "__main__":
    main()
