"""The Dask executor beside the default pool, on one machine.

Measured side by side in one run, each configuration on the same N-run trivial pipeline
(one asset, N partitions), each time into a fresh state directory:

1. the default pool, ``tevra run -j 2``;
2. ``--executor dask --scheduler ADDRESS`` on a local cluster of 2 workers started here
   beforehand, so that the command's time holds no cluster start-up;
3. ``--executor dask -j 2``, the command starting its own cluster;
4. the same as 2 with a 1-worker cluster, for how throughput grows with workers.

The cluster start-up is timed on its own (``DaskExecutor(2)`` made and closed). Every
configuration is also run on a 1-partition pipeline; the difference from the N-run
time is the cost of the N-1 further runs, free of discovery and start-up, and gives
the runs-per-second figures.

Usage: python bench/dask_bench.py [--runs N] [--rounds R]
(with tevra importable; distributed installed).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

TRIVIAL = """\
from tevra import asset, partitions

@asset(partitions={{"i": partitions(list(range({n})))}})
def trivial(i):
    return i
"""


def project(n: int) -> Path:
    root = Path(tempfile.mkdtemp(prefix="tevra-dask-bench-"))
    (root / "bench_assets.py").write_text(TRIVIAL.format(n=n))
    return root


def env() -> dict[str, str]:
    """The commands find the same tevra as this script, wherever they run."""
    import tevra

    here = str(Path(tevra.__file__).resolve().parent.parent)
    paths = [here] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


def tevra_run(root: Path, *args: str) -> float:
    state = Path(tempfile.mkdtemp(prefix="state-", dir=root))
    shutil.rmtree(state)
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "tevra", "run", "bench_assets", "--plain",
                           "--state", str(state), *args],
                          cwd=root, env=env(), capture_output=True, text=True)
    took = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"tevra run {' '.join(args)} failed:\n{proc.stderr}{proc.stdout[-2000:]}")
    shutil.rmtree(state, ignore_errors=True)
    return took


@contextmanager
def cluster(workers: int) -> Iterator[str]:
    from distributed import LocalCluster

    c = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                     dashboard_address=None)
    try:
        yield c.scheduler_address
    finally:
        c.close()


def startup(rounds: int) -> float:
    from tevra.executors.dask import DaskExecutor

    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        ex = DaskExecutor(2)
        times.append(time.perf_counter() - start)
        ex.close()
    return statistics.median(times)


def measure(big: Path, small: Path, rounds: int, args: Callable[[], tuple[str, ...]]
            ) -> tuple[float, float]:
    """Median wall time of the N-run and of the 1-run pipeline."""
    n_times, one_times = [], []
    for _ in range(rounds):
        one_times.append(tevra_run(small, *args()))
        n_times.append(tevra_run(big, *args()))
    return statistics.median(n_times), statistics.median(one_times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    opts = parser.parse_args()
    n, rounds = opts.runs, opts.rounds
    big, small = project(n), project(1)
    results: dict[str, tuple[float, float]] = {}
    try:
        results["pool -j 2"] = measure(big, small, rounds, lambda: ("-j", "2"))
        with cluster(2) as address:
            results["dask, 2 workers (running cluster)"] = measure(
                big, small, rounds, lambda: ("--executor", "dask", "--scheduler", address))
        with cluster(1) as address:
            results["dask, 1 worker (running cluster)"] = measure(
                big, small, rounds, lambda: ("--executor", "dask", "--scheduler", address))
        results["dask -j 2 (own cluster)"] = measure(
            big, small, rounds, lambda: ("--executor", "dask", "-j", "2"))
        start_s = startup(rounds)
    finally:
        shutil.rmtree(big, ignore_errors=True)
        shutil.rmtree(small, ignore_errors=True)

    print(f"{n} trivial partition runs, median of {rounds} rounds, one machine")
    print(f"{'configuration':38} {'wall s':>8} {'1-run s':>8} {'runs/s':>9}")
    rate = {}
    for name, (t_n, t_1) in results.items():
        rate[name] = (n - 1) / max(t_n - t_1, 1e-9)
        print(f"{name:38} {t_n:8.2f} {t_1:8.2f} {rate[name]:9.0f}")
    print(f"local cluster start-up (DaskExecutor(2), connect and checks): {start_s:.2f} s")
    pool, two = rate["pool -j 2"], rate["dask, 2 workers (running cluster)"]
    one = rate["dask, 1 worker (running cluster)"]
    print(f"pool / dask throughput (2 workers each): {pool / two:.1f}x")
    print(f"dask throughput, 2 workers / 1 worker: {two / one:.2f}x")


if __name__ == "__main__":
    main()
