"""When the run history or the output fails, the command says so in one line (what failed,
which file, what to do) and exits non-zero; a history it cannot read is refused before
anything runs and is left exactly as it was. Faults are caused for real: damaged files,
a full and a read-only filesystem (mounted in a namespace of the test's own), a closed
pipe, another process holding the database's lock."""

from __future__ import annotations

import hashlib
import random
import shutil
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tevra_project import Project, lock_holder

ASSETS = """\
import os
from tevra import asset, partitions

@asset(partitions={"i": partitions(list(range(50)))})
def numbers(i):
    with open("executions.log", "a") as f:
        f.write(f"{i}\\n")
    return i
"""


@pytest.fixture
def project(tmp_path: Path) -> Project:
    p = Project(tmp_path)
    p.write("m.py", ASSETS)
    return p


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def executions(project: Project) -> list[str]:
    log = project.root / "executions.log"
    return log.read_text().split() if log.exists() else []


def one_line(err: str) -> str:
    assert "Traceback" not in err, err
    assert err.count("\n") == 1 and err.startswith("tevra: "), err
    return err


def damage(db: Path, how: str) -> None:
    data = db.read_bytes()
    noise = random.Random(how).randbytes
    if how == "truncated":
        db.write_bytes(data[: len(data) // 3])
    elif how == "random bytes":
        db.write_bytes(noise(len(data)))
    elif how == "zeroed":
        db.write_bytes(bytes(len(data)))
    elif how == "a page damaged":
        with open(db, "r+b") as f:
            for offset in range(len(data) // 2, len(data), 4096):
                f.seek(offset + 200)
                f.write(noise(1500))


@pytest.mark.parametrize("how", ["truncated", "random bytes", "zeroed", "a page damaged"])
def test_a_history_that_cannot_be_read_is_refused_and_left_as_it_is(project: Project,
                                                                     how: str) -> None:
    assert project.run("m").code == 0
    db = project.root / ".tevra" / "runs.db"
    # All of it in the database file itself, as a copy or a crash would leave it.
    con = sqlite3.connect(db)
    con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    con.close()
    for extra in (".tevra/runs.db-wal", ".tevra/runs.db-shm", "executions.log"):
        (project.root / extra).unlink(missing_ok=True)
    damage(db, how)
    before = digest(db)
    refused = 0
    for command in (["run", "m", "--plain"], ["status", "m"], ["runs"], ["show", "numbers",
                                                                         "-p", "i=3"]):
        result = project.tevra(*command)
        if how == "a page damaged" and result.code == 0:
            continue  # this command reads no damaged page
        assert result.code == 2, (command, result.err)
        line = one_line(result.err)
        assert str(db) in line and "cannot be read" in line and "move it away" in line
        refused += 1
    assert refused
    if how != "a page damaged":
        assert digest(db) == before
        assert executions(project) == []
    # (A damage inside a page is found when that page is read, which may come after the
    # invocation's own record was written and runs were started: the command stops then,
    # saying so. `tevra check --store` reads every page.)


@pytest.mark.parametrize("command", [["run", "m"], ["status", "m"], ["runs"], ["show", "1"]])
def test_state_naming_a_file(project: Project, command: list[str]) -> None:
    (project.root / "not-a-dir").write_text("")
    result = project.tevra(*command, "--state", "not-a-dir")
    assert result.code == 2
    assert "not-a-dir is a file, not a directory; give --state a directory" in one_line(result.err)
    assert executions(project) == []


@pytest.mark.parametrize("command, said", [
    (["show", "99999999999999999999999"], "no run 99999999999999999999999 in "),
    (["show", "numbers", "-p", "i=1,2"], "--partition names several (i=1, i=2)"),
    (["logs", "numbers", "-p", "i=1,2"], "--partition names several (i=1, i=2)"),
    (["show", "numbers"], "numbers has partitions; name one with --partition (such as i=0, "),
])
def test_show_refuses_what_names_no_run_or_several(project: Project, command: list[str],
                                                   said: str) -> None:
    assert project.run("m").code == 0
    result = project.tevra(*command)
    assert result.code == 2
    assert said in one_line(result.err)


def test_a_closed_output_stops_the_run_and_keeps_every_record(project: Project) -> None:
    project.write("m.py", ASSETS.replace("range(50)", "range(3000)"))
    proc = subprocess.Popen(
        f"{sys.executable} -m tevra run m --plain -j 2 | head -n 3 > head.out",
        shell=True, cwd=project.root, env=project.env(), stderr=subprocess.PIPE, text=True)
    _, err = proc.communicate(timeout=300)
    assert (project.root / "head.out").read_text().count("\n") == 3
    assert "the output was closed (broken pipe)" in one_line(err)
    con = sqlite3.connect(project.root / ".tevra" / "runs.db")
    statuses = dict(con.execute("SELECT status, count(*) FROM runs GROUP BY status").fetchall())
    con.close()
    assert "running" not in statuses
    # Every run that was executed has its record, and it stopped well before the end.
    assert statuses.get("succeeded", 0) + statuses.get("interrupted", 0) >= len(executions(project))
    assert len(executions(project)) < 3000


def test_reading_commands_into_a_closed_pipe_say_so_once(project: Project) -> None:
    project.write("m.py", ASSETS.replace("range(50)", "range(3000)"))
    assert project.run("m").code == 0
    proc = subprocess.run(f"{sys.executable} -m tevra runs --limit 3000 | head -n 1",
                          shell=True, cwd=project.root, env=project.env(), capture_output=True,
                          text=True)
    assert proc.stdout.startswith("    run")
    assert "the output was closed (broken pipe)" in one_line(proc.stderr)


def test_a_locked_history_is_waited_for_saying_so(project: Project) -> None:
    assert project.run("m").code == 0
    db = project.root / ".tevra" / "runs.db"
    holder = lock_holder(db)
    assert holder.stdin is not None
    run = project.popen("run", "m", "--plain", "--force")
    assert run.stderr is not None
    line = run.stderr.readline()
    assert line == f"tevra: waiting for {db}: another process holds its lock\n"
    holder.stdin.write("\n")
    holder.stdin.flush()
    assert holder.wait(30) == 0
    out, err = run.communicate(timeout=120)
    assert run.returncode == 0, err
    assert sum(line.startswith("succeeded ") for line in out.splitlines()) == 50


def _namespaces() -> bool:
    if shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "true"],
                          capture_output=True).returncode == 0


needs_namespaces = pytest.mark.skipif(not _namespaces(),
                                      reason="mounting needs user and mount namespaces")


def in_namespace(project: Project, script: str) -> subprocess.CompletedProcess[str]:
    """A shell script where it may mount filesystems of its own (seen by it alone)."""
    return subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-e", "-c",
                           textwrap.dedent(script)], cwd=project.root, env=project.env(),
                          capture_output=True, text=True, timeout=300)


@needs_namespaces
def test_a_full_disk_is_one_line_and_the_next_run_goes_on(project: Project) -> None:
    project.write("m.py", ASSETS.replace("return i", 'return "x" * 300_000 + str(i)'))
    tevra = f"{sys.executable} -m tevra"
    done = in_namespace(project, f"""
        mkdir -p state
        mount -t tmpfs -o size=2m tmpfs state
        {tevra} run m --plain -j 2 --state state > full.out 2> full.err || echo $? > full.code
        mount -o remount,size=64m state
        {tevra} run m --plain -j 2 --state state > again.out 2> again.err
        {tevra} runs --state state --limit 1000 > runs.out
    """)
    assert done.returncode == 0, done.stderr
    root = project.root
    assert int((root / "full.code").read_text()) != 0
    line = one_line((root / "full.err").read_text())
    assert "state/runs.db" in line or "state/" in line
    assert "the disk is full" in line and "free some space" in line
    runs = (root / "runs.out").read_text()
    assert " running " not in runs
    assert "Traceback" not in (root / "again.err").read_text()
    statuses = [line.split()[1] for line in runs.splitlines()[1:]]
    # What the full disk cut short is recorded so, and then run to the end.
    assert statuses.count("succeeded") == 50


@needs_namespaces
def test_a_read_only_state_directory_is_one_line(project: Project) -> None:
    assert project.run("m").code == 0
    done = in_namespace(project, f"""
        mount --bind .tevra .tevra
        mount -o remount,bind,ro .tevra
        {sys.executable} -m tevra run m --plain --force > ro.out 2> ro.err || echo $? > ro.code
    """)
    assert done.returncode == 0, done.stderr
    assert int((project.root / "ro.code").read_text()) == 2
    line = one_line((project.root / "ro.err").read_text())
    assert str(project.root / ".tevra") in line and "writable" in line
    assert sorted(map(int, executions(project))) == list(range(50))  # the first run's alone
