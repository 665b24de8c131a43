"""A million partitions on one machine, each figure printed beside its goal:

1. first run of a SIDE x SIDE asset and a downstream gathering one dimension
   (SIDE^2 + SIDE runs, -j 2, state on disk): time, runs/s, the orchestrator's peak RSS;
2. a no-op re-run of it: time, peak RSS, what the database grew by;
3. ``tevra status`` over it: time, peak RSS;
4. the state directory's bytes per run, database included;
5. the pool on 2,000 trivial runs with the state on disk and on tmpfs (/dev/shm);
6. planning alone over 10^7 combinations of three dimensions: time and peak memory.

Usage: python bench/scale_bench.py [--scale F] [--skip-plan]
(with tevra importable; --scale 0.1 is a quick 10^5 version: SIDE = 1000 * sqrt(F)).
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

GRID = """\
from tevra import asset, partitions

A = partitions(list(range({side})))
B = partitions(list(range({side})))

@asset(partitions={{"a": A, "b": B}})
def cell(a, b):
    return a + b

@asset(inputs={{"cells": cell}}, partitions={{"a": A}})
def row(cells, a):
    return len(cells)
"""

TRIVIAL = """\
from tevra import asset, partitions

@asset(partitions={{"i": partitions(list(range({n})))}})
def trivial(i):
    return i
"""

MB = 1 << 20

# As a user's shell has it: compiled modules cached, output buffered.
ENV = {k: v for k, v in os.environ.items()
       if k not in ("PYTHONUNBUFFERED", "PYTHONDONTWRITEBYTECODE")}


def rss_of(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def tevra(project: Path, *args: str, env: dict[str, str] | None = None) -> tuple[float, int, str]:
    """Runs the command; its wall time, the orchestrator's peak RSS (sampled) and output."""
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "tevra", *args], cwd=project,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**ENV, **(env or {})})
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.wait(0.05):
            peak = max(peak, rss_of(proc.pid))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    out, err = proc.communicate()
    took = time.perf_counter() - start
    done.set()
    sampler.join()
    if proc.returncode not in (0,):
        sys.exit(f"tevra {' '.join(args)} failed ({proc.returncode}):\n{err[-3000:]}{out[-2000:]}")
    return took, peak, out


def du(path: Path) -> int:
    total = 0
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            total += os.lstat(os.path.join(root, name)).st_blocks * 512
    return total


def row(label: str, figure: str, goal: str) -> None:
    print(f"  {label:<34} {figure:>28}   goal {goal}")


def million(side: int, base: Path) -> None:
    runs = side * side + side
    project = base / "grid"
    project.mkdir()
    (project / "grid_assets.py").write_text(GRID.format(side=side))
    print(f"{side} x {side} partitions and a gathering downstream: {runs} runs, state on disk")
    took, peak, _ = tevra(project, "run", "grid_assets", "--plain", "-j", "2")
    row("first run", f"{took:.1f} s, {runs / took:.0f} runs/s", "<= 300 s at 10^6")
    row("  orchestrator peak RSS", f"{peak / MB:.0f} MiB", "<= 300 MB, flat")
    state = project / ".tevra"
    db_before = sum(p.stat().st_size for p in state.glob("runs.db*"))
    disk = du(state)
    row("state directory", f"{disk / runs:.0f} bytes/run", "<= 400 bytes/run")
    took, peak, out = tevra(project, "run", "grid_assets", "--plain", "-j", "2")
    db_after = sum(p.stat().st_size for p in state.glob("runs.db*"))
    row("no-op re-run", f"{took:.2f} s", "<= 5 s")
    row("  orchestrator peak RSS", f"{peak / MB:.0f} MiB", "<= 300 MB")
    row("  database growth", f"{(db_after - db_before) / 1024:.0f} KiB", "a summary, not a row each")
    took, peak, _ = tevra(project, "status", "grid_assets")
    row("status", f"{took:.2f} s", "<= 3 s")
    row("  peak RSS", f"{peak / MB:.0f} MiB", "<= 300 MB")


def pool(base: Path, n: int = 2000, rounds: int = 5) -> None:
    print(f"the pool, {n} trivial runs, -j 2")
    projects = {where: Path(tempfile.mkdtemp(prefix="tevra-scale-pool-", dir=root))
                for where, root in (("disk", base), ("tmpfs", Path("/dev/shm")))}
    rates = dict.fromkeys(projects, 0.0)
    try:
        for project in projects.values():
            (project / "trivial_assets.py").write_text(TRIVIAL.format(n=n))
        # Disk and tmpfs in turn, so that the machine's drift meets both alike; what the
        # previous round left to write back is on the disk before the next starts.
        for _ in range(rounds):
            for where, project in projects.items():
                shutil.rmtree(project / ".tevra", ignore_errors=True)
                os.sync()
                took, _, _ = tevra(project, "run", "trivial_assets", "--plain", "-j", "2")
                rates[where] = max(rates[where], n / took)
    finally:
        for project in projects.values():
            shutil.rmtree(project, ignore_errors=True)
    row(f"state on disk (best of {rounds})", f"{rates['disk']:.0f} runs/s", ">= 2,000 runs/s")
    row(f"state on tmpfs (best of {rounds})", f"{rates['tmpfs']:.0f} runs/s", "")
    row("disk / tmpfs", f"{rates['disk'] / rates['tmpfs']:.2f}", ">= 0.8")


PLAN = """\
import resource, sys, time
from tevra.graph import build
from tevra.plan import Options, Plan
dims = {"x": list(range(%d)), "y": list(range(%d)), "z": list(range(%d))}
import json
source = "def big(x, y, z):\\n    return 1\\n"
record = {"module_path": "m", "function_name": "big", "file_path": "/p/m.py",
          "function_source": source, "module_source": source, "return_type": None,
          "decorator_metadata": {"name": None, "inputs": {}, "partitions":
              {d: {"values_json": json.dumps(v)} for d, v in dims.items()}}}
start = time.perf_counter()
graph = build([record], "3.13.0")
plan = Plan(graph, Options(selection=[], partition_filters={}))
plan.build()
counts = {}
for _, verdict, _ in plan.preview():
    counts[verdict] = counts.get(verdict, 0) + 1
print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, counts)
"""


def planning(total: int) -> None:
    side = round(total ** (1 / 3))
    proc = subprocess.run([sys.executable, "-c", PLAN % (side, side, side)],
                          capture_output=True, text=True, env=ENV)
    if proc.returncode != 0:
        row(f"planning {side ** 3} combinations", "failed", "<= 30 s, <= 2 GB")
        print(proc.stderr[-1500:])
        return
    took, peak, _ = proc.stdout.split(" ", 2)
    row(f"planning {side ** 3} combinations", f"{float(took):.1f} s, {int(peak) / MB:.0f} MiB",
        "<= 30 s, <= 2 GB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="fraction of the 10^6 runs (0.1: a quick 10^5 version)")
    parser.add_argument("--skip-plan", action="store_true", help="leave out planning 10^7")
    args = parser.parse_args()
    side = max(2, round(1000 * math.sqrt(args.scale)))
    base = Path(tempfile.mkdtemp(prefix="tevra-scale-", dir=os.environ.get("TEVRA_BENCH_DIR")))
    try:
        # The pool first: measured right after the big run, it would share the disk with
        # the writeback of that run's gigabyte of state (0.69 of tmpfs against 0.91-0.96).
        pool(base)
        million(side, base)
        if not args.skip_plan:
            planning(round(10_000_000 * args.scale))
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
