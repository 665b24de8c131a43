"""Retries: a run that fails, crashes or times out is tried again, each attempt a record."""

from __future__ import annotations

import sqlite3

import pytest

from tevra.runner import MAX_RETRY_DELAY, retry_delay
from tevra_project import Project

# An asset that goes wrong on its first FAILS attempts (counted in a file), then works.
FLAKY = """
import os, pathlib, signal, time
from tevra import asset

def attempt():
    counter = pathlib.Path("attempts.txt")
    n = int(counter.read_text()) + 1 if counter.exists() else 1
    counter.write_text(str(n))
    return n

@asset()
def source() -> str:
    if attempt() <= FAILS:
        HOW
    return "data"

@asset(inputs={"s": source})
def report(s: str) -> str:
    return s.upper()
"""

HOW = {
    "raises": 'raise ConnectionError("HTTP 503")',
    "crashes": "os.kill(os.getpid(), signal.SIGKILL)",
    "times-out": "time.sleep(60)",
}


def history(p: Project) -> list[tuple[str, str, int]]:
    db = sqlite3.connect(p.root / ".tevra" / "runs.db")
    rows = db.execute("SELECT asset, status, attempt FROM runs ORDER BY id").fetchall()
    db.close()
    return [(asset.rsplit(":", 1)[-1], status, attempt) for asset, status, attempt in rows]


@pytest.mark.parametrize("how, status", [("raises", "failed"), ("crashes", "crashed"),
                                         ("times-out", "timed out")])
def test_each_attempt_is_a_run_and_dependents_wait_for_the_last(tmp_path, how, status):
    p = Project(tmp_path)
    p.write("flaky.py", FLAKY.replace("FAILS", "2").replace("HOW", HOW[how]))
    p.write("pyproject.toml", "[tool.tevra]\nmodules = ['flaky']\nretry_delay = 0\n")
    result = p.run("--retries", "2", "--timeout", "5" if how == "times-out" else "60")
    assert result.code == 0, result.out + result.err
    assert history(p) == [("source", status, 1), ("source", status, 2),
                          ("source", "succeeded", 3), ("report", "succeeded", 1)]
    assert result.out.count("trying again in") == 2
    assert f"source {status} (run 1, attempt 1 of 3)" in result.out
    assert "2 attempts retried" in result.out
    assert p.latest_values() == {"source": "data", "report": "DATA"}
    shown = p.tevra("runs", "--asset", "source").out
    assert "(attempt 3)" in shown and "(attempt 2)" in shown


def test_when_the_retries_run_out_the_partition_failed(tmp_path):
    p = Project(tmp_path)
    p.write("flaky.py", FLAKY.replace("FAILS", "9").replace("HOW", HOW["raises"]))
    result = p.run("flaky", "--retries", "1")
    assert result.code == 1
    assert history(p) == [("source", "failed", 1), ("source", "failed", 2),
                          ("report", "upstream failed", 1)]


def test_per_asset_retries_from_the_project_file(tmp_path):
    p = Project(tmp_path)
    p.write("flaky.py", FLAKY.replace("FAILS", "1").replace("HOW", HOW["raises"])
            + "\n@asset()\ndef steady() -> int:\n    raise ValueError('always')\n")
    p.write("pyproject.toml", """
        [tool.tevra]
        modules = ["flaky"]
        [tool.tevra.assets."flaky:sour*"]
        retries = 3
        retry_delay = 0.2
    """)
    result = p.run()
    assert result.code == 1
    rows = history(p)
    assert [r for r in rows if r[0] == "source"] == [("source", "failed", 1),
                                                      ("source", "succeeded", 2)]
    assert [r for r in rows if r[0] == "steady"] == [("steady", "failed", 1)]  # no retries
    db = sqlite3.connect(p.root / ".tevra" / "runs.db")
    (first_end, second_start), = db.execute(
        "SELECT a.ended, b.started FROM runs a, runs b WHERE a.attempt = 1 AND b.attempt = 2 "
        "AND a.asset = b.asset")
    assert second_start - first_end >= 0.1  # the delay, at half its size at least


@pytest.mark.parametrize("first, attempt, low, high", [
    (1.0, 1, 0.5, 1.5), (1.0, 3, 2.0, 6.0), (0.0, 5, 0.0, 0.0),
    (100.0, 20, MAX_RETRY_DELAY * 0.5, MAX_RETRY_DELAY * 1.5),
])
def test_the_delay_doubles_with_jitter_and_a_cap(first, attempt, low, high):
    delays = [retry_delay(first, attempt) for _ in range(200)]
    assert all(low <= d <= high for d in delays)
    if high > low:
        assert len(set(delays)) > 1  # spread, not one value
