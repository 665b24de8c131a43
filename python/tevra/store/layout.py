"""The state directory's layouts: telling a database an earlier tevra wrote, and moving
it into this layout once, keeping its history.
"""

from __future__ import annotations

import os
import shutil
import sqlite3
import sys
from pathlib import Path
from typing import Any

from tevra import versions
from tevra.errors import StoreError
from tevra.store.schema import DB_NAME, LAYOUT, SET_STAMP, STAMP_TABLES
from tevra.values import INLINE_LIMIT, Stamp, ValueStore, remove_scratch


def earlier(db: sqlite3.Connection, root: Path) -> bool:
    """A database an earlier tevra wrote: a directory of files per run."""
    version = db.execute("PRAGMA user_version").fetchone()[0]
    if version == LAYOUT:
        return False
    if version > LAYOUT:
        raise StoreError(f"{root / DB_NAME} was written by a newer tevra (layout "
                         f"{version}); use that version, or another --state directory")
    return db.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'runs'").fetchone() is not None

def migrate(db: sqlite3.Connection, root: Path, values: ValueStore) -> None:
    """Bring a database of the first layout to this one, keeping its history: each
    run's value.json whose bytes still have the run's data version moves into the
    row or the value store; the rest is dropped (those runs are stale, so they run
    again). The run directories are removed once the database is committed."""
    print(f"tevra: moving the values of {root} into its value store (once)",
          file=sys.stderr, flush=True)
    found = db.execute("SELECT id, value_path, data_version FROM runs "
                       "WHERE value_path IS NOT NULL").fetchall()
    logs = db.execute("SELECT id, output_dir FROM runs WHERE output_dir IS NOT NULL").fetchall()
    scratch = root / "scratch" / f"migrate-{os.getpid()}"
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
            stored = values.put_bytes(data, str(scratch))
            stamps[stored.digest] = stored.stamp
            moved.append((None, stored.digest, run_id))
    kept_logs: list[tuple[str, int]] = []
    for run_id, output_dir in logs:
        try:
            with open(os.path.join(output_dir, "log.txt"), "rb") as f:
                kept_logs.append((values.put_bytes(f.read(), str(scratch)).digest, run_id))
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
        db.executemany(SET_STAMP, [(h, *s) for h, s in stamps.items()])
        db.execute(f"PRAGMA user_version = {LAYOUT}")
        db.execute("COMMIT")
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise
    shutil.rmtree(root / "runs", ignore_errors=True)
    remove_scratch(str(root), scratch.name)
