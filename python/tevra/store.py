"""The run store: one SQLite database, the value store beside it, and every query on
them. Nothing else in tevra knows the database's name, tables or layout.

The orchestrator is the only writer of the database, and only while it holds the state
directory's lock; workers write their own scratch directories and put values into the
value store (``tevra.values``). A run is recorded as running before it starts and gets
its final status only once its value is safe, so a store left behind by a killed
orchestrator never reads a lost run as succeeded. A small value is kept in its run's
row; a larger one is a file in the value store, which the row names by hash, and whose
stamp the ``stored`` table keeps so that freshness reads it again only when it changed.
"""

from __future__ import annotations

import fcntl
import json
import os
import re
import shutil
import signal
import sqlite3
import sys
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NamedTuple, TextIO

from tevra import jobs, keys, lifeline, runlog, versions
from tevra.errors import Interrupted, NoHistory, StoreBusy, StoreError, UsageError
from tevra.store_errors import (
    check_header,
    damaged,
    database_error,
    is_locked,
    os_error,
)
from tevra.values import INLINE_LIMIT, Known, Stamp, ValueStore, remove_scratch

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
_SCHEMA_NAMES = frozenset(re.findall(r"CREATE (?:TABLE|INDEX) IF NOT EXISTS (\w+)", SCHEMA))
# The tables every run history has; a database with tables but not these is not one.
_TABLES = ("invocations", "runs", "latest")
# The assets with runs under way, found through the index of running runs.
_RUNNING_ASSETS = ("SELECT DISTINCT asset FROM "
                   "(SELECT asset FROM runs WHERE status = 'running' ORDER BY id)")
# Seconds one attempt to take the database's write lock waits, between which the
# command says that it waits and Ctrl-C is heard.
LOCK_SLICE = 1.0

# How many partitions of each asset stand at each last status, kept by triggers, so
# that a page counts a million partitions without reading them. Created, and filled
# from ``latest``, in one transaction when a store first meets it.
_COUNTS = (
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

# Commit at least this often while runs finish, so a killed orchestrator loses little.
COMMIT_INTERVAL = 0.25

_INSERT_RUN = (f"INSERT INTO runs ({', '.join(RUN_COLUMNS)}) "
               f"VALUES ({', '.join('?' * len(RUN_COLUMNS))})")
_FINISH_RUN = (
    "UPDATE runs SET status = ?, started = ?, ended = ?, input_versions = ?, "
    "data_version = ?, value = ?, value_hash = ?, value_size = ?, files = ?, "
    "error = ?, error_type = ?, traceback = ?, log_hash = ? WHERE id = ?"
)
_SET_STAMP = ("INSERT OR REPLACE INTO stored (hash, size, mtime_ns, ctime_ns, inode, device) "
              "VALUES (?, ?, ?, ?, ?, ?)")
_SET_LATEST = (
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


def state_dir(option: str | None, default: Path | None = None) -> Path:
    """``--state``, else ``$TEVRA_HOME``, else ``default`` (the project's), else
    ``.tevra`` in the working directory."""
    return Path(option or os.environ.get("TEVRA_HOME") or default or ".tevra").absolute()


def has_history(root: Path) -> bool:
    if root.exists() and not root.is_dir():
        raise StoreError(f"the state directory {root} is a file, not a directory; give "
                         "--state a directory")
    return (root / DB_NAME).exists()


# The databases this process opened, the last one last: what a failure names.
_opened: list[Path] = []


def failure(exc: BaseException) -> StoreError | None:
    """A database error that escaped a query (a page found damaged while reading, say)
    as the one line that names the file; None for anything else."""
    if not isinstance(exc, sqlite3.Error):
        return None
    return database_error(exc, _opened[-1] if _opened else Path(DB_NAME), "read")


class Store:
    def __init__(self, root: Path, *, readonly: bool = False,
                 notice: TextIO | None = None) -> None:
        self.root = root
        self.path = root / DB_NAME
        _opened.append(self.path)
        # Where the command says that it waits for another process's lock, and whether a
        # write waits for it (a command stopping at once does not).
        self.notice = notice
        self.patient = True
        if root.exists() and not root.is_dir():
            raise StoreError(f"the state directory {root} is a file, not a directory; give "
                             "--state a directory")
        if readonly and not has_history(root):
            raise NoHistory(f"no run history in {root}")
        try:
            root.mkdir(parents=True, exist_ok=True)
        except FileExistsError:
            raise StoreError(f"the state directory {root} is a file, not a directory; give "
                             "--state a directory") from None
        except OSError as exc:
            raise os_error(exc, root, "make the state directory") from None
        if not root.is_dir():
            raise StoreError(f"the state directory {root} is not a directory; give --state "
                             "a directory")
        check_header(self.path)
        try:
            self.db = sqlite3.connect(self.path, isolation_level=None, timeout=LOCK_SLICE)
        except sqlite3.Error as exc:
            raise database_error(exc, self.path, "open") from None
        try:
            self._open(readonly)
        except sqlite3.Error as exc:
            self.db.close()
            raise database_error(exc, self.path, "open") from None
        except BaseException:
            self.db.close()
            raise
        # Writes wait here until the next commit, which writes them in one transaction.
        self._starts: dict[int, tuple[Any, ...]] = {}
        self._rows: list[tuple[Any, ...]] = []
        self._updates: list[tuple[Any, ...]] = []
        self._latest: list[tuple[Any, ...]] = []
        self._stamps: dict[str, Stamp] = {}
        self._last_commit = 0.0
        self._next_id = 0
        self.invocation = 0

    def _open(self, readonly: bool) -> None:
        """Check and set up the database; nothing is written when it is up to date, so
        that opening a damaged one changes nothing in it."""
        made = dict(self.db.execute("SELECT name, type FROM sqlite_master"))
        tables = {name for name, kind in made.items() if kind == "table"}
        missing = [t for t in _TABLES if t not in tables]
        if tables and missing:
            # Someone else's database, or one damaged: never made over into a history.
            raise damaged(self.path, f"it has no table {missing[0]}")
        if readonly and missing:
            raise NoHistory(f"no run history in {self.root}")
        self._wait_for_lock(lambda: self.db.execute("PRAGMA journal_mode=WAL"))
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.values = ValueStore(str(self.root / "values"))
        if self._earlier_layout():
            with self._locked(wait=True, notice=sys.stderr):
                if self._earlier_layout():
                    self._migrate()
            readonly = False  # what the migration began, set-up finishes
        if not readonly:
            if not _SCHEMA_NAMES <= made.keys():
                self._wait_for_lock(lambda: self.db.executescript(SCHEMA))
            columns = {row[1] for row in self.db.execute("PRAGMA table_info(invocations)")}
            if "summary" not in columns:
                # A history from before summaries: its invocations simply have none.
                self._wait_for_lock(lambda: self.db.execute(
                    "ALTER TABLE invocations ADD COLUMN summary TEXT"))
            self._wait_for_lock(lambda: _add_counts(self.db))
            if "runs_by_status" in made:
                # Indexed every run by status: 25 bytes a run for lists that need none.
                self._wait_for_lock(lambda: self.db.execute("DROP INDEX runs_by_status"))
            if self.db.execute("PRAGMA user_version").fetchone()[0] != LAYOUT:
                self._wait_for_lock(lambda: self.db.execute(f"PRAGMA user_version = {LAYOUT}"))
        self._upgrade()

    def _upgrade(self) -> None:
        """Bring a history from before retries and code parts up to date (also when only
        read: every query names the new column)."""
        columns = {row[1] for row in self.db.execute("PRAGMA table_info(runs)")}
        if columns and "attempt" not in columns:
            self._wait_for_lock(lambda: self.db.execute(
                "ALTER TABLE runs ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1"))
        if columns and not _has_table(self.db, "code_parts"):
            self._wait_for_lock(lambda: self.db.execute(
                "CREATE TABLE IF NOT EXISTS code_parts (code_version TEXT "
                "PRIMARY KEY, parts TEXT NOT NULL) WITHOUT ROWID"))

    # -- the layout ------------------------------------------------------------

    def _earlier_layout(self) -> bool:
        """A database an earlier tevra wrote: a directory of files per run."""
        version = self.db.execute("PRAGMA user_version").fetchone()[0]
        if version == LAYOUT:
            return False
        if version > LAYOUT:
            raise StoreError(f"{self.root / DB_NAME} was written by a newer tevra (layout "
                             f"{version}); use that version, or another --state directory")
        return self.db.execute(
            "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'runs'").fetchone() is not None

    def _migrate(self) -> None:
        """Bring a database of the first layout to this one, keeping its history: each
        run's value.json whose bytes still have the run's data version moves into the
        row or the value store; the rest is dropped (those runs are stale, so they run
        again). The run directories are removed once the database is committed."""
        print(f"tevra: moving the values of {self.root} into its value store (once)",
              file=sys.stderr, flush=True)
        db = self.db
        found = db.execute("SELECT id, value_path, data_version FROM runs "
                           "WHERE value_path IS NOT NULL").fetchall()
        logs = db.execute("SELECT id, output_dir FROM runs WHERE output_dir IS NOT NULL").fetchall()
        scratch = self.root / "scratch" / f"migrate-{os.getpid()}"
        scratch.mkdir(parents=True, exist_ok=True)
        moved: list[tuple[Any, ...]] = []
        stamps: dict[str, Stamp] = {}
        for run_id, path, version in found:
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            if versions.data_version(data) != version:
                continue
            if len(data) <= INLINE_LIMIT:
                moved.append((data, None, run_id))
            else:
                stored = self.values.put_bytes(data, str(scratch))
                stamps[stored.digest] = stored.stamp
                moved.append((None, stored.digest, run_id))
        kept_logs: list[tuple[str, int]] = []
        for run_id, output_dir in logs:
            try:
                with open(os.path.join(output_dir, "log.txt"), "rb") as f:
                    kept_logs.append((self.values.put_bytes(f.read(), str(scratch)).digest, run_id))
            except OSError:
                continue
        try:
            db.execute("BEGIN IMMEDIATE")
            for column in ("value BLOB", "value_hash TEXT", "files TEXT", "log_hash TEXT"):
                db.execute(f"ALTER TABLE runs ADD COLUMN {column}")
            db.executemany("UPDATE runs SET value = ?, value_hash = ? WHERE id = ?", moved)
            db.executemany("UPDATE runs SET log_hash = ? WHERE id = ?", kept_logs)
            for column in ("value_path", "value_mtime_ns", "output_dir"):
                db.execute(f"ALTER TABLE runs DROP COLUMN {column}")
            for statement in STAMP_TABLES:
                db.execute(statement)
            columns = {row[1] for row in db.execute("PRAGMA table_info(invocations)")}
            if "summary" not in columns:
                # A history from before summaries: its invocations simply have none.
                db.execute("ALTER TABLE invocations ADD COLUMN summary TEXT")
            db.executemany(_SET_STAMP, [(h, *s) for h, s in stamps.items()])
            db.execute(f"PRAGMA user_version = {LAYOUT}")
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        shutil.rmtree(self.root / "runs", ignore_errors=True)
        remove_scratch(str(self.root), scratch.name)

    # -- the writer's side ---------------------------------------------------

    @contextmanager
    def _locked(self, *, wait: bool, notice: TextIO) -> Iterator[None]:
        """Hold the state directory's lock: one writer at a time."""
        try:
            lock = open(self.root / "lock", "a+")
        except OSError as exc:
            raise os_error(exc, self.root / "lock", "open") from None
        try:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                lock.seek(0)
                holder = lock.read().strip() or "unknown"
                if not wait:
                    raise StoreBusy(
                        f"another tevra run (pid {holder}) is using {self.root}"
                    ) from None
                try:
                    print(f"tevra: waiting for the tevra run (pid {holder}) using {self.root}",
                          file=notice, flush=True)
                    fcntl.flock(lock, fcntl.LOCK_EX)
                except KeyboardInterrupt:
                    raise Interrupted(f"interrupted while waiting for the tevra run (pid "
                                      f"{holder}) using {self.root}; nothing ran") from None
            lock.seek(0)
            lock.truncate()
            lock.write(str(os.getpid()))
            lock.flush()
            yield
        finally:
            lock.close()

    # -- the writer's side ---------------------------------------------------

    @contextmanager
    def writer(self, argv: list[str], *, wait: bool = True, notice: TextIO = sys.stderr) -> Iterator[int]:
        """Hold the state directory for one invocation; yields its id.

        A second invocation waits for the first (``wait``) or stops with StoreBusy.
        Runs a killed invocation left as running are marked interrupted first.
        """
        with self._locked(wait=wait, notice=notice):
            self._stop_leftovers()
            self._recover()
            # What the workers of a killed invocation left in their directories.
            remove_scratch(str(self.root))
            cur = self.db.execute(
                "INSERT INTO invocations (started, pid, argv, status) VALUES (?, ?, ?, 'running')",
                (time.time(), os.getpid(), json.dumps(argv)),
            )
            self.invocation = int(cur.lastrowid or 0)
            row = self.db.execute("SELECT COALESCE(MAX(id), 0) FROM runs").fetchone()
            self._next_id = int(row[0]) + 1
            status = "failed"
            try:
                yield self.invocation
                status = "finished"
            finally:
                self.commit()
                self._write(lambda: (
                    self.db.execute("DELETE FROM workers WHERE invocation = ?",
                                    (self.invocation,)),
                    self.db.execute("UPDATE invocations SET ended = ?, status = ? WHERE id = ?",
                                    (time.time(), status, self.invocation))))

    def _stop_leftovers(self) -> None:
        """Stop what is left of the workers of invocations that died under way, before
        their runs are run again (``tevra.lifeline``)."""
        rows = self.db.execute(
            "SELECT pid, start, boot FROM workers WHERE invocation IN "
            "(SELECT id FROM invocations WHERE status = 'running')").fetchall()
        if rows:
            lifeline.stop_leftovers([lifeline.Identity(*row) for row in rows])

    def worker_started(self, pid: int) -> None:
        """A worker of this invocation, recorded for good before it gets a job."""
        who = lifeline.identity(pid)
        if who is not None:
            self._write(lambda: self.db.execute(
                "INSERT INTO workers (invocation, pid, start, boot) VALUES (?, ?, ?, ?)",
                (self.invocation, *who)))

    def _recover(self) -> None:
        """Mark what a killed invocation left running as interrupted."""
        self._write(self._recover_now)

    def _recover_now(self) -> None:
        stale = self.db.execute(
            "SELECT id, asset, partition FROM runs WHERE status = 'running'"
        ).fetchall()
        now = time.time()
        self.db.execute(
            "UPDATE runs SET status = ?, ended = COALESCE(ended, ?), "
            "error = COALESCE(error, 'the tevra run that started it ended before it finished') "
            "WHERE status = 'running'",
            (jobs.INTERRUPTED, now),
        )
        for run_id, asset, partition in stale:
            self._set_latest(asset, partition, run_id, jobs.INTERRUPTED, None)
        self.db.execute(
            "UPDATE invocations SET status = 'interrupted', ended = COALESCE(ended, ?) "
            "WHERE status = 'running'",
            (now,),
        )
        self.db.execute("DELETE FROM workers WHERE invocation NOT IN "
                        "(SELECT id FROM invocations WHERE status = 'running')")

    def new_run_id(self) -> int:
        run_id = self._next_id
        self._next_id += 1
        return run_id

    def commit(self) -> None:
        """Write what is buffered in one transaction; when that fails, it stays buffered
        and a StoreError says why."""
        self._last_commit = time.monotonic()
        if not (self._starts or self._rows or self._updates or self._latest or self._stamps):
            return
        starts, rows, updates, latest = self._starts, self._rows, self._updates, self._latest
        stamps = self._stamps
        self._starts, self._rows, self._updates, self._latest = {}, [], [], []
        self._stamps = {}

        def write() -> None:
            db = self.db
            if starts:
                db.executemany(_INSERT_RUN, starts.values())
            if rows:
                db.executemany(_INSERT_RUN, rows)
            if updates:
                db.executemany(_FINISH_RUN, updates)
            if latest:
                db.executemany(_SET_LATEST, latest)
            if stamps:
                db.executemany(_SET_STAMP, [(h, *s) for h, s in stamps.items()])

        try:
            self._write(write)
        except BaseException:
            # Nothing was written: what came since goes after it, as it would have.
            self._starts = starts | self._starts
            self._rows = rows + self._rows
            self._updates = updates + self._updates
            self._latest = latest + self._latest
            self._stamps = stamps | self._stamps
            raise

    def _write(self, body: Callable[[], object]) -> None:
        """Run ``body`` in one write transaction, all of it or nothing.

        Waits as long as another process holds the write lock (saying so once). Ctrl-C
        is held back from each attempt, from BEGIN to COMMIT, so that it never lands
        inside a transaction; it is heard between attempts. Database failures become a
        StoreError naming the file.
        """
        db = self.db
        told = False
        try:
            self._abandoned()
            while True:
                with _signals_held():
                    if self._begin():
                        try:
                            body()
                            db.execute("COMMIT")
                        except BaseException:
                            if db.in_transaction:
                                db.execute("ROLLBACK")
                            raise
                        return
                told = self._waiting(told)
        except sqlite3.Error as exc:
            raise database_error(exc, self.path, "write") from None
        except OSError as exc:
            raise os_error(exc, self.path, "write") from None

    def _begin(self) -> bool:
        """BEGIN IMMEDIATE; False when another process holds the lock (for a while)."""
        try:
            self.db.execute("BEGIN IMMEDIATE")
            return True
        except sqlite3.OperationalError as exc:
            if not is_locked(exc) or not self.patient:
                raise
            return False

    def _abandoned(self) -> None:
        """A transaction still open here was cut short before it could end: nothing of
        it counts (what it held is still buffered, or was a cache)."""
        if self.db.in_transaction:
            self.db.execute("ROLLBACK")

    def _waiting(self, told: bool) -> bool:
        if not told and self.notice is not None:
            print(f"tevra: waiting for {self.path}: another process holds its lock",
                  file=self.notice, flush=True)
        return True

    def _wait_for_lock(self, attempt: Callable[[], object]) -> None:
        """``attempt`` until another process's lock lets it through."""
        told = False
        while True:
            try:
                attempt()
                return
            except sqlite3.OperationalError as exc:
                if not is_locked(exc) or not self.patient:
                    raise
            told = self._waiting(told)

    def maybe_commit(self) -> None:
        if time.monotonic() - self._last_commit >= COMMIT_INTERVAL:
            self.commit()

    def started(self, run_id: int, asset: str, partition: str, reason: str,
                code_version: str, input_versions: str | None, attempt: int = 1) -> None:
        """A run about to start: recorded as running until its outcome arrives."""
        self._starts[run_id] = (
            run_id, self.invocation, asset, partition, jobs.RUNNING, reason, time.time(), None,
            code_version, input_versions, None, None, None, None, None, None, None, None,
            None, attempt, None,
        )

    def interrupt_running(self) -> None:
        """Record whatever of this invocation is still running as interrupted: called
        once none of its workers is left."""
        def interrupt() -> None:
            stale = self.db.execute(
                "SELECT id, asset, partition FROM runs WHERE status = 'running' "
                "AND invocation = ?", (self.invocation,)).fetchall()
            now = time.time()
            for run_id, asset, partition in stale:
                self.db.execute(
                    "UPDATE runs SET status = ?, ended = ?, error = 'interrupted' WHERE id = ?",
                    (jobs.INTERRUPTED, now, run_id))
                self._set_latest(asset, partition, run_id, jobs.INTERRUPTED, None)

        if self.db.execute("SELECT 1 FROM runs WHERE status = 'running' AND invocation = ? "
                           "LIMIT 1", (self.invocation,)).fetchone():
            self._write(interrupt)

    def unstarted(self, run_ids: list[int]) -> None:
        """Runs recorded as started that never began: their records go."""
        committed = [(r,) for r in run_ids if self._starts.pop(r, None) is None]
        if committed:
            self._write(lambda: self.db.executemany(
                "DELETE FROM runs WHERE id = ? AND status = 'running'", committed))

    def finished(self, asset: str, partition: str, outcome: jobs.Outcome,
                 input_versions: str | None) -> None:
        """The final record of a run that was started."""
        error, error_type = outcome.error, outcome.error_type
        files = " ".join(h for h, _ in outcome.files) or None
        if outcome.value_hash is not None and outcome.value_stamp is not None:
            self._stamps[outcome.value_hash] = Stamp(*outcome.value_stamp)
        for digest, stamp in outcome.files:
            self._stamps[digest] = Stamp(*stamp)
        start = self._starts.pop(outcome.run_id, None)
        if start is not None:
            # Started and finished within one batch: one row, written final.
            self._rows.append((
                *start[:4], outcome.status, start[5], outcome.started, outcome.ended, start[8],
                input_versions, outcome.data_version, outcome.value, outcome.value_hash,
                outcome.value_size, files, error, error_type, outcome.traceback, None,
                start[19], outcome.log_hash,
            ))
        else:
            self._updates.append((
                outcome.status, outcome.started, outcome.ended, input_versions,
                outcome.data_version, outcome.value, outcome.value_hash, outcome.value_size,
                files, error, error_type, outcome.traceback, outcome.log_hash, outcome.run_id,
            ))
        success = outcome.run_id if outcome.status == jobs.SUCCEEDED else None
        self._latest.append((asset, partition, outcome.run_id, outcome.status, success))
        self.maybe_commit()

    def skipped(self, rows: Iterable[tuple[str, str, str, str | None]]) -> None:
        """Records of runs not started: (asset, partition, status, reason), an
        upstream-failed one naming the failure in its reason. A partition found fresh
        gets no record of its own: the invocation's summary counts it."""
        now = time.time()
        for asset, partition, status, reason in rows:
            run_id = self.new_run_id()
            self._rows.append((
                run_id, self.invocation, asset, partition, status, reason, now, now, None, None,
                None, None, None, None, None, None, None, None, None, 1, None,
            ))
            self._latest.append((asset, partition, run_id, status, None))
        self.maybe_commit()

    def remember_code(self, code_version: str, parts: dict[str, str]) -> None:
        """The parts a code version stands for; kept once per version."""
        self.db.execute("INSERT OR IGNORE INTO code_parts (code_version, parts) VALUES (?, ?)",
                        (code_version, json.dumps(parts, sort_keys=True)))

    def adopt_path_keys(self, assets: Iterable[keys.Unnamed]) -> dict[str, str]:
        """Carry the history kept under the path keys of older stores over to the keys
        of these assets (``tevra.keys``); returns what was renamed."""
        stored = [row[0] for row in self.db.execute(
            "SELECT DISTINCT asset FROM latest WHERE asset LIKE '/%'")]
        renamed = keys.legacy_keys(stored, assets) if stored else {}
        if renamed:
            self._adopt(renamed)
        return renamed

    def _adopt(self, renamed: dict[str, str]) -> None:
        """Old key -> new key, in one transaction: the runs, and the latest facts unless
        the new key has newer ones."""
        db = self.db

        def adopt() -> None:
            for old, new in renamed.items():
                db.execute("UPDATE runs SET asset = ? WHERE asset = ?", (new, old))
                db.execute(
                    "INSERT INTO latest (asset, partition, run_id, status, success_id) "
                    "SELECT ?, partition, run_id, status, success_id FROM latest WHERE asset = ? "
                    "AND true ON CONFLICT (asset, partition) DO UPDATE SET "
                    "run_id = excluded.run_id, status = excluded.status, success_id = "
                    "COALESCE(excluded.success_id, latest.success_id) "
                    "WHERE excluded.run_id > latest.run_id", (new, old))
                db.execute("DELETE FROM latest WHERE asset = ?", (old,))

        self._write(adopt)

    def summarise(self, counts: dict[str, int]) -> None:
        """What the invocation did, by status (fresh partitions included)."""
        self._write(lambda: self.db.execute(
            "UPDATE invocations SET summary = ? WHERE id = ?",
            (json.dumps(counts, sort_keys=True), self.invocation)))

    def _set_latest(self, asset: str, partition: str, run_id: int, status: str,
                    success_id: int | None) -> None:
        self.db.execute(_SET_LATEST, (asset, partition, run_id, status, success_id))

    def restamp(self, stamps: dict[str, Stamp]) -> None:
        """Stored files found intact under a new stamp: keep it, so that they are not
        read again next time."""
        self._stamps.update(stamps)

    def keep_file_stamps(self, learnt: dict[str, Known]) -> None:
        """What the stat cache of sources learnt, in a transaction of its own."""
        if not learnt:
            return
        with self._transaction():
            self.db.executemany(
                "INSERT OR REPLACE INTO file_stamps (path, size, mtime_ns, ctime_ns, inode, "
                "device, hash, hashed_ns) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                [(path, *k.stamp, k.digest, k.hashed_ns) for path, k in learnt.items()])

    @contextmanager
    def _transaction(self) -> Iterator[None]:
        """The block as one write transaction (see ``_write``)."""
        db = self.db
        try:
            self._abandoned()
            self._wait_for_lock(lambda: db.execute("BEGIN IMMEDIATE"))
            try:
                yield
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise
        except sqlite3.Error as exc:
            raise database_error(exc, self.path, "write") from None

    # -- readers ---------------------------------------------------------------

    def facts(self, asset: str) -> Iterator[tuple[str, Fact]]:
        """Every recorded partition of ``asset`` with its freshness facts, streamed."""
        rows = self.db.execute(
            "SELECT l.partition, l.status, l.success_id, r.code_version, r.input_versions, "
            "r.data_version, r.value IS NOT NULL, r.value_hash, r.files FROM latest l "
            "LEFT JOIN runs r ON r.id = l.success_id WHERE l.asset = ?",
            (asset,),
        )
        # Stamps of stored values are looked up a chunk of rows at a time, and only for
        # values not kept inline: joined row by row, they cost most small assets' scan.
        while chunk := rows.fetchmany(2048):
            stored = [row[7] for row in chunk if row[7] is not None and not row[6]]
            if not stored:
                for row in chunk:
                    yield row[0], Fact(*row[1:])
                continue
            stamps = self.stamps(stored)
            for row in chunk:
                fact = Fact(*row[1:])
                digest = row[7]
                if digest is not None and not row[6]:
                    fact = fact._replace(stamp=stamps.get(digest))
                yield row[0], fact

    def success_values(self, run_ids: list[int]) -> dict[int, tuple[bytes | str, tuple[str, ...]]]:
        """The value of each of these runs, as a job carries it (its bytes, or its
        stored file's path), and the stored data files its manifest names."""
        out: dict[int, tuple[bytes | str, tuple[str, ...]]] = {}
        for start in range(0, len(run_ids), 500):
            chunk = run_ids[start:start + 500]
            rows = self.db.execute(
                "SELECT id, value, value_hash, files FROM runs "
                f"WHERE id IN ({','.join('?' * len(chunk))})", chunk)
            for run_id, value, digest, files in rows:
                if value is not None or digest:
                    out[run_id] = (value if value is not None else self.values.path(digest),
                                   tuple(files.split()) if files else ())
        return out

    def stamps(self, hashes: Iterable[str]) -> dict[str, Stamp]:
        """The recorded stamps of these stored files."""
        wanted = list(hashes)
        out: dict[str, Stamp] = {}
        for i in range(0, len(wanted), 500):
            chunk = wanted[i:i + 500]
            rows = self.db.execute(
                "SELECT hash, size, mtime_ns, ctime_ns, inode, device FROM stored "
                f"WHERE hash IN ({', '.join('?' * len(chunk))})", chunk)
            out.update((row[0], Stamp(*row[1:])) for row in rows)
        return out

    def file_stamps(self) -> dict[str, Known]:
        """The stat cache of sources, as earlier invocations left it."""
        return {row[0]: Known(Stamp(*row[1:6]), row[6], row[7]) for row in self.db.execute(
            "SELECT path, size, mtime_ns, ctime_ns, inode, device, hash, hashed_ns "
            "FROM file_stamps")}

    def runs(self, asset: str | None = None, status: str | None = None,
             limit: int | None = 50, cached: bool = True) -> list[Run]:
        where: list[str] = []
        args: list[object] = []
        if not cached and status is None:
            where.append("status != ?")
            args.append(jobs.CACHED)
        if asset is not None:
            where.append("asset = ?")
            args.append(asset)
        if status is not None:
            where.append("status = ?")
            args.append(status)
        sql = f"SELECT {', '.join(RUN_COLUMNS)} FROM runs"
        if where:
            sql += " WHERE " + " AND ".join(where)
        sql += " ORDER BY id DESC"
        if limit is not None:
            sql += " LIMIT ?"
            args.append(limit)
        return [Run(*row) for row in self.db.execute(sql, args)]

    def run(self, run_id: int) -> Run | None:
        if not 0 < run_id < 1 << 63:
            return None  # no row can have it: SQLite's integers are 64-bit
        row = self.db.execute(
            f"SELECT {', '.join(RUN_COLUMNS)} FROM runs WHERE id = ?", (run_id,)
        ).fetchone()
        return Run(*row) if row else None

    def log_of(self, run: Run) -> bytes | None:
        """What a run wrote: its log as stored, or so far for a run under way; None when
        it wrote nothing or its log is gone."""
        if not run.log_hash:
            live = self.live_log(run.id) if run.status == jobs.RUNNING else None
            if live is None:
                return None
            try:
                return live.read()
            finally:
                live.close()
        try:
            with open(self.values.path(run.log_hash), "rb") as f:
                return f.read()
        except OSError:
            return None

    def live_log(self, run_id: int) -> runlog.LiveLog | None:
        """The log of a run under way, where its worker writes it."""
        return runlog.live_log(str(self.root / "scratch"), run_id)

    def last_run(self, asset: str, partition: str) -> Run | None:
        row = self.db.execute(
            f"SELECT {', '.join(RUN_COLUMNS)} FROM runs WHERE asset = ? AND partition = ? "
            "AND status != ? ORDER BY id DESC LIMIT 1",
            (asset, partition, jobs.CACHED),
        ).fetchone()
        return Run(*row) if row else None

    def asset_keys(self, name: str) -> list[str]:
        """The keys in the history that ``name`` names: the key itself, else every key
        whose function or name it is."""
        # Those with a last run, and those whose first runs are under way.
        keys = [row[0] for row in self.db.execute(
            "SELECT DISTINCT asset FROM latest UNION " + _RUNNING_ASSETS)]
        if name in keys:
            return [name]
        matches = [k for k in keys if k.endswith(":" + name) or k.split(":")[-1] == name]
        if not matches:
            raise UsageError(f"no runs of an asset {name!r} in {self.root}")
        if len(matches) > 1:
            raise UsageError(f"{name!r} names {len(matches)} assets: "
                             f"{', '.join(sorted(matches))}; give one of these keys")
        return matches

    def latest_run_of(self, name: str, partition: str) -> Run:
        """The newest run of a partition of the asset ``name`` names; for a cached run,
        the run that made its value."""
        keys = self.asset_keys(name)
        found = [r for k in keys if (r := self.last_run(k, partition)) is not None]
        if not found:
            if not partition:
                several = self._some_partitions(keys)
                if several:
                    raise UsageError(
                        f"{name} has partitions; name one with --partition "
                        f"(such as {', '.join(several)})")
            raise UsageError(f"no runs of {name}{f'[{partition}]' if partition else ''} "
                             f"in {self.root}")
        run = max(found, key=lambda r: r.id)
        if run.cached_from is not None:
            run = self.run(run.cached_from) or run
        return run

    def _some_partitions(self, keys: list[str], limit: int = 3) -> list[str]:
        """A few partitions of the assets ``keys`` names that have a last run."""
        found: list[str] = []
        for key in keys:
            found += [row[0] for row in self.db.execute(
                "SELECT partition FROM latest WHERE asset = ? AND partition != '' "
                "ORDER BY partition LIMIT ?", (key, limit))]
        return sorted(found)[:limit]

    def history(self, asset: str | None, status: str | None, limit: int,
                cached: bool = False) -> list[Run]:
        """The newest ``limit`` runs, of the asset ``asset`` names when given; the
        records of cached partitions older stores kept only with ``cached``."""
        if not asset:
            return self.runs(None, status, limit, cached)
        runs: list[Run] = []
        for key in self.asset_keys(asset):
            runs.extend(self.runs(key, status, limit, cached))
        runs.sort(key=lambda r: -r.id)
        return runs[:limit]

    def code_versions_of(self, asset: str) -> dict[str | None, int]:
        """The code versions the latest successes of an asset's partitions ran, with how
        many partitions each."""
        return dict(self.db.execute(
            "SELECT r.code_version, COUNT(*) FROM latest l JOIN runs r ON r.id = l.success_id "
            "WHERE l.asset = ? GROUP BY r.code_version", (asset,)).fetchall())

    def code_parts(self, code_version: str) -> dict[str, str] | None:
        row = self.db.execute("SELECT parts FROM code_parts WHERE code_version = ?",
                              (code_version,)).fetchone()
        return json.loads(row[0]) if row else None

    # -- upkeep ----------------------------------------------------------------------

    def _named_files(self) -> dict[str, int]:
        """Every stored file a run names (its value, data files, log) -> one such run."""
        named: dict[str, int] = {}
        for run_id, value_hash, files, log_hash in self.db.execute(
                "SELECT id, value_hash, files, log_hash FROM runs "
                "WHERE value_hash IS NOT NULL OR files IS NOT NULL OR log_hash IS NOT NULL"):
            for digest in (value_hash, log_hash, *(files.split() if files else ())):
                if digest:
                    named.setdefault(digest, run_id)
        return named

    def check(self) -> tuple[int, list[str]]:
        """Check the database and read every stored file against its hash: how many
        files were read, and one line per problem found."""
        problems: list[str] = []
        verdict = self.db.execute("PRAGMA quick_check").fetchone()[0]
        if verdict != "ok":
            problems.append(f"{self.root / DB_NAME}: the database is damaged ({verdict})")
        named = self._named_files()
        on_disk = set(self.values.digests())
        for digest in sorted(named.keys() | on_disk):
            wrong = self.values.verify(digest)
            if wrong is None:
                continue
            if digest in named:
                run = self.run(named[digest])
                who = f"named by run {named[digest]}" + (
                    f" ({run.asset}{f'[{run.partition}]' if run.partition else ''})"
                    if run is not None else "")
            else:
                who = "named by no run"
            problems.append(f"{self.values.path(digest)}: {wrong}; {who}")
        return len(named.keys() | on_disk), problems

    def collect(self, keep: int) -> tuple[int, int, int]:
        """Remove the runs nothing needs and the stored files no remaining run names,
        under the state directory's lock; (runs, files, bytes) removed. Kept: the last
        run and the last success of every partition, and every run of the last ``keep``
        invocations."""
        with self._locked(wait=True, notice=sys.stderr):
            remove_scratch(str(self.root))
            with self._transaction():
                self.db.execute("CREATE TEMP TABLE kept_invocations AS SELECT id FROM invocations "
                                "ORDER BY id DESC LIMIT ?", (keep,))
                runs = self.db.execute(
                    "DELETE FROM runs WHERE invocation NOT IN (SELECT id FROM kept_invocations) "
                    "AND id NOT IN (SELECT run_id FROM latest) AND id NOT IN "
                    "(SELECT success_id FROM latest WHERE success_id IS NOT NULL)").rowcount
                self.db.execute(
                    "DELETE FROM invocations WHERE id NOT IN (SELECT id FROM kept_invocations) "
                    "AND id NOT IN (SELECT DISTINCT invocation FROM runs)")
                self.db.execute("DROP TABLE kept_invocations")
                named = self._named_files()
                self.db.executemany("DELETE FROM stored WHERE hash = ?",
                                    [(h,) for (h,) in self.db.execute("SELECT hash FROM stored")
                                     if h not in named])
            files = freed = 0
            for digest in list(self.values.digests()):
                if digest not in named:
                    size = self.values.disk_bytes(digest)
                    if self.values.remove(digest):
                        files += 1
                        freed += size
            self.db.execute("VACUUM")
        return runs, files, freed

    def close(self) -> None:
        self.commit()
        self.db.close()


def _add_counts(db: sqlite3.Connection) -> None:
    if _has_table(db, "latest_counts"):
        return
    try:
        db.execute("BEGIN IMMEDIATE")
        if not _has_table(db, "latest_counts"):
            for statement in _COUNTS:
                db.execute(statement)
        db.execute("COMMIT")
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise


@contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C (and a termination request) waits until the block is done."""
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _has_table(db: sqlite3.Connection, name: str) -> bool:
    return db.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                      (name,)).fetchone() is not None


# -- the pages' reader ---------------------------------------------------------------
#
# What ``tevra ui`` shows, asked of the database read-only: it never takes the lock and
# never writes, so a page never holds up a run (WAL lets it read while a run commits).
# Every query is bounded by an index, so a page costs the same at a million partitions.


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
            _RUNNING_ASSETS))
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
        for start in range(0, len(partitions), 500):
            chunk = partitions[start:start + 500]
            rows = self._all(
                "SELECT partition, status, run_id, success_id FROM latest WHERE asset = ? "
                f"AND partition IN ({', '.join('?' * len(chunk))})", (asset, *chunk))
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
