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


def _log(log: str, line: str) -> None:
    fd = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, f"{line}\n".encode())
    finally:
        os.close(fd)


def _task_of(i: int, log: str, die_at: int, seconds: float) -> list[object]:
    import time

    from distributed import get_worker

    _log(log, str(i))
    if i == die_at:
        os.kill(os.getpid(), signal.SIGKILL)
    time.sleep(seconds)
    return [i, get_worker().get_current_task(), os.getpid()]


# Logs its execution, then dies with its worker at ``die_at``; else its value is the Dask
# task it ran in and the worker's pid. One asset per test, since the executor learns
# how long an asset's runs take and whether they crash.
@asset(partitions={"i": partitions(list(range(1000)))})
def task_of(i: int, log: str, die_at: int = -1, seconds: float = 0.0) -> list[object]:
    return _task_of(i, log, die_at, seconds)


@asset(partitions={"i": partitions(list(range(1000)))})
def slow_task_of(i: int, log: str, die_at: int = -1, seconds: float = 0.0) -> list[object]:
    return _task_of(i, log, die_at, seconds)


@asset(partitions={"i": partitions(list(range(1000)))})
def crashing_task_of(i: int, log: str, die_at: int = -1, seconds: float = 0.0) -> list[object]:
    return _task_of(i, log, die_at, seconds)
