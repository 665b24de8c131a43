"""``--isolate``: every run in a fresh interpreter through ``python -m tevra.worker``.

For assets that must not share a process with any other run. The keyword arguments
go through a file (never the command line) and the worker writes a failed run's
traceback to another; both live in a private temporary directory for the run's time.
The run's standard output and error are its log (``tevra.runlog``) from the moment the
process starts, and the worker dies with this process (``tevra.lifeline``). Each of the
executor's slots has a scratch directory in the state directory, which the runs of that
slot write into one after the other; their values and logs go into the value store.
"""

from __future__ import annotations

import collections
import json
import os
import selectors
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from collections.abc import Callable
from typing import IO, Any

from tevra import execute, runlog
from tevra.execute import Place
from tevra.executors.process import child_env, exit_text, kill_group, open_pidfd
from tevra.jobs import (
    CRASHED, FAILED, INTERRUPTED, TIMED_OUT, Job, Outcome, kwargs_json, read_inputs, timeout_text,
)
from tevra.values import ValueStore, make_scratch, remove_scratch

_POLL = 0.05  # seconds between looks at a process without a pid descriptor


@dataclass(slots=True)
class _Run:
    job: Job
    proc: subprocess.Popen[bytes]
    pidfd: int | None
    started: float
    deadline: float | None
    kwargs_path: str
    traceback_path: str
    log_path: str | None
    place: Place
    input_versions: str | None


class IsolateExecutor:
    """Up to ``workers`` runs at once, each a ``python -m tevra.worker`` process in ``cwd``."""

    def __init__(self, workers: int, *, cwd: str | None = None, env: dict[str, str] | None = None,
                 stdout: int | IO[Any] | None = None, stderr: int | IO[Any] | None = None,
                 state: str | None = None,
                 on_worker: Callable[[int], None] | None = None) -> None:
        if workers < 1:
            raise ValueError("an executor needs at least one worker")
        self._own_state = state is None
        self.state = state if state is not None else tempfile.mkdtemp(prefix="tevra-isolate-")
        os.makedirs(self.state, exist_ok=True)
        values = ValueStore(os.path.join(self.state, "values"))
        self._names = [f"isolate-{os.getpid()}-{i}" for i in range(workers)]
        self._free = [Place(make_scratch(self.state, name), values) for name in self._names]
        self._size = workers
        self._cwd = os.path.abspath(cwd if cwd is not None else os.getcwd())
        self._env = child_env(env)
        self._stdout = stdout
        self._stderr = stderr
        # Told each worker's pid as it starts, before it is given a job.
        self._on_worker = on_worker
        self._tmp = tempfile.mkdtemp(prefix="tevra-isolate-")
        self._selector = selectors.DefaultSelector()
        self._running: list[_Run] = []
        self._queue: collections.deque[Job] = collections.deque()
        self._ready: list[Outcome] = []
        self._count = 0
        self._closed = False

    def capacity(self) -> int:
        return self._size

    def holds(self) -> int:
        return 0  # a run's process starts when it is its turn

    def submit(self, job: Job) -> None:
        if self._closed:
            raise RuntimeError("the executor is closed")
        if len(self._running) < self._size:
            self._start(job)
        else:
            self._queue.append(job)

    def wait(self, timeout: float | None) -> list[Outcome]:
        end = None if timeout is None else time.monotonic() + timeout
        while not self._ready and self._running:
            now = time.monotonic()
            wait_for = None if end is None else max(0.0, end - now)
            deadlines = [r.deadline for r in self._running if r.deadline is not None]
            if deadlines:
                until = max(0.0, min(deadlines) - now)
                wait_for = until if wait_for is None else min(wait_for, until)
            if any(r.pidfd is None for r in self._running):
                wait_for = _POLL if wait_for is None else min(wait_for, _POLL)
            self._selector.select(wait_for)
            now = time.monotonic()
            for run in list(self._running):
                if run.proc.poll() is not None:
                    self._finish(run, self._outcome(run))
                elif run.deadline is not None and run.deadline <= now:
                    kill_group(run.proc.pid)
                    run.proc.wait()
                    self._finish(run, Outcome(run.job.run_id, TIMED_OUT, run.started, time.time(),
                                              error=timeout_text(run.job.timeout or 0.0)))
            if end is not None and time.monotonic() >= end:
                break
        ready, self._ready = self._ready, []
        return ready

    def forget_files(self, digests: list[str]) -> None:
        pass  # its workers read stored files where they are

    def cancel(self) -> list[Outcome]:
        now = time.time()
        out, self._ready = self._ready, []
        for run in self._running:
            kill_group(run.proc.pid)
        for run in list(self._running):
            run.proc.wait()
            self._forget(run)
            out.append(Outcome(run.job.run_id, INTERRUPTED, run.started, now, error="interrupted"))
        self._queue.clear()  # never started: not reported
        self._shut()
        return out

    def close(self) -> None:
        if self._closed:
            return
        if self._running or self._queue:
            self.cancel()
        else:
            self._shut()

    def __enter__(self) -> IsolateExecutor:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _shut(self) -> None:
        if not self._closed:
            self._closed = True
            self._selector.close()
            shutil.rmtree(self._tmp, ignore_errors=True)
            for name in self._names:
                remove_scratch(self.state, name)
            if self._own_state:
                shutil.rmtree(self.state, ignore_errors=True)

    def _start(self, job: Job) -> None:
        started = time.time()
        self._count += 1
        kwargs_path = os.path.join(self._tmp, f"{self._count}.kwargs.json")
        traceback_path = os.path.join(self._tmp, f"{self._count}.traceback")
        try:
            inputs = read_inputs(job)
            with open(kwargs_path, "wb") as f:
                f.write(kwargs_json(job.partition, inputs.values))
        except OSError as exc:
            self._ready.append(execute.error_outcome(job.run_id, started, exc,
                                                     execute.format_exception(exc)))
            self._remove(kwargs_path)
            return
        argv = [sys.executable, "-m", "tevra.worker", "--kwargs-file", kwargs_path,
                "--traceback-file", traceback_path, "--parent-pid", str(os.getpid())]
        place = self._free.pop()
        log_fd, log_path = _open_log(place.scratch, job.run_id)
        if log_path is not None:
            argv += ["--log", log_path]
        argv += [job.module, job.function, place.scratch]
        env = dict(self._env, TEVRA_RUN=json.dumps({
            "asset": job.asset, "run_id": job.run_id, "attempt": job.attempt, "key": job.key,
            "partition": job.partition, "values": place.values.root}))
        try:
            proc = subprocess.Popen(
                argv, cwd=self._cwd, env=env, stdin=subprocess.DEVNULL,
                stdout=self._stdout if log_fd is None else log_fd,
                stderr=self._stderr if log_fd is None else log_fd, process_group=0)
        finally:
            if log_fd is not None:
                os.close(log_fd)
        run = _Run(job, proc, open_pidfd(proc.pid), started,
                   None if job.timeout is None else time.monotonic() + job.timeout,
                   kwargs_path, traceback_path, log_path, place, inputs.version)
        if run.pidfd is not None:
            self._selector.register(run.pidfd, selectors.EVENT_READ, run)
        self._running.append(run)
        if self._on_worker is not None:
            self._on_worker(proc.pid)

    def _outcome(self, run: _Run) -> Outcome:
        job, code = run.job, run.proc.returncode
        # Whatever the run started is ended with it.
        kill_group(run.proc.pid)
        has_record = os.path.exists(os.path.join(run.place.scratch, "result.json"))
        if code == 0 and has_record:
            return execute.take_value(job.run_id, run.place, run.started)
        traceback = _read_text(run.traceback_path)
        if code == 1 and has_record:
            try:
                record = execute.read_record(run.place.scratch)
            except OSError:
                record = None
            outcome = execute.failed_outcome(job.run_id, run.started, record)
            outcome.traceback = traceback
            return outcome
        if code == 1 and traceback:
            # Raised before the engine could keep a record (the output directory could
            # not be made): the last line of the traceback is the exception.
            last = traceback.rstrip("\n").rsplit("\n", 1)[-1]
            error_type = last.split(":", 1)[0].rsplit(".", 1)[-1]
            return Outcome(job.run_id, FAILED, run.started, time.time(), error=last,
                           error_type=error_type, traceback=traceback)
        return Outcome(job.run_id, CRASHED, run.started, time.time(), error=exit_text(code))

    def _finish(self, run: _Run, outcome: Outcome) -> None:
        # The inputs were read here, for the worker: what it ran on is what was read.
        outcome.input_versions = run.input_versions
        self._forget(run, outcome)
        self._ready.append(outcome)
        while self._queue and len(self._running) < self._size:
            self._start(self._queue.popleft())

    def _forget(self, run: _Run, outcome: Outcome | None = None) -> None:
        if run.pidfd is not None:
            self._selector.unregister(run.pidfd)
            os.close(run.pidfd)
        self._running.remove(run)
        self._remove(run.kwargs_path)
        self._remove(run.traceback_path)
        if run.log_path is not None:
            runlog.finish_log(run.log_path)
        if outcome is not None:
            execute.settle(outcome, run.place, run.log_path)
        else:
            execute.clear(run.place.scratch)
        self._free.append(run.place)

    @staticmethod
    def _remove(path: str) -> None:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass



def _open_log(output_dir: str, run_id: int) -> tuple[int | None, str | None]:
    """The run's log, open for the worker's descriptors 1 and 2; (None, None) when its
    directory cannot be made (the worker then fails the run, saying why)."""
    path = runlog.log_path(output_dir, run_id)
    try:
        os.makedirs(output_dir, exist_ok=True)
        return runlog.open_log(path), path
    except OSError:
        return None, None


def _read_text(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read() or None
    except FileNotFoundError:
        return None
