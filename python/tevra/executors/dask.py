"""The Dask executor: runs jobs on a Dask distributed cluster.

Each job travels as the raw bytes of its upstream values to the task of
``dask_worker``, which runs it on a worker and sends back the outcome with the bytes of
what the run stored; this side puts them into the state directory's value store. The
stored data files a job's inputs name (tables and other serialized values) go to the
workers by hash: each is scattered once, straight to a worker, and Dask hands it to any
other worker that needs it at most once. The workers and the machine running
``tevra run`` therefore share no filesystem, and the graph stays with the orchestrator:
a job is submitted only once its inputs exist, so Dask never sees a dependency between
two runs.

``distributed`` is an optional extra: only this module imports it, and only when an
executor is made.
"""

from __future__ import annotations

import contextlib
import json
import os
import platform
import queue
import tempfile
import time
import uuid
import warnings
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from tevra.errors import ExecutorError
from tevra.install import extra_hint
from tevra.executors.dask_worker import (
    STARTED_TOPIC,
    forget_project_modules,
    run_on_worker,
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
class _InFlight:
    job: Job
    future: Future
    submitted: float
    started: float | None  # when the worker began it, once it says so (runs with a timeout)
    scattered: Future | None


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
        # Stored data files sent to the cluster, by hash: each is scattered once.
        self._files: dict[str, Future] = {}
        self._project_dir = os.path.abspath(project_dir or os.getcwd())
        self._cluster: LocalCluster | None = None
        self._client: Client | None = None
        self._done: queue.SimpleQueue[str] = queue.SimpleQueue()
        self._flight: dict[str, _InFlight] = {}
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
            # One run per worker at a time: a worker holds no second run that its death
            # would count against. The runs queued behind wait at the scheduler.
            saturation = {"distributed.scheduler.worker-saturation": 1.0}
            with _interrupts_ignored(), warnings.catch_warnings(), dask_config.set(saturation):
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
        # Twice the threads: the scheduler hands a worker its next run the moment one
        # ends, instead of after the round trip through this process.
        self._capacity = 2 * max(1, sum(threads.values()))
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

    def submit(self, job: Job) -> None:
        from tevra.jobs import read_inputs

        client = self._client
        assert client is not None and not self._closed
        inputs: Any = read_inputs(job.inputs)
        scattered = None
        if _size(inputs) > _SCATTER_BYTES:
            # In a list, so that the inputs go as one piece rather than one per key.
            [scattered] = client.scatter([inputs], hash=False, direct=True)
            inputs = scattered
        # A key of its own per run, so that a retried or resubmitted run never merges
        # with another one on a cluster shared between invocations.
        key = f"tevra-{job.asset[-40:] or job.function}-{job.run_id}-{uuid.uuid4().hex[:12]}"
        # The inputs go beside the job's other fields: as bytes, scattered apart when large.
        fields = tuple(getattr(job, name) if name != "inputs" else None for name in Job.__slots__)
        future = client.submit(
            run_on_worker,
            fields,
            inputs,
            {digest: self._file(digest) for digest in job.files},
            self._project_dir,
            key if job.timeout is not None else None,
            key=key,
            pure=False,
            retries=0,
        )
        self._flight[key] = _InFlight(job, future, time.time(), None, scattered)
        future.add_done_callback(lambda f: self._done.put(f.key))

    def wait(self, timeout: float | None) -> list[Outcome]:
        if not self._flight:
            return []
        end = None if timeout is None else time.monotonic() + timeout
        keys: list[str] = []
        while True:
            expired = self._expire()
            if expired:
                return expired + self._collect(self._drain())
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
            if outcomes:
                return outcomes
            keys = []

    def cancel(self) -> list[Outcome]:
        now = time.time()
        outcomes = [
            Outcome(f.job.run_id, INTERRUPTED, f.submitted, now, error="interrupted")
            for f in self._flight.values()
        ]
        if self._client is not None and self._flight:
            futures = [f.future for f in self._flight.values()]
            try:
                self._client.cancel(futures, force=True)
            except Exception:
                pass  # the cluster goes down next anyway
        self._flight.clear()
        self.close()
        return outcomes

    def _file(self, digest: str) -> Future:
        """A stored data file on the cluster: scattered straight to a worker the first
        time a job needs it, and kept there for the executor's life."""
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
        flight = self._flight.get(event[1])
        if flight is not None:
            flight.started = time.time()
            self._done.put("")

    @staticmethod
    def _deadline(f: _InFlight) -> float | None:
        if f.job.timeout is None or f.started is None:
            return None
        return f.started + f.job.timeout

    def _next_deadline(self) -> float | None:
        deadlines = [d for f in list(self._flight.values()) if (d := self._deadline(f)) is not None]
        return min(deadlines) if deadlines else None

    def _collect(self, keys: list[str]) -> list[Outcome]:
        # A key may come back for a run already given up (timed out): ignore it.
        flights = [self._flight.pop(k) for k in dict.fromkeys(keys) if k in self._flight]
        if not flights:
            return []
        client = self._client
        assert client is not None
        finished = [f for f in flights if f.future.status == "finished"]
        results = client.gather([f.future for f in finished]) if finished else []
        by_key = dict(zip((f.future.key for f in finished), results))
        outcomes = []
        for f in flights:
            if f.future.key in by_key:
                outcomes.append(self._land(f.job, by_key[f.future.key]))
            else:
                outcomes.append(self._lost(f))
            f.future.release()
            if f.scattered is not None:
                f.scattered.release()
        return outcomes

    def _land(self, job: Job, r: dict[str, Any]) -> Outcome:
        """Put what the run stored into the value store here, and make its outcome."""
        stored: dict[str, bytes] = r.pop("stored")
        outcome = Outcome(**r)
        for digest, data in stored.items():
            if self._values.check(digest, None) is None:
                self._values.put_bytes(data, self._scratch)
            st = stamp_of(os.stat(self._values.path(digest)))
            plain = (st.size, st.mtime_ns, st.ctime_ns, st.inode, st.device)
            if digest == outcome.value_hash:
                outcome.value_stamp = plain
            outcome.files = tuple((h, plain if h == digest else s) for h, s in outcome.files)
        return outcome

    def _lost(self, f: _InFlight) -> Outcome:
        """The outcome of a run whose task did not come back with a result."""
        now = time.time()
        future = f.future
        if future.status == "error":
            exc = future.exception()
            name = type(exc).__name__
            if name == "KilledWorker":
                return Outcome(
                    f.job.run_id, CRASHED, f.submitted, now,
                    error=f"the Dask worker running it died ({_one_line(exc)})",
                    error_type=name,
                )
            # The task itself catches everything the run raises, so this is set-up on the
            # worker: unpickling the task, importing tevra there.
            return Outcome(f.job.run_id, FAILED, f.submitted, now,
                           error=f"{name}: {_one_line(exc)}", error_type=name)
        return Outcome(f.job.run_id, CRASHED, f.submitted, now,
                       error=f"the Dask scheduler dropped the run ({future.status})",
                       error_type="CancelledError")

    def _expire(self) -> list[Outcome]:
        """Give up on runs past their timeout; their workers are restarted to stop them."""
        now = time.time()
        late = [k for k, f in list(self._flight.items())
                if (d := self._deadline(f)) is not None and d <= now]
        if not late:
            return []
        client = self._client
        assert client is not None
        processing = client.processing()
        holders = {w for w, keys in processing.items() if any(k in keys for k in late)}
        flights = [self._flight.pop(k) for k in late]
        client.cancel([f.future for f in flights], force=True)
        if holders:
            # A thread cannot be stopped from outside; its process can. The nanny brings
            # the worker back, and a run queued behind it there is rescheduled by Dask.
            try:
                client.restart_workers(sorted(holders), raise_for_error=False)
            except Exception:
                pass  # no nanny to restart it: the run goes on there, its result unused
        outcomes = []
        for f in flights:
            assert f.job.timeout is not None
            outcomes.append(Outcome(
                f.job.run_id, TIMED_OUT, f.started or f.submitted, now,
                error=timeout_text(f.job.timeout), error_type="TimeoutError",
            ))
            if f.scattered is not None:
                f.scattered.release()
        return outcomes


def _size(inputs: dict[str, bytes | dict[str, bytes]]) -> int:
    total = 0
    for v in inputs.values():
        total += len(v) if isinstance(v, bytes) else sum(len(b) for b in v.values())
    return total


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split())
