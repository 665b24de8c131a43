"""What each page shows, as plain data for its template and for the live endpoint.

The same function gives a page its first rendering and its live updates, so the two
never disagree. Nothing here writes HTML: the templates do, escaping every text.
"""

from __future__ import annotations

import json
import time
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import tevra.ui.grid as grids
import tevra.ui.layout as layout
import tevra.ui.preview as preview
from tevra.store.pages import History
from tevra.store.schema import Run
from tevra.ui.pipeline import (
    FAILED,
    RUNNING,
    STATE_CLASS,
    STATE_GLYPH,
    SUCCEEDED,
    AssetInfo,
    Cell,
    Pipeline,
)

RUNS_PAGE = 50
INPUTS_SHOWN = 50
STATUS_CLASS = {"succeeded": "ok", "cached": "ok", "running": "running"}


def when(t: float | None) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t)) if t else "-"


def took(run: Run) -> str:
    if run.started is None or run.ended is None:
        return "-" if run.started is None else f"{time.time() - run.started:.1f}s so far"
    seconds = run.ended - run.started
    return f"{seconds * 1000:.0f}ms" if seconds < 1 else f"{seconds:.2f}s"


def short(key: str) -> str:
    """An asset key as a person reads it: an unnamed asset's file path is cut to its name."""
    if ":" in key and key.startswith("/"):
        path, _, function = key.rpartition(":")
        return f"{Path(path).name}:{function}"
    return key


def status_class(status: str) -> str:
    return STATUS_CLASS.get(status, "failed")


@dataclass(frozen=True, slots=True)
class AssetRow:
    info: AssetInfo
    label: str
    state: str
    counts: list[tuple[str, int]]

    @property
    def css(self) -> str:
        return STATE_CLASS[self.state]

    @property
    def counts_text(self) -> str:
        return "  ".join(f"{STATE_GLYPH[s]}{n:,}" for s, n in self.counts) or "no partitions"

    @property
    def detail(self) -> str:
        settled = ", ".join(f"{s} {n:,}" for s, n in self.counts if s != RUNNING)
        running = dict(self.counts).get(RUNNING)
        return (settled or "none recorded") + (f"; {running:,} running now" if running else "")

    def live(self) -> dict[str, Any]:
        return {"state": self.state, "css": self.css, "glyph": STATE_GLYPH[self.state],
                "counts": self.counts_text, "detail": self.detail}


class Views:
    def __init__(self, root: Path, history: History, pipeline: Pipeline) -> None:
        self.root = root
        self.history = history
        self.pipeline = pipeline

    def label(self, key: str) -> str:
        info = self.pipeline.by_key.get(key)
        return info.label if info is not None else short(key)

    # -- assets ------------------------------------------------------------------

    def asset_rows(self, only: AssetInfo | None = None) -> list[AssetRow]:
        """Every asset's state and counts (or only one asset's)."""
        counts = self.history.counts()
        runs, _ = self.pipeline.running()
        running: dict[str, int] = {}
        for run in runs:
            running[run.asset] = running.get(run.asset, 0) + 1
        rows = []
        for info in [only] if only is not None else self.pipeline.assets():
            state, per_state = self.pipeline.summary(
                info, counts.get(info.key, {}), running.get(info.key, 0))
            rows.append(AssetRow(info, info.label if info.dims is not None else short(info.key),
                                 state, per_state))
        return rows

    def graph(self) -> dict[str, Any]:
        rows = self.asset_rows()
        picture = layout.layout([(r.info.key, r.info.inputs) for r in rows])
        return {"rows": rows, "layout": picture, "by_key": {r.info.key: r for r in rows},
                "node_w": layout.NODE_W, "node_h": layout.NODE_H}

    # -- one asset ----------------------------------------------------------------

    def asset(self, info: AssetInfo, params: Mapping[str, str]) -> dict[str, Any]:
        row = self.asset_rows(info)[0]
        running = self.pipeline.running()[1]
        downstream = [a for a in self.pipeline.graph_assets
                      if any(u == info.key for _, u in a.inputs)]
        page: dict[str, Any] = {
            "info": info, "row": row,
            "recorded": sorted(self.history.counts().get(info.key, {}).items()),
            "reasons": self.pipeline.stale_reasons(info.key),
            "downstream": downstream,
            "recent": self.run_rows(self.history.runs(asset=info.key, limit=10)),
            "source": preview.source_html(info.source, info.line) if info.source else None,
        }
        page.update(self.cells(info, params, running))
        return page

    def cells(self, info: AssetInfo, params: Mapping[str, str],
              running: dict[tuple[str, str], int] | None = None) -> dict[str, Any]:
        """The visible page of an asset's partitions, and each one's state."""
        if running is None:
            running = self.pipeline.running()[1]
        if info.dims is None:
            # Known from the history alone: its recorded partitions, in key order.
            after = params.get("after")
            recorded = self.history.partitions(info.key, after, grids.STRIP_PAGE + 1)
            more = len(recorded) > grids.STRIP_PAGE
            recorded = recorded[: grids.STRIP_PAGE]
            keys = [r.partition for r in recorded]
            cells = self.pipeline.cells(info, {r.partition: r for r in recorded}, running, keys)
            return {"grid": None, "rows": [[c] for c in cells], "after": after,
                    "next_after": keys[-1] if more and keys else None}
        grid = grids.grid(info.dims, params)
        flat = [k for line in grid.keys for k in line]
        recorded_states = self.history.states(info.key, flat)
        found = iter(self.pipeline.cells(info, recorded_states, running, flat))
        rows = [[next(found) for _ in line] for line in grid.keys]
        return {"grid": grid, "rows": rows, "after": None, "next_after": None}

    # -- runs ---------------------------------------------------------------------

    def run_rows(self, runs: list[Run]) -> list[dict[str, Any]]:
        return [{
            "id": r.id, "asset": r.asset, "label": self.label(r.asset), "partition": r.partition,
            "status": r.status, "css": status_class(r.status), "started": when(r.started),
            "took": took(r), "note": (r.error or r.reason or "")[:160],
        } for r in runs]

    def runs(self, params: Mapping[str, str]) -> dict[str, Any]:
        asset = params.get("asset") or None
        status = params.get("status") or None
        invocation = _int(params.get("invocation"))
        before = _int(params.get("before"))
        runs = self.history.runs(asset=asset, status=status, invocation=invocation,
                                 before=before, limit=RUNS_PAGE + 1)
        older = runs[RUNS_PAGE - 1].id if len(runs) > RUNS_PAGE else None
        return {"rows": self.run_rows(runs[:RUNS_PAGE]), "older": older, "asset": asset,
                "status": status, "invocation": invocation, "before": before,
                "statuses": sorted(set(self.history.statuses()) | {SUCCEEDED, FAILED, RUNNING}),
                "invocations": self.history.invocations(10)}

    # -- one run ------------------------------------------------------------------

    def run(self, run: Run) -> dict[str, Any]:
        info = self.pipeline.by_key.get(run.asset)
        # Its partition's values, for the form that runs this partition again.
        again = ([tuple(piece.split("=", 1)) for piece in run.partition.split(",") if piece]
                 if info is not None else None)
        return {"run": run, "label": self.label(run.asset), "css": status_class(run.status),
                "again": again,
                "started": when(run.started), "ended": when(run.ended), "took": took(run),
                "inputs": self.inputs(run), "value": preview.value(self.root, run),
                "logs": preview.logs(self.root, run)}

    def inputs(self, run: Run) -> list[dict[str, Any]]:
        """Each input's data version, linked to the run that made it where it is known."""
        if not run.input_versions:
            return []
        try:
            versions: dict[str, Any] = json.loads(run.input_versions)
        except ValueError:
            return []
        info = self.pipeline.by_key.get(run.asset)
        upstreams = dict(info.inputs) if info is not None else {}
        mine = dict(piece.split("=", 1) for piece in run.partition.split(",") if "=" in piece)
        out = []
        for param, spec in sorted(versions.items()):
            upstream = upstreams.get(param)
            items: list[tuple[str, Any]]
            if isinstance(spec, dict):
                items = sorted(spec.items())
            else:
                dims = self._dims(upstream)
                items = [(",".join(f"{d}={mine[d]}" for d in dims if d in mine), spec)]
            shown = []
            for partition, version in items[:INPUTS_SHOWN]:
                made_by = (self.history.producer(upstream, partition, version, run.id)
                           if upstream and isinstance(version, str) else None)
                shown.append({"partition": partition, "version": version, "run": made_by})
            out.append({"param": param, "upstream": upstream,
                        "label": self.label(upstream) if upstream else None,
                        "items": shown, "more": max(0, len(items) - INPUTS_SHOWN)})
        return out

    def _dims(self, key: str | None) -> tuple[str, ...]:
        info = self.pipeline.by_key.get(key) if key else None
        return info.dims.names if info is not None and info.dims is not None else ()

    # -- live -----------------------------------------------------------------------

    def live(self, params: Mapping[str, str]) -> dict[str, Any]:
        runs, running = self.pipeline.running()
        out: dict[str, Any] = {
            "last_run_id": self.history.last_run_id(),
            "running": self.run_rows(runs[:20]),
            "running_count": len(runs),
        }
        page = params.get("page")
        if page == "assets":
            out["assets"] = {r.info.key: r.live() for r in self.asset_rows()}
        elif page == "asset":
            info = self.pipeline.asset(params.get("key", ""))
            if info is not None:
                out["assets"] = {info.key: self.asset_rows(info)[0].live()}
                found = self.cells(info, params, running)
                out["cells"] = [_cell_json(c) for line in found["rows"] for c in line]
        elif page == "runs" and not params.get("before"):
            out["runs"] = self.runs(params)["rows"]
        return out


def _cell_json(cell: Cell) -> list[Any]:
    return [cell.css, cell.glyph, f"{cell.partition} — {cell.title}", cell.run_id]


def _int(text: str | None) -> int | None:
    try:
        return int(text) if text else None
    except ValueError:
        return None
