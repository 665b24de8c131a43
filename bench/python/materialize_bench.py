"""Materialisation: CALLS calls of materialize_asset for a trivial asset, each into a fresh
directory, beside the same steps written in plain Python, in one process.

The Python version does what the native call does, in the same order: imports importlib,
inspect, json and pathlib by name, creates the directory with pathlib, removes a stale
result.json, imports the module, reaches the undecorated function, calls it, writes value.json
with json.dumps, takes the signature, and writes the compact sorted record; both files are
written crash-safely the same way (a fresh O_EXCL temporary file in the same directory, written
whole, closed, then os.replace over the target). Its files are checked against the native ones.

The two alternate call by call (which goes first alternates too); each round sums each side's
time over CALLS calls, and the figure is the minimum over rounds.

With --callgrind (and valgrind installed) children run 200 calls of each side under callgrind:
user-space instructions per call of each, and inside the native call the split by object file
with the module's own hottest functions.

    materialize_bench.py [--calls N] [--rounds R] [--callgrind]
"""

import argparse
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

from _tevra import materialize_asset  # noqa: E402

ASSET_MODULE = '''from _tevra import asset


@asset()
def trivial():
    return {"n": 1}
'''


def replace_file(path, text):
    """Writes text to a fresh file beside path and renames it over path."""
    directory, base = os.path.split(path)
    data = text.encode("utf-8")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    for attempt in range(100):
        temp = os.path.join(directory, f".{base}.{os.urandom(8).hex()}.tmp")
        try:
            fd = os.open(temp, flags, 0o666)
            break
        except FileExistsError:
            if attempt == 99:
                raise
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    except BaseException:
        os.close(fd)
        os.unlink(temp)
        raise
    os.close(fd)
    try:
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def compact(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def python_materialize(module_name, function_name, output_dir, input_kwargs_json=None):
    import importlib
    import inspect
    import json
    import pathlib

    directory = pathlib.Path(output_dir)
    directory.mkdir(parents=True, exist_ok=True)
    result_path = str(directory / "result.json")
    try:
        os.unlink(result_path)
    except FileNotFoundError:
        pass
    try:
        module = importlib.import_module(module_name)
        target = getattr(module, function_name)
        try:
            function = target.__tevra_original__
        except BaseException:
            function = target
        if input_kwargs_json is None:
            value = function()
        else:
            kwargs = json.loads(input_kwargs_json)
            if not isinstance(kwargs, dict):
                raise TypeError(f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
            value = function(**kwargs)
        value_path = directory / "value.json"
        text = json.dumps(value)
        value_path_text = str(value_path)
        replace_file(value_path_text, text)
        signature = str(inspect.signature(function))
        replace_file(result_path, compact({
            "artifact_format": "json", "function_name": function_name, "module_path": module_name,
            "ok": True, "result_type": type(value).__name__, "signature": signature,
            "value_path": value_path_text}))
    except BaseException as e:
        replace_file(result_path, compact({
            "error": f"{type(e).__qualname__}: {e}", "error_type": type(e).__name__, "ok": False}))
        sys.exit(1)


def check_same(native_dir, python_dir):
    for name in ("value.json", "result.json"):
        with open(os.path.join(native_dir, name)) as a, open(os.path.join(python_dir, name)) as b:
            if a.read().replace(native_dir, "DIR") != b.read().replace(python_dir, "DIR"):
                raise SystemExit(f"{name} differs between the native call and the Python steps")


def timing(root, calls, rounds):
    native = materialize_asset
    best = {"native": float("inf"), "python": float("inf")}
    for r in range(rounds):
        total = {"native": 0.0, "python": 0.0}
        for i in range(calls):
            dirs = {side: os.path.join(root, f"{side}-{r}", str(i)) for side in total}
            order = ("native", "python") if i % 2 == 0 else ("python", "native")
            for side in order:
                fn = native if side == "native" else python_materialize
                t0 = time.perf_counter()
                fn("bench_trivial", "trivial", dirs[side])
                total[side] += time.perf_counter() - t0
            if i == 0 and r == 0:
                check_same(dirs["native"], dirs["python"])
        for side in total:
            best[side] = min(best[side], total[side])
    print(f"materialize_asset, trivial asset, {calls} calls into fresh directories, min of {rounds} "
          "interleaved rounds (one process)")
    for side, label in (("native", "materialize_asset"), ("python", "same steps in Python")):
        print(f"  {label:24s} {best[side] * 1e3:8.1f} ms   {best[side] / calls * 1e6:6.1f} us/call")
    print(f"  native / Python: {best['native'] / best['python']:.3f}x (goal <= 1.0)")


# Run in a child: one warm-up call (it imports the asset's module), then n calls of one side.
CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
from materialize_bench import python_materialize
from _tevra import materialize_asset
fn = materialize_asset if sys.argv[3] == "native" else python_materialize
fn("bench_trivial", "trivial", f"{sys.argv[4]}/warm")
for i in range(int(sys.argv[5])):
    fn("bench_trivial", "trivial", f"{sys.argv[4]}/{i}")
"""


def profile(root, n=200):
    child = os.path.join(root, "child.py")
    with open(child, "w") as fh:
        fh.write(CHILD)
    here = os.path.dirname(os.path.abspath(__file__))

    def argv(side, count):
        return [sys.executable, child, root, here, side, os.path.join(root, f"cg-{side}-{count}"), str(count)]

    # Whole-process counts, n calls minus none: the user-space work of one call of each side.
    per_call = {}
    for side in ("native", "python"):
        full = common.run_callgrind(argv(side, n), os.path.join(root, f"cg.{side}.n"))
        empty = common.run_callgrind(argv(side, 0), os.path.join(root, f"cg.{side}.0"))
        per_call[side] = (full - empty) / n
    print(f"user-space instructions per call (callgrind, {n} calls minus none; the kernel's file work not included)")
    print(f"  materialize_asset        {per_call['native']:9.0f}")
    print(f"  same steps in Python     {per_call['python']:9.0f}   native / Python {per_call['native'] / per_call['python']:.2f}x")

    # Inside the native calls only, by object file, the warm-up call taken out.
    toggle = "*tevra::fastcall<&tevra::(anonymous namespace)::materialize_asset>(*"
    profiles = {}
    for count in (n, 0):
        out = os.path.join(root, f"cg.toggle.{count}")
        common.run_callgrind(argv("native", count), out, toggle=toggle)
        profiles[count] = common.CallgrindProfile(out)
    by_object = profiles[n].self_by_object - profiles[0].self_by_object
    by_function = profiles[n].self_by_function - profiles[0].self_by_function
    total = sum(by_object.values())
    ext = common.module_path()
    print(f"  inside materialize_asset, exclusive by object: " + ", ".join(
        f"{common.short(o)} {100 * c / total:.1f}%" for o, c in by_object.most_common(5)))
    mine = sorted(((c, fn) for (o, fn), c in by_function.items() if o == ext), reverse=True)[:4]
    for c, fn in mine:
        print(f"    {100 * c / total:5.2f}%  {fn[:110]}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="tevra-materialize-") as root:
        with open(os.path.join(root, "bench_trivial.py"), "w") as fh:
            fh.write(ASSET_MODULE)
        sys.path.insert(0, root)
        timing(root, args.calls, args.rounds)
        if args.callgrind and common.have_valgrind():
            profile(root)


if __name__ == "__main__":
    main()
