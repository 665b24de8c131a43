"""The Dask executor on a real local cluster (processes, two workers)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

import psutil  # type: ignore[import-untyped]
import pytest

dask = pytest.importorskip("dask")
pytest.importorskip("distributed")

from tevra import install, versions  # noqa: E402
from tevra.execute import run_in_process  # noqa: E402
from tevra.executors.dask import (  # noqa: E402
    DaskExecutor,
    DaskWorkersMismatch,
    check_versions,
)
from tevra.execute import Place  # noqa: E402
from tevra.jobs import CRASHED, FAILED, INTERRUPTED, SUCCEEDED, TIMED_OUT, Job, Outcome  # noqa: E402
from tevra.values import ValueStore, make_scratch  # noqa: E402

HERE = Path(__file__).resolve().parent
PYTHON = sys.executable


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    # A module only the project directory holds: neither this process's sys.path nor
    # the workers' (copied from it at spawn) can find it any other way.
    root = tmp_path_factory.mktemp("project")
    (root / "dask_project_only.py").write_text(textwrap.dedent("""
        from tevra import asset

        @asset()
        def answer():
            return 42
    """))
    return root


@pytest.fixture(scope="module")
def executor(project: Path) -> Iterator[DaskExecutor]:
    ex = DaskExecutor(2, project_dir=str(project), state=str(project / ".tevra"))
    yield ex
    ex.close()


def value_of(ex: DaskExecutor, outcome: Outcome) -> bytes:
    """A succeeded run's value: in the outcome when small, else in the value store here."""
    assert outcome.status == SUCCEEDED, outcome
    if outcome.value is not None:
        return outcome.value
    assert outcome.value_hash is not None
    return ValueStore(os.path.join(ex.state, "values")).read(outcome.value_hash)


def drain(ex: DaskExecutor, count: int, limit: float = 60) -> list[Outcome]:
    """Wait for ``count`` outcomes, then make sure no further one comes."""
    out: list[Outcome] = []
    end = time.monotonic() + limit
    while len(out) < count:
        assert time.monotonic() < end, f"only {len(out)} of {count} outcomes came"
        out += ex.wait(1)
    assert len(out) == count
    assert ex.wait(0.2) == []
    return out


def write(path: Path, data: bytes) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return str(path)


def task_jobs(first_id: int, count: int, log: Path, function: str = "task_of",
              **extra: object) -> list[Job]:
    """Jobs of ``task_of`` or its likes, partitions 0..count-1."""
    args = {"log": json.dumps(str(log))} | {k: json.dumps(v) for k, v in extra.items()}
    return [Job(first_id + i, "dask_assets", function, {"i": str(i)} | args)
            for i in range(count)]


def executions(log: Path) -> list[int]:
    return [int(line) for line in log.read_text().split()] if log.exists() else []


def test_short_runs_share_tasks_and_every_thread(executor: DaskExecutor, tmp_path: Path) -> None:
    log = tmp_path / "log"
    jobs = task_jobs(1, 300, log)
    for job in jobs:
        executor.submit(job)
    outcomes = drain(executor, len(jobs))
    values = [json.loads(value_of(executor, o)) for o in outcomes]
    assert sorted(v[0] for v in values) == list(range(300))
    assert sorted(executions(log)) == list(range(300))
    tasks: dict[str, list[int]] = {}
    for i, task, pid in values:
        tasks.setdefault(task, []).append(pid)
    # Far fewer tasks than runs; a task's runs happen on one worker, and both work.
    assert len(tasks) <= 300 // 8
    assert all(len(set(pids)) == 1 for pids in tasks.values())
    assert len({pids[0] for pids in tasks.values()}) == 2


def test_a_batch_stops_taking_runs_when_its_time_is_up(executor: DaskExecutor,
                                                       tmp_path: Path) -> None:
    # Sent two to a task (four threads' worth of eight runs), but each run outlasts a
    # batch's time: the second comes back unstarted and goes again in a task of its own.
    log = tmp_path / "log"
    jobs = task_jobs(1, 8, log, "slow_task_of", seconds=0.4)
    for job in jobs:
        executor.submit(job)
    outcomes = drain(executor, len(jobs))
    values = [json.loads(value_of(executor, o)) for o in outcomes]
    assert sorted(executions(log)) == list(range(8))
    assert len({task for _, task, _ in values}) == 8


def test_partitions_and_inputs_match_a_run_in_process(executor: DaskExecutor, tmp_path: Path) -> None:
    orders = write(tmp_path / "up" / "orders.json", b'{"north": [1, 2, 3], "south": [10, 20]}')
    jobs = []
    run_id = 0
    for region in ("north", "south"):
        for year in (2023, 2024):
            run_id += 1
            part = {"region": json.dumps(region), "year": str(year)}
            jobs.append(Job(run_id, "dask_assets", "sales",
                            part, {"orders": orders}))
    # An input made of several upstream partitions at once, keyed by partition text.
    sums = {"region=north": write(tmp_path / "up/n.json", b"6"),
            "region=south": write(tmp_path / "up/s.json", b"30")}
    jobs.append(Job(99, "dask_assets", "combine", {}, {"parts": sums}))
    for job in jobs:
        executor.submit(job)
    outcomes = {o.run_id: o for o in drain(executor, len(jobs))}

    (tmp_path / "local").mkdir()
    place = Place(make_scratch(str(tmp_path / "local"), "here"),
                  ValueStore(str(tmp_path / "local" / "values")))
    for job in jobs:
        got = outcomes[job.run_id]
        local = run_in_process(job, place)
        assert local.status == SUCCEEDED, local
        value = value_of(executor, got)
        assert value == local.value
        assert got.data_version == versions.data_version(value) == local.data_version
        assert got.value_size == len(value)
    assert json.loads(value_of(executor, outcomes[4])) == {"region": "south", "total": 60,
                                                           "year": 2024}
    assert json.loads(value_of(executor, outcomes[99])) == 36


def test_project_dir_is_importable_on_workers(executor: DaskExecutor, tmp_path: Path) -> None:
    executor.submit(Job(1, "dask_project_only", "answer"))
    [got] = drain(executor, 1)
    assert value_of(executor, got) == b"42"


def test_large_input_reaches_the_worker_whole(executor: DaskExecutor, tmp_path: Path) -> None:
    big = json.dumps({"north": list(range(300_000)), "south": [1]}).encode()
    assert len(big) > 2 << 20
    orders = write(tmp_path / "orders.json", big)
    executor.submit(Job(1, "dask_assets", "sales",
                        {"region": '"north"', "year": "2023"}, {"orders": orders}))
    [got] = drain(executor, 1)
    assert json.loads(value_of(executor, got))["total"] == sum(range(300_000))


@pytest.mark.parametrize("module, function, error_type, text, frame", [
    ("dask_assets", "broken", "ZeroDivisionError", "ZeroDivisionError: division by zero",
     "in helper"),
    ("dask_no_such_module", "f", "ModuleNotFoundError", "No module named 'dask_no_such_module'",
     None),
    ("dask_assets", "no_such_function", "AttributeError", "no_such_function", None),
])
def test_failure_keeps_record_and_traceback(executor: DaskExecutor, tmp_path: Path, module: str,
                                            function: str, error_type: str, text: str,
                                            frame: str | None) -> None:
    executor.submit(Job(7, module, function))
    [got] = drain(executor, 1)
    assert got.status == FAILED
    assert got.error_type == error_type
    assert got.error is not None and text in got.error
    assert got.data_version is None and got.value is None and got.value_hash is None
    if frame is not None:
        assert got.traceback is not None
        assert 'dask_assets.py", line' in got.traceback and frame in got.traceback


def test_run_killing_its_worker_runs_once_and_is_crashed(executor: DaskExecutor,
                                                         tmp_path: Path) -> None:
    # It dies only the first time: a second execution would succeed.
    marker = tmp_path / "attempted"
    executor.submit(Job(1, "dask_assets", "dies_once", {"marker": json.dumps(str(marker))}))
    executor.submit(Job(2, "dask_assets", "where"))
    outcomes = {o.run_id: o for o in drain(executor, 2, limit=120)}
    crashed = outcomes[1]
    assert marker.exists()
    assert crashed.status == CRASHED and crashed.error_type == "KilledWorker", crashed
    assert crashed.error is not None and "died" in crashed.error
    assert crashed.value is None and crashed.value_hash is None
    assert outcomes[2].status == SUCCEEDED  # the rest goes on
    # The cluster is whole again for later runs.
    executor.submit(Job(3, "dask_assets", "where"))
    [again] = drain(executor, 1)
    assert again.status == SUCCEEDED


def test_worker_dying_in_a_batch_runs_nothing_twice(executor: DaskExecutor,
                                                    tmp_path: Path) -> None:
    log = tmp_path / "log"
    jobs = task_jobs(1, 40, log, "crashing_task_of", die_at=17)
    for job in jobs:
        executor.submit(job)
    outcomes = {o.run_id - 1: o for o in drain(executor, len(jobs), limit=120)}
    ran = executions(log)
    assert sorted(set(ran)) == sorted(ran)  # once at most, each
    killer = outcomes[17]
    assert killer.status == CRASHED and killer.error_type == "KilledWorker", killer
    assert killer.error is not None and "batch of" in killer.error
    # Its batch mates are crashed with it, the others succeeded; none was lost.
    crashed = {i for i, o in outcomes.items() if o.status == CRASHED}
    assert {o.status for o in outcomes.values()} == {SUCCEEDED, CRASHED}
    assert 17 in crashed and len(crashed) < 40
    assert set(range(40)) - crashed <= set(ran)
    # From now on this asset's runs go one to a task, so that a crash takes no other along.
    log.unlink()
    again = task_jobs(100, 6, log, "crashing_task_of")
    for job in again:
        executor.submit(job)
    tasks = [json.loads(value_of(executor, o))[1] for o in drain(executor, 6)]
    assert len(set(tasks)) == 6


def test_result_lost_with_its_worker_is_not_computed_again(tmp_path: Path) -> None:
    # One worker: the first task ends and its result waits there, unfetched, while the
    # next task kills the worker. Dask computes the first task again on the worker that
    # replaces it; the task must run nothing then.
    ex = DaskExecutor(1)
    try:
        log = tmp_path / "log"
        first, killer = task_jobs(1, 2, log, die_at=1)
        ex.submit(first)
        assert ex.wait(0) == []  # sent, not fetched
        ex.submit(killer)
        assert ex.wait(0) == []
        # Looked at through the executor's own client: until the replacing worker has
        # come and the first task is done there again.
        client = ex._client
        assert client is not None
        [task] = [t for t in ex._tasks.values() if t.jobs == [first]]
        before = set(client.nthreads())
        end = time.monotonic() + 60
        while not set(client.nthreads()) - before or task.future.status != "finished":
            assert time.monotonic() < end, "the worker was not replaced"
            time.sleep(0.05)
        outcomes = {o.run_id: o for o in drain(ex, 2, limit=60)}
    finally:
        ex.close()
    assert executions(log) == [0, 1]
    assert outcomes[2].status == CRASHED
    lost = outcomes[1]
    assert lost.status == CRASHED and lost.error is not None and "not run twice" in lost.error


def test_timeout_stops_the_run_and_its_worker(executor: DaskExecutor, tmp_path: Path) -> None:
    pidfile = tmp_path / "pid"
    t0 = time.monotonic()
    executor.submit(Job(1, "dask_assets", "sleepy",
                        {"seconds": "60", "pidfile": json.dumps(str(pidfile))}, timeout=1.0))
    [got] = drain(executor, 1)
    assert got.status == TIMED_OUT and got.error == "timed out after 1 s"
    assert time.monotonic() - t0 < 30
    pid = int(pidfile.read_text())
    assert not psutil.pid_exists(pid) or psutil.Process(pid).status() == psutil.STATUS_ZOMBIE
    executor.submit(Job(2, "dask_assets", "where"))
    [after] = drain(executor, 1)
    assert after.status == SUCCEEDED


def test_timeout_counts_from_the_start_not_the_queue(executor: DaskExecutor,
                                                     tmp_path: Path) -> None:
    # Both workers busy for 3 s; the quick run behind them waits longer than its timeout
    # before it starts, and is not held to it for that wait.
    for i in (1, 2):
        executor.submit(Job(i, "dask_assets", "sleepy",
                            {"seconds": "3", "pidfile": json.dumps(str(tmp_path / f"p{i}"))}))
    executor.submit(Job(3, "dask_assets", "where", timeout=2.0))
    outcomes = {o.run_id: o for o in drain(executor, 3)}
    assert {o.status for o in outcomes.values()} == {SUCCEEDED}, outcomes
    assert outcomes[3].started >= min(outcomes[1].ended, outcomes[2].ended) - 0.5


def test_cancel_interrupts_and_leaves_no_worker(tmp_path: Path) -> None:
    before = {p.pid for p in psutil.Process().children(recursive=True)}
    ex = DaskExecutor(2)
    # The first cluster of this process also starts multiprocessing's resource
    # tracker, which lives as long as the process: not a worker.
    workers = {p.pid for p in psutil.Process().children(recursive=True)
               if "resource_tracker" not in " ".join(p.cmdline())} - before
    assert len(workers) >= 2
    pidfiles = [tmp_path / f"pid{i}" for i in range(3)]
    for i, pidfile in enumerate(pidfiles):
        ex.submit(Job(i, "dask_assets", "sleepy",
                      {"seconds": "60", "pidfile": json.dumps(str(pidfile))}))
    end = time.monotonic() + 30
    while sum(p.exists() for p in pidfiles) < 2:  # two running, one waiting
        assert time.monotonic() < end
        assert ex.wait(0.05) == []  # jobs go at a wait()
    # One more handed over and not sent yet: never begun, so not reported.
    ex.submit(Job(3, "dask_assets", "where"))
    outcomes = ex.cancel()
    assert sorted(o.run_id for o in outcomes) == [0, 1, 2]
    assert {o.status for o in outcomes} == {INTERRUPTED}
    left = [pid for pid in workers if psutil.pid_exists(pid)
            and psutil.Process(pid).status() != psutil.STATUS_ZOMBIE]
    assert left == []
    ex.close()  # idempotent after cancel


@pytest.mark.parametrize("remote, message", [
    ({"tcp://a:1": ("3.13.5", "1.0")}, None),
    ({"tcp://a:1": ("3.12.9", "1.0")}, "Dask worker tcp://a:1 runs Python 3.12.9"),
    ({"tcp://a:1": ("3.13.0", "1.0"), "tcp://b:2": ("3.13.0", "0.9")},
     "Dask worker tcp://b:2 has tevra 0.9, this machine tevra 1.0"),
])
def test_worker_versions_are_checked(remote: dict[str, tuple[str, str]],
                                     message: str | None) -> None:
    if message is None:
        check_versions(("3.13.0", "1.0"), remote)
    else:
        with pytest.raises(DaskWorkersMismatch, match=message.replace(".", r"\.")):
            check_versions(("3.13.0", "1.0"), remote)


MISSING = """
import sys
sys.modules["distributed"] = None  # as if the extra were not installed
import tevra, tevra.jobs, tevra.execute, tevra.executors
from tevra.executors.dask import DaskExecutor, DaskUnavailable
try:
    DaskExecutor(2)
except DaskUnavailable as e:
    print(str(e))
"""


def test_missing_extra_gives_one_line() -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE.parent.parent / "python"), str(HERE)]))
    proc = subprocess.run([PYTHON, "-c", MISSING], capture_output=True, text=True, env=env,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count("\n") == 1
    # The hint follows how tevra is installed here (or names the package from a checkout).
    assert proc.stdout.rstrip().endswith(install.extra_hint("dask", ["distributed>=2025.1"]))


def test_core_package_does_not_import_distributed() -> None:
    code = ("import sys, pkgutil, importlib, tevra\n"
            "for m in pkgutil.walk_packages(tevra.__path__, 'tevra.'):\n"
            "    if m.name not in ('tevra.executors.dask', 'tevra.__main__'):\n"
            "        importlib.import_module(m.name)\n"
            "print(sorted(k for k in sys.modules if k.split('.')[0] in ('dask', 'distributed')))\n")
    env = dict(os.environ, PYTHONPATH=str(HERE.parent.parent / "python"))
    proc = subprocess.run([PYTHON, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"
