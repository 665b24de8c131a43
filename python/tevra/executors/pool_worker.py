"""A pool worker: ``python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD [PARENT_PID]``.

Reads job after job from JOB_FD, runs each in this interpreter and writes its outcome
to OUTCOME_FD; ends when JOB_FD reaches its end, and dies with PARENT_PID, the pool's
process (see ``tevra.lifeline``). Each run's output goes to its log (``tevra.runlog``),
and descriptors 0-2 and the standard streams are put back after every run. Both carry frames of a four-byte
little-endian length and a ``marshal`` payload: a job is the tuple of ``Job``'s fields
in order, an outcome the tuple of ``Outcome``'s; an empty frame first says the worker
is ready. A job names its values' files; the values themselves are read here, never
sent.
"""

from __future__ import annotations

import marshal
import os
import sys

from tevra import lifeline, runlog
from tevra.jobs import Job, Outcome

OUTCOME_FIELDS = Outcome.__slots__
# An empty frame: the worker has imported what it needs and waits for jobs.
READY = bytes(4)


def encode_job(job: Job) -> bytes:
    payload = marshal.dumps((job.run_id, job.module, job.function, job.output_dir,
                             job.partition, job.inputs, job.timeout))
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


def serve(job_fd: int, outcome_fd: int, parent: int | None = None) -> None:
    if parent is not None:
        lifeline.die_with_parent(parent)
    # Processes the asset code starts must not hold the pool's pipes open.
    os.set_inheritable(job_fd, False)
    os.set_inheritable(outcome_fd, False)
    from tevra._cli import project_importable
    from tevra.execute import run_in_process

    project_importable()
    capture = runlog.Capture()
    jobs = os.fdopen(job_fd, "rb", buffering=1 << 16)
    _write_all(outcome_fd, READY)
    while True:
        header = jobs.read(4)
        if len(header) < 4:
            return
        fields = marshal.loads(jobs.read(int.from_bytes(header, "little")))
        if parent is not None:
            lifeline.stop_if_orphaned(parent)
        job = Job(*fields)
        logged = False
        try:
            logged = _start_log(capture, job.output_dir)
            outcome = run_in_process(job)
        finally:
            # Whatever the run did to descriptors 0-2 and the streams ends with it.
            if logged:
                capture.stop()
            else:
                capture.restore()
        _write_all(outcome_fd, encode_outcome(outcome))


def _start_log(capture: runlog.Capture, output_dir: str) -> bool:
    """Send the run's output to its log; False when its directory cannot be made
    (the engine then reports why, as the run's failure)."""
    try:
        os.makedirs(output_dir, exist_ok=True)
    except OSError:
        return False
    return capture.start(runlog.log_path(output_dir))


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print("usage: python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD [PARENT_PID]",
              file=sys.stderr)
        return 2
    try:
        serve(int(argv[0]), int(argv[1]), int(argv[2]) if len(argv) == 3 else None)
    except BrokenPipeError:
        pass  # the pool went away; nobody is left to tell
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
