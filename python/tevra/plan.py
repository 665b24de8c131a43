"""The plan: every asset partition a command touches, and whether it must run.

A node is one asset partition. Its inputs are the upstream nodes it reads: dimensions
with the same name line up, and an upstream's dimensions that the asset lacks are
gathered, every matching upstream partition passed at once as an object keyed by its
partition key. A node is decided once all its upstreams are: it is fresh when its last
success ran the same code on inputs with the same data versions and its value is still
intact (kept in the history, or stored files whose stamps, else whose bytes, still
match); otherwise it runs, and says why. The plan is the one judge of freshness: the
run loop asks it what to run and tells it what finished, and ``status`` and
``--dry-run`` print its ``preview``.

The partitions themselves, their states and their alignment are ``tevra.nodes``'.
"""

from __future__ import annotations

import json
from array import array
from collections import Counter
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import NamedTuple, Protocol

from tevra import adapter, jobs, sources, versions
from tevra.errors import GraphError
from tevra.graph import Asset, Graph
from tevra.jobs import FAILURES
from tevra.nodes import (
    CACHED_BYTES,
    CACHED_CODE,
    REASON_CODE,
    RUN_CODE,
    STATE_CODE,
    STATES,
    USABLE_BYTES,
    Edge,
    Node,
    Part,
    Positions,
    Value,
    reads_all,
)
from tevra.partition_keys import expand
from tevra.store.schema import Fact
from tevra.values import Known, Stamp, StatCache, ValueStore

# What ``preview`` says of a partition.
FRESH = "fresh"
STALE = "stale"
FAILED = "failed"


class JobInputs(NamedTuple):
    """What a node's job reads (``Plan.input_files``)."""

    inputs: dict[str, jobs.InputFiles]
    files: tuple[str, ...]
    given_versions: dict[str, str]


class Facts(Protocol):
    """What freshness is judged by: per asset, every partition's latest facts; the
    values of earlier successes; and the stored files they name, with their stamps."""

    values: ValueStore

    def facts(self, asset: str, keys: Sequence[str] | None = None
              ) -> Iterable[tuple[str, Fact]]: ...

    def settled(self, asset: str, code_version: str
                ) -> Iterable[Sequence[tuple[str, int, str | None]]]: ...

    def unsettled(self, asset: str, code_version: str, settled: int
                  ) -> Iterable[tuple[str, Fact]]: ...

    def success_values(self, run_ids: list[int]) -> dict[int, Value]: ...

    def stamps(self, hashes: Iterable[str]) -> dict[str, Stamp]: ...

    def file_stamps(self) -> dict[str, Known]: ...


class NoFacts:
    """No history at all: every partition was never run."""

    values = ValueStore("")

    def facts(self, asset: str, keys: Sequence[str] | None = None
              ) -> Iterable[tuple[str, Fact]]:
        return ()

    def settled(self, asset: str, code_version: str
                ) -> Iterable[Sequence[tuple[str, int, str | None]]]:
        return ()

    def unsettled(self, asset: str, code_version: str, settled: int
                  ) -> Iterable[tuple[str, Fact]]:
        return ()

    def success_values(self, run_ids: list[int]) -> dict[int, Value]:
        return {}

    def stamps(self, hashes: Iterable[str]) -> dict[str, Stamp]:
        return {}

    def file_stamps(self) -> dict[str, Known]:
        return {}


@dataclass(slots=True)
class Options:
    selection: list[str]
    # Dimension -> the value texts to keep, or ranges LOW..HIGH (tevra.partition_keys.expand)
    partition_filters: dict[str, set[str]]
    force: bool = False
    rerun_failed: bool = False
    upstream: bool = True


class Plan:
    def __init__(self, graph: Graph, options: Options, facts: Facts | None = None) -> None:
        self.graph = graph
        self.options = options
        self.history: Facts = facts if facts is not None else NoFacts()
        self.values = self.history.values
        # Stored files found intact under a stamp other than the recorded one.
        self.restamped: dict[str, Stamp] = {}
        self._targets: dict[str, tuple[str, str]] = {}
        # Hashes of the files sources match, read again only when their stamps moved;
        # ``stat_cache.learnt`` is what the store should keep.
        self._stat_cache: StatCache | None = None
        # Stored data files: by how many values still to be read they are named (of
        # those this invocation knows), and those no such value names any more.
        self._files_read: Counter[str] = Counter()
        self._unread_files: list[str] = []
        self.parts: list[Part] = []  # every upstream before its downstreams
        self.code_versions = {
            a.key: versions.parts_version(a.code_parts) if a.code_parts is not None
            else versions.code_version(a.function_source, a.module_source, graph.python_version)
            for a in graph.assets
        }

    def __len__(self) -> int:
        return sum(p.count for p in self.parts)

    @property
    def nodes(self) -> Iterator[Node]:
        """Every node, upstreams first."""
        for part in self.parts:
            for i in part.positions():
                yield Node(part, i)

    # -- building --------------------------------------------------------------

    def build(self) -> None:
        selected = self.graph.select(self.options.selection)
        self._check_filters(selected)
        selected_keys = {a.key for a in selected}
        parts = {a.key: Part(a) for a in self.graph.assets}
        for asset in self.graph.assets:
            down = parts[asset.key]
            by_up: dict[str, Edge] = {}
            for param, upstream in asset.inputs.items():
                edge = by_up.get(upstream.key)
                if edge is None:
                    edge = by_up[upstream.key] = Edge(parts[upstream.key], down)
                    down.edges.append(edge)
                    parts[upstream.key].downs.append(edge)
                edge.params.append(param)
            down.need = sum(len(e.free) for e in down.edges)
        # Downstreams first, so that upstream partitions are taken only where needed.
        for asset in reversed(self.graph.assets):
            part = parts[asset.key]
            if asset.key in selected_keys:
                self._target(part)
            self._include_upstreams(part)
        self.parts = [p for p in (parts[a.key] for a in self.graph.assets) if p.count]
        for part in self.parts:
            # Dependents outside the plan neither wait nor read.
            part.downs = [e for e in part.downs if e.down.count]
            self._count_readers(part)

    def _target(self, part: Part) -> None:
        dims = part.asset.dims
        # Each item a value or a range, placed in this asset's own order of the values.
        keep = {d: expand(d, items, dims.values[d], dims.texts[d])[0]
                for d, items in self.options.partition_filters.items() if d in dims.values}
        failed = self._failed_last(part) if self.options.rerun_failed else None
        if not keep and failed is None:
            part.targets = part.included = None
            return
        assert part.targets is not None and part.included is not None
        for combo in dims.combinations(keep or None):
            i = part.position(combo)
            if failed is None or i in failed:
                part.targets[i] = part.included[i] = 1

    def _failed_last(self, part: Part) -> set[int]:
        index = Positions(part)
        return {i for key, fact in self.history.facts(part.asset.key)
                if fact.status in FAILURES and (i := index.get(key)) is not None}

    def _include_upstreams(self, part: Part) -> None:
        """Count an asset's included partitions and include the upstream ones they read."""
        part.count = part.size if part.included is None else sum(part.included)
        if not part.count:
            return
        for edge in part.edges:
            up = edge.up
            if up.included is None:
                continue
            if part.included is None and reads_all(edge):
                up.included = None
                continue
            marks = up.included
            for i in part.positions():
                for u in edge.deps(part.combo(i)):
                    marks[u] = 1

    def _count_readers(self, part: Part) -> None:
        if part.edges:
            part.waiting = array("q", [part.need]) * part.size
        if not part.downs:
            return
        readers = part.readers = array("q", bytes(8 * part.size))
        part.versions = [None] * part.size
        part.success = array("q", bytes(8 * part.size))
        for edge in part.downs:
            down = edge.down
            if down.included is None and reads_all(edge):
                per = len(edge.down_free)
                for i in part.positions():
                    readers[i] += per
                continue
            for q in down.positions():
                for u in edge.deps(down.combo(q)):
                    readers[u] += 1

    def _check_filters(self, selected: list[Asset]) -> None:
        problems = []
        for dim, items in self.options.partition_filters.items():
            having = [a.dims for a in selected if dim in a.dims.values]
            if not having:
                problems.append(f"--partition {dim}: no selected asset has the dimension {dim!r}")
                continue
            for item in sorted(items):
                # Wrong only when no selected asset with the dimension can place it.
                wrong = [p for dims in having
                         for p in expand(dim, [item], dims.values[dim], dims.texts[dim])[1]]
                if len(wrong) == len(having):
                    problems.append(f"--partition {dim}: {wrong[0]}")
        if problems:
            raise GraphError(problems)

    # -- running -------------------------------------------------------------------

    def initial(self) -> Iterator[Node]:
        """Decide every node that waits for nothing, upstreams first and each asset in
        partition order, and settle what that settles in turn. Yields every decided
        node: the ones to run (state RUN) and the settled ones. Lazily: a run loop takes
        the next only when it has room, so dependents that become ready meanwhile go
        first and what they read is forgotten early."""
        for part in self.parts:
            if part.need:
                continue  # reached through its upstreams
            whole = self._settles_whole(part)
            for i in part.positions():
                node = Node(part, i)
                self._decide(node)
                # Judged before yielding: by the time this resumes, a node to run may
                # have run already, and its own run settles its dependents.
                runs = part.state[i] == RUN_CODE
                yield node
                if not runs and not whole:
                    yield from self._settle(node)
            if whole:
                yield from self._settle_part(part)

    def _settles_whole(self, part: Part) -> bool:
        """Whether no partition of an asset without inputs runs (the usual re-run): its
        dependents then hear of all of them at once, not of each in turn."""
        if part.edges or part.included is not None:
            return False
        if not part.judged:
            self._judge_whole(part)
        return RUN_CODE not in part.state

    def _settle_part(self, part: Part) -> Iterator[Node]:
        """Every partition of ``part`` settled: what its dependents wait for of it is
        counted off at once, and those waiting for nothing more are decided in turn."""
        ready: list[Node] = []
        for edge in part.downs:
            down = edge.down
            waiting = down.waiting
            assert waiting is not None
            for q in down.positions():
                waiting[q] -= len(edge.deps(down.combo(q)))
                if waiting[q] == 0:
                    ready.append(Node(down, q))
        for node in ready:
            self._decide(node)
            runs = node.runs
            yield node
            if not runs:
                yield from self._settle(node)

    def finished(self, node: Node, outcome: jobs.Outcome) -> Iterator[Node]:
        """A node's run ended: it stands for its outcome from now on. Yields the nodes
        that this decides in turn (to run, or settled)."""
        part, i = node.part, node.index
        part.state[i] = STATE_CODE[outcome.status]
        part.inputs_seen.pop(i, None)
        if outcome.status == jobs.SUCCEEDED and part.versions:
            part.versions[i] = outcome.data_version or ""
            value: jobs.Value = outcome.value if outcome.value is not None else \
                self.values.path(outcome.value_hash or "")
            made = tuple(h for h, _ in outcome.files)
            part.paths[i] = (value, made)
            if made and part.readers is not None and part.readers[i]:
                self._files_to_read(part, i, made)
        part.release(i)
        if outcome.status == jobs.INTERRUPTED:
            return iter(())
        return self._settle(node)

    def _settle(self, node: Node) -> Iterator[Node]:
        """Dependents of a settled node that are now ready are decided; a decided one
        that will not run settles its own dependents in turn (iteratively: chains can
        be long)."""
        todo = [node]
        while todo:
            current = todo.pop()
            for down in self._ready_dependents(current):
                self._decide(down)
                runs = down.runs
                yield down
                if not runs:
                    todo.append(down)

    def _ready_dependents(self, node: Node) -> list[Node]:
        ready = []
        combo = node.combo
        for edge in node.part.downs:
            down = edge.down
            waiting = down.waiting
            assert waiting is not None
            for q in edge.dependents(combo):
                if down.has(q):
                    waiting[q] -= 1
                    if waiting[q] == 0:
                        ready.append(Node(down, q))
        return ready

    def input_files(self, node: Node) -> JobInputs:
        """What a node's job reads: parameter -> the value(s) of the upstream partitions,
        the stored data files those values name, and the data versions of inputs whose
        value is not their data (a file source hands over paths)."""
        combo = node.combo
        deps = [(edge, edge.deps(combo)) for edge in node.part.edges]
        # Values this invocation did not make are found by the success that made them.
        wanted = [edge.up.success[u] for edge, us in deps for u in us if u not in edge.up.paths]
        found = self.history.success_values(wanted) if wanted else {}
        files: dict[str, jobs.InputFiles] = {}
        data_files: dict[str, None] = {}
        given: dict[str, str] = {}
        for edge, us in deps:
            up = edge.up

            def value(u: int) -> jobs.Value:
                made = up.paths.get(u) or found.get(up.success[u]) or (b"null", ())
                data_files.update(dict.fromkeys(made[1]))
                if made[1] and u not in up.data_files:
                    self._files_to_read(up, u, made[1])
                return made[0]

            read: jobs.InputFiles = {up.key(u): value(u) for u in us} if edge.gathered \
                else value(us[0])
            for param in edge.params:
                files[param] = read
                if up.asset.source is not None:
                    given[param] = up.versions[us[0]] or ""
        return JobInputs(files, tuple(data_files), given)

    def job_target(self, asset: Asset) -> tuple[str, str]:
        """The module and function a job of ``asset`` names to the engine: the asset's
        own, or, when it stores its value with a serializer or reads one so stored,
        the adapter with its spec."""
        found = self._targets.get(asset.key)
        if found is not None:
            return found
        loads: dict[str, bool] = {}
        part = next((p for p in self.parts if p.asset is asset), None)
        for edge in part.edges if part is not None else ():
            if edge.up.asset.serializer != "json":
                loads.update(dict.fromkeys(edge.params, edge.gathered))
        if asset.serializer == "json" and not loads:
            found = (asset.module, asset.function)
        else:
            found = (adapter.MODULE, adapter.spec_name(adapter.Spec(
                asset.module, asset.function, asset.label, asset.serializer, loads)))
        self._targets[asset.key] = found
        return found

    def consumed(self, node: Node) -> None:
        """A node has read what it needs of its upstreams (it is about to run, or will
        not run at all)."""
        combo = node.combo
        for edge in node.part.edges:
            up = edge.up
            readers = up.readers
            assert readers is not None
            data_files = up.data_files
            for u in edge.deps(combo):
                left = readers[u] - 1
                readers[u] = left
                if left:
                    continue
                if u in data_files:
                    for digest in data_files.pop(u):
                        self._files_read[digest] -= 1
                        if not self._files_read[digest]:
                            del self._files_read[digest]
                            self._unread_files.append(digest)
                up.release(u)

    def _files_to_read(self, part: Part, i: int, files: tuple[str, ...]) -> None:
        part.data_files[i] = files
        self._files_read.update(files)

    def unread_files(self) -> list[str]:
        """Stored data files that jobs were given and that no dependent is left to read
        in this invocation (each once): an executor that copied them elsewhere may let
        those copies go once the jobs that have them are over."""
        found, self._unread_files = self._unread_files, []
        return found

    # -- deciding ----------------------------------------------------------------

    def decide(self, node: Node) -> str:
        """Settle a node whose upstreams are all settled: RUN, CACHED or UPSTREAM_FAILED."""
        self._decide(node)
        return node.state

    @property
    def stat_cache(self) -> StatCache:
        if self._stat_cache is None:
            self._stat_cache = StatCache(self.history.file_stamps())
        return self._stat_cache

    def learnt_file_stamps(self) -> dict[str, Known]:
        """What the stat cache learnt about the files sources match, to keep."""
        return self._stat_cache.learnt if self._stat_cache is not None else {}

    def _decide(self, node: Node) -> None:
        part, i = node.part, node.index
        if not part.edges:
            if not part.judged:
                self._judge_whole(part)
        else:
            self._judge(part, i, node.combo)
        if part.state[i] != RUN_CODE:
            self.consumed(node)
            part.release(i)

    def _judge_whole(self, part: Part) -> None:
        """Decide every partition of an asset without inputs at once."""
        if part.asset.source is not None:
            self._judge_file_source(part)
        else:
            self._judge_sources(part)

    def _judge(self, part: Part, i: int, combo: tuple[int, ...]) -> None:
        for edge in part.edges:
            up = edge.up
            u = edge.first_not(edge.deps(combo), USABLE_BYTES)
            if u is not None:
                self._settle_as(part, i, jobs.UPSTREAM_FAILED,
                                f"upstream {up.label(u)} {STATES[up.state[u]]}")
                return
        self._verdict(part, i, self._fact(part, i), self._input_versions(part, combo))

    def _fact(self, part: Part, i: int) -> Fact | None:
        if part.facts is None:
            index = Positions(part)
            part.facts = {}
            for key, fact in self._facts_of(part):
                j = index.get(key)
                if j is not None and part.has(j):
                    part.facts[j] = fact
        return part.facts.pop(i, None)

    def _facts_of(self, part: Part) -> Iterable[tuple[str, Fact]]:
        """The recorded facts of ``part``: of its included partitions alone, asked for by
        key, when it includes few of them (one day of a million-partition asset)."""
        if not self._few(part):
            return self.history.facts(part.asset.key)
        return self.history.facts(part.asset.key, [part.key(i) for i in part.positions()])

    @staticmethod
    def _few(part: Part) -> bool:
        return part.included is not None and part.count * 4 < part.size

    def _verdict(self, part: Part, i: int, fact: Fact | None, seen: str | None) -> None:
        if fact is not None and fact.status in FAILURES:
            part.failed_last[i] = fact.status
        reason = _stale_reason(fact, self.code_versions[part.asset.key], seen)
        if reason is None:
            assert fact is not None
            reason = self._value_problem(fact)
        if reason is None and self.options.force and part.is_target(i):
            reason = "forced"
        if reason is None:
            assert fact is not None and fact.success_id is not None
            part.state[i] = CACHED_CODE
            part.reason[i] = 0
            if part.versions:
                part.versions[i] = fact.data_version or ""
                part.success[i] = fact.success_id
            return
        if not self.options.upstream and not part.is_target(i):
            self._settle_as(part, i, jobs.UPSTREAM_FAILED,
                            f"not fresh ({reason}) and --no-upstream was given")
            return
        part.state[i] = RUN_CODE
        part.set_reason(i, reason)
        if seen is not None:
            part.inputs_seen[i] = seen

    def _value_problem(self, fact: Fact) -> str | None:
        """Why the success's value can no longer stand for it, if it cannot: a stored
        file is read again only when its stamp moved."""
        if fact.inline and not fact.files:
            return None  # kept in the history itself: nothing outside to check
        recorded: dict[str, Stamp] = {}
        wanted: list[tuple[str, str]] = []
        if not fact.inline:  # else it is kept in the history itself
            if not fact.value_hash:
                return "value missing"
            if fact.stamp is not None:
                recorded[fact.value_hash] = fact.stamp
            wanted.append((fact.value_hash, "value"))
        if fact.files:
            hashes = fact.files.split()
            recorded.update(self.history.stamps(hashes))
            wanted += [(h, "stored data") for h in hashes]
        for digest, what in wanted:
            before = recorded.get(digest)
            now = self.values.check(digest, before)
            if now is None:
                return f"{what} {'changed' if self.values.exists(digest) else 'missing'}"
            if now != before:
                self.restamped[digest] = now
        return None

    @staticmethod
    def _settle_as(part: Part, i: int, status: str, reason: str) -> None:
        part.state[i] = STATE_CODE[status]
        part.set_reason(i, reason)

    def _judge_file_source(self, part: Part) -> None:
        """Match a file source's pattern and version what it matched, on every run and
        status: it is fresh (it stands for the files as they are), or failed when a path
        it names is missing or unreadable."""
        part.judged = True
        pattern = part.asset.source
        assert pattern is not None
        try:
            found = sources.scan(self.graph.root, pattern, self.stat_cache.digest)
        except OSError as exc:
            self._settle_as(part, 0, jobs.FAILED,
                            f"cannot read {exc.filename or pattern}: {exc.strerror}")
            return
        if found.missing:
            self._settle_as(part, 0, jobs.FAILED, f"no file or folder {pattern}")
            return
        part.state[0] = CACHED_CODE
        part.reason[0] = 0
        if part.versions:
            part.versions[0] = found.version
            part.paths[0] = (json.dumps(found.value, ensure_ascii=False).encode("utf-8"), ())

    def _judge_sources(self, part: Part) -> None:
        """Decide every partition of an asset without inputs at once, from its facts as
        they stream from the store: none is held."""
        part.judged = True
        never = REASON_CODE["never run"]
        part.state[:] = bytes([RUN_CODE]) * part.size
        part.reason[:] = bytes([never]) * part.size
        index = Positions(part)
        code = self.code_versions[part.asset.key]
        included, state, reason = part.included, part.state, part.reason
        versions, success = part.versions, part.success
        if self._few(part):
            for key, fact in self._facts_of(part):
                i = index.get(key)
                if i is not None and (included is None or included[i]):
                    self._verdict(part, i, fact, None)
            self._refuse_never_run(part)
            return
        history, asset = self.history, part.asset.key
        count = 0
        for chunk in history.settled(asset, code):
            count += len(chunk)
            if self.options.force:
                for key, success_id, data_version in chunk:
                    i = index.get(key)
                    if i is not None and (included is None or included[i]):
                        self._verdict(part, i, Fact(jobs.SUCCEEDED, success_id, code, None,
                                                    data_version, True), None)
                continue
            # Fresh: the value is in the history, and nothing it ran on moved. A loop
            # per case: this runs once per partition, a million times at most.
            if versions:
                for key, success_id, data_version in chunk:
                    i = index.get(key)
                    if i is not None and (included is None or included[i]):
                        state[i] = CACHED_CODE
                        reason[i] = 0
                        versions[i] = data_version or ""
                        success[i] = success_id
            else:
                for key, _, _ in chunk:
                    i = index.get(key)
                    if i is not None and (included is None or included[i]):
                        state[i] = CACHED_CODE
                        reason[i] = 0
        for key, fact in history.unsettled(asset, code, count):
            i = index.get(key)
            if i is not None and (included is None or included[i]):
                self._verdict(part, i, fact, None)
        self._refuse_never_run(part)

    def _refuse_never_run(self, part: Part) -> None:
        if not self.options.upstream:
            # A partition never run may be refused: judged one by one.
            never = REASON_CODE["never run"]
            for i in part.positions():
                if part.state[i] == RUN_CODE and part.reason[i] == never:
                    self._verdict(part, i, None, None)

    def _input_versions(self, part: Part, combo: tuple[int, ...]) -> str:
        parts: dict[str, str | dict[str, str]] = {}
        for edge in part.edges:
            up = edge.up
            deps = edge.deps(combo)
            vs = up.versions
            value: str | dict[str, str] = (
                dict(zip(up.keys(deps), [vs[u] or "" for u in deps])) if edge.gathered
                else vs[deps[0]] or "")
            for param in edge.params:
                parts[param] = value
        return versions.inputs_version(parts)

    # -- looking without running -------------------------------------------------

    def preview(self) -> Iterator[tuple[Node, str, str]]:
        """Every node as it stands now, running nothing: (node, FRESH, STALE or FAILED,
        the reason). A node behind a stale upstream is judged by itself first, else
        said to wait for that upstream."""
        for part in self.parts:
            if not part.edges:
                yield from self._preview_sources(part)
                continue
            code = self.code_versions[part.asset.key]
            for i in part.positions():
                node = Node(part, i)
                stale = self._stale_upstream(part, node.combo) if part.edges else None
                if stale is None:
                    self._decide(node)
                    state = part.state[i]
                    failed = part.failed_last.get(i)
                    if state == CACHED_CODE:
                        yield node, FRESH, ""
                    elif failed is not None and state == RUN_CODE:
                        yield node, FAILED, failed
                    else:
                        yield node, STALE, part.reason_of(i)
                    continue
                # Its inputs are not settled: say what is wrong with the node itself
                # first, else which upstream holds it back.
                fact = self._fact(part, i)
                part.state[i] = RUN_CODE
                if fact is not None and fact.status in FAILURES:
                    yield node, FAILED, fact.status
                    continue
                if fact is None or fact.success_id is None:
                    reason = "never run"
                elif fact.code_version != code:
                    reason = "code changed"
                elif self.options.force and part.is_target(i):
                    reason = "forced"
                else:
                    reason = f"upstream {stale} is not fresh"
                part.set_reason(i, reason)
                yield node, STALE, reason

    def _preview_sources(self, part: Part) -> Iterator[tuple[Node, str, str]]:
        """``preview`` of an asset without inputs: all of it is judged at once."""
        if not part.judged:
            self._judge_whole(part)
        state, failed_last = part.state, part.failed_last
        for i in part.positions():
            code = state[i]
            if code == CACHED_CODE:
                yield Node(part, i), FRESH, ""
                continue
            if code == RUN_CODE and i in failed_last:
                yield Node(part, i), FAILED, failed_last[i]
            else:
                yield Node(part, i), STALE, part.reason_of(i)
            part.release(i)

    def _stale_upstream(self, part: Part, combo: tuple[int, ...]) -> str | None:
        for edge in part.edges:
            u = edge.first_not(edge.deps(combo), CACHED_BYTES)
            if u is not None:
                return edge.up.label(u)
        return None

    def refused_upstreams(self) -> list[str]:
        """Under ``--no-upstream``: the upstreams of the selection that are not fresh,
        each with why. Judged on a copy, so this plan is left to run."""
        copy = Plan(self.graph, self.options, self.history)
        copy.build()
        return [f"{node.label}: {reason}" for node, verdict, reason in copy.preview()
                if not node.target and verdict != FRESH]


def _stale_reason(fact: Fact | None, code: str, seen: str | None) -> str | None:
    if fact is None:
        return "never run"
    if fact.status in FAILURES:
        return f"last run {fact.status}"
    if fact.success_id is None:
        return "never run"
    if fact.code_version != code:
        return "code changed"
    if fact.input_versions != seen:
        return "an input changed"
    return None
