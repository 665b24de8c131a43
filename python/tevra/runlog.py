"""A run's log: what it wrote to descriptors 1 and 2, and its ``logging`` records.

The log is a plain file in the output directory the run writes into, named by the run
(``log-RUN.txt``) so that it can be followed while the run goes on; the orchestrator
takes it into the value store when the run ends. Capture works on the descriptors
themselves, so output of C extensions and of child processes is caught too. A log
longer than ``LOG_LIMIT`` keeps its beginning and its end with a note where the middle
was cut; an empty one is removed.

A process that runs job after job (a pool worker) holds one ``Capture``: it saves
descriptors 0-2 and ``sys.stdin``/``sys.stdout``/``sys.stderr`` when made and puts them
back after every run, so that a run that closes or replaces them changes nothing for
the next one. Its runs share one log file (``WorkerLog``), made again only after a run
that wrote something, since most runs write nothing and a file made and removed per
run is most of what a trivial run costs on disk; a marker file names the run under
way, so that its log can still be followed.
"""

from __future__ import annotations

import io
import logging
import os
import sys
from collections.abc import Callable
from typing import TextIO, cast

# Bytes kept of one run's log: its first and last lines within this, and a note.
LOG_LIMIT = 1 << 20
RECORD_FORMAT = "%(levelname)s %(name)s: %(message)s"

_STD = (0, 1, 2)


def log_path(output_dir: str, run_id: int) -> str:
    """Where a run's log is written while it runs: named by the run, so that a reader
    finds the log of a run under way (``live_log``)."""
    return os.path.join(output_dir, f"log-{run_id}.txt")


# A pool worker's shared log and the marker naming its run under way, in its output
# directory; emptying that directory between runs keeps them.
WORKER_LOG = ".log"
WORKER_RUN = ".run"
WORKER_FILES = frozenset({WORKER_LOG, WORKER_RUN})
_MARK_WIDTH = 21


class LiveLog:
    """The log of a run under way, opened to be followed: ``read`` gives what is new of
    it, never what a later run of the same worker wrote."""

    def __init__(self, path: str, marker: str | None, run_id: int) -> None:
        self._file = open(path, "rb")
        self._path, self._marker, self._run_id = path, marker, run_id
        self._inode = os.fstat(self._file.fileno()).st_ino

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        if not data or self._marker is None or _marked(self._marker) == self._run_id:
            # Read while the marker still named the run: written before it ended.
            return data
        # The worker went on. A log the run wrote to was taken away whole, and a new
        # file made; the same file still in place means the run wrote nothing and the
        # bytes are a later run's.
        try:
            reused = os.stat(self._path).st_ino == self._inode
        except OSError:
            reused = False
        return b"" if reused else data

    def close(self) -> None:
        self._file.close()


def live_log(directories: str, run_id: int) -> LiveLog | None:
    """The log of run ``run_id`` while it runs, in whichever of the output directories
    under ``directories`` it is written; None when there is none (any more)."""
    import glob

    root = glob.escape(directories)
    for marker in glob.glob(os.path.join(root, "*", WORKER_RUN)):
        if _marked(marker) == run_id:
            try:
                return LiveLog(os.path.join(os.path.dirname(marker), WORKER_LOG), marker, run_id)
            except OSError:
                return None
    for path in glob.glob(os.path.join(root, "*", f"log-{run_id}.txt")):
        try:
            return LiveLog(path, None, run_id)
        except OSError:
            return None
    return None


def _marked(marker: str) -> int | None:
    try:
        with open(marker, "rb") as f:
            return int(f.read(_MARK_WIDTH))
    except (OSError, ValueError):
        return None


class WorkerLog:
    """The one log file of a worker's runs, in its output directory ``directory``.

    ``begin`` names the run in the marker and gives the descriptor to capture into;
    ``end`` gives the path of the log when the run wrote something (the caller takes
    the file away, into the value store), else None, and the file serves the next run
    unless the run left a process behind that may write to it.
    """

    def __init__(self, directory: str) -> None:
        self.path = os.path.join(directory, WORKER_LOG)
        self._marker = os.open(os.path.join(directory, WORKER_RUN),
                               os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        self.fd = open_log(self.path)

    def begin(self, run_id: int) -> int:
        # Fixed width, written in place: no file is made per run.
        os.pwrite(self._marker, b"%*d" % (_MARK_WIDTH, run_id), 0)
        return self.fd

    def end(self, shared: bool = False) -> str | None:
        """``shared``: a process the run started may still hold the file and write to
        it, so that even an empty one does not serve the next run."""
        empty = os.fstat(self.fd).st_size == 0
        if empty and not shared:
            return None
        os.close(self.fd)
        self.fd = -1  # ``renew`` makes the next run's
        if empty:
            return None
        finish_log(self.path)
        return self.path

    def renew(self) -> None:
        """After ``end`` let the file go: a new one for the next run, whether or not the
        last one was taken away."""
        if self.fd >= 0:
            return
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        self.fd = open_log(self.path)

    def close(self) -> None:
        for fd in (self.fd, self._marker):
            if fd >= 0:
                os.close(fd)
        self.fd = self._marker = -1


def open_log(path: str) -> int:
    """A new log file, opened for appending; never through a symbolic link."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC,
                   0o644)


def cut_note(cut: int) -> bytes:
    return f"\n[tevra: {cut} bytes of this run's output cut here]\n".encode("ascii")


def cap(fd: int, limit: int = LOG_LIMIT) -> int:
    """Shorten the log open on ``fd`` (not for appending) to at most ``limit`` bytes;
    its final size.

    Keeps whole lines where it can: the head ends and the tail starts at a line break
    within the kept halves.
    """
    size = os.fstat(fd).st_size
    if size <= limit:
        return size
    # Room for the note, so that a capped log is within the limit and capping it again
    # changes nothing.
    half = (limit - len(cut_note(size))) // 2
    head = os.pread(fd, half, 0)
    tail = os.pread(fd, half, size - half)
    cut_at = head.rfind(b"\n")
    if cut_at >= half // 2:
        head = head[:cut_at + 1]
    start = tail.find(b"\n")
    if 0 <= start < half // 2:
        tail = tail[start + 1:]
    body = cut_note(size - len(head) - len(tail)) + tail
    view = memoryview(body)
    offset = len(head)
    while view:
        written = os.pwrite(fd, view, offset)
        view, offset = view[written:], offset + written
    os.ftruncate(fd, offset)
    return offset


def finish_log(path: str, limit: int = LOG_LIMIT) -> None:
    """Cap the log at ``path`` and remove it when empty (a run that wrote nothing)."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return  # the run removed it, or put something else in its place
    try:
        size = cap(fd, limit)
    finally:
        os.close(fd)
    if size == 0:
        os.unlink(path)


class _Records(logging.Handler):
    """Formats records onto whatever ``sys.stderr`` is at the time: the run's log."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.setFormatter(logging.Formatter(RECORD_FORMAT))

    def emit(self, record: logging.LogRecord) -> None:
        try:
            stream = sys.stderr
            if stream is not None:
                stream.write(self.format(record) + "\n")
        except Exception:
            self.handleError(record)


class KeepRecords:
    """``logging`` records of INFO and above reach the log when the user set up none.

    Records go to the logging module's handler of last resort, which serves only loggers
    without handlers, so a user's own ``basicConfig`` still takes effect; the root
    level is lowered from its default (WARNING) while this is on, and restored after
    unless the run set a level of its own.
    """

    def __init__(self) -> None:
        self._handler = _Records()
        self._saved: logging.Handler | None = None
        self._lowered = False

    def on(self) -> None:
        self._saved = logging.lastResort
        logging.lastResort = self._handler
        root = logging.getLogger()
        self._lowered = root.level == logging.WARNING and not root.handlers
        if self._lowered:
            root.setLevel(logging.INFO)

    def off(self) -> None:
        logging.lastResort = self._saved
        root = logging.getLogger()
        if self._lowered and root.level == logging.INFO:
            root.setLevel(logging.WARNING)
        self._lowered = False


class Capture:
    """Moves descriptors 1 and 2 onto a run's log for the run's time, and back after.

    Made once per process, while its standard descriptors are what later runs should
    get back. Only one run may be captured at a time in a process: descriptors are
    shared by all its threads.
    """

    def __init__(self, *, records: bool = True) -> None:
        self._saved = {fd: _save(fd) for fd in _STD}
        self._streams: tuple[TextIO | None, ...] = (sys.stdin, sys.stdout, sys.stderr)
        for stream in self._streams[1:]:
            # Line by line: a log followed while the run goes on shows each line as made.
            if isinstance(stream, io.TextIOWrapper) and not stream.line_buffering:
                try:
                    stream.reconfigure(line_buffering=True)
                except (ValueError, io.UnsupportedOperation):
                    pass
        self._records = KeepRecords() if records else None
        self._fflush = _c_flush()
        self._log = -1
        self._capturing = False
        self.path: str | None = None

    def start(self, path: str) -> bool:
        """Send the run's output to ``path``; False (and nothing moved) if it cannot be opened."""
        try:
            fd = open_log(path)
        except OSError:
            return False
        self.start_fd(fd)
        self.path = path
        return True

    def start_fd(self, fd: int) -> None:
        """Send the run's output to the log open on ``fd``, which stays the caller's."""
        _flush(sys.stdout, sys.stderr)
        if self._fflush is not None:
            self._fflush(None)
        os.dup2(fd, 1)
        os.dup2(fd, 2)
        self._log, self.path = fd, None
        self._capturing = True
        if self._records is not None:
            self._records.on()

    def stop(self) -> None:
        """Put descriptors 0-2 and the standard streams back; cap or remove the log
        ``start`` opened."""
        if self._records is not None and self._capturing:
            self._records.off()
        self._capturing = False
        _flush(sys.stdout, sys.stderr, *self._streams[1:])
        if self._fflush is not None:
            # C code's buffered stdio output is the run's too.
            self._fflush(None)
        self.restore()
        path, self.path = self.path, None
        if self._log < 0 or path is None:
            self._log = -1  # the caller's
            return
        try:
            size = os.fstat(self._log).st_size
        finally:
            os.close(self._log)
            self._log = -1
        if size == 0:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        elif size > LOG_LIMIT:
            finish_log(path)

    def restore(self) -> None:
        """Descriptors 0-2 and ``sys.stdin``/``stdout``/``stderr`` as they were when made."""
        for fd, saved in self._saved.items():
            os.dup2(saved, fd)
        streams = []
        for fd, stream in enumerate(self._streams):
            if stream is not None and stream.closed:
                stream = _reopen(fd, stream)
            streams.append(stream)
        self._streams = tuple(streams)
        sys.stdin, sys.stdout, sys.stderr = streams


def _c_flush() -> Callable[[None], object] | None:
    """The C library's ``fflush``, where there is one to call."""
    try:
        import ctypes

        return cast(Callable[[None], object], ctypes.CDLL(None).fflush)
    except (ImportError, OSError, AttributeError):
        return None


def _save(fd: int) -> int:
    """A private copy of descriptor ``fd`` (``/dev/null`` when it is closed)."""
    import fcntl

    try:
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    except OSError:
        null = os.open(os.devnull, os.O_RDWR | os.O_CLOEXEC)
        try:
            return fcntl.fcntl(null, fcntl.F_DUPFD_CLOEXEC, 10)
        finally:
            os.close(null)


def _reopen(fd: int, old: TextIO) -> TextIO:
    """A new standard stream on ``fd`` like ``old``, which a run closed."""
    encoding = getattr(old, "encoding", None) or "utf-8"
    errors = getattr(old, "errors", None) or "strict"
    buffered = open(fd, "rb" if fd == 0 else "wb", closefd=False)
    return io.TextIOWrapper(buffered, encoding=encoding, errors=errors, line_buffering=fd != 0)


def _flush(*streams: TextIO | None) -> None:
    for stream in streams:
        try:
            if stream is not None and not stream.closed:
                stream.flush()
        except Exception:
            pass  # a stream the run broke: nothing of it can be saved
