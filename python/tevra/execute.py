"""One run in this interpreter, through the engine's ``materialize_asset``, and what
becomes of its files.

A worker runs every job in its own scratch directory. Once the engine is done the
run's value leaves it: a small ``value.json`` goes into the outcome, a larger one into
the value store by a rename; the directory is left empty for the worker's next run.

The engine records only the text of the exception that ended a failed run, so the
traceback is observed while the run happens: ``sys.monitoring``'s unwind events are
switched on for the engine call alone and keep the last exception that left a Python
frame. A successful run raises nothing, so it never reaches the callback.
"""

from __future__ import annotations

import json
import os
import sys
import time
import types
from dataclasses import dataclass
from typing import Any

import _tevra

from tevra import run_context, runlog, serializers
from tevra.adapter import MODULE as ADAPTER_MODULE
from tevra.jobs import FAILED, SUCCEEDED, Job, Outcome, StampFields, kwargs_json, read_inputs
from tevra.values import INLINE_LIMIT, Stamp, ValueStore, empty_dir, hash_bytes, stamp_of

_TOOL_NAME = "tevra traceback"
_monitoring = sys.monitoring
_UNWIND = _monitoring.events.PY_UNWIND


class TracebackCapture:
    """Keeps the last exception unwinding a Python frame while it is switched on.

    One instance per process: it holds a ``sys.monitoring`` tool id from the first use
    on, and gives up quietly when every id is taken (then runs have no traceback).
    """

    def __init__(self) -> None:
        self._tool: int | None = None
        self._claimed = False
        self.last: BaseException | None = None

    def _claim(self) -> int | None:
        self._claimed = True
        # Ids 0-2 and 5 are conventionally the debugger's, coverage's, profiler's and
        # optimizer's; take a free one, the others last.
        for tool in (3, 4, 5, 2, 1, 0):
            if _monitoring.get_tool(tool) is None:
                _monitoring.use_tool_id(tool, _TOOL_NAME)
                _monitoring.register_callback(tool, _UNWIND, self._on_unwind)
                self._tool = tool
                return tool
        return None

    def _on_unwind(self, code: types.CodeType, offset: int, exc: BaseException) -> Any:
        self.last = exc
        return None

    def start(self) -> None:
        self.last = None
        tool = self._tool if self._claimed else self._claim()
        if tool is not None:
            _monitoring.set_events(tool, _UNWIND)

    def stop(self) -> None:
        if self._tool is not None:
            _monitoring.set_events(self._tool, 0)

    def take(self, error_type: str | None) -> str | None:
        """The formatted traceback of the captured exception, and forget it.

        With ``error_type``, only an exception of that type name is taken: it must be
        the one the engine recorded, not one raised and handled after it.
        """
        exc, self.last = self.last, None
        if exc is None or (error_type is not None and type(exc).__name__ != error_type):
            return None
        return format_exception(exc)


def format_exception(exc: BaseException) -> str:
    import traceback  # only failed runs pay for it

    return "".join(traceback.format_exception(exc))


capture = TracebackCapture()


@dataclass(slots=True)
class EngineCall:
    """How one ``materialize_asset`` call ended.

    ``raised`` is None for a succeeded run, ``SystemExit(1)`` for a run the engine
    recorded as failed (``record`` holds that record), anything else for a call that
    left no record; ``traceback`` is the exception's, where one was seen.
    """

    raised: BaseException | None
    record: dict[str, object] | None
    traceback: str | None


def call_engine(module: str, function: str, output_dir: str, kwargs: str | None) -> EngineCall:
    """Run one asset through the engine, keeping the traceback of a failure."""
    capture.start()
    try:
        _tevra.materialize_asset(module, function, output_dir, kwargs)
    except SystemExit as exc:
        capture.stop()
        if exc.code == 1:
            record = read_record(output_dir)
            error_type = record.get("error_type") if record else None
            return EngineCall(exc, record, capture.take(error_type if isinstance(error_type, str) else None))
        return EngineCall(exc, None, capture.take(None) or format_exception(exc))
    except BaseException as exc:
        # Set-up errors (the output directory cannot be made) and failures to write
        # the failure record: the engine left no record of its own.
        capture.stop()
        capture.last = None
        return EngineCall(exc, None, format_exception(exc))
    finally:
        capture.stop()
    return EngineCall(None, None, None)


@dataclass(frozen=True, slots=True)
class Place:
    """Where a worker's runs write (its own directory) and where their values go."""

    scratch: str
    values: ValueStore


def run_in_process(job: Job, place: Place) -> Outcome:
    """Run ``job`` here, in the scratch directory, and report its outcome; the current
    directory is restored after. ``settle`` then empties the scratch directory."""
    started = time.time()
    try:
        inputs = read_inputs(job)
        kwargs = kwargs_json(job.partition, inputs.values).decode("utf-8")
    except Exception as exc:
        return error_outcome(job.run_id, started, exc, format_exception(exc))
    outcome = _called(job, place, started, kwargs)
    outcome.input_versions = inputs.version
    return outcome


def _called(job: Job, place: Place, started: float, kwargs: str) -> Outcome:
    cwd = os.getcwd()
    ctx = run_context.RunContext(job.asset, job.run_id, job.attempt, job.partition, job.key,
                                 place.scratch, place.values.root)
    try:
        with run_context.running(ctx):
            call = call_engine(job.module, job.function, place.scratch, kwargs)
    finally:
        if os.getcwd() != cwd:
            os.chdir(cwd)
    if call.raised is None:
        return take_value(job.run_id, place, started)
    if isinstance(call.raised, SystemExit) and call.raised.code == 1:
        outcome = failed_outcome(job.run_id, started, call.record)
    else:
        outcome = error_outcome(job.run_id, started, call.raised, None)
    outcome.traceback = call.traceback
    return outcome


def settle(outcome: Outcome, place: Place, log: str | None) -> None:
    """After a run (and its log's capture) ended: its log, when it left one, goes into
    the value store, and the scratch directory is left empty for the next run."""
    if log is not None:
        try:
            outcome.log_hash = _store_log(place, log)
        except OSError:
            pass  # none; or a run's log is worth keeping, not worth failing the run for
    if outcome.status != SUCCEEDED:
        # A success's files are gone already (take_value); a failure may leave any.
        clear(place.scratch)


def _store_log(place: Place, path: str) -> str:
    # A copy goes into the store, not the file: a process the run left behind may
    # still hold the file open and write to it, and a stored file must never change.
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as f:
        data = f.read(runlog.LOG_LIMIT)  # capped already, unless written to since
    os.unlink(path)
    return place.values.put_bytes(data, place.scratch).digest


def take_value(run_id: int, place: Place, started: float) -> Outcome:
    """The outcome of a run the engine reported as succeeded, from the files it left in
    the scratch directory: the one place a run's files are read. The value moves into
    the outcome or the store; the directory is left empty."""
    out = place.scratch
    value_path = os.path.join(out, "value.json")
    try:
        record = read_record(out)
        data, st = _read_file(value_path)
        if record is None or record.get("ok") is not True:
            return Outcome(run_id, FAILED, started, time.time(),
                           error="the run left no success record", error_type="RuntimeError")
        digest = hash_bytes(data)
        outcome = Outcome(run_id, SUCCEEDED, started, 0.0, data_version=digest[:32],
                          value_size=len(data))
        if record.get("module_path") == ADAPTER_MODULE:
            outcome.files = _data_files(place.values, data)
        if len(data) <= INLINE_LIMIT:
            outcome.value = data
            os.unlink(value_path)
        else:
            stored = place.values.put(value_path, digest)
            outcome.value_hash = digest
            outcome.value_stamp = _plain(stored.stamp)
        os.unlink(os.path.join(out, "result.json"))
    except OSError as exc:
        return error_outcome(run_id, started, exc, None)
    outcome.ended = time.time()
    return outcome


def _data_files(values: ValueStore, manifest: bytes) -> tuple[tuple[str, StampFields], ...]:
    """The stored file a manifest names, with its stamp as it is now."""
    digest = serializers.manifest_digest(manifest)
    if digest is None:
        return ()
    return ((digest, _plain(stamp_of(os.stat(values.path(digest))))),)


def _plain(stamp: Stamp) -> StampFields:
    # A plain tuple: outcomes travel by marshal, which takes no tuple subclass.
    return (stamp.size, stamp.mtime_ns, stamp.ctime_ns, stamp.inode, stamp.device)


def clear(scratch: str) -> None:
    """Leave a scratch directory empty for the worker's next run."""
    try:
        # A worker's shared log stays: it is not the run's.
        empty_dir(scratch, keep=runlog.WORKER_FILES)
    except FileNotFoundError:
        pass


def failed_outcome(run_id: int, started: float, record: dict[str, object] | None) -> Outcome:
    """The outcome of a run the engine reported as failed, from its failure record."""
    if record is None:
        return Outcome(run_id, FAILED, started, time.time(),
                       error="the run ended without a record", error_type="SystemExit")
    error, error_type = record.get("error"), record.get("error_type")
    return Outcome(run_id, FAILED, started, time.time(),
                   error=error if isinstance(error, str) else None,
                   error_type=error_type if isinstance(error_type, str) else None)


def error_outcome(run_id: int, started: float, exc: BaseException, tb: str | None) -> Outcome:
    """A run that failed before or outside the engine's record of it."""
    return Outcome(run_id, FAILED, started, time.time(), error=error_text(exc),
                   error_type=type(exc).__name__, traceback=tb)


def error_text(exc: BaseException) -> str:
    """An exception as the engine renders it in a failure record."""
    try:
        return f"{type(exc).__qualname__}: {exc}"
    except Exception:
        return f"{type(exc).__qualname__}: <exception str() failed>"


def read_record(output_dir: str) -> dict[str, object] | None:
    """``result.json`` of a run, or None where it is missing or unreadable as a record."""
    try:
        data = _read_file(os.path.join(output_dir, "result.json"))[0]
    except FileNotFoundError:
        return None
    try:
        record = json.loads(data)
    except ValueError:
        return None
    return record if isinstance(record, dict) else None


def _read_file(path: str) -> tuple[bytes, os.stat_result]:
    # Plain descriptors: a pool worker reads two files per run, and file objects
    # cost more than the reads themselves for files this small.
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        chunks = [os.read(fd, max(st.st_size, 1 << 12))]
        while chunks[-1]:
            chunks.append(os.read(fd, 1 << 20))
        return b"".join(chunks), st
    finally:
        os.close(fd)
