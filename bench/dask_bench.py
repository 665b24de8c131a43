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

Beside each Dask configuration, in every one of its rounds, Dask's own throughput on
the same cluster: ``client.map`` of a trivial function over N items and a gather of the
results, from a client already connected. The command's own cluster (3) is not
reachable from here, so its figure is set beside one of the same shape started here,
idle while the command runs. The ratio tevra / Dask is the goal's measure (at least 1).

Usage: python bench/dask_bench.py [--runs N] [--rounds R] [--dask-only]
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


def _trivial(i: int) -> int:
    return i + 1


def dask_map(address: str, n: int) -> float:
    """Tasks per second of ``client.map`` of a trivial function over n items and the
    gather of their results, on the cluster at ``address``."""
    from distributed import Client

    with Client(address, set_as_default=False) as client:  # type: ignore[no-untyped-call]
        start = time.perf_counter()
        futures = client.map(_trivial, range(n), pure=False)
        client.gather(futures)
        took = time.perf_counter() - start
        del futures
    return n / took


def measure(big: Path, small: Path, rounds: int, args: Callable[[], tuple[str, ...]],
            reference: str | None = None, n: int = 0) -> tuple[float, float, float | None]:
    """Median wall time of the N-run and of the 1-run pipeline, and of Dask's own
    tasks per second on the ``reference`` cluster, measured in the same rounds."""
    n_times, one_times, maps = [], [], []
    for _ in range(rounds):
        if reference is not None:
            maps.append(dask_map(reference, n))
        one_times.append(tevra_run(small, *args()))
        n_times.append(tevra_run(big, *args()))
    return (statistics.median(n_times), statistics.median(one_times),
            statistics.median(maps) if maps else None)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dask-only", action="store_true",
                        help="only the 2-worker Dask configurations beside client.map")
    opts = parser.parse_args()
    n, rounds = opts.runs, opts.rounds
    big, small = project(n), project(1)
    results: dict[str, tuple[float, float, float | None]] = {}
    try:
        if not opts.dask_only:
            results["pool -j 2"] = measure(big, small, rounds, lambda: ("-j", "2"))
        with cluster(2) as address:
            results["dask, 2 workers (running cluster)"] = measure(
                big, small, rounds, lambda: ("--executor", "dask", "--scheduler", address),
                address, n)
            results["dask -j 2 (own cluster)"] = measure(
                big, small, rounds, lambda: ("--executor", "dask", "-j", "2"), address, n)
        if not opts.dask_only:
            with cluster(1) as address:
                results["dask, 1 worker (running cluster)"] = measure(
                    big, small, rounds, lambda: ("--executor", "dask", "--scheduler", address),
                    address, n)
        start_s = startup(rounds)
    finally:
        shutil.rmtree(big, ignore_errors=True)
        shutil.rmtree(small, ignore_errors=True)

    print(f"{n} trivial partition runs, median of {rounds} rounds, one machine")
    print(f"{'configuration':38} {'wall s':>8} {'1-run s':>8} {'runs/s':>9}"
          f" {'dask map/s':>11} {'ratio':>6}")
    rate = {}
    for name, (t_n, t_1, dask) in results.items():
        rate[name] = (n - 1) / max(t_n - t_1, 1e-9)
        beside = f" {dask:11.0f} {rate[name] / dask:6.2f}" if dask is not None else ""
        print(f"{name:38} {t_n:8.2f} {t_1:8.2f} {rate[name]:9.0f}{beside}")
    print(f"local cluster start-up (DaskExecutor(2), connect and checks): {start_s:.2f} s")
    if not opts.dask_only:
        pool, two = rate["pool -j 2"], rate["dask, 2 workers (running cluster)"]
        one = rate["dask, 1 worker (running cluster)"]
        print(f"pool / dask throughput (2 workers each): {pool / two:.1f}x")
        print(f"dask throughput, 2 workers / 1 worker: {two / one:.2f}x")


if __name__ == "__main__":
    main()
