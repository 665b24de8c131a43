"""Assets the Dask executor tests run on a real local cluster."""

import os
import signal

from tevra import asset, partitions


@asset(partitions={"region": partitions(["north", "south"]), "year": partitions([2023, 2024])})
def sales(region, year, orders):
    return {"region": region, "year": year, "total": sum(orders[region]) * (year - 2022)}


@asset()
def orders():
    return {"north": [1, 2, 3], "south": [10, 20]}


@asset()
def broken(n=2):
    return helper(n)


def helper(n):
    return {"ratio": 1 / (n - 2)}


@asset()
def dies_once(marker):
    # The first attempt kills its own worker; the retry Dask makes on another finds
    # the marker and succeeds.
    if not os.path.exists(marker):
        with open(marker, "w") as f:
            f.write(str(os.getpid()))
        os.kill(os.getpid(), signal.SIGKILL)
    return {"survived": True}


@asset()
def always_dies():
    os.kill(os.getpid(), signal.SIGKILL)


@asset()
def combine(parts):
    return sum(parts.values())


@asset()
def sleepy(seconds, pidfile):
    import time

    with open(pidfile, "w") as f:
        f.write(str(os.getpid()))
    time.sleep(seconds)
    return seconds


@asset()
def where():
    return os.getpid()
