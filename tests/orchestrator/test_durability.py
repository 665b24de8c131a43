"""The run history is never behind what happened, and what a dead invocation left running
is stopped before its runs run again. Real commands, processes and SQLite."""

from __future__ import annotations

import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from test_executors import dead, gone
from tevra import lifeline
from tevra.jobs import SUCCEEDED, Outcome
from tevra.store import Store
from tevra_project import Project, lock_holder

SEES_ITSELF = """\
import os, sqlite3
from tevra import asset, partitions

@asset(partitions={"i": partitions([0, 1, 2])})
def sees_itself(i):
    # What the history says of this very run while it runs, read by the run itself.
    db = sqlite3.connect("file:.tevra/runs.db?mode=ro", uri=True)
    [(status, invocation)] = db.execute(
        "SELECT status, invocation FROM runs WHERE partition = ?", (f"i={i}",)).fetchall()
    pids = [p for (p,) in db.execute("SELECT pid FROM workers WHERE invocation = ?",
                                     (invocation,))]
    return {"status": status, "worker recorded": os.getpid() in pids}
"""

EXECUTORS = {"pool": [], "isolate": ["--isolate"], "dask": ["--executor", "dask"]}


def history(root: Path, sql: str, args: tuple[object, ...] = ()) -> list[tuple[object, ...]]:
    db = sqlite3.connect(f"file:{root / '.tevra' / 'runs.db'}?mode=ro", uri=True)
    try:
        return db.execute(sql, args).fetchall()
    finally:
        db.close()


@pytest.mark.parametrize("executor", list(EXECUTORS))
def test_a_run_is_recorded_running_before_its_asset_is_called(tmp_path: Path,
                                                                executor: str) -> None:
    if executor == "dask":
        pytest.importorskip("distributed")
    project = Project(tmp_path)
    project.write("m.py", SEES_ITSELF)
    result = project.run("m", "-j", "2", *EXECUTORS[executor])
    assert result.code == 0, result.err
    values = project.latest_values()
    assert {v["status"] for v in values.values()} == {"running"}  # type: ignore[index]
    if executor == "pool":
        # A pool worker is recorded before its first job; a Dask worker is the cluster's.
        assert all(v["worker recorded"] for v in values.values())  # type: ignore[index]


def test_an_outcome_is_recorded_before_the_display_shows_it(tmp_path: Path) -> None:
    project = Project(tmp_path)
    project.write("m.py", """\
        from tevra import asset, partitions

        @asset(partitions={"i": partitions(list(range(300)))})
        def quick(i):
            return i
    """)
    proc = project.popen("run", "m", "--plain", "-j", "2")
    assert proc.stdout is not None
    seen = 0
    for line in proc.stdout:
        if not line.startswith("succeeded"):
            continue
        partition = line.split()[1].removeprefix("quick[").removesuffix("]")
        [(status,)] = history(tmp_path, "SELECT status FROM runs WHERE partition = ?",
                              (partition,))
        assert status == SUCCEEDED, line
        seen += 1
    assert proc.wait() == 0, proc.stderr.read() if proc.stderr else ""
    assert seen == 300


SPAWNER = """\
import os, subprocess, sys, time
from tevra import asset, partitions

@asset(partitions={"i": partitions([0, 1])})
def spawner(i):
    if not os.path.exists(f"started-{i}"):
        # The first time: a process of its own, then a long wait the orchestrator's
        # death cuts short.
        child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
        with open("children.log", "a") as f:
            f.write(f"{child.pid}\\n")
        open(f"started-{i}", "w").close()
        time.sleep(600)
    # Run again: what the first time started must be gone by now.
    with open("children.log") as f:
        pids = [int(p) for p in f.read().split()]
    alive = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rpartition(")")[2].split()[0]
        except OSError:
            continue
        if state != "Z":
            alive.append(pid)
    return alive
"""


def test_the_next_invocation_stops_what_a_killed_one_left_before_running_again(
        tmp_path: Path) -> None:
    project = Project(tmp_path)
    project.write("m.py", SPAWNER)
    log = tmp_path / "children.log"
    proc = project.popen("run", "m", "--plain", "-j", "2")
    deadline = time.monotonic() + 120
    while not log.exists() or len(log.read_text().split()) < 2:
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    proc.kill()
    proc.wait()
    children = [int(p) for p in log.read_text().split()]
    # The workers died with the orchestrator; what their runs started lives on.
    assert not any(dead(pid) for pid in children)
    result = project.run("m", "-j", "2")
    assert result.code == 0, result.err
    assert project.latest_values() == {"spawner[i=0]": [], "spawner[i=1]": []}
    assert all(gone(pid) for pid in children)
    assert history(tmp_path, "SELECT status FROM runs WHERE invocation = 1") == \
        [("interrupted",), ("interrupted",)]
    # The workers of the invocations that ended are forgotten.
    assert history(tmp_path, "SELECT * FROM workers") == []


def test_a_pid_given_to_another_process_is_never_killed() -> None:
    proc = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"],
                            process_group=0)
    try:
        who = lifeline.identity(proc.pid)
        assert who is not None
        # The same pid, started at another time: a process that reused the number.
        assert lifeline.stop_leftovers([who._replace(start=who.start - 1)], wait=0.5) == 0
        assert proc.poll() is None
        # Of another boot: nothing of it can be left.
        assert lifeline.stop_leftovers([who._replace(boot="another boot")], wait=0.5) == 0
        assert proc.poll() is None
        assert lifeline.stop_leftovers([who]) == 1
        assert proc.wait(10) == -signal.SIGKILL
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_a_commit_cut_short_while_waiting_for_the_lock_leaves_the_store_usable(
        tmp_path: Path) -> None:
    root = tmp_path / "state"
    store = Store(root)
    with store.writer(["test"]):
        store.started(store.new_run_id(), "a", "", "never run", "v1", None, "out")
        holder = lock_holder(store.path)
        assert holder.stdin is not None
        # Ctrl-C while the commit waits for the other process's lock.
        timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            store.commit()
        timer.join()
        holder.stdin.write("\n")
        holder.stdin.flush()
        assert holder.wait(10) == 0
        # Nothing was lost and nothing is left open: the next commit writes it all.
        run = store.new_run_id()
        store.started(run, "a", "", "never run", "v1", None, "out2")
        store.finished("a", "", Outcome(run, SUCCEEDED, 1.0, 2.0), None)
        store.commit()
        assert not store.db.in_transaction
    rows = [(r.id, r.status) for r in Store(root, readonly=True).runs()]
    assert rows == [(2, SUCCEEDED), (1, "running")]


COUNTS_WORKERS = """\
import sqlite3
from tevra import asset, partitions

@asset(partitions={"i": partitions(list(range(RUNS)))})
def counts(i):
    db = sqlite3.connect("file:.tevra/runs.db?mode=ro", uri=True)
    [(n,)] = db.execute("SELECT count(*) FROM workers WHERE invocation = "
                        "(SELECT max(id) FROM invocations)").fetchall()
    return n
"""


@pytest.mark.parametrize("runs", [1, 3])
def test_jobs_are_capped_at_the_runs_there_are(tmp_path: Path, runs: int) -> None:
    project = Project(tmp_path)
    project.write("m.py", COUNTS_WORKERS.replace("RUNS", str(runs)))
    result = project.run("m", "-j", "16")
    assert result.code == 0, result.err
    # No more workers were ever started than there were runs.
    assert max(project.latest_values().values()) <= runs  # type: ignore[type-var]
