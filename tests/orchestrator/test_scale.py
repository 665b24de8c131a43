"""Ten thousand partitions through the command: every one runs once, a gathering
downstream sees all of its row, and a re-run runs nothing and records no run."""

from __future__ import annotations

import json
import sqlite3

from tevra_project import Project

SIDE = 100

GRID = f"""
from tevra import asset, partitions

A = partitions(list(range({SIDE})))
B = partitions(list(range({SIDE})))

@asset(partitions={{"a": A, "b": B}})
def cell(a, b):
    return a * {SIDE} + b

@asset(inputs={{"cells": cell}}, partitions={{"a": A}})
def row(cells, a):
    return sum(cells.values())
"""


def count_runs(project: Project) -> int:
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    try:
        return int(db.execute("SELECT count(*) FROM runs").fetchone()[0])
    finally:
        db.close()


def test_ten_thousand_partitions(tmp_path):
    project = Project(tmp_path)
    project.write("grid.py", GRID)
    first = project.run("grid", "-j", "2")
    assert first.code == 0, first.err
    assert first.out.splitlines()[-1].startswith(f"tevra: {SIDE * SIDE + SIDE} succeeded")
    values = project.latest_values()
    assert len(values) == SIDE * SIDE + SIDE
    for a in (0, 37, SIDE - 1):
        assert values[f"row[a={a}]"] == sum(a * SIDE + b for b in range(SIDE))
    recorded = count_runs(project)

    again = project.run("grid", "-j", "2")
    assert again.out.splitlines()[-1].startswith(f"tevra: {SIDE * SIDE + SIDE} cached")
    assert count_runs(project) == recorded

    status = project.tevra("status", "grid", "--json")
    rows = json.loads(status.out)["partitions"]
    assert len(rows) == SIDE * SIDE + SIDE and {r["status"] for r in rows} == {"fresh"}


def test_a_rerun_after_one_source_changed_runs_it_and_its_row_only(tmp_path):
    project = Project(tmp_path)
    project.write("grid.py", GRID)
    project.run("grid", "-j", "2")
    # Forcing one cell with equal output leaves its row fresh: equal bytes, equal version.
    forced = project.run("grid", "--select", "cell", "--force", "-p", "a=3", "-p", "b=4")
    assert forced.code == 0
    ran = {label for label, status in project.statuses(forced.out).items() if status == "succeeded"}
    assert ran == {"cell[a=3,b=4]"}
    status = project.status("grid")
    assert all(verdict == "fresh" for verdict, _ in status.values())
