"""What can go wrong with the state directory and its database, said in one line each:
what failed, on which file, and what to do.

The store raises these; the command prints them. A database that cannot be read is
refused as it is: tevra never writes into it, repairs it or removes it.
"""

from __future__ import annotations

import errno
import sqlite3
from pathlib import Path

from tevra.errors import StoreError

SQLITE_HEADER = b"SQLite format 3\x00"


class StoreLocked(StoreError):
    """Another process holds the database's write lock."""


class StoreDamaged(StoreError):
    """The database cannot be read as a run history."""


def is_locked(exc: BaseException) -> bool:
    return isinstance(exc, sqlite3.OperationalError) and getattr(
        exc, "sqlite_errorname", "").startswith(("SQLITE_BUSY", "SQLITE_LOCKED"))


def damaged(path: Path, why: str) -> StoreDamaged:
    return StoreDamaged(
        f"the run history {path} cannot be read ({why}); it was left as it is: move it "
        "away to start a new history, or put back a copy of it")


def check_header(path: Path) -> None:
    """Refuse a database file that is not SQLite's before SQLite can make it one."""
    try:
        with open(path, "rb") as f:
            head = f.read(len(SQLITE_HEADER))
    except FileNotFoundError:
        return
    except IsADirectoryError:
        raise damaged(path, "it is a directory") from None
    except OSError as exc:
        raise os_error(exc, path, "read") from None
    if head and head != SQLITE_HEADER:
        raise damaged(path, "not an SQLite database")


def database_error(exc: sqlite3.Error, path: Path, doing: str) -> StoreError:
    """``exc``, met while ``doing`` (read, write, open) the database at ``path``."""
    name = getattr(exc, "sqlite_errorname", "")
    text = _one_line(str(exc))
    if text.startswith("Could not decode to UTF-8"):
        return damaged(path, "a text in it is not text")
    if name in ("SQLITE_CORRUPT", "SQLITE_NOTADB") or name.startswith("SQLITE_CORRUPT") \
            or "malformed" in text or "not a database" in text:
        return damaged(path, text)
    if name == "SQLITE_FULL" or name == "SQLITE_IOERR_WRITE" and _disk_full(path):
        return StoreError(f"cannot {doing} the run history {path}: the disk is full "
                          f"({text}); free some space and run again")
    if name.startswith("SQLITE_READONLY") or name == "SQLITE_CANTOPEN" \
            or name == "SQLITE_PERM" or name == "SQLITE_AUTH":
        return StoreError(f"cannot {doing} the run history {path} ({text}): make "
                          f"{path.parent} writable, or give --state another directory")
    if is_locked(exc):
        return StoreLocked(f"cannot {doing} the run history {path}: another process holds "
                           "its lock; try again once it is done")
    return StoreError(f"cannot {doing} the run history {path} ({text})")


def os_error(exc: OSError, path: Path, doing: str) -> StoreError:
    """An OS error met while ``doing`` (make, write, read) ``path`` in the state directory."""
    why = exc.strerror or str(exc)
    if exc.errno == errno.ENOSPC:
        return StoreError(f"cannot {doing} {path}: the disk is full; free some space and "
                          "run again")
    if exc.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
        return StoreError(f"cannot {doing} {path} ({why}): make it writable, or give "
                          "--state another directory")
    if exc.errno in (errno.ENOTDIR, errno.EEXIST):
        return StoreError(f"cannot {doing} {path}: a file stands where a directory must be; "
                          "give --state a directory")
    return StoreError(f"cannot {doing} {path} ({why})")


def _one_line(text: str, limit: int = 200) -> str:
    """An error's text as one short printable line (it may quote what a damaged page
    holds)."""
    text = " ".join(text.split())
    text = "".join(c if c.isprintable() else "?" for c in text)
    return text if len(text) <= limit else text[:limit] + "..."


def _disk_full(path: Path) -> bool:
    import os

    try:
        st = os.statvfs(path.parent)
    except OSError:
        return False
    return st.f_bavail == 0
