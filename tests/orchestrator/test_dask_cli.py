"""``tevra run --executor dask`` end to end, against a real local cluster.

Most tests share one cluster started here (``--scheduler``); the Ctrl-C test needs the
command's own cluster, since what it checks is that the command takes it down.
"""

from __future__ import annotations

import os
import signal
import sqlite3
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import psutil  # type: ignore[import-untyped]
import pytest

pytest.importorskip("distributed")

from tevra import install  # noqa: E402
from tevra_project import Project  # noqa: E402

PIPE = """\
from tevra import asset, partitions

def scale(x):
    return x * 1

@asset()
def orders():
    return {"north": [1, 2, 3], "south": [10, 20], "east": []}

@asset(inputs={"orders": orders},
       partitions={"region": partitions(["north", "south", "east"]),
                   "year": partitions([2023, 2024])})
def sales(region, year, orders):
    return {"total": scale(sum(orders[region])) * (year - 2022), "big": "x" * 2_000_000}

# Lacks the region dimension: gets every region's sales of its year at once.
@asset(inputs={"sales": sales}, partitions={"year": partitions([2023, 2024])})
def by_year(year, sales):
    return {key: value["total"] for key, value in sorted(sales.items())}

@asset()
def bad():
    return helper_that_fails()

def helper_that_fails():
    raise KeyError("no such thing")

@asset(inputs={"b": bad})
def after_bad(b):
    return b

@asset(inputs={"b": after_bad}, partitions={"k": partitions([1, 2])})
def after_after(b, k):
    return k
"""


@pytest.fixture(scope="module")
def scheduler() -> Iterator[str]:
    from distributed import LocalCluster

    # Stale bytecode could outlive an edit made within the same second.
    old = os.environ.get("PYTHONDONTWRITEBYTECODE")
    os.environ["PYTHONDONTWRITEBYTECODE"] = "1"
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call]
                           dashboard_address=None)
    try:
        yield cluster.scheduler_address
    finally:
        cluster.close()
        if old is None:
            del os.environ["PYTHONDONTWRITEBYTECODE"]
        else:
            os.environ["PYTHONDONTWRITEBYTECODE"] = old


def project(root: Path) -> Project:
    p = Project(root)
    p.write("pipe.py", PIPE)
    return p


def records(p: Project) -> dict[str, dict[str, object]]:
    """function[partition] -> the fields of its latest run that do not depend on where
    or when it ran."""
    db = sqlite3.connect(p.root / ".tevra" / "runs.db")
    db.row_factory = sqlite3.Row
    rows = db.execute("SELECT r.* FROM latest l JOIN runs r ON r.id = l.run_id").fetchall()
    db.close()
    out = {}
    for r in rows:
        label = r["asset"].rsplit(":", 1)[-1] + (f"[{r['partition']}]" if r["partition"] else "")
        out[label] = {k: r[k] for k in ("status", "code_version", "input_versions",
                                        "data_version", "value_size", "error", "error_type")}
        if r["status"] == "succeeded":
            # The value is whole: kept in the record, or stored under its hash.
            data = r["value"] if r["value"] is not None else p.stored(r["value_hash"]).read_bytes()
            assert len(data) == r["value_size"]
        # The asset's own frames, without the directory the project is in.
        out[label]["traceback_frames"] = [
            line.split('pipe.py", ', 1)[1] for line in (r["traceback"] or "").splitlines()
            if 'pipe.py", ' in line]
    return out


def test_same_values_and_records_as_the_pool(scheduler: str, tmp_path: Path) -> None:
    pool, dask = project(tmp_path / "pool"), project(tmp_path / "dask")
    by_pool = pool.run("pipe", "-j", "2")
    by_dask = dask.run("pipe", "--executor", "dask", "--scheduler", scheduler)
    assert by_pool.code == by_dask.code == 1
    assert dask.latest_values() == pool.latest_values()
    assert dask.latest_values()["by_year[year=2024]"] == {
        "region=east,year=2024": 0, "region=north,year=2024": 12,
        "region=south,year=2024": 60}
    got, want = records(dask), records(pool)
    assert got == want
    assert len(got) == 2 + 6 + 2 + 2 + 1  # every asset partition recorded, each once

    # A failed asset, and its downstreams told apart from it.
    assert got["bad"]["status"] == "failed" and got["bad"]["error_type"] == "KeyError"
    assert got["bad"]["traceback_frames"] == ["line 23, in bad", "line 26, in helper_that_fails"]
    assert {got[k]["status"] for k in ("after_bad", "after_after[k=1]", "after_after[k=2]")} \
        == {"upstream failed"}
    assert dask.statuses(by_dask.out)["bad"] == "failed"


def test_rerun_through_dask_skips_everything_until_an_edit(scheduler: str,
                                                           tmp_path: Path) -> None:
    p = project(tmp_path)
    dask = ("--executor", "dask", "--scheduler", scheduler, "--select", "by_year+", "--select",
            "+by_year")
    first = p.run("pipe", *dask)
    assert first.code == 0, first.out + first.err
    values = p.root / ".tevra" / "values"
    files = sorted(str(f) for f in values.rglob("*"))

    again = p.run("pipe", *dask)
    assert again.code == 0, again.out + again.err
    assert set(p.statuses(again.out).values()) == {"cached"}
    assert len(p.statuses(again.out)) == 1 + 6 + 2
    assert sorted(str(f) for f in values.rglob("*")) == files

    # The cluster's workers outlive both invocations and imported pipe.py already; an
    # edited helper must still run as edited.
    source = (p.root / "pipe.py").read_text()
    (p.root / "pipe.py").write_text(source.replace("return x * 1", "return x * 10"))
    edited = p.run("pipe", *dask)
    assert edited.code == 0, edited.out + edited.err
    assert p.latest_values()["by_year[year=2023]"] == {
        "region=east,year=2023": 0, "region=north,year=2023": 60,
        "region=south,year=2023": 300}


CRASH = """\
import os, signal
from tevra import asset, partitions

@asset(partitions={{"i": partitions(list(range(40)))}})
def crash(i):
    fd = os.open({log!r}, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    os.write(fd, f"{{i}}\\n".encode())
    os.close(fd)
    if i == 7:
        os.kill(os.getpid(), signal.SIGKILL)
    return i
"""


def test_worker_crash_on_a_cluster_that_retries_runs_nothing_twice(scheduler: str,
                                                                   tmp_path: Path) -> None:
    # The test's cluster keeps Dask's default of trying a task again on another worker
    # after its worker died; tevra's tasks must still run once.
    p = Project(tmp_path)
    log = tmp_path / "executions"
    p.write("crash.py", CRASH.format(log=str(log)))
    result = p.run("crash", "--executor", "dask", "--scheduler", scheduler)
    assert result.code == 1, result.out + result.err
    ran = [int(line) for line in log.read_text().split()]
    assert sorted(ran) == sorted(set(ran)) and 7 in ran
    got = records(p)
    assert len(got) == 40 and got["crash[i=7]"]["status"] == "crashed"
    statuses = {r["status"] for r in got.values()}
    assert statuses == {"succeeded", "crashed"}
    # Every success ran; crashes are the killer and runs that shared its task.
    assert {int(k[len("crash[i="):-1]) for k, r in got.items() if r["status"] == "succeeded"} \
        <= set(ran)


def test_missing_extra_is_one_line(tmp_path: Path) -> None:
    p = project(tmp_path)
    code = ("import sys; sys.modules['distributed'] = None\n"
            "from tevra.cli import main\n"
            "sys.exit(main(['run', 'pipe', '--plain', '--executor', 'dask']))\n")
    proc = subprocess.run([sys.executable, "-c", code], cwd=p.root, env=p.env(), text=True,
                          capture_output=True, timeout=60)
    assert proc.returncode == 2, proc.stderr
    hint = install.extra_hint("dask", ["distributed>=2025.1"])
    assert proc.stderr.count("\n") == 1 and proc.stderr.rstrip().endswith(hint)
    assert "Traceback" not in proc.stderr


SLOW = """\
import os, time
from tevra import asset, partitions

@asset(partitions={"i": partitions([0, 1, 2, 3])})
def slow(i):
    with open(f"started-{i}", "w") as f:
        f.write(str(os.getpid()))
    time.sleep(60)
    return i
"""


def test_ctrl_c_stops_runs_and_leaves_no_worker(tmp_path: Path) -> None:
    p = Project(tmp_path)
    p.write("slow.py", SLOW)
    proc = p.popen("run", "slow", "--plain", "--executor", "dask", "-j", "2",
                   start_new_session=True)
    try:
        end = time.monotonic() + 60
        while len(list(tmp_path.glob("started-*"))) < 2:
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < end, "the runs did not start"
            time.sleep(0.1)
        family = psutil.Process(proc.pid).children(recursive=True)
        assert len(family) >= 2
        os.killpg(proc.pid, signal.SIGINT)  # what Ctrl-C on its terminal does
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    assert proc.returncode in (1, 130), out + err
    assert "Traceback" not in err, err
    # Workers and multiprocessing's resource tracker; the tracker ends on its own once
    # the command has, so give it a moment. A worker left behind would sleep on.
    _, alive = psutil.wait_procs(family, timeout=10)
    assert [c.pid for c in alive if c.status() != psutil.STATUS_ZOMBIE] == []
    db = sqlite3.connect(tmp_path / ".tevra" / "runs.db")
    statuses = sorted(s for (s,) in db.execute("SELECT status FROM runs"))
    db.close()
    assert "succeeded" not in statuses and statuses.count("interrupted") >= 2


LONE = """\
from tevra import asset

@asset()
def workers():
    from distributed import get_client
    return len(get_client().scheduler_info()["workers"])
"""


def test_a_cluster_has_no_more_workers_than_runs(tmp_path: Path) -> None:
    p = Project(tmp_path)
    p.write("lone.py", LONE)
    result = p.run("lone", "--executor", "dask", "-j", "6")
    assert result.code == 0, result.out + result.err
    assert p.latest_values() == {"workers": 1}
