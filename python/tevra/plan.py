"""The plan: every asset partition a command touches, and whether it must run.

A node is one asset partition. Its inputs are the upstream nodes it reads: dimensions
with the same name line up, and an upstream's dimensions that the asset lacks are
gathered, every matching upstream partition passed at once as an object keyed by its
partition key. A node is decided once all its upstreams are: it is fresh when its last
success ran the same code on inputs with the same data versions and its value file is
unchanged; otherwise it runs, and says why. The plan is the one judge of freshness: the
run loop asks it what to run and tells it what finished, and ``status`` and
``--dry-run`` print its ``preview``.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

from tevra import jobs, versions
from tevra.errors import GraphError
from tevra.graph import Asset, Graph
from tevra.jobs import FAILURES, USABLE
from tevra.store import Latest, Run

# Node states. Pending nodes wait for an upstream; the others are final or running.
PENDING = "pending"
RUN = "run"

# What ``preview`` says of a partition.
FRESH = "fresh"
STALE = "stale"
FAILED = "failed"


class Node:
    __slots__ = ("asset", "combo", "key", "inputs", "deps", "dependents", "waiting", "readers",
                 "target", "state", "reason", "data_version", "value_path", "success_id",
                 "input_versions")

    def __init__(self, asset: Asset, combo: tuple[int, ...], key: str, target: bool) -> None:
        self.asset = asset
        self.combo = combo
        self.key = key
        # Parameter -> upstream node, or -> {upstream partition key: node}.
        self.inputs: dict[str, Node | dict[str, Node]] = {}
        self.deps: list[Node] = []
        self.dependents: list[Node] = []
        self.waiting = 0  # upstreams not yet decided or finished
        self.readers = 0  # dependents that have yet to read its value's path and version
        self.target = target
        self.state = PENDING
        self.reason = ""
        self.data_version: str | None = None
        self.value_path: str | None = None
        self.success_id: int | None = None
        self.input_versions: str | None = None

    @property
    def label(self) -> str:
        return f"{self.asset.label}[{self.key}]" if self.key else self.asset.label


@dataclass(slots=True)
class Options:
    selection: list[str]
    partition_filters: dict[str, set[str]]
    force: bool = False
    rerun_failed: bool = False
    upstream: bool = True


class Plan:
    def __init__(self, graph: Graph, options: Options, latest: dict[tuple[str, str], Latest]):
        self.graph = graph
        self.options = options
        self.latest = latest
        self.nodes: list[Node] = []  # every upstream before its downstreams
        self.code_versions = {
            a.key: versions.parts_version(a.code_parts) if a.code_parts is not None
            else versions.code_version(a.function_source, a.module_source, graph.python_version)
            for a in graph.assets
        }
        self._by_asset: dict[str, dict[str, Node]] = {}
        self._gather_cache: dict[tuple[str, str, tuple[int, ...]], dict[str, Node]] = {}

    # -- building --------------------------------------------------------------

    def build(self) -> None:
        selected = self.graph.select(self.options.selection)
        self._check_filters(selected)
        selected_keys = {a.key for a in selected}
        # Downstreams first, so that upstream nodes are made only where needed.
        per_asset: dict[str, list[Node]] = {}
        for asset in reversed(self.graph.assets):
            made = self._by_asset.setdefault(asset.key, {})
            if asset.key in selected_keys:
                keep = {d: v for d, v in self.options.partition_filters.items()
                        if d in asset.dims.values}
                for combo in asset.dims.combinations(keep or None):
                    key = asset.dims.key(combo)
                    node = made.get(key)
                    if node is None:
                        if self.options.rerun_failed and not self._failed_last(asset, key):
                            continue
                        node = made[key] = Node(asset, combo, key, True)
                    else:
                        node.target = True
            nodes = list(made.values())
            for node in nodes:
                self._link(node)
            per_asset[asset.key] = nodes
        for asset in self.graph.assets:
            self.nodes.extend(per_asset.get(asset.key, ()))

    def _failed_last(self, asset: Asset, key: str) -> bool:
        latest = self.latest.get((asset.key, key))
        return latest is not None and latest.status in FAILURES

    def _check_filters(self, selected: list[Asset]) -> None:
        problems = []
        for dim, texts in self.options.partition_filters.items():
            having = [a for a in selected if dim in a.dims.values]
            if not having:
                problems.append(f"--partition {dim}: no selected asset has the dimension {dim!r}")
                continue
            known = set().union(*(set(a.dims.texts[dim]) for a in having))
            unknown = sorted(texts - known)
            if unknown:
                problems.append(
                    f"--partition {dim}: {', '.join(unknown)} is not a value of {dim!r} "
                    f"(values: {', '.join(sorted(known))})"
                )
        if problems:
            raise GraphError(problems)

    def _node(self, asset: Asset, combo: tuple[int, ...]) -> Node:
        made = self._by_asset.setdefault(asset.key, {})
        key = asset.dims.key(combo)
        node = made.get(key)
        if node is None:
            node = made[key] = Node(asset, combo, key, False)
        return node

    def _link(self, node: Node) -> None:
        asset = node.asset
        if not asset.inputs:
            return
        mine = dict(zip(asset.dims.names, node.combo))
        deps: dict[int, Node] = {}
        for param, upstream in asset.inputs.items():
            udims = upstream.dims
            # Shared dimensions line up by value text.
            fixed = {
                d: udims.index[d][asset.dims.texts[d][mine[d]]]
                for d in udims.names if d in mine
            }
            if len(fixed) == len(udims.names):
                up = self._node(upstream, tuple(fixed[d] for d in udims.names))
                node.inputs[param] = up
                deps[id(up)] = up
            else:
                gathered = self._gather(upstream, fixed)
                node.inputs[param] = gathered
                for up in gathered.values():
                    deps[id(up)] = up
        node.deps = list(deps.values())
        for up in node.deps:
            up.dependents.append(node)
            up.readers += 1
        node.waiting = len(node.deps)

    def _gather(self, upstream: Asset, fixed: dict[str, int]) -> dict[str, Node]:
        udims = upstream.dims
        cache_key = (upstream.key, ",".join(fixed), tuple(fixed.values()))
        found = self._gather_cache.get(cache_key)
        if found is None:
            keep = {d: {udims.texts[d][i]} for d, i in fixed.items()}
            found = {}
            for combo in udims.combinations(keep):
                up = self._node(upstream, combo)
                found[up.key] = up
            self._gather_cache[cache_key] = found
        return found

    # -- looking without running -------------------------------------------------

    def preview(self) -> list[tuple[Node, str, str]]:
        """Every node as it stands now, running nothing: (node, FRESH, STALE or FAILED,
        the reason). A node behind a stale upstream is judged by itself first, else
        said to wait for that upstream."""
        rows = []
        for node in self.nodes:
            latest = self.latest.get((node.asset.key, node.key))
            failed_last = latest is not None and latest.status in FAILURES
            stale = [up for up in node.deps if up.state != jobs.CACHED]
            if stale:
                node.state = RUN
                if failed_last:
                    assert latest is not None
                    rows.append((node, FAILED, latest.status))
                    continue
                if latest is None or latest.success is None:
                    node.reason = "never run"
                elif latest.success.code_version != self.code_versions[node.asset.key]:
                    node.reason = "code changed"
                else:
                    node.reason = f"upstream {stale[0].label} is not fresh"
                rows.append((node, STALE, node.reason))
                continue
            state = self.decide(node)
            if state == jobs.CACHED:
                rows.append((node, FRESH, ""))
            elif failed_last and state == RUN:
                assert latest is not None
                rows.append((node, FAILED, latest.status))
            else:
                rows.append((node, STALE, node.reason))
        return rows

    def refused_upstreams(self) -> list[str]:
        """Under ``--no-upstream``: the upstreams of the selection that are not fresh,
        each with why. Judged on a copy, so this plan is left to run."""
        copy = Plan(self.graph, self.options, self.latest)
        copy.build()
        return [f"{node.label}: {reason}" for node, verdict, reason in copy.preview()
                if not node.target and verdict != FRESH]

    # -- deciding ----------------------------------------------------------------

    def decide(self, node: Node) -> str:
        """Settle a node whose upstreams are all settled: RUN, CACHED or UPSTREAM_FAILED.

        A node that will not run has read all it needs of its upstreams.
        """
        state = self._judge(node)
        if state != RUN:
            self.consumed(node)
            _release(node)
        return state

    def _judge(self, node: Node) -> str:
        for up in node.deps:
            if up.state not in USABLE:
                node.state = jobs.UPSTREAM_FAILED
                node.reason = f"upstream {up.label} {up.state}"
                return node.state
        node.input_versions = self._input_versions(node)
        code = self.code_versions[node.asset.key]
        latest = self.latest.get((node.asset.key, node.key))
        reason = self._stale_reason(node, code, latest)
        if reason is None and node.target and self.options.force:
            reason = "forced"
        if reason is None:
            assert latest is not None and latest.success is not None
            success = latest.success
            node.state = jobs.CACHED
            node.data_version = success.data_version
            node.value_path = success.value_path
            node.success_id = success.id
            return node.state
        if not node.target and not self.options.upstream:
            node.state = jobs.UPSTREAM_FAILED
            node.reason = f"not fresh ({reason}) and --no-upstream was given"
            return node.state
        node.state = RUN
        node.reason = reason
        return node.state

    def _stale_reason(self, node: Node, code: str, latest: Latest | None) -> str | None:
        if latest is None:
            return "never run"
        if latest.status in FAILURES:
            return f"last run {latest.status}"
        if latest.success is None:
            return "never run"
        success = latest.success
        if success.code_version != code:
            return "code changed"
        if success.input_versions != node.input_versions:
            return "an input changed"
        return _value_problem(success)

    def _input_versions(self, node: Node) -> str | None:
        if not node.inputs:
            return None
        parts: dict[str, str | dict[str, str]] = {}
        for param, spec in node.inputs.items():
            if isinstance(spec, Node):
                parts[param] = spec.data_version or ""
            else:
                parts[param] = {k: n.data_version or "" for k, n in spec.items()}
        return versions.inputs_version(parts)

    def input_files(self, node: Node) -> dict[str, jobs.InputFiles]:
        files: dict[str, jobs.InputFiles] = {}
        for param, spec in node.inputs.items():
            if isinstance(spec, Node):
                files[param] = spec.value_path or ""
            else:
                files[param] = {k: n.value_path or "" for k, n in spec.items()}
        return files

    def consumed(self, node: Node) -> None:
        """A node has read what it needs of its upstreams (it is about to run, or will
        not run at all)."""
        for up in node.deps:
            up.readers -= 1
            _release(up)

    def finished(self, node: Node, outcome: jobs.Outcome) -> None:
        """A node's run ended: it stands for its outcome from now on."""
        node.state = outcome.status
        if outcome.status == jobs.SUCCEEDED:
            node.data_version = outcome.data_version
            node.value_path = outcome.value_path or ""
        node.input_versions = None
        _release(node)

    def settled(self, node: Node) -> Iterator[Node]:
        """Dependents of a node that has just settled which are now ready to decide."""
        for down in node.dependents:
            down.waiting -= 1
            if down.waiting == 0:
                yield down


def _release(node: Node) -> None:
    """Forget the value of a settled node no dependent still needs to read, so that a
    long run's memory stays flat."""
    if node.readers == 0:
        node.value_path = node.data_version = None


def _value_problem(success: Run) -> str | None:
    """Why the success's value file can no longer stand for it, if it cannot."""
    path = success.value_path
    if not path:
        return "value file missing"
    try:
        st = os.stat(path)
    except OSError:
        return "value file missing"
    if st.st_size == success.value_size and st.st_mtime_ns == success.value_mtime_ns:
        return None
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return "value file missing"
    return None if versions.data_version(data) == success.data_version else "value file changed"
