"""A pool worker: ``python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD``.

Reads job after job from JOB_FD, runs each in this interpreter and writes its outcome
to OUTCOME_FD; ends when JOB_FD reaches its end. Both carry frames of a four-byte
little-endian length and a ``marshal`` payload: a job is the tuple of ``Job``'s fields
in order, an outcome the tuple of ``Outcome``'s; an empty frame first says the worker
is ready. A job names its values' files; the values themselves are read here, never
sent.
"""

from __future__ import annotations

import marshal
import os
import sys

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


def serve(job_fd: int, outcome_fd: int) -> None:
    # Processes the asset code starts must not hold the pool's pipes open.
    os.set_inheritable(job_fd, False)
    os.set_inheritable(outcome_fd, False)
    from tevra._cli import project_importable
    from tevra.execute import run_in_process

    project_importable()
    jobs = os.fdopen(job_fd, "rb", buffering=1 << 16)
    _write_all(outcome_fd, READY)
    while True:
        header = jobs.read(4)
        if len(header) < 4:
            return
        fields = marshal.loads(jobs.read(int.from_bytes(header, "little")))
        outcome = run_in_process(Job(*fields))
        # What the asset printed belongs to its run, not to some later one.
        for stream in (sys.stdout, sys.stderr):
            try:
                if stream is not None:
                    stream.flush()
            except Exception:
                pass
        _write_all(outcome_fd, encode_outcome(outcome))


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: python -m tevra.executors.pool_worker JOB_FD OUTCOME_FD", file=sys.stderr)
        return 2
    try:
        serve(int(argv[0]), int(argv[1]))
    except BrokenPipeError:
        pass  # the pool went away; nobody is left to tell
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
