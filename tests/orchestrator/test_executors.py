"""The local executors with real worker processes on a real project directory."""

from __future__ import annotations

import json
import os
import signal
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import psutil
import pytest

from tevra import runlog, versions
from tevra.execute import Place, run_in_process
from tevra.executors import Executor
from tevra.executors.isolate import IsolateExecutor
from tevra.executors.pool import PoolExecutor
from tevra.jobs import CRASHED, FAILED, INTERRUPTED, SUCCEEDED, TIMED_OUT, InputFiles, Job, Outcome
from tevra.values import INLINE_LIMIT, ValueStore, hash_bytes, make_scratch, stamp_of

HERE = Path(__file__).resolve().parent
ASSETS = (HERE / "executor_assets.py").read_text(encoding="utf-8")
KINDS = ["pool", "isolate"]

Make = Callable[[int], Executor]


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    root.mkdir()
    (root / "executor_assets.py").write_text(ASSETS, encoding="utf-8")
    return root


@pytest.fixture(params=KINDS)
def kind(request: pytest.FixtureRequest) -> str:
    return str(request.param)


@pytest.fixture
def make(kind: str, project: Path) -> Iterator[Make]:
    made: list[PoolExecutor | IsolateExecutor] = []

    def make(workers: int) -> Executor:
        cls = PoolExecutor if kind == "pool" else IsolateExecutor
        executor = cls(workers, cwd=str(project), state=str(project / ".tevra"))
        made.append(executor)
        return executor

    yield make
    for executor in made:
        executor.close()


class Jobs:
    """Jobs of the fixture module, whose values go to the project's state directory."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.state = root / ".tevra"
        self.count = 0

    def __call__(self, function: str, partition: dict[str, str] | None = None,
                 inputs: dict[str, InputFiles] | None = None,
                 timeout: float | None = None) -> Job:
        self.count += 1
        return Job(self.count, "executor_assets", function, partition or {},
                   dict(inputs or {}), timeout)


@pytest.fixture
def jobs(project: Path) -> Jobs:
    return Jobs(project)


def collect(executor: Executor, expected: int, limit: float = 120) -> dict[int, Outcome]:
    out: dict[int, Outcome] = {}
    deadline = time.monotonic() + limit
    while len(out) < expected:
        assert time.monotonic() < deadline, f"only {len(out)} of {expected} outcomes"
        for outcome in executor.wait(1.0):
            assert outcome.run_id not in out
            out[outcome.run_id] = outcome
    return out


def run_one(executor: Executor, job: Job) -> Outcome:
    executor.submit(job)
    return collect(executor, 1)[job.run_id]


def wait_for_file(path: Path, limit: float = 60) -> str:
    deadline = time.monotonic() + limit
    while not path.exists() or not path.read_text():
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.02)
    return path.read_text()


def assert_succeeded(outcome: Outcome, jobs: Jobs) -> bytes:
    """The value of a succeeded run: in the outcome when small, else in the value store."""
    assert outcome.status == SUCCEEDED, outcome
    if outcome.value is not None:
        data = outcome.value
        assert outcome.value_hash is None and len(data) <= INLINE_LIMIT
    else:
        assert outcome.value_hash is not None and outcome.value_stamp is not None
        stored = ValueStore(str(jobs.state / "values"))
        path = stored.path(outcome.value_hash)
        data = Path(path).read_bytes()
        assert hash_bytes(data) == outcome.value_hash and len(data) > INLINE_LIMIT
        assert outcome.value_stamp == tuple(stamp_of(os.stat(path)))
        assert not os.access(path, os.W_OK) or os.geteuid() == 0
        assert os.stat(path).st_mode & 0o777 == 0o444
    assert outcome.data_version == versions.data_version(data)
    assert outcome.value_size == len(data)
    assert outcome.traceback is None
    assert outcome.started <= outcome.ended
    # Every worker's scratch directory is left empty but for its shared, empty log.
    for scratch in (jobs.state / "scratch").iterdir():
        left = {p.name: p.stat().st_size for p in scratch.iterdir()}
        assert set(left) <= runlog.WORKER_FILES and not left.get(runlog.WORKER_LOG)
    return data


def descendants() -> set[int]:
    return {p.pid for p in psutil.Process().children(recursive=True) if not dead(p.pid)}


def dead(pid: int) -> bool:
    try:
        return bool(psutil.Process(pid).status() == psutil.STATUS_ZOMBIE)
    except psutil.NoSuchProcess:
        return True


def gone(pid: int, limit: float = 10) -> bool:
    """Whether the process ends soon: a SIGKILL is sent at once but delivered a moment later."""
    deadline = time.monotonic() + limit
    while not dead(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def test_partition_large_input_and_fan_in(make: Make, jobs: Jobs, project: Path) -> None:
    rows = [{"amount": i, "pad": "x" * 40} for i in range(25_000)]
    orders = project / "orders.json"
    # Non-ASCII escapes and exotic number forms must arrive as written, not re-encoded.
    orders.write_text(json.dumps({"rows": rows, "note": "caf\u00e9 \u2603"}), encoding="utf-8")
    assert orders.stat().st_size > 1_000_000
    history = {}
    for key, n in (('{"year":2023}', 1), ('{"year":2024}', 2)):
        path = project / f"history-{n}.json"
        path.write_text(f'{{"n": {n}.0e0}}')
        history[key] = str(path)
    executor = make(2)
    job = jobs("combine", {"region": '"north"'}, {"orders": str(orders), "history": history})
    data = assert_succeeded(run_one(executor, job), jobs)
    assert json.loads(data) == {
        "region": "north", "rows": 25_000, "total": sum(range(25_000)), "note": "\u00e9 \u2603",
        "history": {'{"year":2023}': 1.0, '{"year":2024}': 2.0},
    }


def test_failure_names_the_assets_line(make: Make, jobs: Jobs, project: Path) -> None:
    executor = make(1)
    line = ASSETS.splitlines().index(next(s for s in ASSETS.splitlines() if "the failing line" in s)) + 1
    failed_job = jobs("fails", {"x": "-2"})
    failed = run_one(executor, failed_job)
    assert failed.status == FAILED
    assert (failed.error, failed.error_type) == ("ValueError: x must be positive, got -2", "ValueError")
    assert failed.traceback is not None
    assert f'File "{project / "executor_assets.py"}", line {line}, in _check' in failed.traceback
    assert "in fails" in failed.traceback
    assert failed.traceback.rstrip().endswith("ValueError: x must be positive, got -2")
    # The same worker (pool) goes on, and a success carries no stale traceback.
    job = jobs("fails", {"x": "3"})
    assert_succeeded(run_one(executor, job), jobs)


def test_a_value_that_cannot_be_stored_fails_the_run(make: Make, jobs: Jobs,
                                                     project: Path) -> None:
    executor = make(1)
    (jobs.state / "values").write_text("")  # a file where the value store should be
    outcome = run_one(executor, jobs("identity", inputs={"value": json.dumps("x" * 2000).encode()}))
    assert (outcome.status, outcome.value, outcome.error_type) == (FAILED, None,
                                                                   "NotADirectoryError")
    assert outcome.error is not None and outcome.error.startswith("NotADirectoryError: ")


@pytest.mark.parametrize("function, error", [
    ("segfault", "killed by signal 11 (SIGSEGV)"),
    ("exits", "exit status 3"),
])
def test_crash_fails_only_its_run(make: Make, jobs: Jobs, function: str, error: str) -> None:
    executor = make(1)
    batch = [jobs("identity", inputs={}), jobs(function), jobs("identity"), jobs("identity")]
    for job in batch:
        executor.submit(job)
    outcomes = collect(executor, len(batch))
    crashed = outcomes[batch[1].run_id]
    assert (crashed.status, crashed.error, crashed.value) == (CRASHED, error, None)
    for job in batch[:1] + batch[2:]:
        assert_succeeded(outcomes[job.run_id], jobs)


def test_worker_killed_from_outside(make: Make, jobs: Jobs, project: Path) -> None:
    executor = make(1)
    marker = project / "hang.pid"
    hung = jobs("hang", {"marker": json.dumps(str(marker))})
    after = jobs("identity")
    executor.submit(hung)
    executor.submit(after)
    pid = int(wait_for_file(marker))
    os.kill(pid, signal.SIGKILL)
    outcomes = collect(executor, 2)
    assert (outcomes[hung.run_id].status, outcomes[hung.run_id].error) == (CRASHED, "killed by signal 9 (SIGKILL)")
    value = json.loads(assert_succeeded(outcomes[after.run_id], jobs))
    assert value["pid"] != pid


def test_timeout_kills_the_run_and_goes_on(make: Make, jobs: Jobs, project: Path) -> None:
    executor = make(2)
    marker = project / "spawn.pids"
    slow = jobs("spawns", {"marker": json.dumps(str(marker))}, timeout=1.5)
    quick = [jobs("identity", {"value": str(i)}, timeout=60) for i in range(4)]
    executor.submit(slow)
    for job in quick:
        executor.submit(job)
    outcomes = collect(executor, 5)
    timed = outcomes[slow.run_id]
    assert (timed.status, timed.error) == (TIMED_OUT, "timed out after 1.5 s")
    assert 1.5 <= timed.ended - timed.started < 30
    for job in quick:
        assert_succeeded(outcomes[job.run_id], jobs)
    # The run and the process it started are both gone.
    worker, grandchild = map(int, marker.read_text().split())
    assert gone(worker) and gone(grandchild)


def test_cancel_leaves_no_process(make: Make, jobs: Jobs, project: Path) -> None:
    before = descendants()
    executor = make(2)
    markers = [project / f"spawn-{i}.pids" for i in range(2)]
    running = [jobs("spawns", {"marker": json.dumps(str(m))}) for m in markers]
    queued = jobs("identity")
    for job in running + [queued]:
        executor.submit(job)
    pids = [int(p) for m in markers for p in wait_for_file(m).split()]
    outcomes = executor.cancel()
    # The queued job never began: it is not reported, so its record is struck out.
    assert sorted(o.run_id for o in outcomes) == sorted(j.run_id for j in running)
    assert queued.run_id not in {o.run_id for o in outcomes}
    assert {o.status for o in outcomes} == {INTERRUPTED}
    assert all(gone(pid) for pid in pids)
    assert descendants() <= before
    executor.close()  # after cancel: nothing left to do, and no error


def test_close_ends_the_workers(make: Make, jobs: Jobs) -> None:
    before = descendants()
    executor = make(2)
    batch = [jobs("identity") for _ in range(4)]
    for job in batch:
        executor.submit(job)
    assert {o.status for o in collect(executor, 4).values()} == {SUCCEEDED}
    executor.close()
    executor.close()
    assert descendants() <= before


def test_module_imported_once_per_worker(make: Make, jobs: Jobs, project: Path, kind: str) -> None:
    executor = make(2)
    batch = [jobs("identity", {"value": str(i)}) for i in range(12)]
    for job in batch:
        executor.submit(job)
    outcomes = collect(executor, len(batch))
    pids = {json.loads(assert_succeeded(outcomes[j.run_id], jobs))["pid"] for j in batch}
    imports = (project / "imports.log").read_text().split()
    if kind == "pool":
        assert len(pids) <= 2 and len(imports) == len(pids)
    else:
        assert len(pids) == len(imports) == len(batch)


def test_pool_worker_restores_the_directory(jobs: Jobs, project: Path) -> None:
    with PoolExecutor(1, cwd=str(project), state=str(jobs.state)) as executor:
        wander, where = jobs("wanders"), jobs("where")
        assert json.loads(assert_succeeded(run_one(executor, wander), jobs)) == "/"
        assert json.loads(assert_succeeded(run_one(executor, where), jobs)) == str(project)


def test_pool_keeps_its_size_through_crashes(jobs: Jobs, project: Path) -> None:
    with PoolExecutor(2, cwd=str(project), state=str(jobs.state)) as executor:
        batch = [jobs("exits" if i % 3 == 0 else "identity") for i in range(9)]
        for job in batch:
            executor.submit(job)
        outcomes = collect(executor, 9)
        statuses = [outcomes[j.run_id].status for j in batch]
        assert statuses == [CRASHED if i % 3 == 0 else SUCCEEDED for i in range(9)]
        assert len(executor.worker_pids()) == 2
        assert not any(dead(pid) for pid in executor.worker_pids())


def test_missing_input_file_fails_the_run(make: Make, jobs: Jobs, project: Path) -> None:
    outcome = run_one(make(1), jobs("identity", inputs={"value": str(project / "nowhere.json")}))
    assert (outcome.status, outcome.error_type) == (FAILED, "FileNotFoundError")


def test_in_process_run_restores_directory_and_keeps_traceback(jobs: Jobs, project: Path,
                                                               monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(project)
    monkeypatch.syspath_prepend(str(project))
    jobs.state.mkdir()
    place = Place(make_scratch(str(jobs.state), "here"), ValueStore(str(jobs.state / "values")))
    assert_succeeded(run_in_process(jobs("wanders"), place), jobs)
    assert os.getcwd() == str(project)
    failed = run_in_process(jobs("fails"), place)
    assert failed.status == FAILED and failed.traceback is not None and "in _check" in failed.traceback
    assert failed.error_type == "ValueError"
