"""Incremental runs: what is fresh, what is stale and why, and what runs again."""

from __future__ import annotations

import hashlib
import json
import os
import sqlite3

import pytest

from tevra_project import Project, ran

UP = """\
from tevra import asset

@asset()
def source():
    return [1, 2, 3]
"""
MID = """\
from tevra import asset
import up

@asset(inputs={"s": up.source})
def middle(s):
    return sorted(s)
"""
LEAF = """\
from tevra import asset, partitions
import mid

SCALE = 1

def helper(x):
    return x * SCALE

@asset(inputs={"m": mid.middle}, partitions={"k": partitions(["a", "b"])})
def leaf(k, m):
    return [k, helper(len(m))]
"""
MODULES = ("up", "mid", "leaf")


@pytest.fixture
def project(tmp_path):
    p = Project(tmp_path)
    p.write("up.py", UP)
    p.write("mid.py", MID)
    p.write("leaf.py", LEAF)
    first = p.run(*MODULES)
    assert first.code == 0, first.out + first.err
    return p



def edit(project, module, old, new):
    path = project.root / f"{module}.py"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


def test_second_run_skips_everything(project):
    result = project.run(*MODULES)
    assert ran(result) == []
    assert "4 cached" in result.out
    assert {v for v, _ in project.status(*MODULES).values()} == {"fresh"}


def test_editing_a_function_reruns_it_and_what_reads_its_new_value(project):
    edit(project, "mid", "sorted(s)", "sorted(s, reverse=True)")
    status = project.status(*MODULES)
    assert status["source"] == ("fresh", None)
    assert status["middle"] == ("stale", "code changed")
    assert status["leaf[k=a]"] == ("stale", "upstream middle is not fresh")
    assert ran(project.run(*MODULES)) == ["leaf[k=a]", "leaf[k=b]", "middle"]
    reasons = {r for _, r in project.status(*MODULES).values()}
    assert reasons == {None}


def test_editing_a_helper_in_the_module_makes_its_assets_stale(project):
    edit(project, "leaf", "SCALE = 1", "SCALE = 2")
    assert project.status(*MODULES)["leaf[k=b]"] == ("stale", "code changed")
    assert ran(project.run(*MODULES)) == ["leaf[k=a]", "leaf[k=b]"]
    assert project.latest_values()["leaf[k=a]"] == ["a", 6]


def test_an_upstream_rerun_with_the_same_bytes_leaves_downstreams_fresh(project):
    # middle sorts the reordered list back, so its value's bytes stay the same.
    edit(project, "up", "[1, 2, 3]", "[3, 2, 1]")
    assert ran(project.run(*MODULES)) == ["middle", "source"]
    assert ran(project.run(*MODULES)) == []


def test_an_upstream_producing_other_bytes_makes_downstreams_stale(tmp_path):
    p = Project(tmp_path)
    data = tmp_path / "data.txt"
    data.write_text("1")
    p.write("m.py", f"""
from tevra import asset
@asset()
def read():
    return open({str(data)!r}).read()
@asset(inputs={{"r": read}})
def twice(r):
    return r * 2
""")
    assert ran(p.run("m")) == ["read", "twice"]
    data.write_text("2")
    assert ran(p.run("m", "--force", "--select", "read")) == ["read"]
    assert p.status("m")["twice"] == ("stale", "an input changed")
    assert ran(p.run("m")) == ["twice"]
    assert p.latest_values()["twice"] == "22"


BIG = """\
from tevra import asset

@asset()
def source():
    return list(range(1000))

@asset(inputs={"s": source})
def total(s):
    return sum(s)
"""


def stored_value(project, where):
    """The stored file of the latest success of the partition ``where`` picks."""
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    (digest,) = db.execute(
        "SELECT r.value_hash FROM latest l JOIN runs r ON r.id = l.success_id "
        f"WHERE {where}").fetchone()
    db.close()
    return project.stored(digest)


@pytest.mark.parametrize("damage", ["delete", "rewrite", "touch"])
def test_a_missing_or_changed_stored_value_reruns_the_asset(tmp_path, damage):
    project = Project(tmp_path)
    project.write("big.py", BIG)
    assert ran(project.run("big")) == ["source", "total"]
    path = stored_value(project, "l.asset LIKE '%:source'")
    before = os.stat(path)
    if damage == "delete":
        os.remove(path)
        reason = ("stale", "value missing")
    elif damage == "rewrite":
        # Other bytes, the same size and mtime: only the ctime tells.
        path.chmod(0o644)
        path.write_bytes(path.read_bytes().replace(b"999", b"998"))
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        reason = ("stale", "value changed")
    else:
        os.utime(path, ns=(0, 0))  # read again, found intact
        reason = ("fresh", None)
    assert project.status("big")["source"] == reason
    if damage == "touch":
        assert ran(project.run("big")) == []
        return
    # The same bytes come back, so nothing downstream runs again.
    assert ran(project.run("big")) == ["source"]
    assert project.latest_values()["source"] == list(range(1000))
    assert path.read_bytes() == b"[" + b", ".join(
        b"%d" % i for i in range(1000)) + b"]"


def test_force_dry_run_and_rerun_failed(project):
    assert ran(project.run(*MODULES, "--force", "--select", "source")) == ["source"]
    edit(project, "mid", "return sorted(s)", "return 1 / 0")
    dry = project.run(*MODULES, "--dry-run")
    assert "would run  middle  (code changed)" in dry.out
    assert "would run  leaf[k=a]  (upstream middle is not fresh)" in dry.out
    assert "2 to run" not in dry.out and "3 to run, 1 fresh (dry run, nothing ran)" in dry.out
    failed = project.run(*MODULES)
    assert failed.code == 1
    assert "middle failed" in failed.out and "ZeroDivisionError: division by zero" in failed.out
    assert "upstream failed  leaf[k=a]: upstream middle failed" in failed.out
    status = project.status(*MODULES)
    assert status["middle"] == ("failed", "failed")
    assert status["leaf[k=b]"] == ("failed", "upstream failed")
    edit(project, "mid", "return 1 / 0", "return sorted(s) + [0]")
    again = project.run(*MODULES, "--rerun-failed")
    assert ran(again) == ["leaf[k=a]", "leaf[k=b]", "middle"]
    # Nothing failed last time: nothing to rerun, even where stale.
    edit(project, "up", "[1, 2, 3]", "[1, 2, 3, 4]")
    assert ran(project.run(*MODULES, "--rerun-failed")) == []


TAMPERED = """\
import pathlib
from tevra import asset

@asset()
def source():
    return list(range(1000))

@asset()
def tamper():
    # Edits the upstream's stored value after the plan judged it, before the
    # downstream reads it: the downstream must record what it read.
    target = pathlib.Path(__file__).parent / "target.txt"
    if not target.exists():
        return None
    stored = pathlib.Path(target.read_text())
    stored.chmod(0o644)
    stored.write_bytes(stored.read_bytes().replace(b"999", b"998"))
    return str(stored)

@asset(inputs={"s": source, "t": tamper})
def total(s, t):
    return sum(s)
"""


@pytest.mark.parametrize("executor", [(), ("--isolate",)], ids=["pool", "isolate"])
def test_a_run_records_the_versions_of_the_bytes_it_read(tmp_path, executor):
    project = Project(tmp_path)
    project.write("big.py", TAMPERED)
    assert ran(project.run("big")) == ["source", "tamper", "total"]
    db = sqlite3.connect(project.root / ".tevra" / "runs.db")
    (digest,) = db.execute(
        "SELECT r.value_hash FROM latest l JOIN runs r ON r.id = l.success_id "
        "WHERE l.asset LIKE '%:source'").fetchone()
    path = project.stored(digest)
    (project.root / "target.txt").write_text(str(path))
    forced = project.run("big", "--force", "--select", "tamper+", *executor)
    assert ran(forced) == ["tamper", "total"], forced.out + forced.err
    assert project.latest_values()["total"] == sum(range(1000)) - 1
    (seen,) = db.execute(
        "SELECT r.input_versions FROM latest l JOIN runs r ON r.id = l.success_id "
        "WHERE l.asset LIKE '%:total'").fetchone()
    db.close()
    assert json.loads(seen)["s"] == hashlib.sha256(path.read_bytes()).hexdigest()[:32]
    # The upstream's value is made again as it was, and the downstream runs again on it
    # rather than keeping a total computed from bytes nobody made.
    (project.root / "target.txt").unlink()
    assert ran(project.run("big")) == ["source", "total"]
    assert project.latest_values()["total"] == sum(range(1000))


MIXED = """\
import pathlib
from tevra import asset, partitions

@asset(partitions={"p": partitions(list(range(6)))})
def part(p):
    if p == 2 and pathlib.Path(__file__).with_name("broken").exists():
        raise ValueError("broken")
    return list(range(1000)) if p == 4 else p
"""


def test_partitions_judged_by_the_query_and_one_by_one_agree(tmp_path):
    # Most partitions are told fresh by the store's query alone; a failed one and one
    # whose value is a stored file are judged by their facts, in the same pass; a few
    # partitions named by a filter, by their facts alone.
    project = Project(tmp_path)
    project.write("mixed.py", MIXED)
    project.write("broken", "")
    assert project.run("mixed").code == 1
    (tmp_path / "broken").unlink()
    path = stored_value(project, "l.partition = 'p=4'")
    before = os.stat(path)
    path.chmod(0o644)
    path.write_bytes(path.read_bytes().replace(b"999", b"998"))
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert project.status("mixed") == {
        **{f"part[p={p}]": ("fresh", None) for p in (0, 1, 3, 5)},
        "part[p=2]": ("failed", "failed"), "part[p=4]": ("stale", "value changed")}
    # A filter naming few of them has their facts looked up by key: the same verdicts.
    for p, verdict in [(0, ("fresh", None)), (2, ("failed", "failed")),
                       (4, ("stale", "value changed"))]:
        assert project.status("mixed", "-p", f"p={p}") == {f"part[p={p}]": verdict}
    assert ran(project.run("mixed")) == ["part[p=2]", "part[p=4]"]
    assert ran(project.run("mixed")) == []
