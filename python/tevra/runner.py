"""The run loop: settle the plan's nodes upstreams first, run the stale ones on an
executor, and record every outcome in the store as it arrives."""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field

from tevra import jobs
from tevra.executors import Executor
from tevra.plan import Node, Plan
from tevra.store import COMMIT_INTERVAL, Store


class Reporter:
    """What the terminal display is told; the default tells nothing."""

    def planned(self, plan: Plan) -> None: ...
    def started(self, node: Node) -> None: ...
    def finished(self, node: Node, outcome: jobs.Outcome | None) -> None: ...
    def done(self, summary: Summary) -> None: ...


@dataclass(slots=True)
class AssetTally:
    run: int = 0
    cached: int = 0
    failed: int = 0
    seconds: float = 0.0


@dataclass(slots=True)
class Summary:
    counts: dict[str, int] = field(default_factory=dict)
    per_asset: dict[str, AssetTally] = field(default_factory=dict)
    elapsed: float = 0.0
    interrupted: bool = False  # stopped before the plan was done
    cancelled: bool = False  # by Ctrl-C

    @property
    def failed(self) -> int:
        return sum(n for status, n in self.counts.items() if status not in jobs.USABLE)


class Runner:
    def __init__(self, plan: Plan, store: Store, executor: Callable[[], Executor],
                 reporter: Reporter, *, timeout: float | None = None,
                 fail_fast: bool = False) -> None:
        self.plan = plan
        self.store = store
        # Started at the first run: a re-run with nothing stale starts no worker.
        self._make_executor = executor
        self._executor: Executor | None = None
        self.reporter = reporter
        self.timeout = timeout
        self.fail_fast = fail_fast
        self.summary = Summary()
        # Nodes to run that became ready through a finished run: they go before the
        # plan's next, so that what they read is forgotten early.
        self._ready: deque[Node] = deque()
        self._in_flight: dict[int, Node] = {}
        self._skipped: list[tuple[str, str, str, str | None]] = []

    def run(self) -> Summary:
        started = time.monotonic()
        self.reporter.planned(self.plan)
        try:
            self._loop()
        except KeyboardInterrupt:
            self.summary.interrupted = self.summary.cancelled = True
            if self._executor is not None:
                for outcome in self._executor.cancel():
                    self._finish(outcome)
        finally:
            self._flush_skipped()
            self.store.summarise(self.summary.counts)
            self.store.commit()
            if self._executor is not None:
                self._executor.close()
        self.summary.elapsed = time.monotonic() - started
        self.reporter.done(self.summary)
        return self.summary

    def _loop(self) -> None:
        upcoming = self.plan.initial()
        exhausted = False
        while True:
            executor = self._executor
            room = executor.capacity() - len(self._in_flight) if executor is not None else 1
            while room > 0 and (self._ready or not exhausted):
                if self._ready:
                    node = self._ready.popleft()
                else:
                    found = next(upcoming, None)
                    if found is None:
                        exhausted = True
                        break
                    if not found.runs:
                        self._settled(found)
                        continue
                    node = found
                if executor is None:
                    executor = self._executor = self._make_executor()
                    room = executor.capacity() - len(self._in_flight)
                self._submit(executor, node)
                room -= 1
            if self._skipped:
                self._flush_skipped()
            if not self._in_flight:
                return
            assert executor is not None
            # Runs just started reach the history within a commit interval even while
            # none finishes, so that a reader sees them running.
            for outcome in executor.wait(COMMIT_INTERVAL):
                self._finish(outcome)
            self.store.maybe_commit()
            if self.fail_fast and self.summary.failed:
                self.summary.interrupted = True
                self._ready.clear()
                for outcome in executor.cancel():
                    self._finish(outcome)
                return

    def _settled(self, node: Node) -> None:
        """A node decided without a run: fresh, or refused because of its upstreams."""
        state = node.state
        if state != jobs.CACHED:
            self._skipped.append((node.asset.key, node.key, state, node.reason or None))
        self._count(node, state, 0.0)
        self.reporter.finished(node, None)

    def _submit(self, executor: Executor, node: Node) -> None:
        run_id = self.store.new_run_id()
        out = self.store.run_dir(run_id)
        asset = node.asset
        self.store.started(run_id, asset.key, node.key, node.reason,
                           self.plan.code_versions[asset.key], node.input_versions, out)
        job = jobs.Job(
            run_id=run_id,
            module=asset.module,
            function=asset.function,
            output_dir=out,
            partition=asset.dims.partition(node.combo),
            inputs=self.plan.input_files(node),
            timeout=self.timeout,
        )
        self.plan.consumed(node)
        self._in_flight[run_id] = node
        executor.submit(job)
        self.reporter.started(node)

    def _finish(self, outcome: jobs.Outcome) -> None:
        node = self._in_flight.pop(outcome.run_id)
        self.store.finished(node.asset.key, node.key, outcome, node.input_versions)
        decided = self.plan.finished(node, outcome)
        self._count(node, outcome.status, outcome.ended - outcome.started)
        self.reporter.finished(node, outcome)
        for down in decided:
            if down.runs:
                self._ready.append(down)
            else:
                self._settled(down)

    def _count(self, node: Node, status: str, seconds: float) -> None:
        counts = self.summary.counts
        counts[status] = counts.get(status, 0) + 1
        tally = self.summary.per_asset.get(node.asset.label)
        if tally is None:
            tally = self.summary.per_asset[node.asset.label] = AssetTally()
        if status == jobs.CACHED:
            tally.cached += 1
        elif status == jobs.SUCCEEDED:
            tally.run += 1
        else:
            tally.failed += 1
        tally.seconds += seconds

    def _flush_skipped(self) -> None:
        if self._skipped:
            self.store.skipped(self._skipped)
            self._skipped = []

