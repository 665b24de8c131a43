"""Discovery: inspect_modules over a generated project of MODULES modules of 25 assets each,
every asset with partitions and inputs, generated into a temporary directory.

Each measurement is a fresh interpreter (the modules must really be imported), timing only the
inspect_modules call inside it. Sizes are measured interleaved, round by round, after one
warm-up run per size that writes the bytecode caches; each figure is the minimum over rounds.

Then one run of the middle size under callgrind, collecting only inside inspect_modules, splits
its instructions into the module's own code (the _tevra extension, JSON core included, plus the
C and C++ runtime it calls directly: allocation, copies) and everything else, which is the
interpreter running the Python calls the document needs (importlib, inspect.getsource,
textwrap.dedent, pathlib, inspect.signature, json.dumps of the metadata).

    discovery_bench.py [--sizes 20,200,2000] [--rounds R] [--no-callgrind]
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

ASSETS_PER_MODULE = 25

MODULE_HEAD = '''"""Generated module {index} of the discovery benchmark."""
from _tevra import asset, partitions

DAYS = partitions(["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04"])
REGIONS = partitions(["eu", "us", "apac"])

'''

FIRST_ASSET = '''
@asset(partitions={{"day": DAYS}})
def source_{index}_0(day: str) -> dict:
    """Raw rows for one day."""
    return {{"day": day, "rows": [1, 2, 3]}}
'''

NEXT_ASSET = '''
@asset(
    name="asset_{index}_{j}",
    inputs={{"upstream": source_{index}_{prev}, "lookup": "shared/lookup.py:table"}},
    partitions={{"day": DAYS, "region": REGIONS}},
    serializer="json",
)
def source_{index}_{j}(upstream, lookup, day: str, region: str) -> dict:
    """Derived rows {j} of module {index}."""
    total = sum(upstream["rows"]) + {j}
    return {{"day": day, "region": region, "total": total}}
'''


def generate(root, count):
    """Writes package benchproj{count} with `count` modules under `root`; returns its module names."""
    package = f"benchproj{count}"
    pkg_dir = os.path.join(root, package)
    os.makedirs(pkg_dir, exist_ok=True)
    with open(os.path.join(pkg_dir, "__init__.py"), "w") as fh:
        fh.write("")
    names = []
    for i in range(count):
        parts = [MODULE_HEAD.format(index=i), FIRST_ASSET.format(index=i)]
        for j in range(1, ASSETS_PER_MODULE):
            parts.append(NEXT_ASSET.format(index=i, j=j, prev=j - 1))
        with open(os.path.join(pkg_dir, f"m{i:04d}.py"), "w") as fh:
            fh.write("".join(parts))
        names.append(f"{package}.m{i:04d}")
    return names


CHILD = """
import sys, time
sys.path.insert(0, sys.argv[1])
from _tevra import inspect_modules
names = [f"{sys.argv[2]}.m{i:04d}" for i in range(int(sys.argv[3]))]
t0, c0 = time.perf_counter(), time.process_time()
doc = inspect_modules(names)
t1, c1 = time.perf_counter(), time.process_time()
assert doc.count('"kind":"asset","module_path"') == len(names) * 25, "unexpected asset count"
print(t1 - t0, c1 - c0, len(doc))
"""


def run_child(child, root, count):
    out = subprocess.run([sys.executable, child, root, f"benchproj{count}", str(count)],
                         capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), float(out[1]), int(out[2])


def scaling(child, root, sizes, rounds):
    for count in sizes:
        generate(root, count)
        run_child(child, root, count)  # warm-up: bytecode caches, page cache
    best = {count: float("inf") for count in sizes}
    best_cpu = {count: float("inf") for count in sizes}
    doc_size = {}
    for r in range(rounds):
        for count in (sizes if r % 2 == 0 else sizes[::-1]):
            t, cpu, size = run_child(child, root, count)
            best[count] = min(best[count], t)
            best_cpu[count] = min(best_cpu[count], cpu)
            doc_size[count] = size
    print(f"inspect_modules, {ASSETS_PER_MODULE} assets a module, min of {rounds} interleaved rounds "
          "(fresh interpreter each, call only; CPU = the process's CPU time, less disturbed by load)")
    first = sizes[0]
    for count in sizes:
        per_module = best_cpu[count] / count
        print(f"  {count:5d} modules  wall {best[count] * 1e3:8.0f} ms  CPU {best_cpu[count] * 1e3:8.0f} ms  "
              f"{per_module * 1e6:6.0f} us/module  {per_module / (best_cpu[first] / first):5.2f}x per module vs {first}"
              f"   document {doc_size[count] / 1e6:.1f} MB")
    return best


TOGGLE = "*tevra::fastcall<&tevra::(anonymous namespace)::inspect_modules>(*"


def call_instructions(child, root, count, out):
    """Instructions inside the call only: its entry toggles collection on, its return off."""
    return common.run_callgrind([sys.executable, child, root, f"benchproj{count}", str(count)], out, toggle=TOGGLE)


def growth(child, root, small, large):
    with tempfile.TemporaryDirectory() as tmp:
        counts = {n: call_instructions(child, root, n, os.path.join(tmp, f"cg.{n}")) for n in (small, large)}
    per = {n: counts[n] / n for n in counts}
    print(f"instructions inside inspect_modules (callgrind): {small} modules {per[small] / 1e6:.1f} M/module, "
          f"{large} modules {per[large] / 1e6:.1f} M/module ({per[large] / per[small]:.2f}x per module)")


def share(child, root, count):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        call_instructions(child, root, count, out)
        prof = common.CallgrindProfile(out)
    ext = common.module_path()
    total = prof.total()
    own = prof.self_by_object[ext]
    runtime = sum(cost for (caller, callee), cost in prof.calls_between.items()
                  if caller == ext and callee != ext and not common.is_python_object(callee))
    print(f"instruction shares inside inspect_modules, {count} modules (callgrind, {total / 1e6:.0f} M instructions)")
    print(f"  module's own code, exclusive          {100 * own / total:6.2f} %")
    print(f"  + C/C++ runtime it calls directly     {100 * runtime / total:6.2f} %")
    print(f"  = module's share                      {100 * (own + runtime) / total:6.2f} % (goal <= 5 %)")
    print(f"  interpreter and the Python it runs    {100 * (total - own - runtime) / total:6.2f} %")
    by_object = sorted(prof.self_by_object.items(), key=lambda kv: -kv[1])[:6]
    print("  exclusive by object: " + ", ".join(f"{common.short(o)} {100 * c / total:.1f}%" for o, c in by_object))
    mine = sorted(((c, fn) for (o, fn), c in prof.self_by_function.items() if o == ext), reverse=True)[:5]
    for c, fn in mine:
        print(f"    {100 * c / total:5.2f}%  {fn[:110]}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="20,200,2000")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--share-size", type=int, default=200)
    ap.add_argument("--no-callgrind", action="store_true")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory(prefix="tevra-discovery-") as root:
        child = os.path.join(root, "child.py")
        with open(child, "w") as fh:
            fh.write(CHILD)
        scaling(child, root, sizes, args.rounds)
        if not args.no_callgrind and common.have_valgrind():
            if args.share_size not in sizes:
                generate(root, args.share_size)
            share(child, root, args.share_size)
            if sizes[0] != args.share_size:
                growth(child, root, sizes[0], args.share_size)


if __name__ == "__main__":
    main()
