"""What a run shows: live counters, the summary, interrupted and forced runs."""

from __future__ import annotations

import io
import os
import pty
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

from rich.console import Console

from tevra import jobs
from tevra.display import LiveReporter
from tevra.graph import build
from tevra.plan import FRESH, STALE
from tevra.values import ValueStore
from tevra.runner import Summary
from tevra_project import Project
from test_plan import PY, chain_with_history, plan_of, record


def shown(reporter: LiveReporter) -> str:
    """The live line as the display's thread draws it now."""
    capture = Console(file=io.StringIO(), width=240)
    capture.print(reporter.progress.get_renderable())
    out = capture.file.getvalue()
    assert isinstance(out, str)
    return out


def test_counters_show_every_change_at_the_next_draw() -> None:
    plan = plan_of(build([record("a"), record("b"), record("c")], PY))
    reporter = LiveReporter(Console(file=io.StringIO(), force_terminal=True, width=240))
    reporter.planned(plan)
    try:
        a, b, c = plan.nodes
        # Three changes well within 100 ms of each other: none is held back.
        reporter.started(a)
        reporter.started(b)
        assert "running 2" in shown(reporter)
        reporter.finished(a, jobs.Outcome(1, jobs.SUCCEEDED, 0.0, 1.0))
        reporter.started(c)
        assert "done 1 · running 2" in shown(reporter)
        reporter.finished(b, jobs.Outcome(2, jobs.INTERRUPTED, 0.0, 1.0))
        assert "failed 0 · interrupted 1" in shown(reporter)
    finally:
        reporter.done(Summary())


def test_a_forced_dry_run_says_forced(tmp_path: Path) -> None:
    graph, latest = chain_with_history(tmp_path)
    values = ValueStore(str(tmp_path / "values"))
    rows = [(n.label, v, r) for n, v, r in plan_of(graph, latest, values, force=True).preview()]
    assert rows == [("a", STALE, "forced"), ("b", STALE, "forced")]
    rows = [(n.label, v, r) for n, v, r in plan_of(graph, latest, values).preview()]
    assert rows == [("a", FRESH, ""), ("b", FRESH, "")]


SLOW = """
import time
from tevra import asset, partitions

@asset(partitions={"n": partitions([1, 2])})
def quick(n: int) -> int:
    return n

@asset(inputs={"q": quick})  # starts once both quick runs are done
def slow(q: dict[str, int]) -> int:
    time.sleep(60)
    return 0
"""


def interrupt(p: Project, *args: str, tty: bool = False) -> tuple[int, str]:
    """Start ``tevra run``, press Ctrl-C once ``slow`` runs; its exit status and output."""
    (p.root / "started").unlink(missing_ok=True)
    p.write("m.py", SLOW.replace("time.sleep(60)",
                                 "open('started', 'w').close()\n    time.sleep(60)"))
    command = [sys.executable, "-m", "tevra", "run", "m", "-j", "3", *args]
    if tty:
        main, side = pty.openpty()
        proc = subprocess.Popen(command, cwd=p.root, env=dict(p.env(), COLUMNS="160"),
                                stdin=side, stdout=side, stderr=side)
        os.close(side)
    else:
        proc = subprocess.Popen(command, cwd=p.root, env=p.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while not (p.root / "started").exists():
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    chunks = []
    stream = main if tty else proc.stdout.fileno()  # type: ignore[union-attr]
    while True:
        try:
            chunk = os.read(stream, 65536)
        except OSError:  # the terminal's other side closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    code = proc.wait(timeout=60)
    text = b"".join(chunks).decode("utf-8", "replace")
    if tty:
        os.close(main)
        text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\r", "", text)  # the terminal's controls
    return code, text


def test_an_interrupted_run_is_counted_apart_and_said_once(tmp_path: Path) -> None:
    p = Project(tmp_path)
    code, out = interrupt(p, "--plain")
    assert code == 130
    assert re.search(r"^slow interrupted \(run \d+\)$", out, re.M), out
    assert re.search(r"^tevra: 1 interrupted, 2 succeeded \(stopped early\) in ", out, re.M), out


def test_the_summary_gives_wall_time_and_run_time_per_asset(tmp_path: Path) -> None:
    p = Project(tmp_path)
    code, out = interrupt(p, tty=True)
    assert code == 130
    header = next(line for line in out.splitlines() if "asset" in line and "wall" in line)
    assert header.split() == ["asset", "run", "cached", "failed", "interrupted", "wall", "run",
                              "time"]
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines()
            if line.strip().startswith(("quick ", "slow "))}
    assert rows["quick"][:4] == ["2", "0", "0", "0"]
    assert rows["slow"][:4] == ["0", "0", "0", "1"]
    assert all(re.fullmatch(r"\d+\.\d\ds", t) for r in rows.values() for t in r[4:])
