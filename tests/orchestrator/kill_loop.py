"""A pipeline run again and again while something kills it: the orchestrator, its process
group or a worker (SIGKILL), SIGTERM or Ctrl-C, each at a random moment. After every
round the history is checked against what the assets themselves logged.

Every execution of an asset appends, with ``O_APPEND``, a line when it starts and one
when it ends, naming its run id and key. After a round:

- every recorded success has its value, whose bytes have the recorded version;
- every execution that started has a run record (no execution goes unrecorded);
- no two executions of one run key overlap in time (an execution that never logged its
  end died; one that logs its end after the next began was a leftover still running).

The source reads a generation file: when a round lets the pipeline finish, the next
round starts a new generation (every run is stale again), so that every round has work
to cut. The minimum number of executions is then one per run and generation.

Used by the suite (a few rounds) and by ``bench/orchestrator/kill_loop.py`` (many).
"""

from __future__ import annotations

import hashlib
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from tevra_project import Project

PARTS = 250

PIPELINE = f"""\
import os, random, time
import tevra
from tevra import asset, partitions

PARTS = partitions(list(range({PARTS})))
GENERATION = tevra.file_source("generation.txt")


def _log(what):
    ctx = tevra.context()
    line = f"{{what}} {{ctx.run_id}} {{ctx.asset}}[{{ctx.partition_key}}] {{os.getpid()}} {{time.time():.6f}}\\n"
    fd = os.open("executions.log", os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)


def _work():
    time.sleep(random.choice((0, 0.002, 0.01, 0.02, 0.03)))


@asset(inputs={{"generation": GENERATION}}, partitions={{"i": PARTS}})
def source(generation, i):
    _log("START")
    _work()
    _log("END")
    with open(generation) as f:
        return {{"i": i, "generation": int(f.read()), "pad": "x" * (i % 7) * 300}}


@asset(inputs={{"s": source}}, partitions={{"i": PARTS}})
def double(s, i):
    _log("START")
    _work()
    _log("END")
    return [2 * s["i"], s["generation"]]


@asset(inputs={{"d": double}})
def total(d):
    _log("START")
    _work()
    _log("END")
    return sum(v[0] for v in d.values())
"""

MINIMUM = 2 * PARTS + 1  # runs of the pipeline: each needed at least once
KILLS = ("orchestrator", "group", "worker", "SIGTERM", "SIGINT")


@dataclass
class Figures:
    rounds: int = 0
    generations: int = 1
    kills: dict[str, int] = field(default_factory=dict)
    executions: int = 0
    unrecorded: int = 0
    overlaps: int = 0
    bad_values: int = 0
    problems: list[str] = field(default_factory=list)


def _executions(root: Path) -> list[tuple[str, int, str, int, float]]:
    log = root / "executions.log"
    if not log.exists():
        return []
    out = []
    for line in log.read_text().splitlines():
        what, run, key, pid, when = line.split()
        out.append((what, int(run), key, int(pid), float(when)))
    return out


def check(root: Path, figures: Figures) -> None:
    """The history against the executions logged so far."""
    db = sqlite3.connect(f"file:{root / '.tevra' / 'runs.db'}?mode=ro", uri=True)
    try:
        rows = db.execute("SELECT id, status, data_version, value, value_hash FROM runs").fetchall()
    finally:
        db.close()
    recorded = {run_id for run_id, *_ in rows}
    for run_id, status, version, value, value_hash in rows:
        if status != "succeeded":
            continue
        if value is None:
            path = root / ".tevra" / "values" / value_hash[:2] / value_hash[2:]
            try:
                value = path.read_bytes()
            except OSError:
                figures.bad_values += 1
                figures.problems.append(f"run {run_id}: its value {path} is missing")
                continue
        if hashlib.sha256(value).hexdigest()[:len(version)] != version:
            figures.bad_values += 1
            figures.problems.append(f"run {run_id}: its value does not have its version")
    starts: dict[int, tuple[str, float]] = {}
    ends: dict[int, float] = {}
    for what, run_id, key, _, when in _executions(root):
        if what == "START":
            starts[run_id] = (key, when)
        else:
            ends[run_id] = when
    unrecorded = [r for r in starts if r not in recorded]
    figures.unrecorded = len(unrecorded)
    if unrecorded:
        figures.problems.append(f"executions without a record: runs {sorted(unrecorded)[:10]}")
    figures.executions = len(starts)
    by_key: dict[str, list[tuple[float, int]]] = {}
    for run_id, (key, when) in starts.items():
        by_key.setdefault(key, []).append((when, run_id))
    figures.overlaps = 0
    for key, runs in by_key.items():
        runs.sort()
        for (_, before), (start, after) in zip(runs, runs[1:]):
            end = ends.get(before)
            if end is not None and end > start:
                figures.overlaps += 1
                figures.problems.append(f"{key}: runs {before} and {after} overlap")


def running_workers(root: Path) -> list[int]:
    """Pids of executions that started and have not ended, newest first."""
    started: dict[int, int] = {}
    for what, run_id, _, pid, _ in _executions(root):
        if what == "START":
            started[run_id] = pid
        else:
            started.pop(run_id, None)
    return list(reversed(started.values()))


def one_round(project: Project, rng: random.Random, figures: Figures,
              extra: tuple[str, ...] = ()) -> None:
    kill = rng.choice(KILLS)
    figures.kills[kill] = figures.kills.get(kill, 0) + 1
    proc = subprocess.Popen([sys.executable, "-m", "tevra", "run", "m", "--plain", "-j", "2",
                             *extra], cwd=project.root, env=project.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    time.sleep(rng.uniform(0.2, 2.0))
    try:
        if kill == "orchestrator":
            proc.kill()
        elif kill == "group":
            os.killpg(proc.pid, signal.SIGKILL)
        elif kill == "SIGTERM":
            proc.terminate()
        elif kill == "SIGINT":
            proc.send_signal(signal.SIGINT)
        else:
            for pid in running_workers(project.root)[:1]:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
    except ProcessLookupError:
        pass  # it had ended already
    _, err = proc.communicate(timeout=600)
    if kill in ("worker", "SIGTERM", "SIGINT") and "Traceback" in err:
        figures.problems.append(f"a traceback after {kill}: {err[-2000:]}")
    figures.rounds += 1
    if proc.returncode == 0:
        # It finished before the kill (or despite it): the next round has a new generation.
        figures.generations += 1
        (project.root / "generation.txt").write_text(str(figures.generations))


def run_rounds(root: Path, rounds: int, seed: int = 0, extra: tuple[str, ...] = (),
               progress: bool = False) -> Figures:
    project = Project(root)
    project.write("m.py", PIPELINE)
    (root / "generation.txt").write_text("1")
    rng = random.Random(seed)
    figures = Figures()
    for n in range(rounds):
        one_round(project, rng, figures, extra)
        check(root, figures)
        if progress:
            print(f"round {n + 1}: {figures.executions} executions, {figures.unrecorded} "
                  f"unrecorded, {figures.overlaps} overlaps", file=sys.stderr, flush=True)
    return figures


def finish(root: Path, figures: Figures) -> tuple[int, int]:
    """A clean run to the end, then one more: (the clean run's status, executions by the
    last)."""
    project = Project(root)
    before = len(_executions(root))
    clean = project.tevra("run", "m", "--plain", "-j", "2", timeout=600)
    check(root, figures)
    middle = len(_executions(root))
    project.tevra("run", "m", "--plain", "-j", "2", timeout=600)
    assert before <= middle
    return clean.code, len(_executions(root)) - middle
