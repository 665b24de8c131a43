"""The Dask executor: runs jobs on a Dask distributed cluster.

Each job travels as the raw bytes of its upstream values to the task of
``dask_worker``, which runs it on a worker and sends back the outcome with the bytes of
what the run stored; this side puts them into the state directory's value store. Jobs
go in batches, one Dask task each, so that the cluster's cost per task (a few
milliseconds) is paid per batch rather than per run: short runs share a task, up to a
fraction of a second of work, while a run with a timeout, or of an asset that ended a
worker before, goes alone.

Every execution is its only one: Dask never retries a task of tevra's, and a task the
cluster starts again after losing its worker (whether it was running there or had
finished and its result was not yet fetched) finds its claim in the scheduler and runs
nothing; the runs it held are recorded as crashed. The
stored data files a job's inputs name (tables and other serialized values) go to the
workers by hash: each is scattered once, straight to a worker, and Dask hands it to any
other worker that needs it at most once; the cluster lets it go once no run of the
invocation is left to read it. The workers and the machine running
``tevra run`` therefore share no filesystem, and the graph stays with the orchestrator:
a job is submitted only once its inputs exist, so Dask never sees a dependency between
two runs.

``distributed`` is an optional extra: only this module imports it, and only when an
executor is made.
"""

from __future__ import annotations

import contextlib
import os
import platform
import queue
import tempfile
import time
import uuid
import warnings
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from tevra.errors import ExecutorError
from tevra.install import extra_hint
from tevra.executors.dask_worker import (
    STARTED_TOPIC,
    forget_project_modules,
    run_batch,
    tevra_version,
    worker_versions,
)
from tevra.jobs import CRASHED, FAILED, INTERRUPTED, TIMED_OUT, Job, Outcome, timeout_text
from tevra.values import ValueStore, make_scratch, remove_scratch, stamp_of

# The optional package's objects are typed loosely here: this module must check and
# import without it, and its own annotations are partial.
Client = Any
Future = Any
LocalCluster = Any

# What the dask extra brings, for the hint when it is missing.
EXTRA_PACKAGES = ["distributed>=2025.1"]

# Inputs larger than this go to the workers ahead of the task (scatter) instead of
# inside the task itself, which the scheduler would otherwise have to carry.
_SCATTER_BYTES = 1 << 20

# A batch holds at most this many runs...
_BATCH_RUNS = 64
# ...and about this many seconds of work, by the runs' usual durations so far; a worker
# starts no further run of a batch past it either, and the rest come back to be sent
# again. It bounds how long a batch holds its runs' outcomes back, and what a worker's
# death takes with it: the runs of the batch that ended but had not come back.
_BATCH_SECONDS = 0.2

# Claims of tasks (see dask_worker._claim) are kept in the scheduler by generation of this
# many tasks; a generation is dropped a while after its last task was released.
_CLAIMS_PER_GENERATION = 4096
_CLAIMS_KEPT_SECONDS = 60.0
_CLAIMS = "tevra-claims"


class DaskError(ExecutorError):
    """A Dask executor problem the command line reports as one line."""


class DaskUnavailable(DaskError):
    """The optional ``distributed`` package is not installed."""

    def __init__(self, cause: str = "") -> None:
        super().__init__(cause)
        self.cause = cause

    def __str__(self) -> str:
        return ("the Dask executor needs the 'distributed' package; install it with: "
                + extra_hint("dask", EXTRA_PACKAGES))


class DaskWorkersMismatch(DaskError):
    """The cluster's workers cannot run this project's jobs (Python or tevra differs)."""


def _import_distributed() -> Any:
    try:
        import distributed
    except ImportError as e:
        raise DaskUnavailable(str(e)) from None
    return distributed


def check_versions(local: tuple[str, str], remote: dict[str, tuple[str, str]]) -> None:
    """Refuse a cluster whose workers run another Python minor version or another tevra."""
    def minor(v: str) -> str:
        return ".".join(v.split(".")[:2])

    for address, (python, tevra) in sorted(remote.items()):
        if minor(python) != minor(local[0]):
            raise DaskWorkersMismatch(
                f"Dask worker {address} runs Python {python}, this machine Python {local[0]};"
                f" the workers need Python {minor(local[0])}"
            )
        if tevra != local[1]:
            raise DaskWorkersMismatch(
                f"Dask worker {address} has tevra {tevra}, this machine tevra {local[1]};"
                " install the same tevra on every worker"
            )


def _ignore_interrupt_plugin(distributed: Any) -> Any:
    """A worker plugin by which a local worker ignores the terminal's Ctrl-C.

    The workers of a local cluster share the terminal's process group, so Ctrl-C reaches
    them too; stopping them is the orchestrator's job (it cancels and shuts the cluster
    down), not something each worker should half-do with a traceback of its own. Made
    here because its base class lives in the optional package.
    """

    class IgnoreInterrupt(distributed.WorkerPlugin):  # type: ignore[misc]
        idempotent = True
        name = "tevra-ignore-interrupt"

        def setup(self, worker: object) -> None:
            import signal
            import threading

            if threading.current_thread() is threading.main_thread():
                signal.signal(signal.SIGINT, signal.SIG_IGN)

    return IgnoreInterrupt()


@contextlib.contextmanager
def _interrupts_ignored() -> Iterator[None]:
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@dataclass(slots=True)
class _Task:
    """A Dask task in flight: a batch of jobs, or one job with a timeout."""

    jobs: list[Job]
    future: Future
    submitted: float
    started: float | None  # when the worker began it, once it says so (a run with a timeout)
    scattered: list[Future]
    generation: int


class DaskExecutor:
    """Runs jobs on a local Dask cluster it starts, or on an existing one (``scheduler``)."""

    def __init__(
        self,
        workers: int,
        scheduler: str | None = None,
        dashboard: bool = False,
        project_dir: str | None = None,
        state: str | None = None,
    ) -> None:
        distributed = _import_distributed()
        self._distributed = distributed
        self._own_state = state is None
        self.state = state if state is not None else tempfile.mkdtemp(prefix="tevra-dask-")
        os.makedirs(self.state, exist_ok=True)
        self._values = ValueStore(os.path.join(self.state, "values"))
        self._scratch_name = f"dask-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        self._scratch = make_scratch(self.state, self._scratch_name)
        # Stored data files on the cluster, by hash: each is scattered once, and
        # released once no job will read it.
        self._files: dict[str, Future] = {}
        self._project_dir = os.path.abspath(project_dir or os.getcwd())
        self._cluster: LocalCluster | None = None
        self._client: Client | None = None
        self._done: queue.SimpleQueue[str] = queue.SimpleQueue()
        self._tasks: dict[str, _Task] = {}
        # Jobs handed over but not sent yet: they go at the next wait(), in batches.
        self._pending: list[Job] = []
        # A function's usual run duration in seconds; infinite once a task holding its
        # runs ended with its worker, so that its runs go alone from then on.
        self._seconds: dict[tuple[str, str], float] = {}
        self._claims = uuid.uuid4().hex
        self._sent = 0
        self._unreleased: Counter[int] = Counter()
        self._released_at: dict[int, float] = {}
        self._closed = False
        self.startup_seconds = 0.0
        self.dashboard_link: str | None = None
        t0 = time.perf_counter()
        try:
            self._connect(workers, scheduler, dashboard)
        except BaseException:
            self.close()
            raise
        self.startup_seconds = time.perf_counter() - t0

    def _connect(self, workers: int, scheduler: str | None, dashboard: bool) -> None:
        import logging

        distributed = self._distributed
        import dask.config as dask_config

        if scheduler is None:
            if workers < 1:
                raise DaskError(f"the Dask executor needs at least one worker, not {workers}")
            # Workers started while Ctrl-C is ignored inherit that across exec, so the
            # window before the worker plugin below takes over is covered too.
            # One task per worker at a time: a worker holds no second batch that its
            # death would take along. The tasks queued behind wait at the scheduler.
            # A task whose worker died is not tried again (it would run its runs twice).
            settings = {"distributed.scheduler.worker-saturation": 1.0,
                        "distributed.scheduler.allowed-failures": 0}
            with _interrupts_ignored(), warnings.catch_warnings(), dask_config.set(settings):
                # The scheduler serves its health routes even without a dashboard and
                # says so when the usual port is taken: nothing the user asked about.
                warnings.filterwarnings("ignore", message="Port .* is already in use")
                self._cluster = distributed.LocalCluster(
                    n_workers=workers,
                    threads_per_worker=1,
                    processes=True,
                    dashboard_address=":8787" if dashboard else None,
                    silence_logs=logging.CRITICAL,
                )
            self._client = distributed.Client(self._cluster, set_as_default=False)
            self._client.register_plugin(_ignore_interrupt_plugin(distributed))
        else:
            try:
                self._client = distributed.Client(scheduler, set_as_default=False, timeout=30)
            except OSError as e:
                raise DaskError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
            if not self._client.nthreads():
                raise DaskError(f"the Dask scheduler at {scheduler} has no workers")
        if dashboard:
            self.dashboard_link = self._client.dashboard_link
        self._check_workers()
        threads: dict[str, int] = self._client.nthreads()
        self._threads = max(1, sum(threads.values()))
        # Two full batches per thread: the scheduler hands a worker its next batch the
        # moment one ends, instead of after the round trip through this process.
        self._capacity = 2 * self._threads * _BATCH_RUNS
        self._client.subscribe_topic(STARTED_TOPIC, self._on_started)

    def _check_workers(self) -> None:
        client = self._client
        assert client is not None
        local = (platform.python_version(), tevra_version())
        # Python first, with nothing of tevra's: a worker that cannot load tevra still answers.
        pythons = client.run(platform.python_version)
        check_versions(local, {a: (v, local[1]) for a, v in pythons.items()})
        try:
            remote = client.run(worker_versions)
        except Exception as e:
            raise DaskWorkersMismatch(
                f"tevra cannot be loaded on the Dask workers ({type(e).__name__}: {e});"
                " install tevra on every worker"
            ) from None
        check_versions(local, remote)
        client.run(forget_project_modules)

    # The executor interface.

    def capacity(self) -> int:
        return self._capacity

    def holds(self) -> int:
        return 0  # short runs are batched into one task instead

    def submit(self, job: Job) -> None:
        """Take a job; it goes to the cluster at the next wait(), batched with the others
        handed over meanwhile."""
        assert self._client is not None and not self._closed
        self._pending.append(job)

    def wait(self, timeout: float | None) -> list[Outcome]:
        self._send_pending()
        self._drop_claims()
        if not self._tasks:
            return []
        end = None if timeout is None else time.monotonic() + timeout
        keys: list[str] = []
        while True:
            expired = self._expire()
            if expired:
                outcomes = expired + self._collect(self._drain())
                self._send_pending()
                return outcomes
            limit = None if end is None else max(0.0, end - time.monotonic())
            deadline = self._next_deadline()
            if deadline is not None:
                until = max(0.0, deadline - time.time()) + 0.01
                limit = until if limit is None else min(limit, until)
            try:
                keys.append(self._done.get(timeout=limit))
            except queue.Empty:
                if end is not None and time.monotonic() >= end:
                    return self._expire()
                continue
            keys.extend(self._drain())
            outcomes = self._collect(keys)
            # Runs a batch did not get to (its time was up) go again at once.
            self._send_pending()
            if outcomes:
                return outcomes
            keys = []

    def cancel(self) -> list[Outcome]:
        now = time.time()
        # Jobs in tasks the cluster holds may have begun; those not yet sent have not,
        # and are not reported.
        held = [job for t in self._tasks.values() for job in t.jobs]
        outcomes = [Outcome(job.run_id, INTERRUPTED, now, now, error="interrupted")
                    for job in held]
        if self._client is not None and self._tasks:
            futures = [t.future for t in self._tasks.values()]
            try:
                self._client.cancel(futures, force=True)
            except Exception:
                pass  # the cluster goes down next anyway
        self._tasks.clear()
        self._pending.clear()
        self.close()
        return outcomes

    # Batches.

    def _send_pending(self) -> None:
        """Send the jobs handed over since the last time, in submission order.

        A batch is as large as keeps every thread busy with two of them (all the jobs
        held, sent or not, shared out), at most ``_BATCH_RUNS`` runs, about
        ``_BATCH_SECONDS`` of work and ``_SCATTER_BYTES`` of inputs carried in the task.
        A job with a timeout goes alone: its time counts from its own start.
        """
        from tevra.jobs import read_values

        pending, self._pending = self._pending, []
        if not pending:
            return
        held = len(pending) + sum(len(t.jobs) for t in self._tasks.values())
        size = max(1, min(_BATCH_RUNS, -(-held // (2 * self._threads))))
        batch: list[tuple[Job, Any]] = []
        seconds = 0.0
        carried = 0
        for job in pending:
            # Versioned where the run reads them, on the worker.
            inputs = read_values(job.inputs)
            nbytes = _size(inputs)
            if nbytes > _SCATTER_BYTES:
                nbytes = 0  # goes to the workers apart
            usual = float("inf") if job.timeout is not None else \
                self._seconds.get((job.module, job.function), 0.0)
            if batch and (len(batch) >= size or seconds + usual > _BATCH_SECONDS
                          or carried + nbytes > _SCATTER_BYTES):
                self._send(batch)
                batch, seconds, carried = [], 0.0, 0
            batch.append((job, inputs))
            seconds += usual
            carried += nbytes
        if batch:
            self._send(batch)

    def _send(self, batch: list[tuple[Job, Any]]) -> None:
        client = self._client
        assert client is not None
        members: list[tuple[tuple[Any, ...], Any]] = []
        scattered: list[Future] = []
        files: dict[str, Future] = {}
        for job, inputs in batch:
            if _size(inputs) > _SCATTER_BYTES:
                # In a list, so that the inputs go as one piece rather than one per key.
                [inputs] = client.scatter([inputs], hash=False, direct=True)
                scattered.append(inputs)
            # The inputs go beside the job's other fields: as bytes, scattered apart
            # when large.
            fields = tuple(getattr(job, name) if name != "inputs" else None
                           for name in Job.__slots__)
            members.append((fields, inputs))
            for digest in job.files:
                files[digest] = self._file(digest)
        jobs = [job for job, _ in batch]
        first = jobs[0]
        # A key of its own per task, so that a retried or resubmitted run never merges
        # with another one on a cluster shared between invocations.
        key = (f"tevra-{first.asset[-40:] or first.function}-{first.run_id}"
               f"{f'+{len(jobs) - 1}' if len(jobs) > 1 else ''}-{uuid.uuid4().hex[:12]}")
        generation = self._sent // _CLAIMS_PER_GENERATION
        self._sent += 1
        self._unreleased[generation] += 1
        timed = first.timeout is not None
        future = client.submit(
            run_batch,
            members,
            files,
            self._project_dir,
            [_CLAIMS, self._claims, str(generation), key],
            _BATCH_SECONDS,
            key if timed else None,
            key=key,
            pure=False,
            retries=0,
        )
        self._tasks[key] = _Task(jobs, future, time.time(), None, scattered, generation)
        future.add_done_callback(lambda f: self._done.put(f.key))

    def _release(self, task: _Task) -> None:
        task.future.release()
        for scattered in task.scattered:
            scattered.release()
        generation = task.generation
        self._unreleased[generation] -= 1
        if not self._unreleased[generation]:
            del self._unreleased[generation]
            self._released_at[generation] = time.monotonic()

    def _drop_claims(self) -> None:
        """Forget the claims of generations released a while ago: no task of theirs can
        start again any more."""
        current = self._sent // _CLAIMS_PER_GENERATION
        now = time.monotonic()
        old = [g for g, at in self._released_at.items()
               if g != current and now - at > _CLAIMS_KEPT_SECONDS]
        client = self._client
        for generation in old:
            del self._released_at[generation]
            if client is not None:
                with contextlib.suppress(Exception):  # tidying only: close() drops the rest
                    client.set_metadata([_CLAIMS, self._claims, str(generation)], None)

    def forget_files(self, digests: list[str]) -> None:
        """Let the cluster drop stored data files no job will read any more."""
        for digest in digests:
            future = self._files.pop(digest, None)
            if future is not None:
                future.release()

    def _file(self, digest: str) -> Future:
        """A stored data file on the cluster: scattered straight to a worker the first
        time a job needs it, and kept there until no job will read it any more
        (``forget_files``)."""
        future = self._files.get(digest)
        if future is None:
            client = self._client
            assert client is not None
            future = self._files[digest] = client.scatter(self._values.read(digest), direct=True,
                                                          hash=False)
        return future

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        self._files.clear()
        if self._client is not None and self._cluster is None:
            # A cluster that outlives this invocation keeps none of its claims.
            try:
                self._client.set_metadata([_CLAIMS, self._claims], None)
            except Exception:
                pass
        remove_scratch(self.state, self._scratch_name)
        if self._own_state:
            import shutil

            shutil.rmtree(self.state, ignore_errors=True)
        client, cluster = self._client, self._cluster
        self._client = self._cluster = None
        if client is not None:
            try:
                client.close()
            except Exception:
                pass
        if cluster is not None:
            cluster.close()

    # Outcomes.

    def _drain(self) -> list[str]:
        keys = []
        while True:
            try:
                keys.append(self._done.get_nowait())
            except queue.Empty:
                return keys

    def _on_started(self, event: tuple[float, Any]) -> None:
        # On the client's event loop thread: note the time and wake wait() up.
        task = self._tasks.get(event[1])
        if task is not None:
            task.started = time.time()
            self._done.put("")

    @staticmethod
    def _deadline(t: _Task) -> float | None:
        timeout = t.jobs[0].timeout
        if timeout is None or t.started is None:
            return None
        return t.started + timeout

    def _next_deadline(self) -> float | None:
        deadlines = [d for t in list(self._tasks.values()) if (d := self._deadline(t)) is not None]
        return min(deadlines) if deadlines else None

    def _collect(self, keys: list[str]) -> list[Outcome]:
        # A key may come back for a task already given up (timed out): ignore it.
        tasks = [self._tasks.pop(k) for k in dict.fromkeys(keys) if k in self._tasks]
        if not tasks:
            return []
        client = self._client
        assert client is not None
        finished = [t for t in tasks if t.future.status == "finished"]
        results: dict[str, Any] = {}
        try:
            results = dict(zip((t.future.key for t in finished),
                               client.gather([t.future for t in finished])))
        except Exception:
            # One of them was lost between the look and the fetch: fetch them one by one.
            for t in finished:
                with contextlib.suppress(Exception):
                    results[t.future.key] = client.gather(t.future)
        outcomes = []
        for t in tasks:
            r = results.get(t.future.key)
            if r is None:
                outcomes.extend(self._lost(t))
            elif r.get("refused"):
                outcomes.extend(self._crashed(t, "KilledWorker",
                                              "the cluster started its task again after losing"
                                              " the worker it was on; not run twice"))
            else:
                ran = r["results"]
                outcomes.extend(self._land(job, fields) for job, fields in zip(t.jobs, ran))
                rest = t.jobs[len(ran):]
                if "error" in r:
                    # The worker failed to run it: set-up, its value store.
                    name, text = r["error"]
                    outcomes.append(Outcome(rest[0].run_id, FAILED, t.submitted, time.time(),
                                            error=f"{name}: {_one_line(text)}",
                                            error_type=name))
                    rest = rest[1:]
                # Not started: their batch's time was up.
                self._pending[:0] = rest
            self._release(t)
        return outcomes

    def _land(self, job: Job, r: dict[str, Any]) -> Outcome:
        """Put what the run stored into the value store here, and make its outcome."""
        stored: dict[str, bytes] = r.pop("stored")
        outcome = Outcome(**r)
        name = (job.module, job.function)
        took = max(0.0, outcome.ended - outcome.started)
        usual = self._seconds.get(name)
        self._seconds[name] = took if usual is None else 0.8 * usual + 0.2 * took
        for digest, data in stored.items():
            if self._values.check(digest, None) is None:
                self._values.put_bytes(data, self._scratch)
            st = stamp_of(os.stat(self._values.path(digest)))
            plain = (st.size, st.mtime_ns, st.ctime_ns, st.inode, st.device)
            if digest == outcome.value_hash:
                outcome.value_stamp = plain
            outcome.files = tuple((h, plain if h == digest else s) for h, s in outcome.files)
        return outcome

    def _crashed(self, t: _Task, error_type: str, why: str) -> list[Outcome]:
        """The runs of a task that ended with its worker: crashed, every one, since
        which of them ended it (or how many had ended before) is not known here. The
        assets involved run alone from now on, so that a crash takes no other run along."""
        now = time.time()
        if len(t.jobs) > 1:
            why += f"; it was in a batch of {len(t.jobs)} runs, any of which may have ended it"
        for job in t.jobs:
            self._seconds[(job.module, job.function)] = float("inf")
        return [Outcome(job.run_id, CRASHED, t.submitted, now, error=why, error_type=error_type)
                for job in t.jobs]

    def _lost(self, t: _Task) -> list[Outcome]:
        """The outcomes of a task that did not come back with a result."""
        future = t.future
        if future.status == "error":
            exc = future.exception()
            name = type(exc).__name__
            if name == "KilledWorker":
                return self._crashed(t, name, "the Dask worker running it died")
            # The task itself catches everything the run raises, so this is set-up on the
            # worker: unpickling the task, importing tevra there.
            now = time.time()
            return [Outcome(job.run_id, FAILED, t.submitted, now,
                            error=f"{name}: {_one_line(exc)}", error_type=name)
                    for job in t.jobs]
        if future.status == "lost":
            return self._crashed(t, "KilledWorker",
                                 "the Dask worker holding its result died before it came back")
        return self._crashed(t, "CancelledError",
                             f"the Dask scheduler dropped the run ({future.status})")

    def _expire(self) -> list[Outcome]:
        """Give up on runs past their timeout; their workers are restarted to stop them."""
        now = time.time()
        late = [k for k, t in list(self._tasks.items())
                if (d := self._deadline(t)) is not None and d <= now]
        if not late:
            return []
        client = self._client
        assert client is not None
        processing = client.processing()
        holders = {w for w, keys in processing.items() if any(k in keys for k in late)}
        tasks = [self._tasks.pop(k) for k in late]
        client.cancel([t.future for t in tasks], force=True)
        if holders:
            # A thread cannot be stopped from outside; its process can. The nanny brings
            # the worker back, and a task queued behind it there is rescheduled by Dask.
            try:
                client.restart_workers(sorted(holders), raise_for_error=False)
            except Exception:
                pass  # no nanny to restart it: the run goes on there, its result unused
        outcomes = []
        for t in tasks:
            [job] = t.jobs
            assert job.timeout is not None
            outcomes.append(Outcome(
                job.run_id, TIMED_OUT, t.started or t.submitted, now,
                error=timeout_text(job.timeout), error_type="TimeoutError",
            ))
            self._release(t)
        return outcomes


def _size(inputs: dict[str, bytes | dict[str, bytes]]) -> int:
    total = 0
    for v in inputs.values():
        total += len(v) if isinstance(v, bytes) else sum(len(b) for b in v.values())
    return total


def _one_line(exc: BaseException | str) -> str:
    return " ".join(str(exc).split())
