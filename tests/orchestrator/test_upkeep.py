"""Keeping the state directory: ``tevra check --store`` reads every stored value back,
``tevra gc`` removes the history and the values nothing needs."""

from __future__ import annotations

import sqlite3

from tevra_project import Project

PIPE = """\
from tevra import asset, partitions

@asset(partitions={"n": partitions([1, 2])})
def big(n: int) -> list:
    return [open("seed.txt").read()] * 400 + [n]

@asset(inputs={"big": big})
def size(big: dict) -> int:
    return sum(len(v) for v in big.values())
"""


def project_with_history(tmp_path, rounds: int) -> Project:
    p = Project(tmp_path)
    p.write("pipe.py", PIPE)
    for i in range(rounds):
        p.write("seed.txt", f"seed {i}")
        result = p.run("pipe", "--force")
        assert result.code == 0, result.out + result.err
    return p


def stored_hashes(p: Project) -> set[str]:
    return {d.name + f.name for d in (p.root / ".tevra" / "values").iterdir() for f in d.iterdir()}


def test_check_store_reads_every_value_against_its_hash(tmp_path):
    p = project_with_history(tmp_path, 1)
    clean = p.tevra("check", "--store")
    assert clean.code == 0 and "tevra: 2 stored values checked, no problems" in clean.out
    first, second = sorted(stored_hashes(p))
    damaged = p.stored(first)
    damaged.chmod(0o644)
    damaged.write_bytes(damaged.read_bytes()[:-2] + b"7]")
    p.stored(second).unlink()
    result = p.tevra("check", "--store")
    assert result.code == 1
    lines = result.out.splitlines()
    assert any(line.startswith(f"{damaged}: its bytes hash to ") and "named by run" in line
               for line in lines)
    assert any(line.startswith(f"{p.stored(second)}: missing; named by run ") for line in lines)
    assert lines[-1] == "tevra: 2 stored values checked, 2 problems"


def test_gc_keeps_the_latest_and_the_last_invocations(tmp_path):
    p = project_with_history(tmp_path, 3)
    assert len(stored_hashes(p)) == 6  # two big values per round
    before = p.latest_values()
    result = p.tevra("gc", "--keep", "1")
    assert result.code == 0, result.err
    assert result.out.startswith("tevra: removed 6 runs and 4 stored files (")
    assert len(stored_hashes(p)) == 2
    assert p.latest_values() == before
    assert set(p.status("pipe").values()) == {("fresh", None)}
    db = sqlite3.connect(p.root / ".tevra" / "runs.db")
    (runs,) = db.execute("SELECT count(*) FROM runs").fetchone()
    db.close()
    assert runs == 3
    assert p.tevra("check", "--store").code == 0
