"""The Dask worker's side of the Dask executor: the task that runs one job there.

The task gets the job's upstream values as bytes, and the stored data files their
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
from typing import Any

from tevra import runlog
from tevra.jobs import Job, Outcome

# Workers announce on it the start of a run that has a timeout.
STARTED_TOPIC = "tevra-run-started"


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


def run_on_worker(
    job: tuple[Any, ...],
    inputs: dict[str, bytes | dict[str, bytes]],
    files: dict[str, bytes],
    project_dir: str | None,
    announce: str | None = None,
) -> dict[str, Any]:
    """The task a Dask worker runs for one job: its fields in order (the inputs apart, as
    bytes) and the stored data files they name, by hash.

    Returns the outcome's fields, and under "stored" the bytes of the files the run put
    into the worker's value store, by hash. With ``announce`` (the run's key), says when
    it starts, which is what the run's timeout counts from.
    """
    from tevra.execute import run_in_process

    if announce is not None:
        from distributed import get_worker

        get_worker().log_event(STARTED_TOPIC, announce)

    # The project directory, where it exists here too (the same machine, a shared
    # filesystem), is on the path for this run only: a long-lived worker serves other
    # projects as well.
    extra = project_dir if project_dir is not None and project_dir not in sys.path \
        and os.path.isdir(project_dir) else None
    if extra is not None:
        sys.path.insert(0, extra)
    known = len(sys.modules)
    try:
        fields = dict(zip(Job.__slots__, job))
        fields["inputs"] = inputs
        return _run_here(run_in_process, Job(**fields), files)
    finally:
        if len(sys.modules) > known:
            _imported_by_runs.update(list(sys.modules)[known:])
        if extra is not None:
            try:
                sys.path.remove(extra)
            except ValueError:
                pass


def _run_here(run_in_process: Any, job: Job, files: dict[str, bytes]) -> dict[str, Any]:
    from tevra.execute import Place, settle
    from tevra.values import ValueStore

    scratch = _worker_scratch()
    values = ValueStore(os.path.join(os.path.dirname(scratch), "tevra-values"))
    for digest, data in files.items():
        if not values.exists(digest):
            values.put_bytes(data, scratch)
    place = Place(scratch, values)
    log = runlog.log_path(scratch)
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
    fields["stored"] = {digest: values.read(digest) for digest in made}
    for digest in made:
        if digest not in files:
            values.remove(digest)
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


