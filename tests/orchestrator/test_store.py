"""The run store under stress: a killed orchestrator, two invocations at once, history."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import time

import pytest

from tevra import versions
from tevra_project import Project

SLOW = """\
import time
from tevra import asset, partitions

@asset(partitions={"i": partitions(list(range(%d)))})
def slow(i):
    time.sleep(%s)
    return {"i": i}

@asset(inputs={"s": slow})
def total(s):
    return sum(v["i"] for v in s.values())
"""


def rows(project):
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    out = db.execute("SELECT id, partition, status, value, value_hash, data_version "
                     "FROM runs").fetchall()
    db.close()
    return [(i, partition, status, value if value is not None else digest, version)
            for i, partition, status, value, digest, version in out]


def assert_consistent(project):
    """No run reads as succeeded without its value, and none succeeded twice."""
    seen = set()
    for _, partition, status, value, version in rows(project):
        assert status != "running"
        if status == "succeeded":
            data = value if isinstance(value, bytes) else project.stored(value).read_bytes()
            assert versions.data_version(data) == version
            assert partition not in seen or partition == ""
            seen.add(partition)


def wait_for_lines(proc, needle, count, limit=60.0):
    seen = 0
    end = time.monotonic() + limit
    while seen < count and time.monotonic() < end:
        line = proc.stdout.readline()
        if not line:
            break
        seen += needle in line
    assert seen >= count


def test_orchestrator_killed_mid_run_leaves_a_consistent_store(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", SLOW % (24, "0.15"))
    proc = p.popen("run", "m", "--plain", "-j", "2")
    wait_for_lines(proc, "succeeded", 5)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    # The pool's workers see their job pipe close and go too.
    time.sleep(0.5)
    assert {r[2] for r in rows(p)} <= {"running", "succeeded"}
    result = p.run("m", "-j", "2")
    assert result.code == 0, result.out + result.err
    assert_consistent(p)
    statuses = [r[2] for r in rows(p)]
    assert "interrupted" in statuses
    assert p.latest_values()["total"] == sum(range(24))
    # Nothing that finished before the kill and was recorded ran a second time.
    assert sum(s == "succeeded" for s in statuses) == 25


def test_second_invocation_waits_for_the_first(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", SLOW % (6, "0.3"))
    first = p.popen("run", "m", "--plain", "-j", "1")
    wait_for_lines(first, "succeeded", 1)
    second = p.tevra("run", "m", "--plain", "-j", "1")
    assert "waiting for the tevra run (pid" in second.err
    assert first.wait(60) == 0
    assert second.code == 0
    # The second found everything done by the first.
    assert "7 cached" in second.out
    assert_consistent(p)


def test_history_commands(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", """
from tevra import asset, partitions

def inner(x):
    raise ValueError(f"bad {x}")

@asset(partitions={"x": partitions(["ok", "bad"])})
def parts(x):
    if x == "bad":
        inner(x)
    return x
""")
    result = p.run("m")
    assert result.code == 1
    # The failure and the head of its traceback show at once.
    assert "parts[x=bad] failed (run " in result.out
    assert "ValueError: bad bad" in result.out
    assert 'm.py", line 5, in inner' in result.out

    runs = p.tevra("runs").out.splitlines()
    assert len(runs) == 3  # a header and two runs
    assert sorted(line.split()[1] for line in runs[1:]) == ["failed", "succeeded"]
    failed = p.tevra("runs", "--status", "failed").out.splitlines()
    assert len(failed) == 2 and "m:parts[x=bad]" in failed[1]
    assert len(p.tevra("runs", "--asset", "parts", "--limit", "1").out.splitlines()) == 2

    shown = p.tevra("show", "parts", "--partition", "x=bad")
    assert shown.code == 0
    assert "status        failed" in shown.out
    assert "error         ValueError: bad bad" in shown.out
    assert "traceback:" in shown.out and "in parts" in shown.out and "in inner" in shown.out
    run_id = failed[1].split()[0]
    assert p.tevra("show", run_id).out == shown.out

    ok = p.tevra("show", "parts", "-p", "x=ok").out
    value = next(l.split(None, 1)[-1] for l in ok.splitlines() if l.startswith("value "))
    assert json.loads(value) == "ok"

    missing = p.tevra("show", "99999")
    assert missing.code == 2 and "no run 99999" in missing.err


def test_state_directory_moves_with_option_and_environment(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", "from tevra import asset\n@asset()\ndef a():\n    return 1\n")
    assert p.run("m", "--state", "elsewhere").code == 0
    assert (tmp_path / "elsewhere" / "runs.db").exists()
    assert not (tmp_path / ".tevra").exists()
    env_home = tmp_path / "home"
    os.environ["TEVRA_HOME"] = str(env_home)
    try:
        env = p.env()
        env["TEVRA_HOME"] = str(env_home)
        import subprocess
        import sys
        subprocess.run([sys.executable, "-m", "tevra", "run", "m", "--plain"], cwd=tmp_path,
                       env=env, check=True, capture_output=True)
    finally:
        del os.environ["TEVRA_HOME"]
    assert (env_home / "runs.db").exists()


@pytest.mark.parametrize("fail_fast", [False, True])
def test_failed_branch_and_independent_branch(tmp_path, fail_fast):
    p = Project(tmp_path)
    p.write("m.py", """
import time
from tevra import asset

@asset()
def broken():
    raise RuntimeError("no")

@asset(inputs={"b": broken})
def after(b):
    return b

@asset()
def independent():
    time.sleep(0.3)
    return 1

@asset(inputs={"i": independent})
def after_independent(i):
    return i + 1
""")
    args = ["-j", "2"] + (["--fail-fast"] if fail_fast else [])
    result = p.run("m", *args)
    assert result.code == 1
    by_status = {r[2] for r in rows(p)}
    assert "failed" in by_status
    if fail_fast:
        assert "after_independent" not in json.dumps(p.latest_values())
        assert "stopped early" in result.out
    else:
        assert p.latest_values() == {"independent": 1, "after_independent": 2}
        assert "upstream failed  after: upstream broken failed" in result.out


@pytest.mark.parametrize("command", [["runs"], ["show", "1"], ["show", "a"]])
def test_history_commands_without_history(tmp_path, command):
    result = Project(tmp_path).tevra(*command)
    assert result.code == 2
    assert f"no run history in {tmp_path / '.tevra'}" in result.err
    assert not (tmp_path / ".tevra").exists()
