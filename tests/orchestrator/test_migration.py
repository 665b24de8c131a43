"""A state directory in the first layout (a directory of files per run) is migrated on
first use: its history kept, intact values moved into rows or the value store, damaged
ones dropped (their runs run again), the run directories removed."""

from __future__ import annotations

import json
import sqlite3

from tevra import versions
from tevra_project import Project

# The first layout's tables, as that tevra made them.
FIRST_LAYOUT = """
CREATE TABLE invocations (id INTEGER PRIMARY KEY, started REAL NOT NULL, ended REAL,
    pid INTEGER NOT NULL, argv TEXT NOT NULL, status TEXT NOT NULL);
CREATE TABLE runs (id INTEGER PRIMARY KEY, invocation INTEGER NOT NULL, asset TEXT NOT NULL,
    partition TEXT NOT NULL, status TEXT NOT NULL, reason TEXT, started REAL, ended REAL,
    code_version TEXT, input_versions TEXT, data_version TEXT, value_path TEXT,
    value_size INTEGER, value_mtime_ns INTEGER, output_dir TEXT, error TEXT, error_type TEXT,
    traceback TEXT, cached_from INTEGER);
CREATE INDEX runs_by_asset ON runs (asset, partition, id);
CREATE INDEX runs_by_status ON runs (status, id);
CREATE TABLE latest (asset TEXT NOT NULL, partition TEXT NOT NULL, run_id INTEGER NOT NULL,
    status TEXT NOT NULL, success_id INTEGER, PRIMARY KEY (asset, partition)) WITHOUT ROWID;
"""

PIPE = """\
from tevra import asset, partitions

@asset(partitions={"n": partitions([1, 2, 3])})
def rows(n):
    return list(range(n * 400))

@asset(inputs={"rows": rows})
def total(rows):
    return sum(len(v) for v in rows.values())
"""


def first_layout(p: Project) -> None:
    """Run the pipeline, then rewrite its state directory as the first layout had it:
    value.json files in runs/INVOCATION/RUN, named by the rows."""
    assert p.run("pipe").code == 0
    state = p.root / ".tevra"
    db = sqlite3.connect(state / "runs.db")
    old = db.execute("SELECT * FROM runs").fetchall()
    db.close()
    values = {r[0]: (r[11] if r[11] is not None else p.stored(r[12]).read_bytes()) for r in old
              if r[4] == "succeeded"}
    (state / "runs.db").unlink()
    for name in ("runs.db-wal", "runs.db-shm"):
        (state / name).unlink(missing_ok=True)
    import shutil
    shutil.rmtree(state / "values")
    db = sqlite3.connect(state / "runs.db")
    db.executescript(FIRST_LAYOUT)
    db.execute("INSERT INTO invocations VALUES (1, 0, 1, 1, '[]', 'finished')")
    for r in old:
        run_id = r[0]
        path = None
        if run_id in values:
            out = state / "runs" / "1" / str(run_id)
            out.mkdir(parents=True)
            (out / "value.json").write_bytes(values[run_id])
            path = str(out / "value.json")
        db.execute("INSERT INTO runs VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                   (*r[:11], path, r[13], 0, None, *r[15:19]))
    db.execute("INSERT INTO latest SELECT asset, partition, id, status, id FROM runs")
    db.commit()
    db.close()


def test_a_first_layout_state_is_migrated_keeping_its_history(tmp_path):
    p = Project(tmp_path)
    p.write("pipe.py", PIPE)
    first_layout(p)
    state = tmp_path / ".tevra"
    # One value damaged in place: that run is dropped from what counts, and runs again.
    damaged = state / "runs" / "1" / "2" / "value.json"
    damaged.write_bytes(damaged.read_bytes().replace(b"1", b"7"))

    status = p.tevra("status", "pipe", "--json")
    assert status.code == 0, status.err
    assert "moving the values of" in status.err
    verdicts = {r["label"] + r["partition"]: r["status"] for r in json.loads(status.out)["partitions"]}
    assert verdicts == {"rowsn=1": "fresh", "rowsn=2": "stale", "rowsn=3": "fresh",
                        "total": "stale"}
    assert not (state / "runs").exists()
    assert len(p.tevra("runs").out.splitlines()) == 1 + 4  # the history is kept

    again = p.run("pipe")
    assert sorted(l.split()[1] for l in again.out.splitlines() if l.startswith("succeeded")) \
        == ["rows[n=2]"]  # equal bytes again: total stays fresh
    assert p.latest_values()["total"] == 2400
    db = sqlite3.connect(state / "runs.db")
    (version,) = db.execute("PRAGMA user_version").fetchone()
    stored = db.execute("SELECT value_hash, data_version FROM runs WHERE value_hash IS NOT NULL")
    for digest, data_version in stored:
        assert versions.data_version(p.stored(digest).read_bytes()) == data_version
    db.close()
    assert version == 2
