"""The graph and the plan on inspection records and run records built in memory: what
runs, why, and what a finished run leaves on its node, without a process in sight."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

import pytest
from tevra import jobs, versions
from tevra.errors import GraphError
from tevra.graph import Graph, build
from tevra.nodes import PENDING, RUN, Node
from tevra.plan import FAILED, FRESH, STALE, Options, Plan
from tevra.store import Fact
from tevra.values import INLINE_LIMIT, Stamp, ValueStore

PY = "3.13.0"


def record(function: str, params: str = "", *, name: str | None = None,
           inputs: dict[str, str] | None = None, dims: dict[str, list[Any]] | None = None,
           body: str = "return 1") -> dict[str, Any]:
    """An inspection record as discovery gives it, for a function of module ``m``."""
    source = f"def {function}({params}):\n    {body}\n"
    return {
        "module_path": "m", "function_name": function, "file_path": "/p/m.py",
        "function_source": source, "module_source": source, "return_type": None,
        "decorator_metadata": {
            "name": name, "inputs": inputs or {},
            "partitions": {d: {"values_json": json.dumps(v)} for d, v in (dims or {}).items()},
        },
    }


class History:
    """Facts held in memory, as the store streams them, with values stored in ``values``."""

    def __init__(self, latest: dict[tuple[str, str], Fact], values: ValueStore) -> None:
        self.latest = latest
        self.values = values

    def facts(self, asset: str, keys: Any = None) -> list[tuple[str, Fact]]:
        return [(p, f) for (a, p), f in self.latest.items()
                if a == asset and (keys is None or p in keys)]

    def settled(self, asset: str, code_version: str) -> list[list[tuple[str, int, str | None]]]:
        return []  # every one judged by its facts

    def unsettled(self, asset: str, code_version: str, settled: int) -> list[tuple[str, Fact]]:
        return self.facts(asset)

    def success_values(self, run_ids: list[int]) -> dict[int, tuple[bytes | str, tuple[str, ...]]]:
        return {f.success_id: (f.value if f.value is not None else self.values.path(f.value_hash or ""), ())
                for f in self.latest.values() if f.success_id in run_ids}

    def stamps(self, hashes: Any) -> dict[str, Stamp]:
        return {}


def plan_of(graph: Graph, latest: dict[tuple[str, str], Fact] | None = None,
            values: ValueStore | None = None, **options: Any) -> Plan:
    plan = Plan(graph, Options(selection=options.pop("selection", []),
                               partition_filters=options.pop("filters", {}), **options),
                History(latest or {}, values or ValueStore("")))
    plan.build()
    return plan


def success(plan: Plan, node: Node, values: ValueStore, data: bytes, *, run_id: int = 1,
            inputs: str | None = None) -> Fact:
    """The facts of a success of ``node`` whose value is ``data``: kept in the facts when
    small, else stored in ``values``."""
    if len(data) <= INLINE_LIMIT:
        return Fact(jobs.SUCCEEDED, run_id, plan.code_versions[node.asset.key], inputs,
                    versions.data_version(data), True)
    scratch = Path(values.root).parent / "in"
    scratch.mkdir(exist_ok=True)
    stored = values.put_bytes(data, str(scratch))
    return Fact(jobs.SUCCEEDED, run_id, plan.code_versions[node.asset.key], inputs,
                versions.data_version(data), False, stored.digest, None, stored.stamp)


def test_a_long_chain_is_ordered() -> None:
    n = 3000  # deeper than the interpreter's recursion limit
    records = [record("a0", name="a0")] + [
        record(f"a{i}", "x", name=f"a{i}", inputs={"x": f"a{i - 1}"}) for i in range(1, n)]
    graph = build(list(reversed(records)), PY)
    assert [a.key for a in graph.assets] == [f"a{i}" for i in range(n)]


@pytest.mark.parametrize("select, expected", [
    (["b"], {"b"}), (["+b"], {"a", "b"}), (["b+"], {"b", "c"}), (["+b+"], {"a", "b", "c"}),
    (["[ac]"], {"a", "c"}), (["m.d"], {"d"}),
])
def test_selection(select: list[str], expected: set[str]) -> None:
    graph = build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"}),
                   record("c", "x", inputs={"x": "/p/m.py:b"}), record("d")], PY)
    assert {a.label for a in graph.select(select)} == expected


def test_refusals_are_all_reported_at_once() -> None:
    with pytest.raises(GraphError) as caught:
        build([record("a", "x", inputs={"x": "nowhere"}),
               record("b", dims={"day": [1, 1]})], PY)
    problems = caught.value.problems
    assert any("input 'x' refers to 'nowhere', which is no discovered asset" in p for p in problems)
    assert any("partition dimension 'day' repeats the value(s) 1" in p for p in problems)
    assert any("partition dimension 'day' is not a parameter of b()" in p for p in problems)


def gather_graph() -> Graph:
    return build([
        record("up", "region, year", dims={"region": ["n", "s"], "year": [2024, 2025]}),
        record("down", "region, x", dims={"region": ["n", "s"]}, inputs={"x": "/p/m.py:up"}),
    ], PY)


def test_shared_dimensions_line_up_and_the_others_are_gathered() -> None:
    plan = plan_of(gather_graph())
    assert [n.label for n in plan.nodes] == [
        "up[region=n,year=2024]", "up[region=n,year=2025]", "up[region=s,year=2024]",
        "up[region=s,year=2025]", "down[region=n]", "down[region=s]"]
    # Every source partition is decided first; a downstream waits for its two.
    first = list(plan.initial())
    assert [n.label for n in first] == [n.label for n in plan.nodes][:4]
    assert all(n.runs and n.reason == "never run" for n in first)
    for i, up in enumerate(first[:2]):
        decided = list(plan.finished(up, jobs.Outcome(i, jobs.SUCCEEDED, 0.0, 1.0,
                                                      value=b"%d" % i, data_version=f"d{i}")))
    assert [n.label for n in decided] == ["down[region=n]"]
    assert plan.input_files(decided[0]) == ({"x": {"region=n,year=2024": b"0",
                                                   "region=n,year=2025": b"1"}}, (), {})


def test_preview_of_a_store_without_history() -> None:
    rows = plan_of(gather_graph()).preview()
    assert {(n.label, v, r) for n, v, r in rows} == {
        *((f"up[region={r},year={y}]", STALE, "never run") for r in "ns" for y in (2024, 2025)),
        *((f"down[region={r}]", STALE, "never run") for r in "ns"),
    }


def chain_with_history(tmp_path: Path) -> tuple[Graph, dict[tuple[str, str], Fact]]:
    """``a -> b`` where both succeeded with the current code and inputs."""
    graph = build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"})], PY)
    scratch = plan_of(graph)
    a, b = scratch.nodes
    values = ValueStore(str(tmp_path / "values"))
    latest = {(a.asset.key, ""): success(scratch, a, values, b"1" * 2000)}
    inputs = versions.inputs_version({"x": latest[(a.asset.key, "")].data_version or ""})
    latest[(b.asset.key, "")] = success(scratch, b, values, b"2", run_id=2, inputs=inputs)
    return graph, latest


def stored(tmp_path: Path, fact: Fact) -> Path:
    assert fact.value_hash is not None
    return Path(ValueStore(str(tmp_path / "values")).path(fact.value_hash))


def verdicts(plan: Plan) -> list[tuple[str, str, str]]:
    return [(n.label, v, r) for n, v, r in plan.preview()]


def test_fresh_when_code_inputs_and_value_are_unchanged(tmp_path: Path) -> None:
    graph, latest = chain_with_history(tmp_path)
    assert verdicts(plan_of(graph, latest, ValueStore(str(tmp_path / "values")))) == [("a", FRESH, ""), ("b", FRESH, "")]


@pytest.mark.parametrize("change, expected", [
    ("code", [("a", STALE, "code changed"), ("b", STALE, "upstream a is not fresh")]),
    ("value", [("a", STALE, "value changed"), ("b", STALE, "upstream a is not fresh")]),
    ("gone", [("a", STALE, "value missing"), ("b", STALE, "upstream a is not fresh")]),
    ("touch", [("a", FRESH, ""), ("b", FRESH, "")]),
    ("failed", [("a", FAILED, jobs.CRASHED), ("b", STALE, "upstream a is not fresh")]),
    ("input", [("a", FRESH, ""), ("b", STALE, "an input changed")]),
])
def test_why_a_partition_is_stale(tmp_path: Path, change: str,
                                  expected: list[tuple[str, str, str]]) -> None:
    graph, latest = chain_with_history(tmp_path)
    a_key, b_key = (graph.assets[0].key, ""), (graph.assets[1].key, "")
    if change == "code":
        latest[a_key] = latest[a_key]._replace(code_version="old")
    elif change in ("value", "touch"):
        path = stored(tmp_path, latest[a_key])
        if change == "value":
            path.chmod(0o644)
            path.write_bytes(b"7" * 2000)  # same size, other bytes
        os.utime(path, ns=(0, 0))
    elif change == "gone":
        stored(tmp_path, latest[a_key]).unlink()
    elif change == "failed":
        latest[a_key] = latest[a_key]._replace(status=jobs.CRASHED)
    elif change == "input":
        latest[b_key] = latest[b_key]._replace(input_versions='{"x":"old"}')
    plan = plan_of(graph, latest, ValueStore(str(tmp_path / "values")))
    assert verdicts(plan) == expected
    # A stored value found intact under a new stamp is restamped, so it is not read again.
    assert set(plan.restamped) == ({latest[a_key].value_hash} if change == "touch" else set())


def test_force_reruns_only_the_selection(tmp_path: Path) -> None:
    graph, latest = chain_with_history(tmp_path)
    plan = plan_of(graph, latest, ValueStore(str(tmp_path / "values")), force=True, selection=["b"])
    a, b = plan.nodes
    assert not a.target and b.target
    assert [(n.label, n.state, n.reason) for n in plan.initial()] == [
        ("a", jobs.CACHED, ""), ("b", RUN, "forced")]


def test_no_upstream_names_the_upstreams_it_refuses(tmp_path: Path) -> None:
    graph = build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"})], PY)
    plan = plan_of(graph, selection=["b"], upstream=False)
    assert plan.refused_upstreams() == ["a: not fresh (never run) and --no-upstream was given"]
    # The copy was judged, not the plan itself.
    assert all(n.state == PENDING for n in plan.nodes)


def test_a_failed_upstream_fails_its_downstreams() -> None:
    plan = plan_of(build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"})], PY))
    [a] = plan.initial()
    assert a.runs
    [b] = plan.finished(a, jobs.Outcome(1, jobs.FAILED, 0.0, 1.0, error="ValueError: no"))
    assert (b.label, b.state, b.reason) == ("b", jobs.UPSTREAM_FAILED, "upstream a failed")


def test_a_data_file_is_unread_once_no_value_left_to_read_names_it() -> None:
    plan = plan_of(gather_graph())
    ups = list(plan.initial())
    made = {"up[region=n,year=2024]": ("f1",), "up[region=n,year=2025]": ("f2", "shared"),
            "up[region=s,year=2024]": ("shared",), "up[region=s,year=2025]": ()}
    decided = []
    for i, up in enumerate(ups):
        plan.consumed(up)
        files = tuple((h, (1, 1, 1, 1, 1)) for h in made[up.label])
        decided += plan.finished(up, jobs.Outcome(i, jobs.SUCCEEDED, 0.0, 1.0, value=b"{}",
                                                  data_version=f"d{i}", files=files))
    north, south = decided
    assert plan.input_files(north).files == ("f1", "f2", "shared")
    plan.consumed(north)
    # "shared" is named by a value south has yet to read.
    assert plan.unread_files() == ["f1", "f2"]
    assert plan.input_files(south).files == ("shared",)
    plan.consumed(south)
    assert plan.unread_files() == ["shared"] and plan.unread_files() == []


def test_a_value_is_forgotten_once_every_reader_has_read_it() -> None:
    plan = plan_of(gather_graph())
    ups = list(plan.initial())
    part = ups[0].part
    for i, up in enumerate(ups):
        assert up.runs
        plan.consumed(up)
        decided = list(plan.finished(up, jobs.Outcome(i, jobs.SUCCEEDED, 0.0, 1.0,
                                                      value=b"%d" % i, data_version=f"d{i}")))
        assert part.paths[up.index] == (b"%d" % i, ())  # down[region] still needs it
    north = decided[0] if False else next(n for n in plan.nodes if n.label == "down[region=n]")
    plan.consumed(north)
    assert [part.paths.get(u.index) for u in ups] == [None, None, (b"2", ()), (b"3", ())]
    assert part.versions[:2] == [None, None]


GRID = {"region": ["n", "s", "w"], "year": [2024, 2025, 2026]}


@pytest.mark.parametrize("kept", ["region", "year"])
def test_a_gathering_downstream_reads_its_upstreams_by_key(kept: str) -> None:
    # Keeping the first dimension gathers a run of the upstream's positions; keeping
    # the second, positions a row apart: both read the same partitions.
    graph = build([record("up", "region, year", dims=GRID),
                   record("down", f"{kept}, x", dims={kept: GRID[kept]},
                          inputs={"x": "/p/m.py:up"})], PY)
    plan = plan_of(graph)
    decided: list[Node] = []
    versions_of: dict[str, str] = {}
    for i, up in enumerate(list(plan.initial())):
        plan.consumed(up)
        broken = up.key == "region=s,year=2025"
        versions_of[up.key] = f"d{i}"
        decided += plan.finished(up, jobs.Outcome(
            i, jobs.FAILED if broken else jobs.SUCCEEDED, 0.0, 1.0, value=b"%d" % i,
            data_version=f"d{i}", error="ValueError: no" if broken else None))
    value = {"region": "s", "year": "2025"}[kept]
    assert {n.label: (n.state, n.reason) for n in decided if n.key == f"{kept}={value}"} == {
        f"down[{kept}={value}]": (jobs.UPSTREAM_FAILED, "upstream up[region=s,year=2025] failed")}
    for node in decided:
        if node.key != f"{kept}={value}":
            read = {k: v for k, v in versions_of.items() if node.key + "," in k + ","
                    or f",{node.key}" in k}
            assert node.runs and len(read) == 3
            assert node.input_versions == versions.inputs_version({"x": read})


@pytest.mark.parametrize("kept", ["region", "year"])
def test_preview_names_the_first_upstream_that_is_not_fresh(tmp_path: Path, kept: str) -> None:
    graph = build([record("up", "region, year", dims=GRID),
                   record("down", f"{kept}, x", dims={kept: GRID[kept]},
                          inputs={"x": "/p/m.py:up"})], PY)
    scratch = plan_of(graph)
    values = ValueStore(str(tmp_path / "values"))
    # Every partition succeeded once; the downstreams' inputs are beside the point.
    latest = {(n.asset.key, n.key): success(
        scratch, n, values, b"1", run_id=i, inputs="{}" if n.part.edges else None)
        for i, n in enumerate(scratch.nodes)}
    up = graph.assets[0].key
    for key in ("region=s,year=2025", "region=w,year=2025"):
        latest[(up, key)] = latest[(up, key)]._replace(status=jobs.CRASHED)
    rows = {label: reason for label, verdict, reason in verdicts(plan_of(graph, latest, values))
            if label.startswith("down")}
    assert rows[f"down[{kept}={'s' if kept == 'region' else 2025}]"] == \
        "upstream up[region=s,year=2025] is not fresh"
    assert rows[f"down[{kept}={'n' if kept == 'region' else 2024}]"] == "an input changed"
