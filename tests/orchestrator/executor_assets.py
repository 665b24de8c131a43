"""Assets the executor tests run; copied into each test's project directory."""

import ctypes
import os
import subprocess
import sys
import time

from tevra import asset, partitions

# One line per import of this module, so that a test can count them.
with open("imports.log", "a") as _log:
    _log.write(f"{os.getpid()}\n")


@asset(partitions={"region": partitions(["north", "south"])})
def combine(region, orders, history):
    rows = orders["rows"]
    return {
        "region": region,
        "rows": len(rows),
        "total": sum(row["amount"] for row in rows),
        "note": orders["note"][-3:],
        "history": {key: value["n"] for key, value in sorted(history.items())},
    }


def _check(x):
    if x < 1:
        raise ValueError(f"x must be positive, got {x}")  # the failing line
    return x


@asset()
def fails(x=0):
    return _check(x)


def identity(value=None):
    return {"value": value, "pid": os.getpid()}


def segfault():
    ctypes.string_at(0)


def exits():
    os._exit(3)


def hang(marker):
    with open(marker, "w") as f:
        f.write(str(os.getpid()))
    time.sleep(600)


def spawns(marker):
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    with open(marker, "w") as f:
        f.write(f"{os.getpid()} {child.pid}")
    time.sleep(600)


def wanders():
    os.chdir("/")
    return os.getcwd()


def where():
    return os.getcwd()
