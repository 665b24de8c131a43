"""Each run's output is its own: its log, and nothing of it in a later run's.

Real worker processes (the pool, ``--isolate``, and a Dask cluster for the worker
side) run assets that write through print, ``sys.stderr``, descriptors 1 and 2, a
child process, ``logging`` and C's ``printf``, and assets that break the standard
descriptors and streams for whatever runs after them in the same process.
"""

from __future__ import annotations

import json
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from test_executors import dead
from tevra.executors.isolate import IsolateExecutor
from tevra.executors.pool import PoolExecutor
from tevra.jobs import SUCCEEDED, Job, Outcome
from tevra.runlog import LOG_LIMIT, cut_note
from tevra.values import ValueStore

HERE = Path(__file__).resolve().parent
LOG_ASSETS = HERE / "log_assets.py"
NOISY_LINES = __import__("log_assets").NOISY_LINES
VANDALS = ["close_descriptors", "close_streams", "replace_streams", "null_descriptors"]

Executor = PoolExecutor | IsolateExecutor


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    root.mkdir()
    (root / "log_assets.py").write_text(LOG_ASSETS.read_text(encoding="utf-8"), encoding="utf-8")
    return root


@pytest.fixture(params=["pool", "isolate"])
def executor(request: pytest.FixtureRequest, project: Path) -> Iterator[Executor]:
    # One worker: in the pool, every run follows the last in the same process.
    cls = PoolExecutor if request.param == "pool" else IsolateExecutor
    with cls(1, cwd=str(project), state=str(project / ".tevra")) as ex:
        yield ex


class Runs:
    def __init__(self, executor: Executor, root: Path) -> None:
        self.executor = executor
        self.root = root
        self.count = 0

    def __call__(self, function: str, **partition: object) -> tuple[Outcome, bytes | None]:
        """Run one asset of log_assets to its end: its outcome and its log, as kept in
        the value store."""
        self.count += 1
        job = Job(self.count, "log_assets", function,
                  {k: json.dumps(v) for k, v in partition.items()})
        self.executor.submit(job)
        outcomes: list[Outcome] = []
        while not outcomes:
            outcomes = self.executor.wait(60)
        [outcome] = outcomes
        if outcome.log_hash is None:
            return outcome, None
        values = ValueStore(str(self.root / ".tevra" / "values"))
        return outcome, values.read(outcome.log_hash)


@pytest.fixture
def run(executor: Executor, project: Path) -> Runs:
    return Runs(executor, project)


def log_of(log: bytes | None) -> str:
    assert log is not None
    return log.decode("utf-8")


def noisy_log(tag: str) -> str:
    return "".join(line.format(tag=tag) + "\n" for line in NOISY_LINES)


def test_every_way_of_writing_reaches_the_runs_log(run: Runs) -> None:
    for tag in ("first", "second"):
        outcome, out = run("noisy", tag=tag)
        assert outcome.status == SUCCEEDED, outcome
        assert log_of(out) == noisy_log(tag)


def test_a_users_logging_set_up_is_kept(run: Runs) -> None:
    outcome, out = run("user_logging")
    assert outcome.status == SUCCEEDED, outcome
    assert log_of(out) == "mine|DEBUG|debug kept\n"


@pytest.mark.parametrize("how", VANDALS)
def test_a_run_that_breaks_the_standard_streams_changes_nothing_for_the_next(
        run: Runs, how: str) -> None:
    broken, _ = run("vandal", how=how)
    assert broken.status == SUCCEEDED, broken
    outcome, out = run("writes_data")
    assert outcome.status == SUCCEEDED, outcome
    assert json.loads(outcome.value or b"") == "data\n"
    assert log_of(out) == "a log line\n"
    outcome, out = run("noisy", tag="after")
    assert log_of(out) == noisy_log("after")


def test_a_long_log_keeps_its_start_and_end_and_says_what_was_cut(run: Runs) -> None:
    lines = 3 * LOG_LIMIT // 13 + 1  # each line is 13 bytes: about three times the limit
    outcome, out = run("chatty", lines=lines)
    assert outcome.status == SUCCEEDED, outcome
    data = out
    assert data is not None
    total = 13 * lines
    assert LOG_LIMIT - 30 <= len(data) <= LOG_LIMIT
    head, _, rest = data.partition(b"\n[tevra: ")
    note, _, tail = rest.partition(b"]\n")
    cut = int(note.split()[0])
    assert cut_note(cut) == b"\n[tevra: " + note + b"]\n"
    assert len(head) + cut + len(tail) == total
    assert head.startswith(b"line 0000000\n") and tail.endswith(f"line {lines - 1:07d}\n".encode())
    # Whole lines on either side of the cut.
    assert head.endswith(b"\n") and tail.startswith(b"line ")
    kept = (head + tail).splitlines()
    assert all(len(line) == 12 for line in kept)


def test_a_run_that_writes_nothing_leaves_no_log(run: Runs) -> None:
    outcome, log = run("silent")
    assert outcome.status == SUCCEEDED, outcome
    assert log is None and outcome.log_hash is None


# -- the logs through the command ------------------------------------------------------

TALKER = """\
import os, sys, time
from tevra import asset, partitions

@asset(partitions={"i": partitions([0, 1, 2])})
def talker(i):
    for n in range(3):
        print(f"{i}.{n}", flush=True)
        os.write(2, f"{i}.{n} on 2\\n".encode())
        if i == 0:
            time.sleep(0.5)
    return i
"""


def talker_log(i: int) -> str:
    return "".join(f"{i}.{n}\n{i}.{n} on 2\n" for n in range(3))


def test_show_and_logs_print_a_runs_log(tmp_path: Path) -> None:
    from tevra_project import Project

    project = Project(tmp_path)
    project.write("m.py", TALKER)
    assert project.run("m").code == 0
    shown = project.tevra("show", "talker", "-p", "i=1")
    assert shown.code == 0
    assert shown.out.endswith("log:\n" + talker_log(1))
    logs = project.tevra("logs", "talker", "-p", "i=2")
    assert (logs.code, logs.out, logs.err) == (0, talker_log(2), "")


def test_logs_follows_a_run_under_way(tmp_path: Path) -> None:
    from tevra_project import Project

    project = Project(tmp_path)
    project.write("m.py", TALKER)
    run = project.popen("run", "m", "--plain", "-j", "1", "-p", "i=0")
    deadline = time.monotonic() + 60
    while True:
        shown = project.tevra("logs", "talker", "-p", "i=0")
        if shown.code == 0 and shown.out:
            break
        assert time.monotonic() < deadline and run.poll() is None, shown.err
        time.sleep(0.05)
    followed = project.tevra("logs", "talker", "-p", "i=0", "--follow")
    assert run.wait(60) == 0
    assert followed.code == 0
    # What it printed before the follow began, and the rest as it came, to its end.
    assert followed.out == talker_log(0)


def test_run_shows_the_logs_as_they_come_each_line_with_its_run(tmp_path: Path) -> None:
    from tevra_project import Project

    project = Project(tmp_path)
    project.write("m.py", TALKER)
    result = project.run("m", "--logs", "-j", "2")
    assert result.code == 0, result.err
    lines = result.out.splitlines()
    for i in range(3):
        mine = [line.split(" | ", 1)[1] for line in lines
                if line.startswith(f"talker[i={i}] | ")]
        assert "".join(line + "\n" for line in mine) == talker_log(i)
        # Every line of a run comes before the line that says it ended.
        done = lines.index(next(line for line in lines
                                if line.startswith(f"succeeded  talker[i={i}]")))
        assert all(lines.index(f"talker[i={i}] | {line}") < done for line in mine)


QUIET_THEN_TALKER = """\
import time
from pathlib import Path
from tevra import asset, partitions

@asset(partitions={"i": partitions([0, 1])})
def pair(i):
    Path(f"started-{i}").touch()
    if i == 0:
        time.sleep(3.0)  # writes nothing, while the follower starts
        return i
    for n in range(20):
        print(f"1.{n}", flush=True)
        time.sleep(0.05)
    return i
"""


def test_following_a_silent_run_never_shows_the_next_runs_output(tmp_path: Path) -> None:
    from tevra_project import Project

    project = Project(tmp_path)
    project.write("m.py", QUIET_THEN_TALKER)
    # One worker: the second run writes where the first one's log was.
    run = project.popen("run", "m", "--plain", "-j", "1")
    deadline = time.monotonic() + 60
    while not (project.root / "started-0").exists():
        assert time.monotonic() < deadline and run.poll() is None
        time.sleep(0.02)
    followed = project.tevra("logs", "pair", "-p", "i=0", "--follow")
    assert run.wait(60) == 0
    assert (followed.code, followed.out) == (0, "")
    later = project.tevra("logs", "pair", "-p", "i=1")
    assert later.out == "".join(f"1.{n}\n" for n in range(20))


def test_a_child_writing_after_its_run_leaves_the_stored_log_intact(
        run: Runs, project: Path) -> None:
    done = project / "child-done"
    outcome, out = run("leaves_a_writer", done=str(done))
    assert outcome.status == SUCCEEDED, outcome
    assert log_of(out) == "mine\n"
    # It wrote, or it went with its run (--isolate ends a run's process group).
    child = int(Path(f"{done}.pid").read_text())
    deadline = time.monotonic() + 30
    while not done.exists() and not dead(child):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    # Stored files are never written again: the log still has its hash.
    values = ValueStore(str(project / ".tevra" / "values"))
    assert outcome.log_hash is not None and values.verify(outcome.log_hash) is None
    outcome, out = run("noisy", tag="next")
    assert log_of(out) == noisy_log("next")


def test_a_child_of_a_silent_run_writes_into_no_later_runs_log(run: Runs, project: Path) -> None:
    go, done = str(project / "go"), str(project / "done")
    quiet, log = run("leaves_a_quiet_writer", go=go, done=done)
    assert quiet.status == SUCCEEDED and log is None, quiet
    outcome, out = run("starts_the_writer", go=go, done=done)
    # The child wrote while this run ran; with --isolate it ended with its own run.
    outlived = isinstance(run.executor, PoolExecutor)
    assert outcome.value == (b"true" if outlived else b"false"), outcome
    assert log_of(out) == "own\n"
