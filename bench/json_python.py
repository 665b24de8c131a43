"""CPython's json module on the benchmark documents, for scale beside json_bench.

Parse MB/s is input bytes over json.loads time (from str); write MB/s is UTF-8
output bytes over the time of json.dumps with sorted keys, compact separators and
raw non-ASCII, the form closest to tevra's compact writer. MB is 10^6 bytes.
"""

import json
import statistics
import sys
import time
from pathlib import Path


def measure(fn, arg, min_rounds, seconds):
    times = []
    fn(arg)  # warm-up
    start = time.perf_counter()
    while len(times) < min_rounds or time.perf_counter() - start < seconds:
        t0 = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times), len(times)


def dumps(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def main(paths):
    print(f"{sys.implementation.name} {sys.version.split()[0]}")
    print(f"{'document':<18} {'op':<5} {'bytes':>9} | {'best MB/s':>10} {'med MB/s':>10} | {'rounds':>6}")
    for path in map(Path, paths):
        raw = path.read_bytes()
        text = raw.decode("utf-8")
        value = json.loads(text)
        out_bytes = len(dumps(value).encode("utf-8"))
        for op, fn, arg, size in (("parse", json.loads, text, len(raw)), ("write", dumps, value, out_bytes)):
            best, median, rounds = measure(fn, arg, 10, 2.0)
            print(f"{path.name:<18} {op:<5} {size:>9} | {size / 1e6 / best:>10.1f} {size / 1e6 / median:>10.1f} | {rounds:>6}")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: json_python.py FILE...")
    main(sys.argv[1:])
