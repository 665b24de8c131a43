"""The default executor: a pool of long-lived local worker processes.

Each worker imports the engine once and runs job after job, so a user module is
imported once per worker; every run of a worker writes into the worker's own scratch
directory in the state directory, and its value goes into the value store there. The parent keeps the cost of a run to a write, a read and a
``marshal`` call: one selector watches every worker's outcome pipe and its pid file
descriptor, without a thread per run. A worker holds its next job while it runs one
(jobs without a timeout), so it never waits for the parent between runs. A worker
that dies fails only the run it was running and is replaced, and the job it held but
never started goes to another; one that passes its run's timeout is killed and
replaced too. Workers start as jobs arrive, so the pool never has more of them than
runs it was given.

``tevra run`` starts one worker ahead (``WarmWorker``), at the moment discovery starts:
it imports the project's modules meanwhile and waits, touching no state directory, and
the pool's first worker is that one, told its scratch directory only once the command
holds the state directory's lock. A user module's imports (numpy, pyarrow) are then
paid for while discovery runs instead of again at the first run.
"""

from __future__ import annotations

import collections
import os
import selectors
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import IO, Any

from tevra.executors.pool_worker import decode_outcome, encode_job, encode_place
from tevra.executors.process import child_env, exit_text, kill_group, open_pidfd, wait_for
from tevra.jobs import CRASHED, INTERRUPTED, TIMED_OUT, Job, Outcome, timeout_text
from tevra.values import remove_scratch

_READ_SIZE = 1 << 16
# Jobs a worker holds at once: the one it runs and the one it runs next.
_DEPTH = 2


class _Worker:
    __slots__ = ("proc", "pidfd", "job_fd", "outcome_fd", "buf", "jobs", "sent", "deadline",
                 "alive", "name")

    def __init__(self, proc: subprocess.Popen[bytes], pidfd: int | None, job_fd: int,
                 outcome_fd: int, name: str) -> None:
        self.name = name  # of its scratch directory
        self.proc = proc
        self.pidfd = pidfd
        self.job_fd = job_fd
        self.outcome_fd = outcome_fd
        self.buf = b""
        # Sent and not yet reported, in the order the worker runs them: the first runs.
        self.jobs: collections.deque[Job] = collections.deque()
        self.sent = 0.0  # time.time() when the first of them started (about)
        self.deadline: float | None = None  # of the first, a time.monotonic() value
        self.alive = True

    @property
    def job(self) -> Job | None:
        """The job it runs."""
        return self.jobs[0] if self.jobs else None

    def takes(self, job: Job) -> bool:
        """Whether it may hold ``job`` behind what it holds: never behind a job with a
        timeout, nor a job with one behind another (its time counts from its start)."""
        held = self.jobs
        if not held:
            return True
        return (len(held) < _DEPTH and job.timeout is None
                and all(j.timeout is None for j in held))


class _Started:
    """A worker process and the parent's ends of its two pipes."""

    __slots__ = ("proc", "job_fd", "outcome_fd")

    def __init__(self, proc: subprocess.Popen[bytes], job_fd: int, outcome_fd: int) -> None:
        self.proc, self.job_fd, self.outcome_fd = proc, job_fd, outcome_fd


def _start(cwd: str, env: dict[str, str], stdout: int | IO[Any] | None,
           stderr: int | IO[Any] | None, imports: list[str] | None = None) -> _Started:
    """Start a worker; it waits for its place on the job pipe. ``imports``: arguments
    naming the modules it imports first."""
    job_read, job_write = os.pipe()
    outcome_read, outcome_write = os.pipe()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "tevra.executors.pool_worker", str(job_read),
             str(outcome_write), str(os.getpid()), *(imports or [])],
            pass_fds=(job_read, outcome_write), cwd=cwd, env=env,
            stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
            # Its own process group: a terminal's Ctrl-C is the orchestrator's to
            # handle, and a timeout or cancel kills whatever the run started. It
            # dies with this process all the same (tevra.lifeline).
            process_group=0)
    except BaseException:
        for fd in (job_read, job_write, outcome_read, outcome_write):
            os.close(fd)
        raise
    os.close(job_read)
    os.close(outcome_write)
    os.set_blocking(outcome_read, False)
    return _Started(proc, job_write, outcome_read)


class WarmWorker:
    """A pool worker started before its pool, importing ``modules`` (and the submodules
    of packages among them, but those matching an ``exclude`` glob) in the project
    directory ``cwd``; a ``PoolExecutor`` given it makes it its first worker, else
    ``stop`` ends it. It dies with this process, as every worker does."""

    def __init__(self, modules: list[str], exclude: list[str] | None = None, *, cwd: str,
                 env: dict[str, str] | None = None) -> None:
        imports = [arg for glob in exclude or [] for arg in ("--exclude", glob)]
        self._started: _Started | None = _start(os.path.abspath(cwd), child_env(env), None,
                                                None, imports + list(modules))

    def take(self) -> _Started | None:
        """The process, for a pool to adopt; None when it has died meanwhile (or was
        taken or stopped)."""
        started, self._started = self._started, None
        if started is not None and started.proc.poll() is not None:
            self._end(started)
            return None
        return started

    def stop(self) -> None:
        """End it and whatever its imports started, unless a pool took it."""
        started, self._started = self._started, None
        if started is not None:
            self._end(started)

    @staticmethod
    def _end(started: _Started) -> None:
        kill_group(started.proc.pid)
        started.proc.wait()
        os.close(started.job_fd)
        os.close(started.outcome_fd)


class PoolExecutor:
    """``workers`` long-lived processes running jobs in the project directory ``cwd``,
    keeping values in the state directory ``state`` (without one, a temporary one); its
    first worker is ``warm`` when given one, started with the same ``cwd`` and ``env``."""

    def __init__(self, workers: int, *, cwd: str | None = None, env: dict[str, str] | None = None,
                 stdout: int | IO[Any] | None = None, stderr: int | IO[Any] | None = None,
                 state: str | None = None,
                 on_worker: Callable[[int], None] | None = None,
                 warm: WarmWorker | None = None) -> None:
        if workers < 1:
            raise ValueError("a pool needs at least one worker")
        self._own_state = state is None
        self.state = state if state is not None else tempfile.mkdtemp(prefix="tevra-pool-")
        os.makedirs(self.state, exist_ok=True)
        self._spawned = 0
        self._size = workers
        self._cwd = os.path.abspath(cwd if cwd is not None else os.getcwd())
        self._env = child_env(env)
        self._stdout = stdout
        self._stderr = stderr
        # Told each worker's pid as it starts, before it is given a job.
        self._on_worker = on_worker
        self._warm = warm
        self._selector = selectors.DefaultSelector()
        self._workers: list[_Worker] = []
        self._idle: list[_Worker] = []
        self._queue: collections.deque[Job] = collections.deque()
        self._ready: list[Outcome] = []
        self._timed = 0  # jobs in flight with a deadline
        self._closed = False
        # Workers are started as jobs come, up to ``workers``: a pool given one run
        # starts one worker, however many it may have.

    # -- the Executor interface -------------------------------------------------

    def capacity(self) -> int:
        return self._size

    def holds(self) -> int:
        # Each worker may hold its next job while it runs one.
        return self._size * (_DEPTH - 1)

    def submit(self, job: Job) -> None:
        if self._closed:
            raise RuntimeError("the pool is closed")
        if self._idle:
            self._send(self._idle.pop(), job)
        elif len(self._workers) < self._size:
            self._send(self._spawn(), job)
        elif not self._queue and (worker := self._room_for(job)) is not None:
            self._send(worker, job)
        else:
            self._queue.append(job)

    def _room_for(self, job: Job) -> _Worker | None:
        for worker in self._workers:
            if worker.alive and worker.takes(job):
                return worker
        return None

    def wait(self, timeout: float | None) -> list[Outcome]:
        end = None if timeout is None else time.monotonic() + timeout
        while not self._ready:
            if self._in_flight() == 0:
                break
            now = time.monotonic()
            wait_for = None if end is None else max(0.0, end - now)
            if self._timed:
                nearest = min(w.deadline for w in self._workers if w.deadline is not None)
                until = max(0.0, nearest - now)
                wait_for = until if wait_for is None else min(wait_for, until)
            for key, _ in self._selector.select(wait_for):
                worker, is_pidfd = key.data
                if not worker.alive:
                    continue  # both its pipe and its pid descriptor reported the death
                if is_pidfd:
                    self._lost(worker)
                else:
                    self._read(worker)
            if self._timed:
                self._expire(time.monotonic())
            if end is not None and time.monotonic() >= end:
                break
        ready, self._ready = self._ready, []
        return ready

    def forget_files(self, digests: list[str]) -> None:
        pass  # its workers read stored files where they are

    def cancel(self) -> list[Outcome]:
        now = time.time()
        out, self._ready = self._ready, []
        for worker in self._workers:
            kill_group(worker.proc.pid)
        for worker in list(self._workers):
            worker.proc.wait()
            # Runs it finished before it was stopped: their outcomes were on the way.
            self._drain(worker)
            if worker.jobs:
                out.append(Outcome(worker.jobs[0].run_id, INTERRUPTED, worker.sent, now,
                                   error="interrupted"))
            # What it held behind that run never started: not reported, so the caller
            # strikes their records out.
            worker.jobs.clear()
            self._drop(worker)
        out += self._ready
        self._ready = []
        self._queue.clear()
        self._idle.clear()
        self._closed = True
        self._selector.close()
        self._forget_state()
        return out

    def close(self) -> None:
        if self._closed:
            return
        if self._in_flight():
            self.cancel()
            return
        self._closed = True
        # A worker ends when its job pipe does.
        for worker in self._workers:
            os.close(worker.job_fd)
            worker.job_fd = -1
        deadline = time.monotonic() + 5.0
        for worker in list(self._workers):
            wait_for(worker.proc, worker.pidfd, deadline - time.monotonic())
            kill_group(worker.proc.pid)
            worker.proc.wait()
            self._drop(worker)
        self._idle.clear()
        self._selector.close()
        self._forget_state()

    def _forget_state(self) -> None:
        if self._warm is not None:
            self._warm.stop()  # never needed
            self._warm = None
        if self._own_state:
            shutil.rmtree(self.state, ignore_errors=True)

    def __enter__(self) -> PoolExecutor:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- workers ------------------------------------------------------------------

    def worker_pids(self) -> list[int]:
        """Process ids of the live workers (for tests and diagnostics)."""
        return [w.proc.pid for w in self._workers]

    def _in_flight(self) -> int:
        return sum(len(w.jobs) for w in self._workers) + len(self._queue)

    def _spawn(self) -> _Worker:
        self._spawned += 1
        name = f"pool-{os.getpid()}-{self._spawned}"
        started = self._warm.take() if self._warm is not None else None
        self._warm = None
        if started is None:
            started = _start(self._cwd, self._env, self._stdout, self._stderr)
        proc = started.proc
        worker = _Worker(proc, open_pidfd(proc.pid), started.job_fd, started.outcome_fd, name)
        self._selector.register(worker.outcome_fd, selectors.EVENT_READ, (worker, False))
        if worker.pidfd is not None:
            self._selector.register(worker.pidfd, selectors.EVENT_READ, (worker, True))
        self._workers.append(worker)
        if self._on_worker is not None:
            self._on_worker(proc.pid)
        try:
            self._write(worker, encode_place(self.state, name))
        except BrokenPipeError:
            pass  # it died: its first job finds that out, and it is replaced
        return worker

    def _send(self, worker: _Worker, job: Job) -> None:
        frame = encode_job(job)
        if worker.jobs:
            self._hold(worker, job, frame)
            return
        for _ in range(3):
            worker.jobs.append(job)
            self._started(worker)
            try:
                self._write(worker, frame)
                return
            except BrokenPipeError:
                # It died while idle: it held no run, so the job goes to its successor.
                self._clear_job(worker)
                self._retire(worker)
                worker = self._spawn()
        self._clear_job(worker)
        self._retire(worker)
        self._ready.append(Outcome(job.run_id, CRASHED, time.time(), time.time(),
                                   error="the pool could not start a worker"))
        self._replace()

    def _hold(self, worker: _Worker, job: Job, frame: bytes) -> None:
        """Give a busy worker its next job; it starts when the one it runs is reported."""
        try:
            self._write(worker, frame)
        except BrokenPipeError:
            # Died while running the other: this one never started.
            self._queue.appendleft(job)
            self._lost(worker)
            return
        worker.jobs.append(job)

    @staticmethod
    def _write(worker: _Worker, frame: bytes) -> None:
        view = memoryview(frame)
        while view:
            view = view[os.write(worker.job_fd, view):]

    def _started(self, worker: _Worker) -> None:
        """The first job a worker holds starts now."""
        worker.sent = time.time()
        job = worker.jobs[0]
        if job.timeout is not None:
            worker.deadline = time.monotonic() + job.timeout
            self._timed += 1

    def _clear_deadline(self, worker: _Worker) -> None:
        if worker.deadline is not None:
            self._timed -= 1
            worker.deadline = None

    def _clear_job(self, worker: _Worker) -> None:
        """The job a worker ran is over: the next it holds, if any, starts."""
        self._clear_deadline(worker)
        if worker.jobs:
            worker.jobs.popleft()
        if worker.jobs:
            self._started(worker)

    def _read(self, worker: _Worker) -> None:
        try:
            data = os.read(worker.outcome_fd, _READ_SIZE)
        except BlockingIOError:
            return
        if not data:
            self._lost(worker)
            return
        worker.buf = worker.buf + data if worker.buf else data
        self._frames(worker, True)

    def _frames(self, worker: _Worker, alive: bool) -> None:
        buf = worker.buf
        while len(buf) >= 4:
            size = int.from_bytes(buf[:4], "little")
            if len(buf) < 4 + size:
                break
            frame, buf = buf[4:4 + size], buf[4 + size:]
            if not size:
                # Ready: its imports are done. A first job's timeout counts from here,
                # so that starting a worker is not charged to the run.
                job = worker.job
                if job is not None and job.timeout is not None and worker.deadline is not None:
                    worker.deadline = time.monotonic() + job.timeout
                continue
            self._ready.append(decode_outcome(frame))
            self._clear_job(worker)
            if alive:
                self._fill(worker)
        worker.buf = buf

    def _fill(self, worker: _Worker) -> None:
        """Give a worker what it may hold of the queue; idle if nothing."""
        while self._queue and worker.alive and worker.takes(self._queue[0]):
            self._send(worker, self._queue.popleft())
        if worker.alive and not worker.jobs:
            self._idle.append(worker)

    def _drain(self, worker: _Worker) -> None:
        """Take the outcomes a dead worker sent before it ended."""
        while True:
            try:
                data = os.read(worker.outcome_fd, _READ_SIZE)
            except BlockingIOError:
                break
            if not data:
                break
            worker.buf += data
            self._frames(worker, False)

    def _lost(self, worker: _Worker) -> None:
        """The worker died (or closed its outcome pipe): take what it finished, reap it."""
        self._drain(worker)
        if not wait_for(worker.proc, worker.pidfd, 5.0):
            kill_group(worker.proc.pid)
            worker.proc.wait()
        job = worker.job
        if job is not None:
            self._ready.append(Outcome(job.run_id, CRASHED, worker.sent, time.time(),
                                       error=exit_text(worker.proc.returncode)))
            self._clear_job(worker)
        self._requeue(worker)
        self._retire(worker)
        self._replace()

    def _requeue(self, worker: _Worker) -> None:
        """What a dead worker held but never started goes first to the next worker."""
        self._clear_deadline(worker)
        self._queue.extendleft(reversed(worker.jobs))
        worker.jobs.clear()

    def _expire(self, now: float) -> None:
        for worker in list(self._workers):
            if worker.deadline is not None and worker.deadline <= now and worker.job is not None:
                job = worker.job
                kill_group(worker.proc.pid)
                worker.proc.wait()
                self._ready.append(Outcome(job.run_id, TIMED_OUT, worker.sent, time.time(),
                                           error=timeout_text(job.timeout or 0.0)))
                self._clear_job(worker)
                self._requeue(worker)
                self._retire(worker)
                self._replace()

    def _retire(self, worker: _Worker) -> None:
        """Forget a dead worker; the processes it started go with it."""
        kill_group(worker.proc.pid)
        worker.proc.wait()
        if worker in self._idle:
            self._idle.remove(worker)
        self._drop(worker)

    def _drop(self, worker: _Worker) -> None:
        worker.alive = False
        # What a worker that did not end by itself left in its directory.
        remove_scratch(self.state, worker.name)
        for fd in (worker.outcome_fd, worker.pidfd):
            if fd is not None:
                try:
                    self._selector.unregister(fd)
                except (KeyError, ValueError):
                    pass
                os.close(fd)
        if worker.job_fd >= 0:
            os.close(worker.job_fd)
        worker.job_fd = -1
        self._workers.remove(worker)

    def _replace(self) -> None:
        if self._closed:
            return
        self._fill(self._spawn())
