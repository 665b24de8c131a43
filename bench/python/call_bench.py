"""Calling an asset directly: w(1, b=2) for w = asset()(f) beside f(1, b=2) itself.

functools.partial(f) and a functools.wraps Python wrapper are shown for scale. All four run in
this one process, interleaved round by round; each figure is the minimum over the rounds of the
mean time per call, and ratios are against f.

With --callgrind (and valgrind installed) it also counts instructions per call of f, the asset
and partial: each is run N times and 0 times under callgrind and the difference divided by N,
which cancels interpreter start-up; the loop's own bytecode is included in every figure.

    call_bench.py [--rounds R] [--number N] [--callgrind]
"""

import argparse
import functools
import os
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

from _tevra import asset  # noqa: E402


def f(a, b=0):
    return a


w = asset()(f)
p = functools.partial(f)


@functools.wraps(f)
def wrapped(*args, **kwargs):
    return f(*args, **kwargs)


CANDIDATES = {
    "f(1, b=2)  plain function": "f(1, b=2)",
    "w(1, b=2)  asset()(f)": "w(1, b=2)",
    "partial(f)(1, b=2)": "p(1, b=2)",
    "functools.wraps wrapper": "wrapped(1, b=2)",
}

# Run in a child under callgrind: call one candidate n times.
CHILD = """
import functools, sys
from _tevra import asset
def f(a, b=0):
    return a
g = {"f": f, "w": asset()(f), "partial": functools.partial(f)}[sys.argv[1]]
def loop(g, n):
    for _ in range(n):
        g(1, b=2)
loop(g, int(sys.argv[2]))
"""


def timing(rounds, number):
    timers = {name: timeit.Timer(stmt, globals=globals()) for name, stmt in CANDIDATES.items()}
    best = common.interleaved_min(timers, rounds, number)
    base = best["f(1, b=2)  plain function"]
    print(f"direct call, min of {rounds} interleaved rounds of {number} calls (one process)")
    for name in CANDIDATES:
        print(f"  {name:28s} {best[name] * 1e9:7.1f} ns   {best[name] / base:5.2f}x")
    ratio = best["w(1, b=2)  asset()(f)"] / base
    print(f"  asset / plain: {ratio:.2f}x (goal <= 1.15x)")


def instructions(n):
    with tempfile.TemporaryDirectory() as tmp:
        child = os.path.join(tmp, "child.py")
        with open(child, "w") as fh:
            fh.write(CHILD)
        per_call = {}
        for name in ("f", "w", "partial"):
            out = os.path.join(tmp, f"cg.{name}")
            full = common.run_callgrind([sys.executable, child, name, str(n)], out + ".n")
            empty = common.run_callgrind([sys.executable, child, name, "0"], out + ".0")
            per_call[name] = (full - empty) / n
    print(f"instructions per call (callgrind, {n} calls minus 0 calls, loop included)")
    for name, label in (("f", "plain function"), ("w", "asset()(f)"), ("partial", "partial(f)")):
        print(f"  {label:28s} {per_call[name]:7.0f}   {per_call[name] / per_call['f']:5.2f}x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=60)
    ap.add_argument("--number", type=int, default=100_000)
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    timing(args.rounds, args.number)
    if args.callgrind and common.have_valgrind():
        instructions(100_000)


if __name__ == "__main__":
    main()
