"""The ui's pages at scale: server time of each page (median of 20 requests through
Starlette's test client) over a store of 1,000 x 1,000 partition runs and 1,000
gathering runs, the partition page's size, and the graph page of 1,000 assets.

The store is filled through the store's own write path (``Store.writer``, ``started``,
``finished``), as ``tevra run`` fills it, without running the assets.

Usage: python bench/ui_bench.py [--side N] [--requests N]
(with the tevra package, its engine and the ui extra importable).
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

warnings.filterwarnings("ignore", message="Using `httpx` with `starlette.testclient`")
from starlette.testclient import TestClient  # noqa: E402

from tevra import jobs  # noqa: E402
from tevra.store import Store  # noqa: E402
from tevra.ui.app import Settings, create_app  # noqa: E402

GRID = """\
from tevra import asset, partitions

@asset(name="grid", partitions={{"a": partitions(list(range({n}))), "b": partitions(list(range({n})))}})
def grid(a, b):
    return a * b

@asset(name="total", inputs={{"grid": grid}}, partitions={{"a": partitions(list(range({n})))}})
def total(grid, a):
    return sum(grid.values())
"""

GOALS = {"page": 0.100, "graph": 0.200, "size": 150_000}


def wide(n: int) -> str:
    """n assets in layers: each reads the one before it and, now and then, one further back."""
    lines = ["from tevra import asset", ""]
    for i in range(n):
        inputs = {}
        if i % 40:
            inputs["prev"] = f"a{i - 1}"
        if i % 40 > 7:
            inputs["back"] = f"a{i - 7}"
        params = ", ".join(inputs)
        refs = ", ".join(f'"{p}": {v}' for p, v in inputs.items())
        lines += [f'@asset(name="a{i}", inputs={{{refs}}})', f"def a{i}({params}):",
                  "    return 1", ""]
    return "\n".join(lines)


def fill(state: Path, side: int) -> tuple[float, int, int]:
    """Every grid partition once (one in 97 failed), then every gathering run."""
    start = time.perf_counter()
    store = Store(state)
    failed_id = total_id = 0
    with store.writer(["bench"]):
        for a in range(side):
            for b in range(side):
                run_id = store.new_run_id()
                key = f"a={a},b={b}"
                store.started(run_id, "grid", key, "never run", "c" * 32, None,
                              store.run_dir(run_id))
                if (a * 31 + b) % 97 == 0:
                    outcome = jobs.Outcome(run_id, jobs.FAILED, 1.0, 1.5,
                                           error="ValueError: no such row",
                                           error_type="ValueError",
                                           traceback="Traceback (most recent call last):\n"
                                                     '  File "m.py", line 4, in grid\n'
                                                     "ValueError: no such row\n")
                    failed_id = run_id
                else:
                    outcome = jobs.Outcome(run_id, jobs.SUCCEEDED, 1.0, 1.2,
                                           value_path=f"{store.run_dir(run_id)}/value.json",
                                           data_version=f"{run_id:032x}", value_size=8,
                                           value_mtime_ns=1)
                store.finished("grid", key, outcome, None)
        for a in range(side):
            run_id = store.new_run_id()
            inputs = json.dumps({"grid": {f"a={a},b={b}": f"{a * side + b + 1:032x}"
                                          for b in range(side)}}, sort_keys=True)
            out = Path(store.run_dir(run_id))
            out.mkdir(parents=True)
            (out / "value.json").write_text(json.dumps({"a": a, "sum": a * side}))
            store.started(run_id, "total", f"a={a}", "never run", "d" * 32, inputs, str(out))
            store.finished("total", f"a={a}", jobs.Outcome(
                run_id, jobs.SUCCEEDED, 2.0, 2.5, value_path=str(out / "value.json"),
                data_version=f"{run_id:032x}", value_size=20, value_mtime_ns=1), inputs)
            total_id = run_id
    store.close()
    return time.perf_counter() - start, failed_id, total_id


def timed(c: TestClient, url: str, requests: int) -> tuple[float, int]:
    for _ in range(2):
        r = c.get(url)
        assert r.status_code == 200, (url, r.status_code, r.text[:500])
    took = []
    for _ in range(requests):
        t = time.perf_counter()
        r = c.get(url)
        took.append(time.perf_counter() - t)
    return statistics.median(took), len(r.content)


def row(name: str, seconds: float, size: int, goal: float, size_goal: int | None = None) -> None:
    verdict = "ok" if seconds <= goal and (size_goal is None or size <= size_goal) else "OVER"
    extra = f" (goal <= {size_goal // 1000} KB)" if size_goal else ""
    print(f"  {name:<44} {seconds * 1000:8.1f} ms  (goal <= {goal * 1000:.0f} ms)"
          f"  {size / 1000:7.1f} KB{extra}  {verdict}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--side", type=int, default=1000, help="grid side (default 1,000)")
    parser.add_argument("--assets", type=int, default=1000, help="assets in the graph page")
    parser.add_argument("--requests", type=int, default=20)
    parser.add_argument("--keep", action="store_true", help="keep the store afterwards")
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="tevra-ui-bench-"))
    (root / "bench_grid.py").write_text(GRID.format(n=args.side))
    (root / "bench_wide.py").write_text(wide(args.assets))
    sys.path.insert(0, str(root))

    n = args.side * args.side + args.side
    print(f"filling a store of {n:,} runs through the store's write path ...", flush=True)
    took, failed_id, total_id = fill(root / "state", args.side)
    print(f"  {took:.1f} s, {n / took:,.0f} runs/s "
          f"({(root / 'state' / 'runs.db').stat().st_size / 1e6:.0f} MB)")

    print(f"\npages over {args.side:,} x {args.side:,} partitions + {args.side:,} gathering "
          f"runs: median of {args.requests} requests")
    app = create_app(Settings(state_dir=root / "state", project_dir=root,
                              modules=["bench_grid"], hosts={"testserver"}))
    middle = args.side // 2
    pages = [
        ("assets (graph)", "/"),
        ("asset grid: partition page", "/asset?key=grid"),
        ("asset grid: page in the middle", f"/asset?key=grid&r={middle}&c={middle}"),
        ("asset grid: rows b, a filtered (a strip)", f"/asset?key=grid&rows=b&cols=&f.a={middle}"),
        ("asset total (gathering)", "/asset?key=total"),
        ("runs", "/runs"),
        ("runs of grid, older than the middle", f"/runs?asset=grid&before={n // 2}"),
        ("runs failed", "/runs?status=failed"),
        ("runs of invocation 1, asset total", "/runs?invocation=1&asset=total"),
        ("run: a failed partition", f"/run/{failed_id}"),
        ("run: a gathering run (1,000 inputs)", f"/run/{total_id}"),
        ("live: assets", "/api/live?page=assets"),
        ("live: the grid's visible cells", "/api/live?page=asset&key=grid"),
    ]
    with TestClient(app) as c:
        for name, url in pages:
            seconds, size = timed(c, url, args.requests)
            row(name, seconds, size, GOALS["page"],
                GOALS["size"] if "partition page" in name else None)

    print(f"\nthe graph page of {args.assets:,} assets")
    state = root / "wide-state"
    store = Store(state)
    with store.writer(["bench"]):
        for i in range(args.assets):
            run_id = store.new_run_id()
            store.started(run_id, f"a{i}", "", "never run", "e" * 32, None, store.run_dir(run_id))
            store.finished(f"a{i}", "", jobs.Outcome(
                run_id, jobs.FAILED if i % 50 == 3 else jobs.SUCCEEDED, 1.0, 1.1), None)
    store.close()
    app = create_app(Settings(state_dir=state, project_dir=root, modules=["bench_wide"],
                              hosts={"testserver"}))
    with TestClient(app) as c:
        # Timed once freshness is known, as the page then shows it (it is checked in
        # the background, again only when the history moves).
        deadline = time.monotonic() + 120
        while app.state.pipeline.freshness is None and time.monotonic() < deadline:
            time.sleep(0.1)
        seconds, size = timed(c, "/", args.requests)
        row(f"assets (graph of {args.assets:,})", seconds, size, GOALS["graph"])
        seconds, size = timed(c, "/api/live?page=assets", args.requests)
        row(f"live: assets ({args.assets:,})", seconds, size, GOALS["page"])
    if args.keep:
        print(f"\n(store and project left in {root})")
    else:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
