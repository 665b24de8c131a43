"""What the run history's database holds: its tables and indexes, the statements that
write a run, and the records read back (a run, and the facts freshness is judged by).

The layout number says which shape a state directory has; ``tevra.store`` moves an
earlier one into this one when it first opens it.
"""

from __future__ import annotations

import re
import sqlite3
from dataclasses import dataclass
from collections.abc import Iterator, Sequence
from typing import NamedTuple

from tevra.values import Stamp

# The database's file name in the state directory.
DB_NAME = "runs.db"
# The database's layout; 0 is the first, with a directory of files per run.
LAYOUT = 2

SCHEMA = """
CREATE TABLE IF NOT EXISTS invocations (
    id INTEGER PRIMARY KEY,
    started REAL NOT NULL,
    ended REAL,
    pid INTEGER NOT NULL,
    argv TEXT NOT NULL,
    status TEXT NOT NULL,
    summary TEXT
);
CREATE TABLE IF NOT EXISTS runs (
    id INTEGER PRIMARY KEY,
    invocation INTEGER NOT NULL,
    asset TEXT NOT NULL,
    partition TEXT NOT NULL,
    status TEXT NOT NULL,
    reason TEXT,
    started REAL,
    ended REAL,
    code_version TEXT,
    input_versions TEXT,
    data_version TEXT,
    value BLOB,
    value_hash TEXT,
    value_size INTEGER,
    files TEXT,
    error TEXT,
    error_type TEXT,
    traceback TEXT,
    cached_from INTEGER,
    attempt INTEGER NOT NULL DEFAULT 1,
    log_hash TEXT
);
CREATE INDEX IF NOT EXISTS runs_by_asset ON runs (asset, partition, id);
-- Runs under way, found at every start; the other statuses are listed newest first,
-- which a scan from the newest end finds without an index of every run.
CREATE INDEX IF NOT EXISTS runs_running ON runs (id) WHERE status = 'running';
-- The last real run and the last success of every asset partition.
CREATE TABLE IF NOT EXISTS latest (
    asset TEXT NOT NULL,
    partition TEXT NOT NULL,
    run_id INTEGER NOT NULL,
    status TEXT NOT NULL,
    success_id INTEGER,
    PRIMARY KEY (asset, partition)
) WITHOUT ROWID;
-- Pages list an asset's runs of one status, and an invocation's runs, newest first.
CREATE INDEX IF NOT EXISTS runs_by_asset_status ON runs (asset, status, id);
CREATE INDEX IF NOT EXISTS runs_by_invocation ON runs (invocation, id);
-- The parts of the code each code version stands for (tevra.codeversion), kept once
-- per version, so that a status can say what changed since a run.
CREATE TABLE IF NOT EXISTS code_parts (
    code_version TEXT PRIMARY KEY,
    parts TEXT NOT NULL
) WITHOUT ROWID;
-- The worker processes of invocations under way (tevra.lifeline), each recorded before
-- its first job: what the next invocation stops if this one dies.
CREATE TABLE IF NOT EXISTS workers (
    invocation INTEGER NOT NULL,
    pid INTEGER NOT NULL,
    start INTEGER NOT NULL,
    boot TEXT NOT NULL
);
"""
STAMP_TABLES = (
    """
-- The stamp of every file in the value store that a run names, as last seen intact.
CREATE TABLE IF NOT EXISTS stored (
    hash TEXT PRIMARY KEY,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    ctime_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    device INTEGER NOT NULL
) WITHOUT ROWID""", """
-- The stat cache of the files sources match.
CREATE TABLE IF NOT EXISTS file_stamps (
    path TEXT PRIMARY KEY,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    ctime_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    device INTEGER NOT NULL,
    hash TEXT NOT NULL,
    hashed_ns INTEGER NOT NULL
) WITHOUT ROWID""")
SCHEMA += ";".join(STAMP_TABLES)

# The tables and indexes the schema makes: when all are there, it is not run again.
SCHEMA_NAMES = frozenset(re.findall(r"CREATE (?:TABLE|INDEX) IF NOT EXISTS (\w+)", SCHEMA))
# The tables every run history has; a database with tables but not these is not one.
TABLES = ("invocations", "runs", "latest")
# The assets with runs under way, found through the index of running runs.
RUNNING_ASSETS = ("SELECT DISTINCT asset FROM "
                   "(SELECT asset FROM runs WHERE status = 'running' ORDER BY id)")

# How many partitions of each asset stand at each last status, kept by triggers, so
# that a page counts a million partitions without reading them. Created, and filled
# from ``latest``, in one transaction when a store first meets it.
COUNTS = (
    """CREATE TABLE latest_counts (
        asset TEXT NOT NULL,
        status TEXT NOT NULL,
        n INTEGER NOT NULL,
        PRIMARY KEY (asset, status)
    ) WITHOUT ROWID""",
    """CREATE TRIGGER latest_counted AFTER INSERT ON latest BEGIN
        INSERT INTO latest_counts VALUES (new.asset, new.status, 1)
        ON CONFLICT (asset, status) DO UPDATE SET n = n + 1;
    END""",
    """CREATE TRIGGER latest_recounted AFTER UPDATE OF status ON latest
    WHEN old.status IS NOT new.status BEGIN
        UPDATE latest_counts SET n = n - 1 WHERE asset = old.asset AND status = old.status;
        INSERT INTO latest_counts VALUES (new.asset, new.status, 1)
        ON CONFLICT (asset, status) DO UPDATE SET n = n + 1;
    END""",
    """CREATE TRIGGER latest_uncounted AFTER DELETE ON latest BEGIN
        UPDATE latest_counts SET n = n - 1 WHERE asset = old.asset AND status = old.status;
    END""",
    "INSERT INTO latest_counts SELECT asset, status, count(*) FROM latest GROUP BY asset, status",
)

RUN_COLUMNS = (
    "id", "invocation", "asset", "partition", "status", "reason", "started", "ended",
    "code_version", "input_versions", "data_version", "value", "value_hash", "value_size",
    "files", "error", "error_type", "traceback", "cached_from", "attempt", "log_hash",
)


INSERT_RUN = (f"INSERT INTO runs ({', '.join(RUN_COLUMNS)}) "
               f"VALUES ({', '.join('?' * len(RUN_COLUMNS))})")
FINISH_RUN = (
    "UPDATE runs SET status = ?, started = ?, ended = ?, input_versions = ?, "
    "data_version = ?, value = ?, value_hash = ?, value_size = ?, files = ?, "
    "error = ?, error_type = ?, traceback = ?, log_hash = ? WHERE id = ?"
)
SET_STAMP = ("INSERT OR REPLACE INTO stored (hash, size, mtime_ns, ctime_ns, inode, device) "
              "VALUES (?, ?, ?, ?, ?, ?)")
SET_LATEST = (
    "INSERT INTO latest (asset, partition, run_id, status, success_id) "
    "VALUES (?, ?, ?, ?, ?) ON CONFLICT (asset, partition) DO UPDATE SET "
    "run_id = excluded.run_id, status = excluded.status, "
    "success_id = COALESCE(excluded.success_id, latest.success_id)"
)


@dataclass(frozen=True, slots=True)
class Run:
    id: int
    invocation: int
    asset: str
    partition: str
    status: str
    reason: str | None
    started: float | None
    ended: float | None
    code_version: str | None
    input_versions: str | None
    data_version: str | None
    value: bytes | None  # value.json itself, when small
    value_hash: str | None  # else the hash of its file in the value store
    value_size: int | None
    files: str | None  # hashes of the stored data files its manifest names, space-separated
    error: str | None
    error_type: str | None
    traceback: str | None
    cached_from: int | None
    attempt: int = 1  # 1, or the retry's number plus one
    log_hash: str | None = None  # what the run printed, as a stored file

    @property
    def file_hashes(self) -> list[str]:
        return self.files.split() if self.files else []


class Fact(NamedTuple):
    """What freshness is judged by, for one partition: the status of its last real run
    and, from its last success, what that success ran on and made: whether its value is
    kept in the history (when small), else the hash of its stored file with the stamp
    that file had when last seen intact, and the stored data files its manifest names."""

    status: str
    success_id: int | None
    code_version: str | None = None
    input_versions: str | None = None
    data_version: str | None = None
    inline: bool = False
    value_hash: str | None = None
    files: str | None = None
    stamp: Stamp | None = None


# Values a query names in one IN (...) list, well under SQLite's limit of parameters.
CHUNK = 500


def chunks[T](items: Sequence[T]) -> Iterator[tuple[Sequence[T], str]]:
    """``items`` a chunk at a time, each with the placeholders that name it."""
    for start in range(0, len(items), CHUNK):
        chunk = items[start:start + CHUNK]
        yield chunk, ", ".join("?" * len(chunk))


def add_counts(db: sqlite3.Connection) -> None:
    if has_table(db, "latest_counts"):
        return
    try:
        db.execute("BEGIN IMMEDIATE")
        if not has_table(db, "latest_counts"):
            for statement in COUNTS:
                db.execute(statement)
        db.execute("COMMIT")
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise


def has_table(db: sqlite3.Connection, name: str) -> bool:
    return db.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                      (name,)).fetchone() is not None
