"""Tables, files and the value store, measured side by side in one run:

1. a table of ROWS rows x 4 columns made by one asset and summed by a downstream, with
   the parquet and with the arrow serializer (``tevra run -j 1``), against a plain
   script that writes the same table to the same format with pyarrow and reads it back:
   wall time and peak memory (the largest process), with the goals (<= 1.3x the time,
   <= 1.5x the memory). Each is measured REPEAT times, tevra and the plain script in
   turn, and the median is shown: on a shared machine one measure may be off by half;
2. the json serializer on JSON_ROWS rows of the same shape, for scale;
3. a no-op re-run of a pipeline whose source is a folder of SOURCE_MB of files, against
   discovery alone (``tevra list``): the goal is <= 0.2 s beyond discovery.

The state directories are on disk (under --dir, default the working directory), never
tmpfs. Usage: python bench/tables_bench.py [--rows N] [--repeat N] [--json-rows N]
[--source-mb N] [--dir DIR] [--formats F,F] [--only-tables] [--against PYTHON_DIR]
(with the tevra package, its engine and pyarrow importable). ``--against`` measures
the tevra of another checkout's ``python/`` directory too, in turn with this one's
(which goes first alternates), so that a change is compared on equal terms while the
machine's speed drifts.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

PYTHON_DIR = Path(__file__).resolve().parents[1] / "python"

PIPELINE = """\
import numpy as np
import pyarrow as pa
from tevra import asset

ROWS = {rows}

@asset(serializer="{fmt}")
def table() -> pa.Table:
    rng = np.random.default_rng(7)
    return pa.table({{"id": np.arange(ROWS), "a": rng.random(ROWS),
                      "b": rng.integers(0, 1000, ROWS), "c": rng.random(ROWS)}})

@asset(inputs={{"t": table}})
def total(t: pa.Table) -> float:
    return float(pa.compute.sum(t.column("a")).as_py() + pa.compute.sum(t.column("c")).as_py())
"""

JSON_PIPELINE = """\
import random
from tevra import asset

ROWS = {rows}

@asset()
def table() -> list:
    rng = random.Random(7)
    return [{{"id": i, "a": rng.random(), "b": rng.randrange(1000), "c": rng.random()}}
            for i in range(ROWS)]

@asset(inputs={{"t": table}})
def total(t: list) -> float:
    return sum(r["a"] + r["c"] for r in t)
"""

PLAIN = """\
import sys, time, resource
import numpy as np
import pyarrow as pa
import pyarrow.compute
import pyarrow.parquet as pq

rows, fmt, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
t0 = time.perf_counter()
rng = np.random.default_rng(7)
table = pa.table({"id": np.arange(rows), "a": rng.random(rows),
                  "b": rng.integers(0, 1000, rows), "c": rng.random(rows)})
if fmt == "parquet":
    pq.write_table(table, path)
    del table
    back = pq.read_table(path)
else:
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, table.schema) as w:
        w.write_table(table)
    del table
    back = pa.ipc.open_file(pa.memory_map(path)).read_all()
total = pa.compute.sum(back.column("a")).as_py() + pa.compute.sum(back.column("c")).as_py()
print(time.perf_counter() - t0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""

SOURCE = """\
from tevra import asset, file_source

@asset(inputs={"files": file_source("inbox")})
def count(files: str) -> int:
    import os
    return sum(len(names) for _, _, names in os.walk(files))
"""

# Run in a fresh interpreter: the largest resident set of it and every process it
# waited for (the tevra command and its workers).
MEASURED = """\
import resource, subprocess, sys, time
t0 = time.perf_counter()
code = subprocess.run(sys.argv[2:], cwd=sys.argv[1], stdout=subprocess.DEVNULL).returncode
took = time.perf_counter() - t0
peak = max(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss,
           resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
print(took, peak, code)
"""


def env(python_dir: Path = PYTHON_DIR) -> dict[str, str]:
    out = dict(os.environ)
    out["PYTHONPATH"] = os.pathsep.join([str(python_dir), out.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    out.pop("TEVRA_HOME", None)
    return out


def measured(cwd: str, *argv: str, python_dir: Path = PYTHON_DIR) -> tuple[float, int]:
    """(seconds, peak resident KiB) of a command and everything it started. What earlier
    measures left to write back is written first: a gigabyte of it pending throttles
    the writes of whichever command comes next, by a second and more."""
    os.sync()
    out = subprocess.run([sys.executable, "-c", MEASURED, cwd, *argv], env=env(python_dir),
                         capture_output=True, text=True, check=True).stdout.split()
    assert out[2] == "0", f"{argv} failed"
    return float(out[0]), int(out[1])


def tevra(cwd: str, *args: str, python_dir: Path = PYTHON_DIR) -> tuple[float, int]:
    return measured(cwd, sys.executable, "-m", "tevra", *args, python_dir=python_dir)


def project(root: str, name: str, source: str) -> str:
    path = os.path.join(root, name)
    os.makedirs(path)
    Path(path, "pipe.py").write_text(textwrap.dedent(source))
    return path


def tables(root: str, rows: int, repeat: int, formats: list[str],
           against: Path | None = None) -> None:
    print(f"1. a table of {rows:,} rows x 4 columns made and summed downstream (tevra run -j 1), "
          f"median of {repeat}")
    width = 18 if against else 8
    print(f"   {'format':<{width}} {'tevra s':>8} {'plain s':>8} {'ratio':>6} {'tevra MiB':>10} "
          f"{'plain MiB':>10} {'ratio':>6}   goals <= 1.3 and <= 1.5")
    for fmt in formats:
        tevras, plains, others = [], [], []
        if against:
            # Each once unmeasured first: the first of all would otherwise be the one
            # that pays for cold caches, always the same one.
            where = project(root, f"{fmt}-warm-up", PIPELINE.format(rows=rows, fmt=fmt))
            for python_dir in (PYTHON_DIR, against):
                shutil.rmtree(os.path.join(where, ".tevra"), ignore_errors=True)
                tevra(where, "run", "--plain", "-j", "1", "pipe", python_dir=python_dir)
            shutil.rmtree(where)
        for i in range(repeat):
            where = project(root, f"{fmt}-{i}", PIPELINE.format(rows=rows, fmt=fmt))
            turns = [(PYTHON_DIR, tevras)] + ([(against, others)] if against else [])
            for python_dir, into in turns[::-1] if i % 2 else turns:
                shutil.rmtree(os.path.join(where, ".tevra"), ignore_errors=True)
                into.append(tevra(where, "run", "--plain", "-j", "1", "pipe",
                                  python_dir=python_dir))
            shutil.rmtree(where)
            plain_file = os.path.join(root, f"plain-{i}.{fmt}")
            os.sync()  # as ``measured`` does
            out = subprocess.run([sys.executable, "-c", PLAIN, str(rows), fmt, plain_file],
                                 env=env(), capture_output=True, text=True,
                                 check=True).stdout.split()
            os.unlink(plain_file)
            # The plain script's time counts from its first line; the interpreter's start
            # and imports are added from a separate measure of them.
            start, _ = measured(root, sys.executable, "-c",
                                "import numpy, pyarrow, pyarrow.parquet")
            plains.append((float(out[0]) + start, int(out[1])))
        plain_took, plain_peak = (statistics.median(x) for x in zip(*plains))
        for label, runs in [(fmt, tevras)] + ([(f"{fmt} (against)", others)] if against else []):
            took, peak = (statistics.median(x) for x in zip(*runs))
            print(f"   {label:<{width}} {took:>8.2f} {plain_took:>8.2f} {took / plain_took:>6.2f} "
                  f"{peak / 1024:>10.0f} {plain_peak / 1024:>10.0f} {peak / plain_peak:>6.2f}"
                  f"   (tevra {' '.join(f'{t:.2f}' for t, _ in runs)}; "
                  f"plain {' '.join(f'{t:.2f}' for t, _ in plains)})")
        if against:
            print(f"   {against}: {statistics.median(t for t, _ in others):.2f} s against "
                  f"{statistics.median(t for t, _ in tevras):.2f} s here")


def json_scale(root: str, rows: int) -> None:
    where = project(root, "json", JSON_PIPELINE.format(rows=rows))
    took, peak = tevra(where, "run", "--plain", "-j", "1", "pipe")
    print(f"2. json serializer, {rows:,} rows x 4 columns: {took:.2f} s, peak {peak / 1024:.0f} MiB")


def source_noop(root: str, megabytes: int) -> None:
    where = project(root, "source", SOURCE)
    inbox = Path(where, "inbox")
    inbox.mkdir()
    chunk = os.urandom(1 << 20)
    files = max(1, megabytes // 5)
    for i in range(files):
        with open(inbox / f"part-{i:04d}.bin", "wb") as f:
            for _ in range(megabytes // files):
                f.write(chunk)
    time.sleep(2.1)  # older than the stat cache's window for a stamp taken within a tick
    first, _ = tevra(where, "run", "--plain", "pipe")
    noop = min(tevra(where, "run", "--plain", "pipe")[0] for _ in range(3))
    listing = min(tevra(where, "list", "pipe")[0] for _ in range(3))
    print(f"3. a folder source of {megabytes} MB in {files} files: first run {first:.2f} s "
          f"(hashing it), no-op re-run {noop:.3f} s, discovery alone (tevra list) "
          f"{listing:.3f} s: {noop - listing:+.3f} s beyond discovery (goal <= 0.2)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json-rows", type=int, default=1_000_000)
    parser.add_argument("--source-mb", type=int, default=1000)
    parser.add_argument("--dir", default=".")
    parser.add_argument("--formats", default="parquet,arrow",
                        help="the serializers of the first measure, comma-separated")
    parser.add_argument("--only-tables", action="store_true", help="the first measure alone")
    parser.add_argument("--against", type=Path, metavar="PYTHON_DIR",
                        help="also measure the tevra of this python/ directory, in turn")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="tevra-tables-bench-", dir=args.dir)
    try:
        tables(root, args.rows, args.repeat, args.formats.split(","), args.against)
        if not args.only_tables:
            json_scale(root, args.json_rows)
            source_noop(root, args.source_mb)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
