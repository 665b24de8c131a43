"""The Dask worker's side of the Dask executor: the task that runs a batch of jobs there.

The task gets each job's upstream values as bytes, and the stored data files their
manifests name as bytes by hash, which it keeps in a value store of the worker's own;
it runs the asset through ``tevra.execute`` in a scratch directory of the worker
thread's own, its output going to its log (``tevra.runlog``), and returns the outcome's
fields with the bytes of every file the run stored (its value when large, its data
files, its log), by hash; the client side puts them into the state directory's value
store. Also what every worker runs when the client connects: its versions, and
forgetting the user modules of an earlier invocation.
"""

from __future__ import annotations

import os
import platform
import sys
import tempfile
import time
from typing import TYPE_CHECKING, Any

from tevra import runlog
from tevra.jobs import Job, Outcome

if TYPE_CHECKING:
    from tevra.execute import Place

# Workers announce on it the start of a run that has a timeout.
STARTED_TOPIC = "tevra-run-started"

# A batch starts no further run once its runs have stored this many bytes: they travel
# back in one piece.
BATCH_BYTES = 32 << 20


def tevra_version() -> str:
    """The installed tevra's version, or the path of the package run from a source tree."""
    from importlib import metadata

    try:
        return metadata.version("tevra")
    except metadata.PackageNotFoundError:
        # Not installed: a source tree on sys.path; any copy of it counts as the same.
        return "source tree"


def worker_versions() -> tuple[str, str]:
    """Runs on every worker at connect: its Python and tevra versions."""
    import _tevra  # noqa: F401  (the engine must load there, not just the package)

    return platform.python_version(), tevra_version()


# One run directory per worker thread, made once: runs of a thread come one after the
# other, and each leaves the directory empty (making and removing directories per run
# costs more than the trivial run itself).
_scratch: dict[int, str] = {}


def _worker_scratch() -> str:
    """A directory local to this worker thread for run files; Dask removes it with the
    worker's own directory."""
    import threading

    ident = threading.get_ident()
    path = _scratch.get(ident)
    if path is None or not os.path.isdir(path):
        try:
            from distributed import get_worker

            base = get_worker().local_directory
        except Exception:
            base = tempfile.gettempdir()
        path = _scratch[ident] = tempfile.mkdtemp(prefix="tevra-run-", dir=base)
    return path


def run_batch(
    members: list[tuple[tuple[Any, ...], dict[str, bytes | dict[str, bytes]]]],
    files: dict[str, bytes],
    project_dir: str | None,
    claim: list[str] | None,
    budget: float,
    announce: str | None = None,
) -> dict[str, Any]:
    """The task a Dask worker runs for a batch of jobs, one after the other: each job's
    fields in order (the inputs apart, as bytes), and the stored data files they name,
    by hash.

    Returns under "results" the outcomes' fields of the jobs it ran, in order, each with
    under "stored" the bytes of the files the run put into the worker's value store, by
    hash. It starts no further job once ``budget`` seconds have passed or its runs
    stored ``BATCH_BYTES``: the jobs after the last result were not run, and the client
    sends them again. A failure of the worker itself (not of the run: the run's own
    errors are its outcome) ends the batch, under "error" as (type, text), and is the
    next job's. With ``claim`` (a
    path in the scheduler's metadata unique to this task), it first makes sure this task
    never ran before: a cluster that lost the task's worker may start it again
    elsewhere, and then it runs nothing and says "refused". With ``announce`` (the
    task's key), says when it starts, which is what a run's timeout counts from.
    """
    from tevra.execute import Place, run_in_process
    from tevra.values import ValueStore

    if claim is not None and not _claim(claim):
        return {"results": [], "refused": True}
    if announce is not None:
        from distributed import get_worker

        get_worker().log_event(STARTED_TOPIC, announce)

    # The project directory, where it exists here too (the same machine, a shared
    # filesystem), is on the path for this batch only: a long-lived worker serves other
    # projects as well.
    extra = project_dir if project_dir is not None and project_dir not in sys.path \
        and os.path.isdir(project_dir) else None
    if extra is not None:
        sys.path.insert(0, extra)
    known = len(sys.modules)
    results: list[dict[str, Any]] = []
    try:
        scratch = _worker_scratch()
        values = ValueStore(os.path.join(os.path.dirname(scratch), "tevra-values"))
        for digest, data in files.items():
            if not values.exists(digest):
                values.put_bytes(data, scratch)
        place = Place(scratch, values)
        start = time.monotonic()
        stored = 0
        for job, inputs in members:
            if results and (time.monotonic() - start >= budget or stored >= BATCH_BYTES):
                break
            fields = dict(zip(Job.__slots__, job))
            fields["inputs"] = inputs
            try:
                result = _run_here(run_in_process, Job(**fields), place, files)
            except Exception as e:
                return {"results": results, "error": (type(e).__name__, str(e))}
            results.append(result)
            stored += sum(len(data) for data in result["stored"].values())
        return {"results": results}
    finally:
        if len(sys.modules) > known:
            _imported_by_runs.update(list(sys.modules)[known:])
        if extra is not None:
            try:
                sys.path.remove(extra)
            except ValueError:
                pass


def _claim(path: list[str]) -> bool:
    """Mark this task as run in the scheduler's metadata; False if it was already.

    Two executions of one task never overlap (the scheduler starts it again only after
    giving up on the worker that had it), so a read and then a write suffice.
    """
    from distributed import get_worker
    from distributed.utils import sync

    worker = get_worker()
    scheduler: Any = worker.scheduler
    if sync(worker.loop, scheduler.get_metadata, keys=path, default=None) is not None:
        return False
    sync(worker.loop, scheduler.set_metadata, keys=path, value=True)
    return True


def _run_here(run_in_process: Any, job: Job, place: Place, files: dict[str, bytes]
              ) -> dict[str, Any]:
    from tevra.execute import settle

    log = runlog.log_path(place.scratch, job.run_id)
    capture = _capture()
    logged = capture.start(log) if capture is not None else False
    try:
        outcome: Outcome = run_in_process(job, place)
    finally:
        # Whatever the run did to descriptors 0-2 and the streams ends with it.
        if logged:
            assert capture is not None
            capture.stop()
        elif capture is not None:
            capture.restore()
    settle(outcome, place, log if logged else None)
    fields = {name: getattr(outcome, name) for name in Outcome.__slots__}
    made = [h for h, _ in outcome.files]
    made += [h for h in (outcome.value_hash, outcome.log_hash) if h is not None]
    # What the run stored goes back to the client; the worker keeps only what it was sent.
    fields["stored"] = {digest: place.values.read(digest) for digest in made}
    for digest in made:
        if digest not in files:
            place.values.remove(digest)
    return fields


_captures: list[runlog.Capture] = []


def _capture() -> runlog.Capture | None:
    """This worker process's ``runlog.Capture``, or None when it runs several tasks at
    once: descriptors are the whole process's, so one run's output could not be told
    from another's (it then goes to the worker's own output, as any task's does)."""
    try:
        from distributed import get_worker

        if get_worker().state.nthreads != 1:
            return None
    except Exception:
        return None
    if not _captures:
        _captures.append(runlog.Capture())
    return _captures[0]


# Modules first imported while a run happened in this worker process.
_imported_by_runs: set[str] = set()


def forget_project_modules() -> int:
    """Runs on every worker at connect: drop the user modules earlier runs imported.

    A worker of a long-lived cluster outlives the invocation that imported a user's
    module; the next invocation may come after an edit, and must run the module as it
    is now, as its code version says. Only pure-Python modules outside the interpreter's
    own trees are dropped: installed packages and extensions cannot be imported twice.
    """
    import importlib

    installed = tuple({os.path.realpath(p) + os.sep for p in
                       (sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix)})
    dropped = 0
    for name in sorted(_imported_by_runs):
        mod = sys.modules.get(name)
        path = getattr(mod, "__file__", None)
        if mod is None or not isinstance(path, str) or not path.endswith(".py"):
            continue
        if os.path.realpath(path).startswith(installed):
            continue
        del sys.modules[name]
        dropped += 1
    _imported_by_runs.clear()
    importlib.invalidate_caches()
    return dropped


