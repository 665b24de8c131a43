"""What the pages know of the pipeline: its assets (from the user's modules, else from
the history alone), each partition's state, and how fresh each partition is.

Freshness is the plan's to judge: it is asked of ``tevra status --json`` in a child
process, in the background, whenever the history has moved on, so that a page never
waits for it and the server never imports user code. Recorded statuses come straight
from the store and are always current; freshness is as of the last run it has seen.
"""

from __future__ import annotations

import json
import subprocess
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tevra import jobs
from tevra.discover import inspect
from tevra.errors import GraphError
from tevra.graph import build
from tevra.partition_keys import Dimensions
from tevra.store.pages import History, PartitionState
from tevra.store.schema import Run

# Above this many partitions in the graph, freshness is not computed (planning them
# all takes seconds and memory); pages show the recorded statuses only.
FRESHNESS_LIMIT = 100_000
# At most one freshness check this often while runs keep arriving.
FRESHNESS_INTERVAL = 1.0

# A partition's state on a page, with the class that colours it and a glyph that
# says the same without colour.
FRESH, SUCCEEDED, STALE, FAILED, RUNNING, NEVER = (
    "fresh", "succeeded", "stale", "failed", "running", "never run")
STATE_ORDER = (RUNNING, FAILED, STALE, NEVER, FRESH, SUCCEEDED)
STATE_CLASS = {FRESH: "ok", SUCCEEDED: "ok", STALE: "stale", FAILED: "failed",
               RUNNING: "running", NEVER: "never"}
STATE_GLYPH = {FRESH: "✓", SUCCEEDED: "✓", STALE: "~", FAILED: "✗", RUNNING: "▶", NEVER: "·"}


@dataclass(frozen=True, slots=True)
class AssetInfo:
    key: str
    label: str
    module: str | None = None
    function: str | None = None
    file: str | None = None
    line: int | None = None
    source: str | None = None
    serializer: str | None = None
    inputs: tuple[tuple[str, str], ...] = ()  # (parameter, upstream key)
    dims: Dimensions | None = None  # None: known from the history alone

    @property
    def size(self) -> int | None:
        return self.dims.size() if self.dims is not None else None


@dataclass(frozen=True, slots=True)
class Cell:
    """One partition as a page shows it."""

    partition: str
    state: str
    reason: str
    run_id: int | None

    @property
    def css(self) -> str:
        return STATE_CLASS[self.state]

    @property
    def glyph(self) -> str:
        return STATE_GLYPH[self.state]

    @property
    def title(self) -> str:
        return f"{self.state}: {self.reason}" if self.reason else self.state


@dataclass(slots=True)
class Freshness:
    """The plan's verdicts as of one point of the history."""

    as_of: int  # the last run id recorded when the check began
    checked: float
    # (asset, partition) -> (state, reason), for every partition that is not fresh.
    verdicts: dict[tuple[str, str], tuple[str, str]] = field(default_factory=dict)
    counts: dict[str, Counter[str]] = field(default_factory=dict)
    reasons: dict[str, Counter[str]] = field(default_factory=dict)
    error: str | None = None


class Pipeline:
    def __init__(self, modules: list[str], project_dir: Path, history: History,
                 exclude: list[str] | None = None) -> None:
        self.modules = modules
        self.exclude = exclude or []
        self.project_dir = project_dir
        self.history = history
        self.graph_assets: list[AssetInfo] = []
        self.by_key: dict[str, AssetInfo] = {}
        self.freshness: Freshness | None = None
        self.freshness_note = "" if modules else "no modules given: states as recorded"
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._checking: subprocess.Popen[str] | None = None
        if modules:
            self._load()

    def _load(self) -> None:
        found = inspect(self.modules, str(self.project_dir), self.exclude)
        if not found.records:
            raise GraphError([f"no assets found in {' '.join(self.modules)}"])
        graph = build(found.records, found.python_version)
        serializers = {}
        for record in found.records:
            meta = record.get("decorator_metadata") or {}
            serializers[f"{record['file_path']}:{record['function_name']}"] = meta.get("serializer")
        for a in graph.assets:
            at = a.module_source.find(a.function_source)
            self.graph_assets.append(AssetInfo(
                key=a.key, label=a.label, module=a.module, function=a.function, file=a.file,
                line=a.module_source.count("\n", 0, at) + 1 if at >= 0 else None,
                source=a.function_source, serializer=serializers.get(a.ref),
                inputs=tuple((p, u.key) for p, u in sorted(a.inputs.items())), dims=a.dims))
        self.by_key = {a.key: a for a in self.graph_assets}
        total = sum(a.dims.size() for a in graph.assets)
        if total > FRESHNESS_LIMIT:
            self.freshness_note = (f"{total:,} partitions: freshness is not computed above "
                                   f"{FRESHNESS_LIMIT:,}; states as recorded")

    # -- assets ------------------------------------------------------------------

    def assets(self) -> list[AssetInfo]:
        """The graph's assets in dependency order, then those known only from the history."""
        extra = [AssetInfo(key=k, label=k) for k in self.history.assets() if k not in self.by_key]
        return self.graph_assets + extra

    def asset(self, key: str) -> AssetInfo | None:
        found = self.by_key.get(key)
        if found is None and key in self.history.assets():
            found = AssetInfo(key=key, label=key)
        return found

    # -- states ------------------------------------------------------------------

    def cells(self, asset: AssetInfo, recorded: dict[str, PartitionState],
              running: dict[tuple[str, str], int], keys: list[str]) -> list[Cell]:
        """The state of each partition key of ``asset``."""
        fresh = self.freshness if self.freshness and not self.freshness.error else None
        out = []
        for key in keys:
            run_id = running.get((asset.key, key))
            if run_id is not None:
                out.append(Cell(key, RUNNING, "", run_id))
                continue
            rec = recorded.get(key)
            if rec is None:
                out.append(Cell(key, NEVER, "", None))
                continue
            if fresh is not None and rec.run_id <= fresh.as_of:
                state, reason = fresh.verdicts.get((asset.key, key), (FRESH, ""))
            elif rec.status == jobs.SUCCEEDED:
                state, reason = (FRESH if fresh is not None else SUCCEEDED), ""
            else:
                state, reason = FAILED, rec.status
            out.append(Cell(key, state, reason, rec.run_id))
        return out

    def running(self) -> tuple[list[Run], dict[tuple[str, str], int]]:
        runs = self.history.running(limit=1000)
        return runs, {(r.asset, r.partition): r.id for r in runs}

    def summary(self, asset: AssetInfo, recorded: dict[str, int],
                running: int) -> tuple[str, list[tuple[str, int]]]:
        """An asset's state, and its partitions' counts per state (running ones apart:
        they are counted in the state they had when they started too)."""
        counts: Counter[str] = Counter()
        fresh = self.freshness if self.freshness and not self.freshness.error else None
        if fresh is not None and asset.key in fresh.counts:
            counts.update(fresh.counts[asset.key])
        else:
            for status, n in recorded.items():
                counts[SUCCEEDED if status == jobs.SUCCEEDED else FAILED] += n
            if asset.size is not None:
                counts[NEVER] += max(0, asset.size - sum(recorded.values()))
        counts[RUNNING] = running
        # An asset stands as its most pressing partition.
        top = next((s for s in STATE_ORDER if counts[s]), NEVER)
        return top, [(s, counts[s]) for s in STATE_ORDER if counts[s]]

    def stale_reasons(self, key: str) -> list[tuple[str, int]]:
        if self.freshness is None or self.freshness.error:
            return []
        return self.freshness.reasons.get(key, Counter()).most_common(5)

    # -- freshness, in the background ------------------------------------------------

    def start(self, state_dir: Path) -> None:
        """Keep freshness current while the server runs (only with modules, under the limit)."""
        if not self.modules or self.freshness_note:
            return
        self._thread = threading.Thread(target=self._watch, args=(state_dir,),
                                        name="tevra-ui-freshness", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        checking = self._checking
        if checking is not None and checking.poll() is None:
            checking.kill()  # it only reads: nothing is lost
        if self._thread is not None:
            self._thread.join(timeout=10)

    def _watch(self, state_dir: Path) -> None:
        pause = FRESHNESS_INTERVAL
        while not self._stop.is_set():
            as_of = self.history.last_run_id()
            if self.freshness is None or as_of != self.freshness.as_of:
                began = time.monotonic()
                self.freshness = self.check(state_dir, as_of)
                # A check of many partitions takes a while: while runs keep arriving,
                # it takes at most a fifth of one core from them.
                pause = max(FRESHNESS_INTERVAL, 4 * (time.monotonic() - began))
            self._stop.wait(pause)

    def check(self, state_dir: Path, as_of: int) -> Freshness:
        """Ask ``tevra status --json`` for every partition's verdict."""
        proc = self._checking = subprocess.Popen(
            [sys.executable, "-m", "tevra", "status", "--json", *self.modules,
             "--state", str(state_dir)],
            cwd=self.project_dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = proc.communicate()
        self._checking = None
        result = Freshness(as_of=as_of, checked=time.time())
        if proc.returncode != 0:
            result.error = (err.strip().splitlines() or ["tevra status failed"])[-1]
            return result
        document: dict[str, Any] = json.loads(out)
        for row in document["partitions"]:
            asset, partition, verdict = row["asset"], row["partition"], row["status"]
            reason = row["reason"] or ""
            state = NEVER if verdict == "stale" and reason == "never run" else verdict
            if state not in STATE_CLASS:
                state = STALE
            result.counts.setdefault(asset, Counter())[state] += 1
            if state != FRESH:
                result.verdicts[(asset, partition)] = (state, "" if state == NEVER else reason)
            if state == STALE:
                result.reasons.setdefault(asset, Counter())[reason] += 1
        return result
