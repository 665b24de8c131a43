"""The Dask worker's side of the Dask executor: the task that runs one job there.

The task writes the job's upstream values (sent as bytes) into a directory of the
worker's own, runs the asset through ``tevra.execute`` and returns the outcome's fields
with the bytes of ``value.json``, ``result.json`` and its log (``tevra.runlog``); the client side writes them into
the job's output directory. Also what every worker runs when the client connects: its
versions, and forgetting the user modules of an earlier invocation.
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
    run_id: int,
    module: str,
    function: str,
    partition: dict[str, str],
    inputs: dict[str, bytes | dict[str, bytes]],
    project_dir: str | None,
    announce: str | None = None,
) -> dict[str, Any]:
    """The task a Dask worker runs for one job.

    Returns the outcome's fields and the bytes of the run's two files, read before the
    run's directory is emptied. With ``announce`` (the run's key), says when it starts,
    which is what the run's timeout counts from.
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
        return _run_here(run_in_process, run_id, module, function, partition, inputs)
    finally:
        if len(sys.modules) > known:
            _imported_by_runs.update(list(sys.modules)[known:])
        if extra is not None:
            try:
                sys.path.remove(extra)
            except ValueError:
                pass


def _run_here(
    run_in_process: Any,
    run_id: int,
    module: str,
    function: str,
    partition: dict[str, str],
    inputs: dict[str, bytes | dict[str, bytes]],
) -> dict[str, Any]:
    scratch = _worker_scratch()
    out_dir = os.path.join(scratch, "out")
    log = runlog.log_path(out_dir)
    written: list[str] = [os.path.join(out_dir, "result.json"), os.path.join(out_dir, "value.json"),
                          log]
    capture = _capture()
    logged = False
    try:
        local_inputs: dict[str, str | dict[str, str]] = {}
        for i, (name, value) in enumerate(inputs.items()):
            if isinstance(value, bytes):
                local_inputs[name] = _write(os.path.join(scratch, f"in-{i}.json"), value)
                written.append(local_inputs[name])  # type: ignore[arg-type]
            else:
                local_inputs[name] = {
                    key: _write(os.path.join(scratch, f"in-{i}-{j}.json"), data)
                    for j, (key, data) in enumerate(value.items())
                }
                written.extend(local_inputs[name].values())  # type: ignore[union-attr]
        job = Job(run_id, module, function, out_dir, dict(partition), local_inputs, None)
        if capture is not None:
            os.makedirs(out_dir, exist_ok=True)
            logged = capture.start(log)
        try:
            outcome: Outcome = run_in_process(job)
        finally:
            # Whatever the run did to descriptors 0-2 and the streams ends with it.
            if logged:
                assert capture is not None
                capture.stop()
            elif capture is not None:
                capture.restore()
        return {
            "status": outcome.status,
            "started": outcome.started,
            "ended": outcome.ended,
            "error": outcome.error,
            "error_type": outcome.error_type,
            "traceback": outcome.traceback,
            "out_dir": out_dir,
            "result_json": _read_if_there(written[0]),
            "value_json": _read_if_there(written[1]),
            "log": _read_if_there(log),
        }
    finally:
        # Leave the directory empty for the thread's next run: no file of this run may
        # pass for one of the next.
        for path in written:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass


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


def _write(path: str, data: bytes) -> str:
    with open(path, "wb") as f:
        f.write(data)
    return path


def _read_if_there(path: str) -> bytes | None:
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None
