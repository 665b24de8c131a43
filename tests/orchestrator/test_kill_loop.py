"""The pipeline of ``kill_loop`` killed fifteen times at random moments, then run to its
end: nothing recorded as succeeded lacks its value, no execution lacks its record, no
two executions of one run overlap, and a run after the clean one executes nothing."""

from __future__ import annotations

import sqlite3
from pathlib import Path

from kill_loop import MINIMUM, PARTS, check, finish, run_rounds


def test_killed_again_and_again_the_history_keeps_up(tmp_path: Path) -> None:
    figures = run_rounds(tmp_path, rounds=15, seed=21)
    assert figures.problems == []
    assert figures.unrecorded == figures.overlaps == figures.bad_values == 0
    code, after = finish(tmp_path, figures)
    assert code == 0
    assert after == 0
    check(tmp_path, figures)
    assert figures.problems == []
    db = sqlite3.connect(tmp_path / ".tevra" / "runs.db")
    latest = db.execute("SELECT status, count(*) FROM latest GROUP BY status").fetchall()
    [(value,)] = db.execute("SELECT r.value FROM latest l JOIN runs r ON r.id = l.success_id "
                            "WHERE l.asset = 'm:total'").fetchall()
    db.close()
    assert latest == [("succeeded", MINIMUM)]
    assert int(value) == 2 * sum(range(PARTS))
    assert figures.executions >= MINIMUM * figures.generations
