"""File sources through the command: a CSV export and a folder of files read by
assets, checked by every run and status; edits, new and removed files, a touch, an
edit that keeps the size and the mtime, and a source that is missing."""

from __future__ import annotations

import os
import time

import pytest

from tevra_project import Project, ran

PIPE = """\
from tevra import asset, file_source, partitions

@asset(inputs={"path": file_source("data/orders.csv", name="orders_csv")},
       partitions={"region": partitions(["north", "south"])})
def cleaned(path: str, region: str) -> list:
    rows = [line.split(",") for line in open(path).read().split()[1:]]
    return [float(amount) for r, amount in rows if r == region]

@asset(inputs={"parts": cleaned})
def total(parts: dict) -> float:
    return sum(sum(v) for v in parts.values())

@asset(inputs={"files": file_source("inbox/*.txt")})
def inbox(files: list) -> list:
    return [open(f).read() for f in files]
"""



@pytest.fixture
def project(tmp_path):
    p = Project(tmp_path)
    p.write("pipe.py", PIPE)
    p.write("data/orders.csv", "region,amount\nnorth,1\nsouth,2\n")
    p.write("inbox/a.txt", "a")
    first = p.run("pipe")
    assert first.code == 0, first.out + first.err
    assert ran(first) == ["cleaned[region=north]", "cleaned[region=south]", "inbox", "total"]
    return p


def test_a_downstream_gets_the_path_or_the_sorted_matches(project):
    values = project.latest_values()
    assert values["total"] == 3.0 and values["inbox"] == ["a"]
    project.write("inbox/0.txt", "zero")
    assert project.status("pipe")["inbox"] == ("stale", "an input changed")
    assert ran(project.run("pipe")) == ["inbox"]
    assert project.latest_values()["inbox"] == ["zero", "a"]


@pytest.mark.parametrize("change, reruns", [
    ("append", ["cleaned[region=north]", "cleaned[region=south]", "total"]),
    ("same size and mtime", ["cleaned[region=north]", "cleaned[region=south]", "total"]),
    ("touch", []),
    ("rewrite equal", []),
])
def test_a_source_edit_reruns_what_reads_it(project, change, reruns):
    csv = project.root / "data" / "orders.csv"
    before = os.stat(csv)
    if change == "append":
        csv.write_text(csv.read_text() + "north,5\n")
    elif change == "same size and mtime":
        csv.write_text(csv.read_text().replace("north,1", "north,7"))
        os.utime(csv, ns=(before.st_atime_ns, before.st_mtime_ns))
    elif change == "touch":
        os.utime(csv, ns=(before.st_atime_ns, before.st_mtime_ns + 10**9))
    else:
        csv.write_text(csv.read_text())
    status = project.status("pipe")
    assert status["orders_csv"] == ("fresh", None)
    assert [k for k, (v, _) in status.items() if v == "stale"] == reruns
    assert ran(project.run("pipe")) == reruns


def test_a_missing_source_fails_what_reads_it(project):
    (project.root / "data" / "orders.csv").unlink()
    status = project.status("pipe")
    assert status["orders_csv"] == ("stale", "no file or folder data/orders.csv")
    result = project.run("pipe")
    assert result.code == 1
    assert "failed  orders_csv: no file or folder data/orders.csv" in result.out
    assert "upstream failed  cleaned[region=north]: upstream orders_csv failed" in result.out
    project.write("data/orders.csv", "region,amount\nnorth,1\nsouth,2\n")
    # Back again: what was refused runs.
    assert ran(project.run("pipe")) == ["cleaned[region=north]", "cleaned[region=south]",
                                        "total"]
    assert project.latest_values()["total"] == 3.0


def test_unchanged_files_are_not_read_again(project, tmp_path):
    import sqlite3

    # Old enough that a stamp taken now can be trusted.
    time.sleep(2.1)
    assert project.run("pipe", "--force").code == 0
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    first = dict(db.execute("SELECT path, hashed_ns FROM file_stamps"))
    db.close()
    assert project.run("pipe").code == 0
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    again = dict(db.execute("SELECT path, hashed_ns FROM file_stamps"))
    db.close()
    assert again == first and len(first) == 2
