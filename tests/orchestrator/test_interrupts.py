"""Ctrl-C on ``tevra run``: once stops cleanly, twice at once; whatever instant it lands
on, no run is left recorded as running and no worker is left behind."""

from __future__ import annotations

import random
import signal
import sqlite3
import subprocess
import time
from pathlib import Path

import pytest

from test_executors import gone
from tevra_project import Project

PIPELINE = """\
import os, random, time
from tevra import asset, partitions

PARTS = partitions(list(range(40)))

def _log():
    with open("executions.log", "a") as f:
        f.write(f"{os.getpid()}\\n")

@asset(partitions={"i": PARTS})
def source(i):
    _log()
    time.sleep(random.uniform(0, 0.05))
    return i

@asset(inputs={"s": source}, partitions={"i": PARTS})
def double(s, i):
    _log()
    time.sleep(random.uniform(0, 0.05))
    return 2 * s

@asset(inputs={"d": double})
def total(d):
    _log()
    return sum(d.values())
"""


def statuses(root: Path) -> list[str]:
    if not (root / ".tevra" / "runs.db").exists():
        return []  # stopped before the history was made
    db = sqlite3.connect(f"file:{root / '.tevra' / 'runs.db'}?mode=ro", uri=True)
    try:
        return [s for (s,) in db.execute("SELECT status FROM runs")]
    finally:
        db.close()


def workers_of(root: Path) -> set[int]:
    log = root / "executions.log"
    return {int(p) for p in log.read_text().split()} if log.exists() else set()


@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c_at_any_instant_leaves_no_run_running(tmp_path: Path, presses: int) -> None:
    project = Project(tmp_path)
    project.write("m.py", PIPELINE)
    rng = random.Random(presses)
    for round_ in range(8):
        if (tmp_path / ".tevra").exists() and round_ % 3 == 0:
            # Now and then from nothing, so that there is always work left to cut.
            subprocess.run(["rm", "-rf", str(tmp_path / ".tevra")], check=True)
        proc = project.popen("run", "m", "--plain", "-j", "2", "--force")
        time.sleep(rng.uniform(0.0, 1.5))
        for _ in range(presses):
            proc.send_signal(signal.SIGINT)
            time.sleep(rng.uniform(0.0, 0.05))
        out, err = proc.communicate(timeout=60)
        if proc.returncode == -signal.SIGINT:
            # It landed while the interpreter was loading the package or ending: Python's
            # own Ctrl-C, outside tevra's code.
            assert "Traceback" not in err or err.rstrip().endswith("KeyboardInterrupt"), err
        else:
            assert proc.returncode in (0, 130), err
            assert "Traceback" not in err, err
        if proc.returncode == 130:
            assert "interrupted" in out + err or "stopped early" in out
        assert "running" not in statuses(tmp_path)
        assert all(gone(pid) for pid in workers_of(tmp_path))
    result = project.run("m")
    assert result.code == 0, result.err
    assert project.latest_values()["total"] == 2 * sum(range(40))
    again = project.run("m")
    assert again.code == 0 and "succeeded" not in again.out


def test_ctrl_c_while_waiting_for_another_invocation(tmp_path: Path) -> None:
    project = Project(tmp_path)
    project.write("m.py", """\
        import time
        from tevra import asset

        @asset()
        def slow():
            time.sleep(30)
            return 1
    """)
    first = project.popen("run", "m", "--plain")
    try:
        deadline = time.monotonic() + 60
        while not (tmp_path / ".tevra" / "lock").exists() or \
                not (tmp_path / ".tevra" / "lock").read_text():
            assert time.monotonic() < deadline
            time.sleep(0.05)
        second = project.popen("run", "m", "--plain")
        assert second.stderr is not None
        assert "waiting for the tevra run" in second.stderr.readline()
        second.send_signal(signal.SIGINT)
        out, err = second.communicate(timeout=30)
        assert second.returncode == 130
        assert err.startswith("tevra: interrupted while waiting for the tevra run (pid "), err
        assert err.count("\n") == 1 and "Traceback" not in err
    finally:
        first.send_signal(signal.SIGINT)
        first.communicate(timeout=60)
    assert first.returncode == 130
    assert statuses(tmp_path) == ["interrupted"]


def test_sigterm_stops_and_records(tmp_path: Path) -> None:
    project = Project(tmp_path)
    project.write("m.py", PIPELINE.replace("random.uniform(0, 0.05)", "5"))
    proc = project.popen("run", "m", "--plain", "-j", "2")
    deadline = time.monotonic() + 60
    while len(workers_of(tmp_path)) < 2:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert "running" not in statuses(tmp_path)
    assert statuses(tmp_path).count("interrupted") == 2
    assert all(gone(pid) for pid in workers_of(tmp_path))


SLOW_IMPORT = """\
import os, sys, time
from tevra import asset

# Each process that imports this module says so, and takes its time.
with open(f"imported-{os.getpid()}", "w") as f:
    f.write(sys.argv[0])
time.sleep(60)

@asset()
def one():
    return 1
"""


def test_ctrl_c_during_discovery_leaves_no_process_behind(tmp_path: Path) -> None:
    # Only the command is interrupted (as by a signal from elsewhere than the
    # terminal): the processes importing the modules must be ended by it.
    project = Project(tmp_path)
    project.write("slow.py", SLOW_IMPORT)
    proc = project.popen("run", "slow", "--plain")
    deadline = time.monotonic() + 60
    while not any("scan" in p.read_text() for p in tmp_path.glob("imported-*")):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    importers = [int(p.name.removeprefix("imported-")) for p in tmp_path.glob("imported-*")]
    assert importers and all(gone(pid) for pid in importers)
