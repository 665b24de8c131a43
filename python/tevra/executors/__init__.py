"""Executors: where runs happen.

Every executor takes jobs and reports outcomes; the graph, the plan and the store never
see how. The default is a pool of long-lived local worker processes; ``--isolate`` gives
every run a fresh interpreter; the Dask executor runs jobs on a cluster.
"""

from __future__ import annotations

from typing import Protocol

from tevra.jobs import Job, Outcome


class Executor(Protocol):
    """Runs jobs and reports their outcomes, in any order."""

    def capacity(self) -> int:
        """How many jobs it runs at once; the orchestrator keeps at most this many in flight."""
        ...

    def holds(self) -> int:
        """How many jobs beyond ``capacity`` it can take to begin the moment a worker is
        free (while runs are short, waiting for the orchestrator between them would
        cost as much as the runs)."""
        ...

    def submit(self, job: Job) -> None:
        """Start a job; its output directory does not exist yet."""
        ...

    def wait(self, timeout: float | None) -> list[Outcome]:
        """Outcomes of jobs finished since the last call, waiting up to ``timeout`` seconds
        for at least one when none is ready (``None``: until one is)."""
        ...

    def forget_files(self, digests: list[str]) -> None:
        """Stored data files no job it holds names and none to come will read: where it
        copied them away from the value store, it may let those copies go."""
        ...

    def cancel(self) -> list[Outcome]:
        """Stop every job in flight; the outcomes of those that began are returned
        (as interrupted, or as they ended), those never begun are not, and no worker
        is left behind."""
        ...

    def close(self) -> None:
        """Shut down after the last outcome; idempotent."""
        ...
