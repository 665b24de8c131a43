"""Orchestrator benchmarks, measured side by side in one run:

1. throughput of N trivial partition runs: the pool (-j 2), --isolate, and the limit,
   a plain loop calling _tevra.materialize_asset N times in one process;
2. a no-op re-run of 100 x 100 up-to-date partitions, timed after discovery;
3. planning 100,000 partition combinations over three dimensions: time and peak memory;
4. the orchestrator's resident memory over 100,000 runs (--long only).

Usage: python bench/orchestrator/run_bench.py [--runs N] [--isolate-runs N] [--long]
(with the tevra package and its engine importable).
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

TRIVIAL = """\
from tevra import asset, partitions

@asset(partitions={{"i": partitions(list(range({n})))}})
def trivial(i):
    return i
"""

GRID = """\
from tevra import asset, partitions

@asset(partitions={{"a": partitions(list(range({a}))), "b": partitions(list(range({b})))}})
def grid(a, b):
    return a * b
"""


def tevra(project: Path, *args: str) -> tuple[float, str]:
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "tevra", *args], cwd=project,
                          capture_output=True, text=True)
    took = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"tevra {' '.join(args)} failed:\n{proc.stderr}{proc.stdout[-2000:]}")
    return took, proc.stdout


def project_with(source: str) -> Path:
    root = Path(tempfile.mkdtemp(prefix="tevra-bench-"))
    (root / "bench_assets.py").write_text(source)
    return root


def throughput(runs: int, isolate_runs: int) -> None:
    print(f"1. throughput of trivial partition runs (end to end, discovery included)")
    pool_project = project_with(TRIVIAL.format(n=runs))
    took, _ = tevra(pool_project, "run", "bench_assets", "--plain", "-j", "2")
    pool_rate = runs / took
    print(f"   pool -j 2      {runs:>6} runs  {took:7.2f} s  {pool_rate:8.0f} runs/s")

    iso_project = project_with(TRIVIAL.format(n=isolate_runs))
    took, _ = tevra(iso_project, "run", "bench_assets", "--plain", "-j", "2", "--isolate")
    iso_rate = isolate_runs / took
    print(f"   --isolate -j 2 {isolate_runs:>6} runs  {took:7.2f} s  {iso_rate:8.0f} runs/s")

    loop_dir = Path(tempfile.mkdtemp(prefix="tevra-bench-loop-"))
    code = (
        "import sys, time, _tevra\n"
        f"sys.path.insert(0, {str(pool_project)!r})\n"
        "start = time.perf_counter()\n"
        f"for i in range({runs}):\n"
        f"    _tevra.materialize_asset('bench_assets', 'trivial', {str(loop_dir)!r} + f'/{{i}}', "
        "'{\"i\": %d}' % i)\n"
        "print(time.perf_counter() - start)\n"
    )
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    loop_took = time.perf_counter() - start
    inner = float(out.stdout)
    print(f"   plain loop     {runs:>6} runs  {loop_took:7.2f} s  {runs / loop_took:8.0f} runs/s"
          f"  (loop alone {inner:.2f} s, {runs / inner:.0f} runs/s)")
    print(f"   pool / isolate = {pool_rate / iso_rate:.1f}x   pool / plain loop = "
          f"{pool_rate / (runs / loop_took):.2f}")
    for d in (pool_project, iso_project, loop_dir):
        shutil.rmtree(d, ignore_errors=True)


def noop_rerun() -> None:
    print("2. no-op re-run of 100 x 100 up-to-date partitions")
    project = project_with(GRID.format(a=100, b=100))
    took, _ = tevra(project, "run", "bench_assets", "--plain", "-j", "2")
    print(f"   first run      10000 runs  {took:7.2f} s")
    # Time the phases in-process: discovery apart from checking and skipping.
    code = (
        "import time, sys\n"
        "from tevra.discover import inspect\n"
        "from tevra.graph import build\n"
        "from tevra.plan import Options, Plan\n"
        "from tevra.runner import Runner, Reporter\n"
        "from tevra.store import Store, state_dir\n"
        "t0 = time.perf_counter()\n"
        "found = inspect(['bench_assets'], '.')\n"
        "t1 = time.perf_counter()\n"
        "graph = build(found.records, found.python_version)\n"
        "store = Store(state_dir(None))\n"
        "with store.writer(['bench']):\n"
        "    plan = Plan(graph, Options([], {}), store)\n"
        "    plan.build()\n"
        "    summary = Runner(plan, store, lambda: sys.exit('a run was started'), Reporter()).run()\n"
        "store.close()\n"
        "t2 = time.perf_counter()\n"
        "print(t1 - t0, t2 - t1, summary.counts)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], cwd=project, capture_output=True,
                         text=True, check=True).stdout.split(maxsplit=2)
    print(f"   discovery {float(out[0]):.3f} s; checked and skipped after discovery "
          f"{float(out[1]):.3f} s ({out[2].strip()})")
    took, _ = tevra(project, "run", "bench_assets", "--plain", "-j", "2")
    print(f"   whole command  {took:7.2f} s")
    shutil.rmtree(project, ignore_errors=True)


def planning() -> None:
    print("3. planning 100,000 partition combinations (three dimensions)")
    from tevra.graph import build
    from tevra.plan import Options, Plan

    def dim(n: int) -> dict[str, str]:
        return {"kind": "inline", "values_json": "[" + ",".join(f'"v{i}"' for i in range(n)) + "]"}

    record = {
        "decorator_metadata": {"inputs": None, "kind": "asset", "name": None, "serializer": None,
                               "partitions": {"x": dim(100), "y": dim(100), "z": dim(10)}},
        "file_path": "/bench/m.py", "function_name": "cube",
        "function_source": "def cube(x, y, z):\n    return 1\n", "kind": "asset",
        "module_path": "m", "module_source": "def cube(x, y, z):\n    return 1\n",
        "python_version": "3.13.0", "return_type": None,
    }
    down = dict(record, function_name="per_x",
                function_source="def per_x(x, c):\n    return 1\n",
                decorator_metadata=dict(record["decorator_metadata"],  # type: ignore[arg-type]
                                        inputs={"c": "/bench/m.py:cube"},
                                        partitions={"x": dim(100)}))
    def plan_all() -> tuple[int, int]:
        graph = build([record, down], "3.13.0")
        plan = Plan(graph, Options([], {}))
        plan.build()
        decided = sum(1 for _ in plan.initial())
        return len(plan), decided

    # Timed without tracing, which slows allocation; traced apart for the peak.
    start, cpu = time.perf_counter(), time.process_time()
    nodes, decided = plan_all()
    took, cpu = time.perf_counter() - start, time.process_time() - cpu
    tracemalloc.start()
    plan_all()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"   {nodes} nodes ({decided} decided) in {took:.3f} s ({cpu:.3f} s CPU), "
          f"peak {peak / 2**20:.0f} MiB traced, max RSS "
          f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


def memory(runs: int) -> None:
    print(f"4. orchestrator memory over {runs} runs")
    project = project_with(TRIVIAL.format(n=runs))
    proc = subprocess.Popen([sys.executable, "-m", "tevra", "run", "bench_assets", "--plain",
                             "-j", "2"], cwd=project, stdout=subprocess.PIPE, text=True)
    samples: list[tuple[int, int]] = []
    done = 0
    assert proc.stdout is not None

    def rss() -> int:
        with open(f"/proc/{proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    step = runs // 10
    for line in proc.stdout:
        if line.startswith("succeeded"):
            done += 1
            if done % step == 0:
                samples.append((done, rss()))
    proc.wait()
    for n, kib in samples:
        print(f"   after {n:>7} runs  RSS {kib / 1024:6.1f} MiB")
    shutil.rmtree(project, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--isolate-runs", type=int, default=200)
    parser.add_argument("--long", action="store_true", help="also the 100,000-run memory check")
    args = parser.parse_args()
    # Projects live in temporary directories: keep the import path usable from there.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
    print(f"tevra orchestrator benchmarks on {os.cpu_count()} cores")
    throughput(args.runs, args.isolate_runs)
    noop_rerun()
    planning()
    if args.long:
        memory(100_000)


if __name__ == "__main__":
    main()
