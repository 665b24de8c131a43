"""A pool worker: ``python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD PARENT_PID [--exclude GLOB]... [MODULE]...``.

Imports the MODULEs first, when given (a package with its submodules, leaving out those
matching an exclude GLOB, as discovery does), so that a worker started while the command
discovers and plans has them ready; what they print meanwhile is kept for the first
run's log, which is where a module's import output lands when a run imports it. A
module that fails to import here is left for the run to import again. Until the first
frame names its place, the worker touches no state directory: the command that started
it may not hold the state directory's lock yet.

Then it reads frames from JOB_FD: first its place, ``(STATE_DIR, NAME)``; it makes its
own scratch directory, ``STATE_DIR/scratch/NAME``, exclusively, and writes an empty frame
to OUTCOME_FD, saying it is ready. Then job after job: it runs each in this interpreter,
in that directory, and writes its outcome to OUTCOME_FD. It ends when JOB_FD reaches its
end (removing its directory, if it made one), and dies with PARENT_PID, the pool's
process (see ``tevra.lifeline``). Each run's output goes to its log (``tevra.runlog``),
and descriptors 0-2 and the standard streams are put back after every run; the run's
value and log go into STATE_DIR's value store.

Both pipes carry frames of a four-byte little-endian length and a ``marshal`` payload:
the place is a tuple of two texts, a job the tuple of ``Job``'s fields in order, an
outcome the tuple of ``Outcome``'s. A job names its larger values' files; those are read
here, never sent.
"""

from __future__ import annotations

import gc
import importlib
import marshal
import os
import sys
from types import ModuleType
from typing import IO, Any

from tevra import lifeline, runlog
from tevra._cli import expand, project_importable
from tevra.jobs import Job, Outcome

JOB_FIELDS = Job.__slots__
OUTCOME_FIELDS = Outcome.__slots__
# An empty frame: the worker has its scratch directory and waits for jobs.
READY = bytes(4)
_MODULES: list[object] = []


def _frame(payload: tuple[Any, ...]) -> bytes:
    data = marshal.dumps(payload)
    return len(data).to_bytes(4, "little") + data


def encode_place(state_dir: str, name: str) -> bytes:
    return _frame((state_dir, name))


def encode_job(job: Job) -> bytes:
    return _frame(tuple(getattr(job, name) for name in JOB_FIELDS))


def encode_outcome(outcome: Outcome) -> bytes:
    return _frame(tuple(getattr(outcome, name) for name in OUTCOME_FIELDS))


def decode_outcome(payload: bytes) -> Outcome:
    return Outcome(*marshal.loads(payload))


def _read_frame(pipe: IO[bytes]) -> Any:
    """The next frame's payload; None at the pipe's end."""
    header = pipe.read(4)
    if len(header) < 4:
        return None
    return marshal.loads(pipe.read(int.from_bytes(header, "little")))


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def import_ahead(modules: list[str], exclude: list[str], capture: runlog.Capture) -> int:
    """Import ``modules`` (packages with their submodules) with descriptors 1 and 2 on
    an anonymous file, which is returned, holding what they printed."""
    if hasattr(os, "memfd_create"):
        out = os.memfd_create("tevra-imports", os.MFD_CLOEXEC)
    else:
        import tempfile

        with tempfile.TemporaryFile() as f:
            out = os.dup(f.fileno())
    capture.start_fd(out)
    try:
        expand(modules, exclude, _load)
    finally:
        capture.stop()
    return out


def _load(name: str, named: bool) -> ModuleType | None:
    try:
        return importlib.import_module(name)
    except BaseException:  # noqa: BLE001 - discovery reports it; a run imports it again
        return None


def _has_children() -> bool:
    """Whether a process this one started is still there (a run may leave one behind,
    writing to the descriptors it inherited); none is reaped by asking."""
    try:
        os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
    except ChildProcessError:
        return False
    return True


def _copy(source: int, target: int) -> None:
    """What ``source`` holds, from its start, appended to ``target``."""
    offset = 0
    while data := os.pread(source, 1 << 20, offset):
        _write_all(target, data)
        offset += len(data)


def serve(job_fd: int, outcome_fd: int, parent: int | None = None,
          modules: list[str] | None = None, exclude: list[str] | None = None) -> None:
    if parent is not None:
        lifeline.die_with_parent(parent)
    # Processes the asset code starts must not hold the pool's pipes open.
    os.set_inheritable(job_fd, False)
    os.set_inheritable(outcome_fd, False)
    from tevra.execute import Place, run_in_process, settle
    from tevra.values import ValueStore, make_scratch, remove_scratch

    project_importable()
    capture = runlog.Capture()
    imported = import_ahead(modules, exclude or [], capture) if modules else None
    jobs = os.fdopen(job_fd, "rb", buffering=1 << 16)
    place = _read_frame(jobs)
    if place is None:
        return  # stopped before it was given a place: it made nothing
    state_dir, name = place
    scratch = make_scratch(state_dir, name)
    log: runlog.WorkerLog | None = None
    try:
        where = Place(scratch, ValueStore(os.path.join(state_dir, "values")))
        log = runlog.WorkerLog(scratch)
        if imported is not None:
            # The start of the first run's log, as if the run had imported them.
            _copy(imported, log.fd)
            os.close(imported)
        _write_all(outcome_fd, READY)
        while True:
            fields = _read_frame(jobs)
            if fields is None:
                return
            if parent is not None:
                lifeline.stop_if_orphaned(parent)
            job = Job(*fields)
            try:
                capture.start_fd(log.begin(job.run_id))
                outcome = run_in_process(job, where)
            finally:
                # Whatever the run did to descriptors 0-2 and the streams ends with it.
                capture.stop()
            settle(outcome, where, log.end(shared=_has_children()))
            log.renew()
            _write_all(outcome_fd, encode_outcome(outcome))
    finally:
        if log is not None:
            log.close()
        remove_scratch(state_dir, name)


USAGE = ("usage: python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD PARENT_PID "
         "[--exclude GLOB]... [MODULE]...")


def main(argv: list[str]) -> int:
    try:
        job_fd, outcome_fd, parent = (int(arg) for arg in argv[:3])
    except ValueError:
        print(USAGE, file=sys.stderr)
        return 2
    modules: list[str] = []
    exclude: list[str] = []
    rest = iter(argv[3:])
    for arg in rest:
        if arg == "--exclude":
            exclude.append(next(rest, ""))
        else:
            modules.append(arg)
    try:
        serve(job_fd, outcome_fd, parent, modules, exclude)
    except BrokenPipeError:
        pass  # the pool went away; nobody is left to tell
    # The pool waits for this process to end, and the collections the interpreter runs
    # while it shuts down walk every object the asset modules' libraries made (0.1 s
    # and more once pandas is in). Frozen objects are left out of them; what the runs
    # left alive is released as ever, and atexit handlers and threads are still seen to.
    gc.freeze()
    # Every module stays referenced until the interpreter wipes the dictionaries of the
    # modules still alive: a module nothing else holds would go with its dictionary
    # left in a frozen cycle, and the files its code left open unflushed.
    global _MODULES
    _MODULES = list(sys.modules.values())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
