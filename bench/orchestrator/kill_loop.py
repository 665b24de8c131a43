"""The kill loop at length: a 501-run pipeline (a partitioned source, an aligned
downstream, a fan-in) killed at random moments, round after round, then run to its end.

    python bench/orchestrator/kill_loop.py [--rounds 200] [--seed 1] [--isolate]

Each round starts ``tevra run`` and, after 0.2-2 s, SIGKILLs the orchestrator, its process
group or a worker, or sends SIGTERM or Ctrl-C; a round that finishes anyway makes the
next start a new generation of the source (every run stale again). After every round the history is checked
against what the assets logged (see tests/orchestrator/kill_loop.py). Prints the rounds,
the kills of each kind, the executions against the minimum (each run once), executions
without a record (goal 0), overlapping executions of one run (goal 0), successes without
their value (goal 0), and whether a clean run then finishes and a further one executes
nothing.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "orchestrator"))

from kill_loop import MINIMUM, finish, run_rounds  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--isolate", action="store_true", help="every run in its own process")
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="tevra-kill-loop-"))
    started = time.monotonic()
    try:
        figures = run_rounds(root, args.rounds, args.seed,
                             ("--isolate",) if args.isolate else (), progress=True)
        code, after = finish(root, figures)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    kills = ", ".join(f"{kind} {n}" for kind, n in sorted(figures.kills.items()))
    print(f"rounds                  {figures.rounds} ({time.monotonic() - started:.0f} s)")
    print(f"kills                   {kills}")
    minimum = MINIMUM * figures.generations
    print(f"executions              {figures.executions} against a minimum of {minimum} "
          f"({MINIMUM} runs x {figures.generations} generations: "
          f"{figures.executions / minimum:.2f}x)")
    print(f"unrecorded executions   {figures.unrecorded}")
    print(f"overlapping executions  {figures.overlaps}")
    print(f"successes without value {figures.bad_values}")
    print(f"clean run               exit {code}; a further run executed {after}")
    for problem in figures.problems[:20]:
        print(f"  {problem}")
    if figures.problems or code or after:
        sys.exit(1)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    main()
