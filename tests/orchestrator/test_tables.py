"""Tables through the command: Parquet and Arrow values between pandas, polars and
pyarrow assets, equal data keeping downstreams fresh, refusals before anything runs,
a damaged data file, and the Dask executor shipping data files to its workers."""

from __future__ import annotations

import json
import sqlite3

import pytest

from tevra_project import Project, ran

TABLES = """\
import pandas as pd, polars as pl, pyarrow as pa
from tevra import asset, partitions

SCALE = 1

@asset(serializer="parquet", partitions={"region": partitions(["north", "south"])})
def orders(region: str) -> pd.DataFrame:
    return pd.DataFrame({"region": [region] * 3, "amount": [1.0 * SCALE, 2.0, 3.5]})

@asset(inputs={"orders": orders}, serializer="arrow")
def combined(orders: dict[str, pl.DataFrame]) -> pl.DataFrame:
    assert all(isinstance(t, pl.DataFrame) for t in orders.values())
    return pl.concat([orders[k] for k in sorted(orders)])

@asset(inputs={"t": combined})
def total(t: pa.Table) -> float:
    return sum(t.column("amount").to_pylist())

@asset(inputs={"t": combined})
def as_stored(t):
    return type(t).__module__.split(".")[0]
"""



@pytest.fixture
def tables(tmp_path):
    project = Project(tmp_path)
    project.write("tables.py", TABLES)
    return project


def manifest_of(project, label):
    return json.loads(json.dumps(project.latest_values()[label]))


def test_a_table_pipeline_converts_by_annotation_and_stays_fresh_on_equal_data(tables):
    first = tables.run("tables")
    assert first.code == 0, first.out + first.err
    values = tables.latest_values()
    assert values["total"] == 13.0 and values["as_stored"] == "polars"
    manifest = values["combined"]
    assert manifest["format"] == "arrow" and manifest["type"] == "polars.DataFrame"
    assert manifest["summary"]["rows"] == 6
    data = tables.stored(manifest["sha256"])
    assert data.stat().st_size == manifest["size"] and data.stat().st_mode & 0o777 == 0o444

    # Equal data made again upstream: its downstreams stay fresh.
    assert ran(tables.run("tables", "--force", "--select", "orders")) == [
        "orders[region=north]", "orders[region=south]"]
    assert set(tables.status("tables").values()) == {("fresh", None)}
    # Other data: what reads it runs again.
    source = (tables.root / "tables.py").read_text().replace("SCALE = 1", "SCALE = 2")
    (tables.root / "tables.py").write_text(source)
    assert ran(tables.run("tables")) == ["as_stored", "combined", "orders[region=north]",
                                         "orders[region=south]", "total"]
    assert tables.latest_values()["total"] == 15.0


@pytest.mark.parametrize("edit, message", [
    (('serializer="arrow"', 'serializer="arow"'),
     "unknown serializer 'arow' (known: arrow, bytes, json, parquet, pickle)"),
    (("def total(t: pa.Table)", "def total(t: bytes)"),
     "parameter 't' is annotated bytes, which arrow data from combined cannot become"),
    (("def combined(orders: dict[str, pl.DataFrame])", "def combined(orders: dict[str, str])"),
     "parameter 'orders' is annotated dict[str, str], which parquet data from orders "
     "cannot become"),
])
@pytest.mark.parametrize("command", ["check", "run"])
def test_refused_before_anything_runs(tables, edit, message, command):
    source = (tables.root / "tables.py").read_text().replace(*edit)
    (tables.root / "tables.py").write_text(source)
    result = tables.tevra(command, "tables")
    assert result.code == 2 and message in result.err, result.err
    assert "Traceback" not in result.err
    assert not (tables.root / ".tevra" / "values").exists()


def test_a_value_of_the_wrong_type_fails_its_run_naming_what_is_wrong(tables):
    source = (tables.root / "tables.py").read_text().replace(
        "return pl.concat([orders[k] for k in sorted(orders)])", "return [1, 2]")
    (tables.root / "tables.py").write_text(source)
    result = tables.run("tables")
    assert result.code == 1
    assert ("combined returned a list, which the arrow serializer cannot store: it takes "
            "pyarrow.Table, pandas.DataFrame or polars.DataFrame") in result.out


def test_a_damaged_data_file_makes_its_runs_stale(tables):
    assert tables.run("tables").code == 0
    manifest = tables.latest_values()["combined"]
    data = tables.stored(manifest["sha256"])
    data.chmod(0o644)
    raw = data.read_bytes()
    data.write_bytes(raw[:-8] + bytes(8))  # same size, other bytes
    assert tables.status("tables")["combined"] == ("stale", "stored data changed")
    assert ran(tables.run("tables")) == ["combined"]  # the same bytes again
    assert data.read_bytes() == raw


@pytest.mark.timeout(300)
def test_dask_ships_data_files_by_hash(tables):
    result = tables.run("tables", "--executor", "dask", "-j", "2")
    assert result.code == 0, result.out + result.err
    values = tables.latest_values()
    assert values["total"] == 13.0 and values["as_stored"] == "polars"
    # Every stored file the history names is here, whole.
    db = sqlite3.connect(tables.root / ".tevra" / "runs.db")
    files = [f for (fs,) in db.execute("SELECT files FROM runs WHERE files IS NOT NULL")
             for f in fs.split()]
    db.close()
    assert len(files) == 3
    for digest in files:
        import hashlib
        assert hashlib.sha256(tables.stored(digest).read_bytes()).hexdigest() == digest


RELEASED = """\
import pyarrow as pa
from tevra import asset, partitions

@asset(serializer="parquet", partitions={"region": partitions(["north", "south"])})
def orders(region: str) -> pa.Table:
    return pa.table({"region": [region] * 3, "amount": [1.0, 2.0, 3.5]})

@asset(inputs={"orders": orders}, serializer="parquet")
def combined(orders: dict[str, pa.Table]) -> pa.Table:
    return pa.concat_tables([orders[k] for k in sorted(orders)])

@asset(inputs={"t": combined})
def on_cluster(t: pa.Table) -> int:
    # What the scheduler holds of the data files sent to the cluster (scattered bytes).
    from distributed import get_worker
    from distributed.utils import sync
    worker = get_worker()
    return len([k for k in sync(worker.loop, worker.scheduler.who_has)
                if str(k).startswith("bytes-")])
"""


@pytest.mark.timeout(300)
def test_dask_lets_data_files_go_once_nothing_is_left_to_read_them(tmp_path):
    project = Project(tmp_path)
    project.write("released.py", RELEASED)
    result = project.run("released", "--executor", "dask", "-j", "2")
    assert result.code == 0, result.out + result.err
    # The orders' two files went to the cluster for combined, which has run since: only
    # combined's own file, which on_cluster reads, is still there.
    assert project.latest_values()["on_cluster"] == 1


RETRIED = """\
import json
import pyarrow as pa
from tevra import asset, context

@asset(serializer="parquet")
def table() -> pa.Table:
    return pa.table({"x": [1, 2, 3]})

@asset(inputs={"t": table})
def flaky(t: pa.Table) -> list:
    from distributed import get_worker
    from distributed.utils import sync
    worker = get_worker()
    held = sorted(str(k) for k in sync(worker.loop, worker.scheduler.who_has)
                  if str(k).startswith("bytes-"))
    if context().attempt == 1:
        raise RuntimeError(json.dumps(held))
    return held
"""


@pytest.mark.timeout(300)
def test_dask_keeps_a_data_file_for_the_retry_of_its_last_reader(tmp_path):
    project = Project(tmp_path)
    project.write("retried.py", RETRIED)
    result = project.run("retried", "--executor", "dask", "-j", "2", "--retries", "1")
    assert result.code == 0, result.out + result.err
    db = sqlite3.connect(tmp_path / ".tevra" / "runs.db")
    [(error,)] = db.execute("SELECT error FROM runs WHERE status = 'failed'").fetchall()
    db.close()
    first = json.loads(error.removeprefix("RuntimeError: "))
    # The same file on the cluster for both attempts: it was not sent a second time.
    assert len(first) == 1 and project.latest_values()["flaky"] == first


@pytest.mark.parametrize("isolate", [False, True])
def test_the_run_context_tells_the_asset_and_its_attempt(tmp_path, isolate):
    p = Project(tmp_path)
    p.write("ctx.py", """\
from tevra import asset, context, partitions

@asset(partitions={"day": partitions(["2024-01-02"])})
def flaky(day):
    c = context()
    if c.attempt == 1:
        raise RuntimeError("first attempt")
    return [c.asset, c.partition, c.attempt, c.run_id > 0]
""")
    result = p.run("ctx", "--retries", "1", *(["--isolate"] if isolate else []))
    assert result.code == 0, result.out + result.err
    assert p.latest_values()["flaky[day=2024-01-02]"] == [
        "ctx:flaky", {"day": "2024-01-02"}, 2, True]
