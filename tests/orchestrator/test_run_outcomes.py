"""How runs that go wrong are recorded and shown: crashes, timeouts, Ctrl-C, the terminal."""

from __future__ import annotations

import os
import pty
import re
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from tevra_project import Project

PARTS = """\
import ctypes, os, time
from tevra import asset, partitions

@asset(partitions={"how": partitions(["ok", "segfault", "exit", "sleep", "raise"])})
def part(how):
    if how == "segfault":
        ctypes.string_at(0)
    if how == "exit":
        os._exit(3)
    if how == "sleep":
        time.sleep(30)
    if how == "raise":
        raise KeyError(how)
    return how

@asset(partitions={"n": partitions(list(range(4)))})
def fine(n):
    return n
"""


def records(project):
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    out = {p: (s, e) for p, s, e in db.execute(
        "SELECT partition, status, error FROM runs WHERE status != 'cached' ORDER BY id")}
    db.close()
    return out


@pytest.mark.parametrize("isolate", [False, True], ids=["pool", "isolate"])
def test_each_way_a_run_can_end_is_recorded_and_the_rest_goes_on(tmp_path, isolate):
    p = Project(tmp_path)
    p.write("m.py", PARTS)
    args = ["--timeout", "2", "-j", "2"] + (["--isolate"] if isolate else [])
    result = p.run("m", *args)
    assert result.code == 1
    got = records(p)
    assert got["how=ok"] == ("succeeded", None)
    assert got["how=segfault"][0] == "crashed" and "SIGSEGV" in got["how=segfault"][1]
    assert got["how=exit"][0] == "crashed" and "exit status 3" in got["how=exit"][1]
    assert got["how=sleep"][0] == "timed out"
    assert got["how=raise"] == ("failed", "KeyError: 'raise'")
    assert all(got[f"n={n}"] == ("succeeded", None) for n in range(4))
    # Crashed and failed runs can be run again alone.
    assert p.status("m")["part[how=segfault]"] == ("failed", "crashed")


@pytest.mark.parametrize("group", [False, True], ids=["orchestrator", "process-group"])
def test_ctrl_c_records_runs_in_flight_as_interrupted_and_leaves_no_worker(tmp_path, group):
    p = Project(tmp_path)
    p.write("m.py", """
import os, time
from tevra import asset, partitions

@asset(partitions={"n": partitions(list(range(6)))})
def slow(n):
    with open(f"pid-{os.getpid()}", "w"):
        pass
    time.sleep(30)
    return n
""")
    # A terminal's Ctrl-C reaches the whole process group, workers included.
    proc = p.popen("run", "m", "--plain", "-j", "2", start_new_session=True)
    deadline = time.monotonic() + 30
    while len(list(tmp_path.glob("pid-*"))) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    workers = [int(f.name[4:]) for f in tmp_path.glob("pid-*")]
    assert len(workers) == 2
    if group:
        os.killpg(proc.pid, signal.SIGINT)
    else:
        proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert "stopped early" in out
    statuses = [s for s, _ in records(p).values()]
    assert statuses.count("interrupted") == 2 and "running" not in statuses
    time.sleep(0.2)
    for pid in workers:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def test_terminal_shows_failures_at_once_and_a_summary_table(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", """
from tevra import asset, partitions

def check(v):
    if v == 2:
        raise ValueError("two is not allowed")
    return v

@asset(partitions={"v": partitions([1, 2, 3])})
def values(v):
    return check(v)
""")
    leader, follower = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "tevra", "run", "m", "-j", "1"],
                            cwd=tmp_path, env=dict(p.env(), COLUMNS="120", TERM="xterm"),
                            stdin=follower, stdout=follower, stderr=follower)
    os.close(follower)
    chunks = []
    while True:
        try:
            data = os.read(leader, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    proc.wait(60)
    os.close(leader)
    screen = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", b"".join(chunks).decode("utf-8", "replace"))
    assert proc.returncode == 1
    assert "values[v=2] failed (run" in screen
    assert "ValueError: two is not allowed" in screen
    assert "in check" in screen
    # The summary table: one row per asset with its runs, cached and failed counts.
    row = next(line for line in screen.splitlines() if line.strip().startswith("values "))
    assert row.split()[1:4] == ["2", "0", "1"]
    assert "1 failed, 2 succeeded" in screen
