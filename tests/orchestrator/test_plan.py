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
from tevra.plan import FAILED, FRESH, RUN, STALE, Node, Options, Plan
from tevra.store import Latest, Run

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


def plan_of(graph: Graph, latest: dict[tuple[str, str], Latest] | None = None,
            **options: Any) -> Plan:
    plan = Plan(graph, Options(selection=options.pop("selection", []),
                               partition_filters=options.pop("filters", {}), **options),
                latest or {})
    plan.build()
    return plan


def success(plan: Plan, node: Node, value: Path, *, run_id: int = 1, code: str | None = None,
            inputs: str | None = None) -> Latest:
    """The record of a success of ``node`` whose value file is ``value``."""
    data = value.read_bytes()
    st = os.stat(value)
    run = Run(id=run_id, invocation=1, asset=node.asset.key, partition=node.key,
              status=jobs.SUCCEEDED, reason=None, started=0.0, ended=1.0,
              code_version=code or plan.code_versions[node.asset.key], input_versions=inputs,
              data_version=versions.data_version(data), value_path=str(value),
              value_size=len(data), value_mtime_ns=st.st_mtime_ns, output_dir=str(value.parent),
              error=None, error_type=None, traceback=None, cached_from=None)
    return Latest(status=jobs.SUCCEEDED, success=run)


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
    down = {n.key: n for n in plan.nodes if n.asset.function == "down"}
    gathered = down["region=n"].inputs["x"]
    assert isinstance(gathered, dict)
    assert sorted(gathered) == ["region=n,year=2024", "region=n,year=2025"]
    assert [n.asset.function for n in plan.nodes] == ["up"] * 4 + ["down"] * 2
    assert all(n.waiting == 2 for n in down.values())


def test_preview_of_a_store_without_history() -> None:
    rows = plan_of(gather_graph()).preview()
    assert {(n.label, v, r) for n, v, r in rows} == {
        *((f"up[region={r},year={y}]", STALE, "never run") for r in "ns" for y in (2024, 2025)),
        *((f"down[region={r}]", STALE, "never run") for r in "ns"),
    }


def chain_with_history(tmp_path: Path, **options: Any) -> tuple[Graph, dict[tuple[str, str], Latest]]:
    """``a -> b`` where both succeeded with the current code and inputs."""
    graph = build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"})], PY)
    scratch = plan_of(graph)
    a, b = scratch.nodes
    (tmp_path / "a.json").write_bytes(b"1")
    (tmp_path / "b.json").write_bytes(b"2")
    latest = {(a.asset.key, ""): success(scratch, a, tmp_path / "a.json")}
    a.data_version = latest[(a.asset.key, "")].success.data_version  # type: ignore[union-attr]
    inputs = versions.inputs_version({"x": a.data_version or ""})
    latest[(b.asset.key, "")] = success(scratch, b, tmp_path / "b.json", run_id=2, inputs=inputs)
    return graph, latest


def verdicts(plan: Plan) -> list[tuple[str, str, str]]:
    return [(n.label, v, r) for n, v, r in plan.preview()]


def test_fresh_when_code_inputs_and_value_are_unchanged(tmp_path: Path) -> None:
    graph, latest = chain_with_history(tmp_path)
    assert verdicts(plan_of(graph, latest)) == [("a", FRESH, ""), ("b", FRESH, "")]


@pytest.mark.parametrize("change, expected", [
    ("code", [("a", STALE, "code changed"), ("b", STALE, "upstream a is not fresh")]),
    ("value", [("a", STALE, "value file changed"), ("b", STALE, "upstream a is not fresh")]),
    ("gone", [("a", STALE, "value file missing"), ("b", STALE, "upstream a is not fresh")]),
    ("failed", [("a", FAILED, jobs.CRASHED), ("b", STALE, "upstream a is not fresh")]),
    ("input", [("a", FRESH, ""), ("b", STALE, "an input changed")]),
])
def test_why_a_partition_is_stale(tmp_path: Path, change: str,
                                  expected: list[tuple[str, str, str]]) -> None:
    graph, latest = chain_with_history(tmp_path)
    a_key, b_key = (graph.assets[0].key, ""), (graph.assets[1].key, "")
    a_success = latest[a_key].success
    assert a_success is not None
    if change == "code":
        latest[a_key] = Latest(jobs.SUCCEEDED, _replace(a_success, code_version="old"))
    elif change == "value":
        (tmp_path / "a.json").write_bytes(b"7")  # same size, other bytes
        os.utime(tmp_path / "a.json", ns=(0, 0))
    elif change == "gone":
        (tmp_path / "a.json").unlink()
    elif change == "failed":
        latest[a_key] = Latest(jobs.CRASHED, a_success)
    elif change == "input":
        b_success = latest[b_key].success
        assert b_success is not None
        latest[b_key] = Latest(jobs.SUCCEEDED, _replace(b_success, input_versions='{"x":"old"}'))
    assert verdicts(plan_of(graph, latest)) == expected


def test_force_reruns_only_the_selection(tmp_path: Path) -> None:
    graph, latest = chain_with_history(tmp_path)
    plan = plan_of(graph, latest, force=True, selection=["b"])
    a, b = plan.nodes
    assert plan.decide(a) == jobs.CACHED and not a.target
    assert plan.decide(b) == RUN and b.reason == "forced"


def test_no_upstream_names_the_upstreams_it_refuses(tmp_path: Path) -> None:
    graph = build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"})], PY)
    plan = plan_of(graph, selection=["b"], upstream=False)
    assert plan.refused_upstreams() == ["a: not fresh (never run) and --no-upstream was given"]
    # The copy was judged, not the plan itself.
    assert all(n.state == "pending" for n in plan.nodes)


def test_a_failed_upstream_fails_its_downstreams() -> None:
    plan = plan_of(build([record("a"), record("b", "x", inputs={"x": "/p/m.py:a"})], PY))
    a, b = plan.nodes
    assert plan.decide(a) == RUN
    plan.finished(a, jobs.Outcome(1, jobs.FAILED, 0.0, 1.0, error="ValueError: no"))
    assert list(plan.settled(a)) == [b]
    assert plan.decide(b) == jobs.UPSTREAM_FAILED and b.reason == "upstream a failed"


def test_a_value_is_forgotten_once_every_reader_has_read_it() -> None:
    plan = plan_of(gather_graph())
    ups = [n for n in plan.nodes if n.asset.function == "up"]
    for i, up in enumerate(ups):
        assert plan.decide(up) == RUN
        plan.finished(up, jobs.Outcome(i, jobs.SUCCEEDED, 0.0, 1.0, value_path=f"/v/{i}",
                                       data_version=f"d{i}"))
        assert up.value_path == f"/v/{i}" and up.readers == 1  # down[region] still needs it
    downs = [n for n in plan.nodes if n.asset.function == "down"]
    north = downs[0]
    assert plan.decide(north) == RUN
    assert plan.input_files(north) == {"x": {"region=n,year=2024": "/v/0", "region=n,year=2025": "/v/1"}}
    plan.consumed(north)
    assert [u.value_path for u in ups] == [None, None, "/v/2", "/v/3"]
    plan.finished(north, jobs.Outcome(9, jobs.SUCCEEDED, 0.0, 1.0, value_path="/v/9", data_version="d9"))
    # Nothing reads the downstream: its value is forgotten as soon as it is known.
    assert north.state == jobs.SUCCEEDED and north.value_path is None and north.input_versions is None


def _replace(run: Run, **changes: Any) -> Run:
    from dataclasses import replace

    return replace(run, **changes)
