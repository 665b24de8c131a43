"""The adapter through the real engine: tables stored and loaded by serializers across
runs, manifests that depend on the data alone, refusals in the run's failure record,
and ``tevra.context()`` inside and outside a run."""

from __future__ import annotations

import itertools
import json
import os
import textwrap

import _tevra
import pytest

import tevra
from tevra import adapter, run_context
from tevra.values import ValueStore, hash_file

PIPELINE = """
import pandas as pd, polars as pl, pyarrow as pa
import tevra
from tevra import asset

@asset(serializer="parquet")
def orders(region: str = "north") -> pd.DataFrame:
    return pd.DataFrame({"region": [region, region], "amount": [1.5, 2.0]})

@asset(inputs={"orders": orders}, serializer="arrow")
def doubled(orders: pl.DataFrame) -> pl.DataFrame:
    assert isinstance(orders, pl.DataFrame), type(orders)
    return orders.with_columns(pl.col("amount") * 2)

@asset(inputs={"orders": orders})
def total(orders: "dict[str, pa.Table]") -> float:
    assert all(isinstance(t, pa.Table) for t in orders.values())
    return sum(sum(t.column("amount").to_pylist()) for t in orders.values())

@asset(inputs={"orders": orders})
def untyped(orders):
    return type(orders).__module__.split(".")[0]

@asset(serializer="parquet")
def wrong() -> list:
    return [1, 2]

@asset(inputs={"orders": orders})
def as_bytes(orders: bytes) -> int:
    return len(orders)

@asset(serializer="bytes")
def who() -> bytes:
    ctx = tevra.context()
    ctx.log.info("running")
    return json.dumps([ctx.asset, ctx.partition, ctx.run_id, ctx.attempt]).encode()

import json
"""

_names = itertools.count()


class Runs:
    def __init__(self, tmp_path, monkeypatch):
        self.module = f"adapter_pipeline_{next(_names)}"
        (tmp_path / f"{self.module}.py").write_text(textwrap.dedent(PIPELINE))
        monkeypatch.syspath_prepend(str(tmp_path))
        self.values = str(tmp_path / "values")
        self.store = ValueStore(self.values)
        self.root = tmp_path
        self.count = 0

    def run(self, function, serializer="json", loads=None, kwargs=None, partition=None,
            key=""):
        """Run through the engine as a worker does; (ok, value.json text, result)."""
        self.count += 1
        out = str(self.root / f"out{self.count}")
        os.makedirs(out)
        name = adapter.spec_name(adapter.Spec(self.module, function, function, serializer,
                                              loads or {}))
        ctx = run_context.RunContext(function, self.count, 1, partition or {}, key, out,
                                     self.values)
        with run_context.running(ctx):
            try:
                _tevra.materialize_asset(adapter.MODULE, name, out, json.dumps(kwargs or {}))
            except SystemExit:
                pass
        result = json.loads(open(f"{out}/result.json").read())
        value = open(f"{out}/value.json").read() if result["ok"] else None
        return result["ok"], value, result


@pytest.fixture
def runs(tmp_path, monkeypatch):
    return Runs(tmp_path, monkeypatch)


def test_tables_flow_between_serializers_by_annotation(runs):
    ok, text, result = runs.run("orders", "parquet")
    assert ok and result["signature"] == "(region: str = 'north') -> pandas.DataFrame"
    manifest = json.loads(text)
    assert list(manifest) == ["format", "sha256", "size", "type", "summary"]
    assert manifest["format"] == "parquet" and manifest["type"] == "pandas.DataFrame"
    summary = manifest["summary"]
    assert summary["rows"] == 2 and summary["schema"][1] == ["amount", "double"]
    assert summary["schema"][0] in (["region", "string"], ["region", "large_string"])
    data = runs.store.path(manifest["sha256"])
    assert hash_file(data)[0] == manifest["sha256"] and os.path.getsize(data) == manifest["size"]
    assert str(runs.root) not in text and "out1" not in text

    ok, text, _ = runs.run("doubled", "arrow", {"orders": False}, {"orders": manifest})
    assert ok and json.loads(text)["type"] == "polars.DataFrame"

    gathered = {"region=north": manifest,
                "region=south": json.loads(runs.run("orders", "parquet",
                                                    kwargs={"region": "south"})[1])}
    assert runs.run("total", "json", {"orders": True}, {"orders": gathered})[:2] == (True, "7.0")
    assert runs.run("untyped", "json", {"orders": False}, {"orders": manifest})[1] == '"pandas"'


def test_equal_data_gives_an_equal_manifest(runs):
    first = runs.run("orders", "parquet")[1]
    second = runs.run("orders", "parquet")[1]
    assert first == second and len(list(runs.store.digests())) == 1
    assert runs.run("orders", "parquet", kwargs={"region": "east"})[1] != first


@pytest.mark.parametrize("function,serializer,loads,error", [
    ("wrong", "parquet", {}, "SerializerError: wrong returned a list, which the parquet "
     "serializer cannot store: it takes pyarrow.Table, pandas.DataFrame or polars.DataFrame"),
    ("total", "parquett", {}, "SerializerError: unknown serializer 'parquett' (known: "),
    ("as_bytes", "json", {"orders": False}, "SerializerError: as_bytes: input 'orders' is "
     "parquet data (pandas.DataFrame), which cannot become bytes, its parameter's annotation"),
])
def test_refusals_fail_the_run_naming_what_is_wrong(runs, function, serializer, loads, error):
    manifest = json.loads(runs.run("orders", "parquet")[1])
    kwargs = {p: manifest for p in loads}
    ok, _, result = runs.run(function, serializer, loads, kwargs)
    assert not ok and result["error"].startswith(error)


def test_a_missing_stored_input_is_named(runs):
    manifest = json.loads(runs.run("orders", "parquet")[1])
    runs.store.remove(manifest["sha256"])
    ok, _, result = runs.run("untyped", "json", {"orders": False}, {"orders": manifest})
    assert not ok and f"needs the stored value {manifest['sha256']}, which is missing" \
        in result["error"]


def test_context_inside_and_outside_a_run(runs, caplog):
    ok, text, _ = runs.run("who", "bytes", partition={"day": '"2024-01-02"', "n": "3"},
                           key="day=2024-01-02,n=3")
    manifest = json.loads(text)
    assert json.loads(runs.store.read(manifest["sha256"])) == [
        "who", {"day": "2024-01-02", "n": 3}, 1, 1]
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", "who[day=2024-01-02,n=3]: running")]
    with pytest.raises(run_context.NoRunContext, match="only available while tevra runs an "
                                                       "asset"):
        tevra.context()
