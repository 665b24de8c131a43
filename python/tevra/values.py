"""The value store: files named by the SHA-256 of their bytes, the scratch directories
runs write into, and the stat cache that tells an unchanged file without reading it.

Layout under the state directory::

    values/ab/cdef...   a stored file, read-only, named by the hash of its bytes (the
                        first two hex digits name a folder, so no folder grows huge)
    scratch/NAME/       one worker's output directory: made exclusively when the worker
                        starts, emptied between its runs, removed when it stops

A file reaches the store by a rename from a scratch directory on the same filesystem,
so equal bytes are stored once and a reader never sees a half-written value. A stored
file is never written again: putting equal bytes replaces it by a rename, which also
heals a stored file that was damaged. Small values are not files at all: the run
history keeps them inline (``INLINE_LIMIT``), where a few bytes cost a few bytes rather
than a disk block and an inode.

Nothing here knows the run history; the store module records which values runs made,
their stamps, and what the stat cache learnt.
"""

from __future__ import annotations

import errno
import hashlib
import io
import os
import queue
import shutil
import stat
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, NamedTuple

from tevra.errors import StoreError

# value.json texts up to this size live in the run history instead of the store. A
# file costs a 4 KiB block and an inode whatever its size; bench/value_store.py
# measured 4,253 bytes on disk per 16-byte value as a file against 103 as a row, and
# 1,414 against 4,253 at 1 KiB, where a row was also 25 times faster to write.
INLINE_LIMIT = 1024

HASH_LENGTH = 64  # hex digits of a SHA-256
_CHUNK = 1 << 20
# A file being written is hashed in a thread from its first piece of this size on, in
# pieces of up to _CHUNK bytes, at most _BACKLOG of them waiting.
_THREAD_FROM = 1 << 16
_BACKLOG = 16
_HEX = frozenset("0123456789abcdef")

# A stamp is trusted only when the file's times lie this far before the moment it was
# hashed: a write within one tick of the filesystem's clock after the hash could keep
# every field of the stamp (the same size, mtime and ctime).
RACY_NS = 2_000_000_000


class Stamp(NamedTuple):
    """What tells a file unchanged without reading it."""

    size: int
    mtime_ns: int
    ctime_ns: int
    inode: int
    device: int


def stamp_of(st: os.stat_result) -> Stamp:
    return Stamp(st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino, st.st_dev)


def hash_bytes(data: bytes | bytearray | memoryview) -> str:
    return hashlib.sha256(data).hexdigest()


def hash_fd(fd: int) -> str:
    """The SHA-256 of what the descriptor reads from its current offset to the end."""
    h = hashlib.sha256()
    buf = bytearray(_CHUNK)
    view = memoryview(buf)
    while True:
        n = os.readv(fd, [buf])
        if not n:
            return h.hexdigest()
        h.update(view[:n])


def hash_file(path: str) -> tuple[str, Stamp]:
    """The hash of a file and its stamp, taken before reading: a change made while it
    is read leaves the stamp behind, so the next look reads it again."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        st = stamp_of(os.fstat(fd))
        return hash_fd(fd), st
    finally:
        os.close(fd)


class HashingWriter(io.RawIOBase):
    """A new file (made or emptied at ``path``) whose SHA-256 is taken as its bytes are
    written, so that the store never reads it back: ``digest`` after ``close``.

    Bytes are hashed in a thread of their own, in the order written, while the caller
    produces the next ones (hashlib lets go of the GIL for large inputs); up to
    ``_BACKLOG`` pieces wait for it, so a slow hash holds the writer back instead of
    piling up bytes. A ``bytes`` piece is hashed as it is; any other buffer is copied,
    as its owner may reuse it once ``write`` returns.
    """

    def __init__(self, path: str) -> None:
        super().__init__()
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC
                           | os.O_NOFOLLOW, 0o644)
        self._hash = hashlib.sha256()
        self._pending: queue.Queue[bytes | memoryview | None] = queue.Queue(_BACKLOG)
        self._thread: threading.Thread | None = None
        self._position = 0
        self._digest: str | None = None
        self._failed: BaseException | None = None  # by the hashing thread

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        if self.closed:
            raise ValueError("write to a closed file")
        view = memoryview(data).cast("B")
        size = view.nbytes
        if self._thread is None and size < _THREAD_FROM:
            # Small pieces are hashed here until a large one starts the thread.
            self._hash.update(view)
            self._write_all(view)
        else:
            if self._thread is None:
                self._thread = threading.Thread(target=self._hash_pending, daemon=True,
                                                name="tevra-hash")
                self._thread.start()
            immutable = isinstance(data, bytes)
            for start in range(0, size, _CHUNK):
                piece = view[start:start + _CHUNK]
                self._write_all(piece)
                self._pending.put(piece if immutable else bytes(piece))
        self._position += size
        return size

    def tell(self) -> int:
        return self._position

    def close(self) -> None:
        if self.closed:
            return
        try:
            if self._thread is not None:
                self._pending.put(None)
                self._thread.join()
            os.close(self._fd)
        finally:
            super().close()

    def digest(self) -> str:
        """The hex SHA-256 of everything written; only once closed."""
        if not self.closed:
            raise ValueError("the file is still being written")
        if self._failed is not None:
            raise self._failed
        if self._digest is None:
            self._digest = self._hash.hexdigest()
        return self._digest

    def _write_all(self, view: memoryview) -> None:
        while view:
            view = view[os.write(self._fd, view):]

    def _hash_pending(self) -> None:
        # Whatever happens, the pieces are taken: a writer never waits on a dead thread.
        while (piece := self._pending.get()) is not None:
            if self._failed is None:
                try:
                    self._hash.update(piece)
                except BaseException as exc:  # noqa: BLE001 - told by digest()
                    self._failed = exc


def is_digest(text: str) -> bool:
    return len(text) == HASH_LENGTH and _HEX.issuperset(text)


@dataclass(frozen=True, slots=True)
class Stored:
    """A file in the store: its hash, its size and its stamp right after it arrived."""

    digest: str
    size: int
    stamp: Stamp


class ValueStore:
    """The content-addressed files under ``root`` (the state directory's ``values``)."""

    def __init__(self, root: str) -> None:
        self.root = root

    def path(self, digest: str) -> str:
        return f"{self.root}/{digest[:2]}/{digest[2:]}"

    def put(self, source: str, digest: str | None = None) -> Stored:
        """Move ``source`` into the store under the hash of its bytes (computed here
        unless the caller hashed the bytes as it wrote them).

        ``source`` must be on the store's filesystem: it is renamed, not copied.
        """
        fd = os.open(source, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
        try:
            if digest is None:
                digest = hash_fd(fd)
            # Read-only before it is visible under its name.
            os.fchmod(fd, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        finally:
            os.close(fd)
        target = self.path(digest)
        try:
            os.replace(source, target)
        except FileNotFoundError:
            if not os.path.exists(source):
                raise
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.replace(source, target)
        return Stored(digest, *_stamped(target))

    def put_bytes(self, data: bytes, scratch: str) -> Stored:
        """Store ``data``, written first as a file in the directory ``scratch``."""
        digest = hash_bytes(data)
        tmp = os.path.join(scratch, f".incoming-{digest[:16]}")
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC | os.O_NOFOLLOW,
                     0o444)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)
        return self.put(tmp, digest)

    def exists(self, digest: str) -> bool:
        return os.path.exists(self.path(digest))

    def read(self, digest: str) -> bytes:
        with open(self.path(digest), "rb") as f:
            return f.read()

    def check(self, digest: str, recorded: Stamp | None) -> Stamp | None:
        """The stored file's current stamp when its bytes still have their hash, else
        None (missing, or changed). The file is read only when its stamp differs from
        ``recorded``; then the caller should record the stamp returned."""
        try:
            st = stamp_of(os.stat(self.path(digest)))
        except OSError:
            return None
        if st == recorded:
            return st
        try:
            found, st = hash_file(self.path(digest))
        except OSError:
            return None
        return st if found == digest else None

    def verify(self, digest: str) -> str | None:
        """Read a stored file whole: None when its bytes have its hash, else what is wrong."""
        try:
            found, _ = hash_file(self.path(digest))
        except FileNotFoundError:
            return "missing"
        except OSError as exc:
            return f"unreadable ({exc.strerror})"
        return None if found == digest else f"its bytes hash to {found}"

    def digests(self) -> Iterator[str]:
        """Every stored hash, in no particular order."""
        try:
            folders = os.scandir(self.root)
        except FileNotFoundError:
            return
        with folders:
            for folder in folders:
                if len(folder.name) != 2 or not folder.is_dir(follow_symlinks=False):
                    continue
                with os.scandir(folder.path) as files:
                    for entry in files:
                        digest = folder.name + entry.name
                        if is_digest(digest):
                            yield digest

    def remove(self, digest: str) -> bool:
        """Delete a stored file; False when it was not there."""
        try:
            os.unlink(self.path(digest))
        except FileNotFoundError:
            return False
        return True

    def disk_bytes(self, digest: str) -> int:
        """What a stored file takes on disk (0 when it is not there)."""
        try:
            return os.stat(self.path(digest)).st_blocks * 512
        except OSError:
            return 0


def _stamped(path: str) -> tuple[int, Stamp]:
    st = os.stat(path)
    return st.st_size, stamp_of(st)


# -- scratch directories ------------------------------------------------------------


def make_scratch(state_root: str, name: str) -> str:
    """Make a worker's own output directory, ``scratch/NAME``, exclusively.

    It is made beside no other process's files: an existing ``NAME`` (left by a killed
    worker, or planted) is an error rather than a directory to share, and neither
    ``scratch`` nor ``NAME`` may be a symbolic link.
    """
    root_fd = os.open(state_root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            os.mkdir("scratch", 0o700, dir_fd=root_fd)
        except FileExistsError:
            pass
        try:
            fd = os.open("scratch", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                         dir_fd=root_fd)
        except OSError as exc:
            raise StoreError(f"{state_root}/scratch is not a directory of its own "
                             f"({os.strerror(exc.errno or errno.ENOTDIR)})") from None
        try:
            try:
                os.mkdir(name, 0o700, dir_fd=fd)
            except FileExistsError:
                raise StoreError(f"{state_root}/scratch/{name} already exists: another "
                                 "worker's output directory is never shared") from None
        finally:
            os.close(fd)
    finally:
        os.close(root_fd)
    return f"{state_root}/scratch/{name}"


def empty_dir(path: str, keep: frozenset[str] = frozenset()) -> None:
    """Remove everything a run left in its output directory but the names ``keep``,
    keeping the directory."""
    with os.scandir(path) as entries:
        for entry in entries:
            if entry.name in keep:
                continue
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path)
            else:
                os.unlink(entry.path)


def remove_scratch(state_root: str, name: str | None = None) -> None:
    """Remove one worker's scratch directory, or (``name`` None) every one: what the
    workers of a killed invocation left behind. Only under the state directory's lock."""
    path = f"{state_root}/scratch" if name is None else f"{state_root}/scratch/{name}"
    shutil.rmtree(path, ignore_errors=True)


# -- the stat cache ------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Known:
    """A file's hash, with the stamp it had when it was hashed and when that was."""

    stamp: Stamp
    digest: str
    hashed_ns: int

    def trusted(self, now: Stamp) -> bool:
        return (now == self.stamp
                and max(self.stamp.mtime_ns, self.stamp.ctime_ns) + RACY_NS <= self.hashed_ns)


class StatCache:
    """Hashes of files outside the store, each read again only when its stamp changed.

    Load it with what an earlier invocation learnt; ``learnt`` holds what this one
    added or replaced, for the caller to keep.
    """

    def __init__(self, known: dict[str, Known] | None = None) -> None:
        self.known: dict[str, Known] = dict(known or {})
        self.learnt: dict[str, Known] = {}
        self.bytes_hashed = 0

    def digest(self, path: str, st: os.stat_result | None = None) -> str:
        """The hash of the file at ``path`` (an absolute path); OSError when it cannot
        be read. ``st`` is its ``os.stat`` when the caller has it already."""
        now = stamp_of(st if st is not None else os.stat(path))
        known = self.known.get(path)
        if known is not None and known.trusted(now):
            return known.digest
        hashed_ns = time.time_ns()
        digest, stamp = hash_file(path)
        self.bytes_hashed += stamp.size
        entry = Known(stamp, digest, hashed_ns)
        self.known[path] = self.learnt[path] = entry
        return digest
