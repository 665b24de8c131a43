"""Helpers shared by the Python-level benchmarks: interleaved timing and callgrind totals."""

import collections
import os
import re
import shutil
import subprocess
import sys
import time


def have_valgrind():
    return shutil.which("valgrind") is not None


def module_path():
    import _tevra
    return os.path.realpath(_tevra.__file__)


def interleaved_min(candidates, rounds, number):
    """Min over `rounds` of the per-call time of each timeit.Timer in `candidates` (a dict),
    the candidates run one after the other within each round so that load changes hit all."""
    best = {name: float("inf") for name in candidates}
    names = list(candidates)
    for r in range(rounds):
        # Alternate the order so that no candidate always runs right after the same one.
        order = names if r % 2 == 0 else names[::-1]
        for name in order:
            best[name] = min(best[name], candidates[name].timeit(number) / number)
    return best


def run_callgrind(argv, out_file, toggle=None, env=None):
    """Runs argv under callgrind (instructions only) and returns the collected total."""
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", "--dump-instr=no",
           "--compress-strings=no", "--compress-pos=no"]
    if toggle:
        cmd += ["--collect-atstart=no", f"--toggle-collect={toggle}"]
    proc = subprocess.run(cmd + argv, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"callgrind run failed: {' '.join(argv)}")
    m = re.search(r"Collected : (\d+)", proc.stderr)
    return int(m.group(1)) if m else None


class CallgrindProfile:
    """Exclusive costs by object file and function, and the inclusive cost of calls from one
    object into each other object, read from an uncompressed callgrind output file."""

    def __init__(self, path):
        self.self_by_object = collections.Counter()
        self.self_by_function = collections.Counter()
        # (caller object, callee object) -> inclusive cost of those calls
        self.calls_between = collections.Counter()
        ob = fn = cob = None
        in_call = False
        with open(path) as f:
            for line in f:
                if not line or line[0] == "#":
                    continue
                c = line[0]
                if c.isdigit() or c in "+-*":
                    fields = line.split()
                    cost = int(fields[1]) if len(fields) > 1 else 0
                    if in_call:
                        self.calls_between[(ob, cob or ob)] += cost
                        in_call = False
                        cob = None
                    else:
                        self.self_by_object[ob] += cost
                        self.self_by_function[(ob, fn)] += cost
                    continue
                key, _, value = line.rstrip("\n").partition("=")
                if key == "ob":
                    ob = value
                elif key == "fn":
                    fn = value
                    cob = None
                elif key == "cob":
                    cob = value
                elif key == "calls":
                    in_call = True
                elif key == "cfn" or key == "cfi" or key == "cfl":
                    pass

    def total(self):
        return sum(self.self_by_object.values())


def short(obj):
    return os.path.basename(obj) if obj else "?"


def is_python_object(obj):
    base = short(obj)
    return base.startswith("libpython") or base.startswith("python3") or "lib-dynload" in (obj or "")


def wall(fn, *args):
    t0 = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0
