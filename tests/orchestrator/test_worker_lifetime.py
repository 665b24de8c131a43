"""Workers die with the orchestrator that started them, and start no job after it."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from test_executors import gone
from tevra.executors.process import child_env
from tevra_project import Project

SLOW = """\
import os, time
from tevra import asset, partitions

@asset(partitions={"i": partitions(list(range(6)))})
def slow(i):
    with open("starts.log", "a") as f:
        f.write(f"{i} {os.getpid()}\\n")
    time.sleep(600)
    return i
"""

EXECUTORS = {"pool": [], "isolate": ["--isolate"], "dask": ["--executor", "dask"]}


def lines(path: Path) -> list[str]:
    return path.read_text().splitlines() if path.exists() else []


@pytest.mark.parametrize("executor", list(EXECUTORS))
def test_workers_die_with_a_killed_orchestrator(tmp_path: Path, executor: str) -> None:
    if executor == "dask":
        pytest.importorskip("distributed")
    project = Project(tmp_path)
    project.write("m.py", SLOW)
    starts = tmp_path / "starts.log"
    proc = project.popen("run", "m", "--plain", "-j", "2", *EXECUTORS[executor])
    deadline = time.monotonic() + 120
    while len(lines(starts)) < 2:
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the runs never started"
        time.sleep(0.05)
    proc.kill()
    # Not read to their end: a surviving worker would hold them open.
    proc.wait()
    for pipe in (proc.stdout, proc.stderr):
        if pipe is not None:
            pipe.close()
    pids = [int(line.split()[1]) for line in lines(starts)]
    assert all(gone(pid, limit=5) for pid in pids)
    # Four runs were waiting: none of them started once the orchestrator was gone.
    time.sleep(1.0)
    assert len(lines(starts)) == 2


def test_a_pool_worker_whose_parent_is_gone_runs_none_of_its_jobs(tmp_path: Path) -> None:
    """Jobs already in the pipe when the parent dies are never started."""
    project = tmp_path / "project"
    project.mkdir()
    (project / "executor_assets.py").write_text(
        (Path(__file__).parent / "executor_assets.py").read_text())
    markers = [tmp_path / f"started-{i}" for i in range(2)]
    # The parent starts a worker, writes two jobs into its pipe and dies at once.
    parent = f"""
import os, subprocess, sys, json
from tevra.executors.pool_worker import encode_job, encode_place
from tevra.jobs import Job
os.makedirs("state")
job_read, job_write = os.pipe()
out_read, out_write = os.pipe()
worker = subprocess.Popen([sys.executable, "-m", "tevra.executors.pool_worker", str(job_read),
                           str(out_write), str(os.getpid())], pass_fds=(job_read, out_write),
                          process_group=0)
os.write(job_write, encode_place("state", "w"))
for i, marker in enumerate({[str(m) for m in markers]!r}):
    os.write(job_write, encode_job(Job(i, "executor_assets", "hang", {str(tmp_path)!r} + f"/out-{{i}}",
                                       {{"marker": json.dumps(marker)}})))
print(worker.pid, flush=True)
os._exit(0)
"""
    done = subprocess.run([sys.executable, "-c", parent], cwd=project, env=child_env(),
                          capture_output=True, text=True, check=True)
    worker = int(done.stdout)
    assert gone(worker, limit=5)
    assert not any(m.exists() for m in markers)


def test_the_worker_command_dies_with_its_parent(tmp_path: Path) -> None:
    project = tmp_path / "project"
    project.mkdir()
    (project / "executor_assets.py").write_text(
        (Path(__file__).parent / "executor_assets.py").read_text())
    marker = tmp_path / "hang.pid"
    parent = f"""
import json, os, subprocess, sys, time
worker = subprocess.Popen([sys.executable, "-m", "tevra.worker", "--parent-pid", str(os.getpid()),
                           "executor_assets", "hang", {str(tmp_path / "out")!r},
                           json.dumps({{"marker": {str(marker)!r}}})], process_group=0)
time.sleep(600)
"""
    proc = subprocess.Popen([sys.executable, "-c", parent], cwd=project, env=child_env())
    deadline = time.monotonic() + 60
    while not marker.exists() or not marker.read_text():
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    worker = int(marker.read_text())
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    assert gone(worker, limit=5)


LEFT_BEHIND = """\
import atexit, threading, time
from tevra import asset

LOG = open("unflushed.log", "w")  # written below and never flushed nor closed
atexit.register(lambda: open("atexit.log", "w").write("ran"))

def late():
    time.sleep(0.3)
    with open("thread.log", "w") as f:
        f.write("done")

@asset()
def leaves_work() -> int:
    LOG.write("buffered")
    threading.Thread(target=late).start()
    return 1
"""


def test_a_pool_worker_ends_as_an_interpreter_does(tmp_path: Path) -> None:
    """Once its last run is over, a worker's end still flushes the files its modules
    left open, runs their atexit handlers and waits for their threads, before the
    command ends."""
    project = Project(tmp_path)
    project.write("m.py", LEFT_BEHIND)
    result = project.run("m")
    assert result.code == 0, result.out + result.err
    assert [(tmp_path / name).read_text() for name in ("unflushed.log", "atexit.log",
                                                       "thread.log")] == ["buffered", "ran", "done"]
