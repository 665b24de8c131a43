"""What a run shows on the terminal: a live progress display and a summary table on a
terminal, one line per finished run elsewhere (or with ``--plain``). A failed run
shows its error and the head of its traceback as soon as it fails."""

from __future__ import annotations

import sys
import time
from typing import TextIO

from rich.console import Console
from rich.progress import (
    BarColumn,
    Progress,
    ProgressColumn,
    Task,
    TaskID,
    TextColumn,
    TimeRemainingColumn,
)
from rich.table import Table
from rich.text import Text

from tevra import jobs
from tevra.nodes import Node
from tevra.plan import Plan
from tevra.runner import Reporter, Summary

TRACEBACK_LINES = 8
# The live line is drawn this often: every 100 ms at least, while anything changes.
REFRESH_PER_SECOND = 10


def reporter(plain: bool, stream: TextIO | None = None) -> Reporter:
    stream = stream or sys.stdout
    if plain or not stream.isatty():
        return PlainReporter(stream)
    return LiveReporter(Console(file=stream))


def failure_text(node: Node, outcome: jobs.Outcome | None) -> str:
    """The error of a failed run and the last lines of its traceback."""
    if outcome is None:
        return f"{node.label}: {node.state} ({node.reason})"
    error = outcome.error if outcome.error and outcome.error != outcome.status else None
    lines = [f"{node.label} {outcome.status} (run {outcome.run_id})" + (f": {error}" if error else "")]
    if outcome.traceback:
        tb = outcome.traceback.rstrip("\n").splitlines()
        if len(tb) > TRACEBACK_LINES:
            lines.append("  ...")
            tb = tb[-TRACEBACK_LINES:]
        lines.extend("  " + line for line in tb)
    return "\n".join(lines)


def log_line(node: Node, line: str) -> str:
    """A line of a run's log, with the run it belongs to."""
    return f"{node.label} | {line}"


def retry_text(node: Node, outcome: jobs.Outcome, attempt: int, attempts: int,
               delay: float) -> str:
    """A failed attempt that will be tried again."""
    error = (outcome.error or outcome.status).strip().splitlines()
    return (f"{node.label} {outcome.status} (run {outcome.run_id}, attempt {attempt} of "
            f"{attempts}): {error[-1] if error else outcome.status}; trying again in {delay:.1f}s")


class PlainReporter(Reporter):
    """One line per finished run. Lines are gathered and written a batch at a time (at
    least every ``FLUSH_EVERY`` seconds, and at once for a failure), so that a re-run of
    a million fresh partitions is not a million writes."""

    FLUSH_EVERY = 0.2

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self._lines: list[str] = []
        self._due = time.monotonic() + self.FLUSH_EVERY

    def finished(self, node: Node, outcome: jobs.Outcome | None) -> None:
        if outcome is None:
            if node.state == jobs.CACHED:
                self._add(f"cached     {node.label}")
            else:
                self._add(f"{node.state}  {node.label}: {node.reason}", now=True)
        elif outcome.status == jobs.SUCCEEDED:
            seconds = outcome.ended - outcome.started
            self._add(f"succeeded  {node.label}  {seconds:.3f}s")
        else:
            self._add(failure_text(node, outcome), now=True)

    def retrying(self, node: Node, outcome: jobs.Outcome, attempt: int, attempts: int,
                 delay: float) -> None:
        self._add(retry_text(node, outcome, attempt, attempts, delay), now=True)

    def log(self, node: Node, run_id: int, lines: list[str]) -> None:
        for line in lines:
            self._add(log_line(node, line))

    def done(self, summary: Summary) -> None:
        self._add(summary_line(summary), now=True)

    def _add(self, line: str, now: bool = False) -> None:
        lines = self._lines
        lines.append(line)
        if now or len(lines) >= 4096 or time.monotonic() >= self._due:
            lines.append("")
            self.stream.write("\n".join(lines))
            self.stream.flush()
            lines.clear()
            self._due = time.monotonic() + self.FLUSH_EVERY


def summary_table(summary: Summary) -> Table:
    """Per asset: its runs by outcome, the wall time from its first run's start to its
    last one's end, and the time its runs took together."""
    table = Table(title=None, box=None, header_style="bold")
    interrupted = any(t.interrupted for t in summary.per_asset.values())
    columns = ["asset", "run", "cached", "failed", *(["interrupted"] if interrupted else []),
               "wall", "run time"]
    for column in columns:
        table.add_column(column, justify="left" if column == "asset" else "right")
    for label, tally in summary.per_asset.items():
        wall = tally.last - tally.first if tally.first is not None and tally.last is not None else 0.0
        table.add_row(label, str(tally.run), str(tally.cached),
                      f"[red]{tally.failed}[/]" if tally.failed else "0",
                      *([f"[yellow]{tally.interrupted}[/]" if tally.interrupted else "0"]
                        if interrupted else []),
                      f"{wall:.2f}s", f"{tally.seconds:.2f}s")
    return table


def summary_line(summary: Summary) -> str:
    parts = [f"{n} {status}" for status, n in sorted(summary.counts.items())]
    if summary.retries:
        parts.append(f"{summary.retries} attempt{'s' if summary.retries > 1 else ''} retried")
    text = ", ".join(parts) if parts else "nothing to do"
    if summary.interrupted:
        text += " (stopped early)"
    return f"tevra: {text} in {summary.elapsed:.2f}s"


class _Counts(ProgressColumn):
    """The counters, read from the reporter each time the line is drawn: the display's
    own thread draws it ten times a second, so what it shows is never older than that."""

    def __init__(self, reporter: LiveReporter) -> None:
        super().__init__()
        self.reporter = reporter

    def render(self, task: Task) -> Text:
        return Text(self.reporter.counts_text())


class LiveReporter(Reporter):
    def __init__(self, console: Console) -> None:
        self.console = console
        self.progress = Progress(
            TextColumn("[bold]{task.description}"),
            BarColumn(),
            TextColumn("{task.completed}/{task.total}"),
            _Counts(self),
            TimeRemainingColumn(),
            console=console,
            transient=True,
            refresh_per_second=REFRESH_PER_SECOND,
        )
        self.task: TaskID | None = None
        self.running = 0
        self.counts: dict[str, int] = {}
        self.start = time.monotonic()

    def planned(self, plan: Plan) -> None:
        self.start = time.monotonic()
        self.progress.start()
        self.task = self.progress.add_task("tevra run", total=len(plan))

    def started(self, node: Node) -> None:
        self.running += 1

    def finished(self, node: Node, outcome: jobs.Outcome | None) -> None:
        status = node.state if outcome is None else outcome.status
        if outcome is not None:
            self.running -= 1
        self.counts[status] = self.counts.get(status, 0) + 1
        if status not in jobs.USABLE:
            self.progress.console.print(failure_text(node, outcome), style="red", markup=False,
                                        highlight=False)
        assert self.task is not None
        self.progress.advance(self.task)

    def retrying(self, node: Node, outcome: jobs.Outcome, attempt: int, attempts: int,
                 delay: float) -> None:
        self.running -= 1
        self.progress.console.print(retry_text(node, outcome, attempt, attempts, delay),
                                    style="yellow", markup=False, highlight=False)

    def log(self, node: Node, run_id: int, lines: list[str]) -> None:
        # Above the live line, which is drawn again below them: never in the middle of it.
        self.progress.console.print("\n".join(log_line(node, line) for line in lines),
                                    markup=False, highlight=False, soft_wrap=True)

    def counts_text(self) -> str:
        counts = dict(self.counts)  # the display's thread reads while the run loop writes
        done = counts.get(jobs.SUCCEEDED, 0)
        failed = sum(n for s, n in counts.items() if s not in jobs.USABLE
                     and s != jobs.INTERRUPTED)
        elapsed = max(time.monotonic() - self.start, 1e-9)
        text = (f"done {done} · running {self.running} · cached {counts.get(jobs.CACHED, 0)}"
                f" · failed {failed}")
        if counts.get(jobs.INTERRUPTED):
            text += f" · interrupted {counts[jobs.INTERRUPTED]}"
        return text + f"  {done / elapsed:.0f} runs/s"

    def done(self, summary: Summary) -> None:
        if self.task is not None:
            self.progress.refresh()  # the last counts, once
            self.progress.stop()
        self.console.print(summary_table(summary))
        self.console.print(summary_line(summary), markup=False, highlight=False)
