"""Start-up of the worker command against a plain script doing the same run.

    python bench/worker_startup.py [--runs N]

Both run a trivial asset in a fresh interpreter: `python -m tevra.worker` through the
engine, and a script that imports importlib, inspect, json and pathlib, calls the
function and writes value.json and result.json. Runs alternate, so that a busy
machine slows both alike; the figure is the ratio of the medians (goal: at most 1.2).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

ASSET = '''
from tevra import asset

@asset()
def trivial():
    return {"answer": 42}
'''

PLAIN = '''
import importlib, inspect, json, pathlib, sys
module = importlib.import_module("trivial_asset")
function = getattr(module, "trivial")
function = getattr(function, "__tevra_original__", function)
value = function()
out = pathlib.Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
(out / "value.json").write_text(json.dumps(value), "utf-8")
(out / "result.json").write_text(json.dumps({
    "artifact_format": "json", "function_name": "trivial", "module_path": "trivial_asset",
    "ok": True, "result_type": type(value).__name__, "signature": str(inspect.signature(function)),
    "value_path": str(out / "value.json")}, separators=(",", ":"), sort_keys=True), "utf-8")
'''


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40, help="runs of each (default 40)")
    runs = parser.parse_args().runs
    here = os.path.dirname(os.path.abspath(__file__))
    python_dir = os.path.join(os.path.dirname(here), "python")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (python_dir, env.get("PYTHONPATH")) if p)
    env.pop("PYTHONPROFILEIMPORTTIME", None)
    with tempfile.TemporaryDirectory() as root:
        with open(os.path.join(root, "trivial_asset.py"), "w") as f:
            f.write(ASSET)
        with open(os.path.join(root, "plain.py"), "w") as f:
            f.write(PLAIN)
        commands: dict[str, Callable[[str], list[str]]] = {
            "python -m tevra.worker": lambda out: [sys.executable, "-m", "tevra.worker",
                                                   "trivial_asset", "trivial", out],
            "plain script": lambda out: [sys.executable, "plain.py", out],
        }
        times: dict[str, list[float]] = {name: [] for name in commands}
        for i in range(runs + 2):
            for name, command in commands.items():
                out = os.path.join(root, f"out-{i}-{len(times[name])}-{name[0]}")
                start = time.perf_counter()
                subprocess.run(command(out), cwd=root, env=env, check=True)
                elapsed = time.perf_counter() - start
                if i >= 2:  # the first runs warm the page cache and write bytecode
                    times[name].append(elapsed)
                with open(os.path.join(out, "value.json")) as f:
                    assert f.read() == '{"answer": 42}'
    medians = {name: statistics.median(t) for name, t in times.items()}
    for name, t in times.items():
        print(f"{name:24} median {medians[name] * 1e3:6.1f} ms  min {min(t) * 1e3:6.1f} ms  ({len(t)} runs)")
    ratio = medians["python -m tevra.worker"] / medians["plain script"]
    print(f"ratio {ratio:.2f} (goal <= 1.2)")


if __name__ == "__main__":
    main()
