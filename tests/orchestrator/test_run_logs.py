"""Each run's output is its own: its log, and nothing of it in a later run's.

Real worker processes (the pool, ``--isolate``, and a Dask cluster for the worker
side) run assets that write through print, ``sys.stderr``, descriptors 1 and 2, a
child process, ``logging`` and C's ``printf``, and assets that break the standard
descriptors and streams for whatever runs after them in the same process.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from pathlib import Path

import pytest

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
