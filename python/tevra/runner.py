"""The run loop: settle the plan's nodes upstreams first, run the stale ones on an
executor, and record every outcome in the store as it arrives.

A run that fails, crashes or times out is tried again while its asset's retries last
(``tevra.project.RunSettings``), after a delay that doubles with each attempt and is
spread by a random factor, so that many runs failing together do not return together.
Every attempt is a run record of its own with its number; the partition settles, and
its dependents are decided, only with the last attempt.

The history is never behind what happened: the records of the runs a turn of the loop
starts are committed before their jobs go to the executor, and the outcomes a turn
receives are committed before the terminal shows them (one transaction for both). So
that no worker waits for that commit, a turn records as many runs ahead as the executor
runs at once: when a run ends, the next job, already recorded, goes out at once, and
the commit happens while it runs. Jobs recorded but never sent are struck out of the
history when the loop stops.

Ctrl-C once stops the runs in flight, records them as interrupted and ends the loop;
a second Ctrl-C (or SIGTERM) stops at once, and whatever this invocation still has
recorded as running is recorded as interrupted on the way out."""

from __future__ import annotations

import dataclasses
import heapq
import os
import random
import signal
import threading
import time
from collections import Counter, deque
from collections.abc import Callable
from dataclasses import dataclass, field

from tevra import jobs
from tevra.errors import OutputClosed
from tevra.executors import Executor
from tevra.graph import Asset
from tevra.logstream import LogStreams
from tevra.nodes import Node
from tevra.plan import Plan
from tevra.project import RunSettings
from tevra.store import COMMIT_INTERVAL, Store

# Statuses that another attempt may change.
RETRIED = frozenset({jobs.FAILED, jobs.CRASHED, jobs.TIMED_OUT})
# The longest wait before a retry, whatever the doubling reaches.
MAX_RETRY_DELAY = 600.0
# The longest a finished run waits to be committed and shown while runs are short; runs
# are recorded ahead (at most this many per run the executor runs at once) so that the
# executor goes on meanwhile.
REPORT_DELAY = 0.02
MAX_AHEAD = 16
# How often the logs of the runs under way are read, when they are shown.
LOG_EVERY = 0.1


def retry_delay(first: float, attempt: int) -> float:
    """Seconds to wait after attempt ``attempt`` failed: ``first`` doubled for each
    attempt before, capped, times a random factor between 0.5 and 1.5."""
    return min(first * 2.0 ** (attempt - 1), MAX_RETRY_DELAY) * random.uniform(0.5, 1.5)


class Reporter:
    """What the terminal display is told; the default tells nothing."""

    def planned(self, plan: Plan) -> None: ...
    def started(self, node: Node) -> None: ...
    def finished(self, node: Node, outcome: jobs.Outcome | None) -> None: ...
    def retrying(self, node: Node, outcome: jobs.Outcome, attempt: int, attempts: int,
                 delay: float) -> None: ...
    def log(self, node: Node, run_id: int, lines: list[str]) -> None: ...
    def done(self, summary: Summary) -> None: ...


@dataclass(slots=True)
class AssetTally:
    run: int = 0
    cached: int = 0
    failed: int = 0
    interrupted: int = 0
    seconds: float = 0.0  # the time its runs took, added up
    # When its first run started and its last one ended (time.time()); None without runs.
    first: float | None = None
    last: float | None = None


@dataclass(slots=True)
class Summary:
    counts: dict[str, int] = field(default_factory=dict)
    per_asset: dict[str, AssetTally] = field(default_factory=dict)
    elapsed: float = 0.0
    retries: int = 0  # attempts that failed and were tried again
    interrupted: bool = False  # stopped before the plan was done
    cancelled: bool = False  # by Ctrl-C
    output_closed: bool = False  # the terminal's output went away (a closed pipe)

    @property
    def failed(self) -> int:
        """Runs that did not succeed, those stopped by an interruption aside."""
        return sum(n for status, n in self.counts.items()
                   if status not in jobs.USABLE and status != jobs.INTERRUPTED)


class Runner:
    def __init__(self, plan: Plan, store: Store, executor: Callable[[], Executor],
                 reporter: Reporter, *, settings: Callable[[Asset], RunSettings] | None = None,
                 fail_fast: bool = False, logs: bool = False) -> None:
        self.plan = plan
        self.store = store
        # With ``logs``, the runs' logs are told to the display as they grow.
        self._logs = LogStreams(store.live_log, store.values.path, self._told_log) \
            if logs else None
        self._running_ids: set[int] = set()
        self._logs_seen = 0.0
        # Started at the first run: a re-run with nothing stale starts no worker.
        self._make_executor = executor
        self._executor: Executor | None = None
        self.reporter = reporter
        self._settings_of = settings or (lambda asset: RunSettings())
        self._settings: dict[str, RunSettings] = {}
        self.fail_fast = fail_fast
        self.summary = Summary()
        # Nodes to run that became ready through a finished run: they go before the
        # plan's next, so that what they read is forgotten early.
        self._ready: deque[Node] = deque()
        # Run id -> the node, its job and its attempt number.
        self._in_flight: dict[int, tuple[Node, jobs.Job, int]] = {}
        # Attempts to make: (when, order, node, the failed attempt's job and number, its
        # outcome), soonest first.
        self._retries: list[tuple[float, int, Node, jobs.Job, int, jobs.Outcome]] = []
        # Stored data files named by jobs not over for good (a retry reads them again);
        # those the plan gives no job any more but a job still names; and those to tell
        # the executor of, which no job names any more either.
        self._file_holders: Counter[str] = Counter()
        self._unread: set[str] = set()
        self._gone: list[str] = []
        self._remembered: set[str] = set()
        self._skipped: list[tuple[str, str, str, str | None]] = []
        # Jobs recorded as started, kept until the record is committed; then jobs
        # recorded for good, sent as soon as the executor has room; what the display is
        # told of finished runs, told once their outcomes are committed.
        self._outbox: list[tuple[Node, jobs.Job]] = []
        self._reserve: deque[tuple[Node, jobs.Job]] = deque()
        self._sent = 0  # jobs with the executor
        # Since when something recorded waits for the next commit; how long runs take.
        self._pending_since: float | None = None
        self._mean_run: float | None = None
        self._reports: list[Callable[[], None]] = []
        self._stop_asked = False  # the first Ctrl-C
        self._presses = 0

    def run(self) -> Summary:
        started = time.monotonic()
        self.reporter.planned(self.plan)
        with self._interrupts():
            try:
                self._loop()
            except KeyboardInterrupt:
                # A second Ctrl-C, or a termination request: stop at once.
                self._ignore_interrupts()
                self.store.patient = False
                self._stop(cancelled=True, quietly=True)
            except BaseException:
                # The store or the output failed, or tevra did: stop the runs, keep
                # what can still be kept, and let the error be told.
                self._ignore_interrupts()
                self.store.patient = False
                self._stop(cancelled=False, quietly=True)
                raise
            finally:
                self._ignore_interrupts()
                self._close()
        self.summary.elapsed = time.monotonic() - started
        self._report(lambda: self.reporter.done(self.summary))
        if self.summary.output_closed:
            raise OutputClosed("the output was closed (broken pipe): the runs in flight were "
                               "stopped and recorded as interrupted")
        return self.summary

    def _stop(self, *, cancelled: bool, quietly: bool = False) -> None:
        """End every run in flight and record it as interrupted; partitions waiting to
        be tried again stand for their last attempt."""
        self.summary.interrupted = True
        self.summary.cancelled = self.summary.cancelled or cancelled
        unsent = self._outbox + list(self._reserve)
        self._outbox.clear()
        self._reserve.clear()
        if self._executor is not None:
            told = True
            try:
                outcomes = self._executor.cancel()
            except Exception:
                if not quietly:
                    raise
                outcomes, told = [], False
            self._sent = 0
            for outcome in outcomes:
                if outcome.run_id in self._in_flight:
                    self._finish(outcome)
            if told:
                # Sent, and never begun: struck out like the runs never sent.
                unsent += [(node, job) for node, job, _ in self._in_flight.values()]
        try:
            self._unsend(unsent)
            # Runs the executor no longer knew of (a stop cut its bookkeeping short).
            now = time.time()
            for run_id in list(self._in_flight):
                self._finish(jobs.Outcome(run_id, jobs.INTERRUPTED, now, now,
                                          error="interrupted"))
            self._give_up_retries()
            self._publish()
        except Exception:
            if not quietly:
                raise

    def _unsend(self, unsent: list[tuple[Node, jobs.Job]]) -> None:
        """Strike out the runs recorded but never sent: they never began."""
        if not unsent:
            return
        now = time.time()
        for node, job in unsent:
            self._in_flight.pop(job.run_id, None)
            for _ in self.plan.finished(node, jobs.Outcome(job.run_id, jobs.INTERRUPTED, now,
                                                           now)):
                pass
        self.store.unstarted([job.run_id for _, job in unsent])

    def _close(self) -> None:
        """Keep the last records, whatever stopped the loop, and let the workers go.

        Last, whatever of this invocation the history still has as running (a stop at
        once can land between a run's end and its record) is recorded as interrupted:
        by then no worker is left to run it."""
        failed = True
        try:
            self._flush_skipped()
            self.store.summarise(self.summary.counts)
            self.store.restamp(self.plan.restamped)
            self.store.keep_file_stamps(self.plan.learnt_file_stamps())
            self.store.commit()
            self._reports.clear()
            failed = False
        finally:
            try:
                if self._logs is not None:
                    self._logs.close()
                if self._executor is not None:
                    self._executor.close()
            finally:
                try:
                    self.store.interrupt_running()
                except Exception:
                    if not failed:
                        raise

    def _interrupts(self) -> _Interrupts:
        return _Interrupts(self)

    def _on_signal(self, signum: int, frame: object) -> None:
        self._presses += 1
        if signum == signal.SIGINT and self._presses == 1:
            self._stop_asked = True  # the loop stops at its next turn
            return
        raise KeyboardInterrupt

    def _ignore_interrupts(self) -> None:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)

    def _publish(self) -> None:
        """Commit what is recorded; then tell the display, and send what the executor
        has room for."""
        self.store.commit()
        self._pending_since = None
        reports, self._reports = self._reports, []
        for report in reports:
            self._report(report)
        self._reserve.extend(self._outbox)
        self._outbox.clear()
        self._send()

    def _send(self) -> None:
        """Jobs whose records are committed, to the executor while it has room."""
        executor = self._executor
        if executor is None:
            return
        room = executor.capacity() - self._sent
        if self._mean_run is not None and self._mean_run < REPORT_DELAY:
            # Short runs: the workers hold their next ones too.
            room += executor.holds()
        while room > 0 and self._reserve:
            node, job = self._reserve.popleft()
            executor.submit(job)
            self._sent += 1
            self._running_ids.add(job.run_id)
            room -= 1
            self._report(self._started_report(node))

    def _started_report(self, node: Node) -> Callable[[], None]:
        return lambda: self.reporter.started(node)

    def _report(self, report: Callable[[], None]) -> None:
        """Tell the display; once the output is closed (a pipe's reader left), stop the
        runs and tell nothing more."""
        if self.summary.output_closed:
            return
        try:
            report()
        except BrokenPipeError:
            self.summary.output_closed = True
            self._stop_asked = True
            self.reporter = Reporter()
            # Nothing more can be shown; the interpreter must not fail writing it either.
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.close(null)

    def _loop(self) -> None:
        upcoming = self.plan.initial()
        exhausted = False
        while True:
            if self._stop_asked:
                self._stop(cancelled=not self.summary.output_closed)
                return
            executor = self._executor
            capacity = executor.capacity() if executor is not None else 1
            ahead = self._ahead(capacity)
            # Runs recorded: those the executor runs, and those ahead of it.
            room = capacity + ahead - len(self._in_flight)
            now = time.monotonic()
            while room > 0 and self._retries and self._retries[0][0] <= now:
                assert executor is not None  # a retry follows a run
                _, _, node, job, attempt, _ = heapq.heappop(self._retries)
                self._submit_attempt(executor, node, job, attempt + 1)
                room -= 1
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
                    capacity = executor.capacity()
                    room = capacity + ahead - len(self._in_flight)
                self._submit(executor, node)
                room -= 1
            if self._skipped:
                self._flush_skipped()
            # Commit when the runs recorded ahead run low, when the display has waited
            # long enough, or when the executor has nothing to do meanwhile.
            now = time.monotonic()
            if self._pending_since is not None and (
                    len(self._reserve) <= ahead // 2 or not self._sent
                    or now - self._pending_since >= REPORT_DELAY):
                self._publish()
            if not self._in_flight and not self._retries:
                return
            # Until something finishes, the next retry is due (and there is room for it),
            # the display is due, or the next look at Ctrl-C.
            wait = COMMIT_INTERVAL
            if self._retries and len(self._in_flight) < capacity + ahead:
                wait = min(wait, max(self._retries[0][0] - time.monotonic(), 0.0))
            if self._pending_since is not None:
                wait = min(wait, max(self._pending_since + REPORT_DELAY - now, 0.0))
            if not self._sent:
                time.sleep(wait)
                continue
            assert executor is not None
            if self._logs is not None:
                wait = min(wait, LOG_EVERY)
            outcomes = executor.wait(wait)
            # Their successors, recorded already, go before anything else is done.
            self._sent -= len(outcomes)
            self._send()
            if self._logs is not None and time.monotonic() - self._logs_seen >= LOG_EVERY:
                self._logs_seen = time.monotonic()
                self._logs.poll(list(self._running_ids))
            for outcome in outcomes:
                self._finish(outcome)
            self._forget_files(executor)
            if self.fail_fast and self.summary.failed:
                self._ready.clear()
                self._stop(cancelled=False)
                return

    def _ahead(self, capacity: int) -> int:
        """How many runs to record beyond those the executor runs: enough for it to go on
        for ``REPORT_DELAY`` without this loop, judged by how long runs have taken; none
        while runs are long (then a commit's wait is nothing beside a run)."""
        if self._mean_run is None:
            return 0
        return min(int(capacity * REPORT_DELAY / max(self._mean_run, 1e-6)),
                   MAX_AHEAD * capacity)

    def _told_log(self, run_id: int, lines: list[str]) -> None:
        found = self._in_flight.get(run_id)
        if found is not None:
            node = found[0]
            self._report(lambda: self.reporter.log(node, run_id, lines))

    def _settled(self, node: Node) -> None:
        """A node decided without a run: fresh, or refused because of its upstreams."""
        state = node.state
        if state != jobs.CACHED:
            self._skipped.append((node.asset.key, node.key, state, node.reason or None))
        self._count(node, state)
        self.reporter.finished(node, None)

    def _settings_for(self, asset: Asset) -> RunSettings:
        found = self._settings.get(asset.key)
        if found is None:
            found = self._settings[asset.key] = self._settings_of(asset)
        return found

    def _submit(self, executor: Executor, node: Node) -> None:
        asset = node.asset
        code = self.plan.code_versions[asset.key]
        if code not in self._remembered and asset.code_parts is not None:
            self._remembered.add(code)
            self.store.remember_code(code, asset.code_parts)
        inputs, files, given = self.plan.input_files(node)
        module, function = self.plan.job_target(asset)
        job = jobs.Job(
            run_id=0,
            module=module,
            function=function,
            partition=asset.dims.partition(node.combo),
            # Kept with the job: a retry reads the same upstream values.
            inputs=inputs,
            timeout=self._settings_for(asset).timeout,
            asset=asset.key,
            key=node.key,
            files=files,
            given_versions=given,
        )
        for digest in files:
            self._file_holders[digest] += 1
        self.plan.consumed(node)
        self._submit_attempt(executor, node, job, 1)

    def _submit_attempt(self, executor: Executor, node: Node, job: jobs.Job,
                        attempt: int) -> None:
        """Run one attempt of a node, as a new run with a new output directory."""
        run_id = self.store.new_run_id()
        job = dataclasses.replace(job, run_id=run_id, attempt=attempt)
        asset = node.asset
        self.store.started(run_id, asset.key, node.key, node.reason,
                           self.plan.code_versions[asset.key], node.input_versions, attempt)
        self._in_flight[run_id] = (node, job, attempt)
        # Sent once this record is committed (``_publish``).
        self._outbox.append((node, job))
        self._pending()

    def _pending(self) -> None:
        if self._pending_since is None:
            self._pending_since = time.monotonic()

    def _finish(self, outcome: jobs.Outcome) -> None:
        if self._logs is not None:
            self._logs.finished(outcome.run_id, outcome.log_hash)
        node, job, attempt = self._in_flight.pop(outcome.run_id)
        self._running_ids.discard(outcome.run_id)
        self._pending()
        took = max(outcome.ended - outcome.started, 0.0)
        self._mean_run = took if self._mean_run is None else 0.8 * self._mean_run + 0.2 * took
        # Versions as the run read its inputs; the plan's where the run never read them.
        self.store.finished(node.asset.key, node.key, outcome,
                            outcome.input_versions or node.input_versions)
        self._timed(node, outcome)
        settings = self._settings_for(node.asset)
        if (outcome.status in RETRIED and attempt <= settings.retries
                and not self.summary.interrupted and not self._stop_asked):
            delay = retry_delay(settings.retry_delay, attempt)
            heapq.heappush(self._retries, (time.monotonic() + delay, outcome.run_id, node, job,
                                           attempt, outcome))
            self.summary.retries += 1
            total = settings.retries + 1
            self._reports.append(
                lambda: self.reporter.retrying(node, outcome, attempt, total, delay))
            return
        self._done_with(job)
        self._settle_run(node, outcome)

    def _give_up_retries(self) -> None:
        """Stopping: partitions waiting to be tried again stand for their last attempt."""
        while self._retries:
            _, _, node, job, _, outcome = heapq.heappop(self._retries)
            self._done_with(job)
            self._settle_run(node, outcome)

    def _done_with(self, job: jobs.Job) -> None:
        """A job is over for good: the stored files it names are no longer held by it."""
        for digest in job.files:
            self._file_holders[digest] -= 1
            if not self._file_holders[digest]:
                del self._file_holders[digest]
                if digest in self._unread:
                    self._unread.discard(digest)
                    self._gone.append(digest)

    def _forget_files(self, executor: Executor) -> None:
        """Tell the executor of the stored files that no job names and none will read."""
        for digest in self.plan.unread_files():
            if digest in self._file_holders:
                self._unread.add(digest)
            else:
                self._gone.append(digest)
        if self._gone:
            gone, self._gone = self._gone, []
            executor.forget_files(gone)

    def _settle_run(self, node: Node, outcome: jobs.Outcome) -> None:
        decided = self.plan.finished(node, outcome)
        self._count(node, outcome.status)
        self._reports.append(lambda: self.reporter.finished(node, outcome))
        for down in decided:
            if down.runs:
                self._ready.append(down)
            else:
                self._settled(down)

    def _tally(self, node: Node) -> AssetTally:
        tally = self.summary.per_asset.get(node.asset.label)
        if tally is None:
            tally = self.summary.per_asset[node.asset.label] = AssetTally()
        return tally

    def _count(self, node: Node, status: str) -> None:
        counts = self.summary.counts
        counts[status] = counts.get(status, 0) + 1
        tally = self._tally(node)
        if status == jobs.CACHED:
            tally.cached += 1
        elif status == jobs.SUCCEEDED:
            tally.run += 1
        elif status == jobs.INTERRUPTED:
            tally.interrupted += 1
        else:
            tally.failed += 1

    def _timed(self, node: Node, outcome: jobs.Outcome) -> None:
        """Every attempt's time counts, retried ones too."""
        tally = self._tally(node)
        tally.seconds += outcome.ended - outcome.started
        tally.first = outcome.started if tally.first is None else min(tally.first, outcome.started)
        tally.last = outcome.ended if tally.last is None else max(tally.last, outcome.ended)

    def _flush_skipped(self) -> None:
        if self._skipped:
            self.store.skipped(self._skipped)
            self._skipped = []


class _Interrupts:
    """Ctrl-C and SIGTERM handled by the runner while it runs (in the main thread only;
    elsewhere they keep their handlers)."""

    def __init__(self, runner: Runner) -> None:
        self._runner = runner
        self._previous: dict[int, object] = {}

    def __enter__(self) -> None:
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._previous[signum] = signal.signal(signum, self._runner._on_signal)

    def __exit__(self, *exc: object) -> None:
        if self._runner._presses:
            return  # stopping: later presses change nothing, until the command ends
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)  # type: ignore[arg-type]
