"""A pool worker: ``python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD STATE_DIR NAME [PARENT_PID]``.

Makes its own scratch directory, ``STATE_DIR/scratch/NAME``, exclusively; reads job
after job from JOB_FD, runs each in this interpreter, in that directory, and writes its
outcome to OUTCOME_FD; ends when JOB_FD reaches its end (removing its directory), and
dies with PARENT_PID, the pool's process (see ``tevra.lifeline``). Each run's output
goes to its log (``tevra.runlog``), and descriptors 0-2 and the standard streams are
put back after every run; the run's value and log go into STATE_DIR's value store.
Both pipes carry frames of a four-byte little-endian length and a ``marshal`` payload:
a job is the tuple of ``Job``'s fields in order, an outcome the tuple of ``Outcome``'s;
an empty frame first says the worker is ready. A job names its larger values' files;
those are read here, never sent.
"""

from __future__ import annotations

import gc
import marshal
import os
import sys

from tevra import lifeline, runlog
from tevra.jobs import Job, Outcome

JOB_FIELDS = Job.__slots__
OUTCOME_FIELDS = Outcome.__slots__
# An empty frame: the worker has imported what it needs and waits for jobs.
READY = bytes(4)


def encode_job(job: Job) -> bytes:
    payload = marshal.dumps(tuple(getattr(job, name) for name in JOB_FIELDS))
    return len(payload).to_bytes(4, "little") + payload


def encode_outcome(outcome: Outcome) -> bytes:
    payload = marshal.dumps(tuple(getattr(outcome, name) for name in OUTCOME_FIELDS))
    return len(payload).to_bytes(4, "little") + payload


def decode_outcome(payload: bytes) -> Outcome:
    return Outcome(*marshal.loads(payload))


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def serve(job_fd: int, outcome_fd: int, state_dir: str, name: str,
          parent: int | None = None) -> None:
    if parent is not None:
        lifeline.die_with_parent(parent)
    # Processes the asset code starts must not hold the pool's pipes open.
    os.set_inheritable(job_fd, False)
    os.set_inheritable(outcome_fd, False)
    from tevra._cli import project_importable
    from tevra.execute import Place, run_in_process, settle
    from tevra.values import ValueStore, make_scratch, remove_scratch

    project_importable()
    place = Place(make_scratch(state_dir, name), ValueStore(os.path.join(state_dir, "values")))
    capture = runlog.Capture()
    log = runlog.WorkerLog(place.scratch)
    jobs = os.fdopen(job_fd, "rb", buffering=1 << 16)
    try:
        _write_all(outcome_fd, READY)
        while True:
            header = jobs.read(4)
            if len(header) < 4:
                return
            fields = marshal.loads(jobs.read(int.from_bytes(header, "little")))
            if parent is not None:
                lifeline.stop_if_orphaned(parent)
            job = Job(*fields)
            try:
                capture.start_fd(log.begin(job.run_id))
                outcome = run_in_process(job, place)
            finally:
                # Whatever the run did to descriptors 0-2 and the streams ends with it.
                capture.stop()
            settle(outcome, place, log.end())
            log.renew()
            _write_all(outcome_fd, encode_outcome(outcome))
    finally:
        log.close()
        remove_scratch(state_dir, name)


def main(argv: list[str]) -> int:
    if len(argv) not in (4, 5):
        print("usage: python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD STATE_DIR NAME "
              "[PARENT_PID]", file=sys.stderr)
        return 2
    try:
        serve(int(argv[0]), int(argv[1]), argv[2], argv[3],
              int(argv[4]) if len(argv) == 5 else None)
    except BrokenPipeError:
        pass  # the pool went away; nobody is left to tell
    # The pool waits for this process to end, and the collections the interpreter runs
    # while it shuts down walk every object the asset modules' libraries made (0.1 s
    # and more once pandas is in). Frozen objects are left out of them; what the runs
    # left alive is released as ever, and atexit handlers and threads are still seen to.
    gc.freeze()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
