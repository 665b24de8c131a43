"""The pages' reader: what ``tevra ui`` shows, asked of the database read-only. It
never takes the lock and never writes, so a page never holds up a run (WAL lets it read
while a run commits). Every query is bounded by an index, so a page costs the same at a
million partitions.
"""

from __future__ import annotations

import sqlite3
import threading
import urllib.parse
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tevra import jobs
from tevra.store.schema import DB_NAME, RUN_COLUMNS, RUNNING_ASSETS, Run, chunks

@dataclass(frozen=True, slots=True)
class PartitionState:
    """An asset partition's last real run, and its last success."""

    partition: str
    status: str
    run_id: int
    success_id: int | None


@dataclass(frozen=True, slots=True)
class Invocation:
    id: int
    started: float
    ended: float | None
    pid: int
    argv: str
    status: str


_RUN_SELECT = f"SELECT {', '.join(RUN_COLUMNS)} FROM runs"
# Distinct values of an index's first column, one index step each (a skip-scan).
_DISTINCT = ("WITH RECURSIVE d(v) AS (SELECT MIN({col}) FROM {table} UNION ALL "
             "SELECT (SELECT MIN({col}) FROM {table} WHERE {col} > d.v) FROM d "
             "WHERE d.v IS NOT NULL) SELECT v FROM d WHERE v IS NOT NULL")


class History:
    """The run history as the pages read it.

    The database is opened when it exists (the first run creates it), read-only.
    One connection serves every thread, one query at a time.
    """

    def __init__(self, root: Path) -> None:
        self.root = root
        self._db: sqlite3.Connection | None = None
        self._lock = threading.Lock()

    def _connect(self) -> sqlite3.Connection | None:
        if self._db is None:
            path = self.root / DB_NAME
            if not path.exists():
                return None
            uri = f"file:{urllib.parse.quote(str(path))}?mode=ro"
            self._db = sqlite3.connect(uri, uri=True, isolation_level=None,
                                       check_same_thread=False, timeout=5)
        return self._db

    def _all(self, sql: str, args: Sequence[object] = ()) -> list[tuple[Any, ...]]:
        with self._lock:
            db = self._connect()
            if db is None:
                return []
            try:
                return db.execute(sql, args).fetchall()
            except sqlite3.OperationalError as exc:
                # A store that no run has written yet has no tables.
                if "no such table" in str(exc):
                    return []
                raise

    def close(self) -> None:
        with self._lock:
            if self._db is not None:
                self._db.close()
                self._db = None

    def last_run_id(self) -> int:
        """Grows whenever a run is recorded: what a snapshot of the history is as of."""
        rows = self._all("SELECT MAX(id) FROM runs")
        return int(rows[0][0] or 0) if rows else 0

    def assets(self) -> list[str]:
        """Every asset with a recorded run, in key order."""
        found = {r[0] for r in self._all(_DISTINCT.format(col="asset", table="latest"))}
        found.update(r[0] for r in self._all(
            RUNNING_ASSETS))
        return sorted(found)

    def statuses(self) -> list[str]:
        """Every status some run has."""
        return [r[0] for r in self._all(_DISTINCT.format(col="status", table="runs"))]

    def counts(self) -> dict[str, dict[str, int]]:
        """Asset -> last status -> how many of its partitions stand at it."""
        if self._all("SELECT 1 FROM sqlite_master WHERE name = 'latest_counts'"):
            rows = self._all("SELECT asset, status, n FROM latest_counts WHERE n > 0")
        else:
            # A store no writer has opened since the counts came in counts the long way.
            rows = self._all("SELECT asset, status, count(*) FROM latest GROUP BY asset, status")
        out: dict[str, dict[str, int]] = {}
        for asset, status, n in rows:
            out.setdefault(asset, {})[status] = n
        return out

    def states(self, asset: str, partitions: Sequence[str]) -> dict[str, PartitionState]:
        """The recorded state of each of these partitions that has one."""
        out: dict[str, PartitionState] = {}
        for chunk, marks in chunks(partitions):
            rows = self._all(
                "SELECT partition, status, run_id, success_id FROM latest WHERE asset = ? "
                f"AND partition IN ({marks})", (asset, *chunk))
            for row in rows:
                out[row[0]] = PartitionState(*row)
        return out

    def partitions(self, asset: str, after: str | None, limit: int) -> list[PartitionState]:
        """A page of an asset's recorded partitions in key order, after ``after``."""
        rows = self._all(
            "SELECT partition, status, run_id, success_id FROM latest WHERE asset = ? "
            f"AND partition {'>=' if after is None else '>'} ? ORDER BY partition LIMIT ?",
            (asset, after or "", limit))
        return [PartitionState(*row) for row in rows]

    def running(self, limit: int = 100) -> list[Run]:
        return [Run(*row) for row in self._all(
            f"{_RUN_SELECT} WHERE status = 'running' ORDER BY id DESC LIMIT ?", (limit,))]

    def runs(self, *, asset: str | None = None, status: str | None = None,
             invocation: int | None = None, before: int | None = None,
             limit: int = 50) -> list[Run]:
        """A page of runs, newest first, older than run ``before``."""
        where: list[str] = []
        args: list[object] = []
        if invocation is not None:
            # An invocation's runs have neighbouring ids: bound the scan to them.
            # (Two queries: SQLite finds a lone MIN or MAX in the index at once.)
            bounds = self._all("SELECT (SELECT MIN(id) FROM runs WHERE invocation = ?), "
                               "(SELECT MAX(id) FROM runs WHERE invocation = ?)",
                               (invocation, invocation))
            if not bounds or bounds[0][0] is None:
                return []
            lo, hi = bounds[0]
            where.append("+invocation = ? AND id BETWEEN ? AND ?")
            args += [invocation, lo, hi]
        if asset is not None:
            where.append("asset = ?")
            args.append(asset)
            if status is None:
                # Each status's runs are in id order in the index: the newest of each
                # are merged, instead of reading all of the asset's runs.
                statuses = self.statuses()
                where.append(f"status IN ({', '.join('?' * len(statuses))})")
                args += statuses
        if status is not None:
            where.append("status = ?")
            args.append(status)
        if before is not None:
            where.append("id < ?")
            args.append(before)
        sql = _RUN_SELECT + (" WHERE " + " AND ".join(where) if where else "")
        return [Run(*row) for row in self._all(sql + " ORDER BY id DESC LIMIT ?", (*args, limit))]

    def run(self, run_id: int) -> Run | None:
        rows = self._all(f"{_RUN_SELECT} WHERE id = ?", (run_id,))
        return Run(*rows[0]) if rows else None

    def producer(self, asset: str, partition: str, data_version: str, before: int) -> int | None:
        """The newest succeeded run before ``before`` that made this value."""
        rows = self._all(
            "SELECT id FROM runs INDEXED BY runs_by_asset WHERE asset = ? AND partition = ? "
            "AND id < ? AND status = ? AND data_version = ? ORDER BY id DESC LIMIT 1",
            (asset, partition, before, jobs.SUCCEEDED, data_version))
        return int(rows[0][0]) if rows else None

    def invocations(self, limit: int = 20) -> list[Invocation]:
        return [Invocation(*row) for row in self._all(
            "SELECT id, started, ended, pid, argv, status FROM invocations "
            "ORDER BY id DESC LIMIT ?", (limit,))]
