"""Assets the Dask executor tests run on a real local cluster."""

import os
import signal

from tevra import asset, partitions


@asset(partitions={"region": partitions(["north", "south"]), "year": partitions([2023, 2024])})
def sales(region: str, year: int, orders: dict[str, list[int]]) -> dict[str, object]:
    return {"region": region, "year": year, "total": sum(orders[region]) * (year - 2022)}


@asset()
def orders() -> dict[str, list[int]]:
    return {"north": [1, 2, 3], "south": [10, 20]}


@asset()
def broken(n: int = 2) -> dict[str, float]:
    return helper(n)


def helper(n: int) -> dict[str, float]:
    return {"ratio": 1 / (n - 2)}


@asset()
def dies_once(marker: str) -> dict[str, bool]:
    # The first attempt kills its own worker; the retry Dask makes on another finds
    # the marker and succeeds.
    if not os.path.exists(marker):
        with open(marker, "w") as f:
            f.write(str(os.getpid()))
        os.kill(os.getpid(), signal.SIGKILL)
    return {"survived": True}


@asset()
def always_dies() -> None:
    os.kill(os.getpid(), signal.SIGKILL)


@asset()
def combine(parts: dict[str, int]) -> int:
    return sum(parts.values())


@asset()
def sleepy(seconds: float, pidfile: str) -> float:
    import time

    with open(pidfile, "w") as f:
        f.write(str(os.getpid()))
    time.sleep(seconds)
    return seconds


@asset()
def where() -> int:
    return os.getpid()
