"""``tevra run`` starts its first pool worker with discovery: it imports the modules
meanwhile, touches the state directory only once the run holds its lock, and is gone
when nothing runs."""

from __future__ import annotations

import fcntl
import os
import time
from pathlib import Path

import pytest

from test_executors import dead, gone
from tevra_project import Project

# Who imports it: "scan" in discovery, "pool_worker" in a pool worker. Discovery ends
# only once a worker of the same command imported it too, so a worker that imports it
# only when its first run comes (none started ahead) fails discovery instead of passing
# unseen.
MODULE = """\
import os, subprocess, sys, time
from pathlib import Path
from tevra import asset, partitions

ROLE = Path(sys.argv[0]).stem
if ROLE == "pool_worker":
    # Something the import starts: it must go with the worker.
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(300)"])
    with open("sleepers.log", "a") as f:
        f.write(f"{sleeper.pid}\\n")
with open("imports.log", "a") as f:
    f.write(f"{ROLE} {os.getpid()} {os.getppid()}\\n")
print(f"importing in {ROLE}")
print("import warning", file=sys.stderr)
if ROLE == "pool_worker":
    if os.path.exists("fail-once"):
        os.unlink("fail-once")
        raise RuntimeError("only this once")
    if os.path.exists("die-once"):
        os.unlink("die-once")
        os._exit(3)
if ROLE == "scan":
    deadline = time.monotonic() + 20
    # A worker of this command: its parent is ours.
    while "pool_worker" not in [line.split()[0] for line in Path("imports.log").read_text()
                                 .splitlines() if line.endswith(f" {os.getppid()}")]:
        if time.monotonic() > deadline:
            raise RuntimeError("no worker imported this module while discovery ran")
        time.sleep(0.02)

@asset(partitions={"i": partitions([1, 2])})
def where(i):
    print(f"run {i}")
    return os.getpid()
"""


def imports(project: Project) -> list[tuple[str, int]]:
    path = project.root / "imports.log"
    lines = path.read_text().split("\n") if path.exists() else []
    return [(role, int(pid)) for role, pid, _ in (line.split() for line in lines if line)]


def sleepers(project: Project) -> list[int]:
    return [int(line) for line in (project.root / "sleepers.log").read_text().split()]


def scratch(project: Project) -> list[str]:
    path = project.root / ".tevra" / "scratch"
    return sorted(os.listdir(path)) if path.exists() else []


@pytest.mark.parametrize("trouble", [None, "fail-once", "die-once"])
def test_the_worker_started_ahead_runs_the_jobs(tmp_path: Path, trouble: str | None) -> None:
    """It ran both runs, having imported the module once (twice when that import
    failed); what the import printed reached the terminal once, from discovery, and is
    the start of the first run's log. One that died importing is replaced."""
    project = Project(tmp_path)
    project.write("m.py", MODULE)
    if trouble is not None:
        project.write(trouble, "")
    result = project.run("m", "-j", "1")
    assert result.code == 0, result.err
    shown = result.out + result.err
    assert shown.count("importing in") == 1 and "importing in scan" in shown
    assert shown.count("import warning") == 1
    assert [role for role, _ in imports(project)].count("scan") == 1
    workers = [pid for role, pid in imports(project) if role == "pool_worker"]
    assert len(workers) == (1 if trouble is None else 2)
    if trouble is not None:
        # The same process imported again, or a new one took the dead one's place.
        assert (workers[0] == workers[1]) == (trouble == "fail-once")
    worker = workers[-1]
    assert project.latest_values() == {"where[i=1]": worker, "where[i=2]": worker}
    first = project.tevra("logs", "where", "-p", "i=1")
    imported = "importing in pool_worker\nimport warning\n"
    assert first.out == imported * (2 if trouble == "fail-once" else 1) + "run 1\n"
    assert project.tevra("logs", "where", "-p", "i=2").out == "run 2\n"
    assert all(gone(pid, limit=5) for pid in sleepers(project))
    assert scratch(project) == []


BAD_INPUT = """\
from tevra import asset
from m import where

@asset(inputs={"nothing": where})
def downstream(values):
    return 1
"""


@pytest.mark.parametrize("case", ["all fresh", "unknown selection", "graph error",
                                  "module fails"])
def test_a_worker_started_ahead_goes_when_nothing_runs(tmp_path: Path, case: str) -> None:
    """Stopped with what its imports started, having made no scratch directory."""
    project = Project(tmp_path)
    project.write("m.py", MODULE)
    args = ["m"]
    if case == "all fresh":
        assert project.run("m").code == 0
    elif case == "unknown selection":
        args += ["--select", "nothing"]
    elif case == "graph error":
        project.write("bad.py", BAD_INPUT)
        args.append("bad")
    else:
        project.write("broken.py", "raise ValueError('broken at import')\n")
        args.append("broken")
    before = len(sleepers(project)) if case == "all fresh" else 0
    result = project.tevra("run", "--plain", *args)
    assert result.code == (0 if case == "all fresh" else 2), result.err
    if case == "all fresh":
        assert "2 cached" in result.out
    # The worker started ahead imported the module (discovery waited for it).
    ahead = [entry for entry in imports(project) if entry[0] == "pool_worker"][-1]
    assert len(sleepers(project)) == before + 1
    assert all(gone(pid, limit=5) for pid in [ahead[1], *sleepers(project)])
    assert scratch(project) == []


def test_the_worker_started_ahead_waits_for_the_lock(tmp_path: Path) -> None:
    """While another invocation holds the state directory, the worker imports and waits,
    leaving that invocation's scratch directory alone; it runs the jobs once it may."""
    project = Project(tmp_path)
    project.write("m.py", MODULE)
    state = project.root / ".tevra"
    theirs = state / "scratch" / "pool-1-1"
    theirs.mkdir(parents=True)
    (theirs / "value.json").write_text("[1]")
    lock = open(state / "lock", "a+")
    fcntl.flock(lock, fcntl.LOCK_EX)
    lock.write(str(os.getpid()))
    lock.flush()
    proc = project.popen("run", "--plain", "-j", "1", "m")
    try:
        assert proc.stderr is not None
        while "waiting for the tevra run" not in (line := proc.stderr.readline()):
            assert line, proc.communicate()
        deadline = time.monotonic() + 60
        while not (project.root / "sleepers.log").exists():
            assert time.monotonic() < deadline, "the worker never imported the module"
            time.sleep(0.02)
        (_, worker), = [entry for entry in imports(project) if entry[0] == "pool_worker"]
        assert not dead(worker) and proc.poll() is None
        assert scratch(project) == ["pool-1-1"]
        assert os.listdir(theirs) == ["value.json"] and (theirs / "value.json").read_text() == "[1]"
    finally:
        lock.close()
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    assert project.latest_values() == {"where[i=1]": worker, "where[i=2]": worker}
    assert sorted(role for role, _ in imports(project)) == ["pool_worker", "scan"]
