"""The run store: one SQLite database, the value store beside it, and every query on
them. Nothing else in tevra knows the database's name, tables or layout.

The orchestrator is the only writer of the database, and only while it holds the state
directory's lock; workers write their own scratch directories and put values into the
value store (``tevra.values``). A run is recorded as running before it starts and gets
its final status only once its value is safe, so a store left behind by a killed
orchestrator never reads a lost run as succeeded. A small value is kept in its run's
row; a larger one is a file in the value store, which the row names by hash, and whose
stamp the ``stored`` table keeps so that freshness reads it again only when it changed.

Here: opening a state directory, the writer's lock, its batched writes and
transactions, and ``gc``. The tables and records are ``tevra.store.schema``'s, the
queries (``check`` too) ``tevra.store.reader``'s, earlier layouts
``tevra.store.layout``'s, and what the pages read ``tevra.store.pages``'.
"""

from __future__ import annotations

import fcntl
import json
import os
import signal
import sqlite3
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TextIO

from tevra import jobs, keys, lifeline
from tevra.errors import Interrupted, NoHistory, StoreBusy, StoreError
from tevra.store import layout
from tevra.store.reader import Reader
from tevra.store.schema import (
    DB_NAME,
    FINISH_RUN,
    INSERT_RUN,
    LAYOUT,
    SCHEMA,
    SCHEMA_NAMES,
    SET_LATEST,
    SET_STAMP,
    TABLES,
    Fact,
    Run,
    add_counts,
    has_table,
)
from tevra.store_errors import (
    check_header,
    damaged,
    database_error,
    is_locked,
    os_error,
)
from tevra.values import Known, Stamp, ValueStore, remove_scratch

# What callers name through the package: the records of the history.
__all__ = ["COMMIT_INTERVAL", "DB_NAME", "Fact", "Run", "Store", "failure", "has_history",
           "state_dir"]

# Seconds one attempt to take the database's write lock waits, between which the
# command says that it waits and Ctrl-C is heard.
LOCK_SLICE = 1.0

# Commit at least this often while runs finish, so a killed orchestrator loses little.
COMMIT_INTERVAL = 0.25


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


class Store(Reader):
    """A state directory's history, open to read and, under its lock, to write."""

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
        missing = [t for t in TABLES if t not in tables]
        if tables and missing:
            # Someone else's database, or one damaged: never made over into a history.
            raise damaged(self.path, f"it has no table {missing[0]}")
        if readonly and missing:
            raise NoHistory(f"no run history in {self.root}")
        self._wait_for_lock(lambda: self.db.execute("PRAGMA journal_mode=WAL"))
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.values = ValueStore(str(self.root / "values"))
        if layout.earlier(self.db, self.root):
            with self._locked(wait=True, notice=sys.stderr):
                if layout.earlier(self.db, self.root):
                    layout.migrate(self.db, self.root, self.values)
            readonly = False  # what the migration began, set-up finishes
        if not readonly:
            if not SCHEMA_NAMES <= made.keys():
                self._wait_for_lock(lambda: self.db.executescript(SCHEMA))
            columns = {row[1] for row in self.db.execute("PRAGMA table_info(invocations)")}
            if "summary" not in columns:
                # A history from before summaries: its invocations simply have none.
                self._wait_for_lock(lambda: self.db.execute(
                    "ALTER TABLE invocations ADD COLUMN summary TEXT"))
            self._wait_for_lock(lambda: add_counts(self.db))
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
        if columns and not has_table(self.db, "code_parts"):
            self._wait_for_lock(lambda: self.db.execute(
                "CREATE TABLE IF NOT EXISTS code_parts (code_version TEXT "
                "PRIMARY KEY, parts TEXT NOT NULL) WITHOUT ROWID"))

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
                db.executemany(INSERT_RUN, starts.values())
            if rows:
                db.executemany(INSERT_RUN, rows)
            if updates:
                db.executemany(FINISH_RUN, updates)
            if latest:
                db.executemany(SET_LATEST, latest)
            if stamps:
                db.executemany(SET_STAMP, [(h, *s) for h, s in stamps.items()])

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

    def _write[T](self, body: Callable[[], T]) -> T:
        """Run ``body`` in one write transaction, all of it or nothing; its result.

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
                            result = body()
                            db.execute("COMMIT")
                        except BaseException:
                            if db.in_transaction:
                                db.execute("ROLLBACK")
                            raise
                        return result
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
        # Path keys begin with "/": a range of the index ("0" follows "/"), where LIKE
        # would read every partition.
        stored = [row[0] for row in self.db.execute(
            "SELECT DISTINCT asset FROM latest WHERE asset >= '/' AND asset < '0'")]
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
        self.db.execute(SET_LATEST, (asset, partition, run_id, status, success_id))

    def restamp(self, stamps: dict[str, Stamp]) -> None:
        """Stored files found intact under a new stamp: keep it, so that they are not
        read again next time."""
        self._stamps.update(stamps)

    def keep_file_stamps(self, learnt: dict[str, Known]) -> None:
        """What the stat cache of sources learnt, in a transaction of its own."""
        if not learnt:
            return
        self._write(lambda: self.db.executemany(
            "INSERT OR REPLACE INTO file_stamps (path, size, mtime_ns, ctime_ns, inode, "
            "device, hash, hashed_ns) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            [(path, *k.stamp, k.digest, k.hashed_ns) for path, k in learnt.items()]))

    # -- upkeep ----------------------------------------------------------------------

    def collect(self, keep: int) -> tuple[int, int, int]:
        """Remove the runs nothing needs and the stored files no remaining run names,
        under the state directory's lock; (runs, files, bytes) removed. Kept: the last
        run and the last success of every partition, and every run of the last ``keep``
        invocations."""
        with self._locked(wait=True, notice=sys.stderr):
            remove_scratch(str(self.root))

            def prune() -> tuple[int, dict[str, int]]:
                db = self.db
                db.execute("CREATE TEMP TABLE kept_invocations AS SELECT id FROM invocations "
                           "ORDER BY id DESC LIMIT ?", (keep,))
                runs = db.execute(
                    "DELETE FROM runs WHERE invocation NOT IN (SELECT id FROM kept_invocations) "
                    "AND id NOT IN (SELECT run_id FROM latest) AND id NOT IN "
                    "(SELECT success_id FROM latest WHERE success_id IS NOT NULL)").rowcount
                db.execute(
                    "DELETE FROM invocations WHERE id NOT IN (SELECT id FROM kept_invocations) "
                    "AND id NOT IN (SELECT DISTINCT invocation FROM runs)")
                db.execute("DROP TABLE kept_invocations")
                named = self._named_files()
                db.executemany("DELETE FROM stored WHERE hash = ?",
                               [(h,) for (h,) in db.execute("SELECT hash FROM stored")
                                if h not in named])
                return runs, named

            runs, named = self._write(prune)
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


@contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C (and a termination request) waits until the block is done."""
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
