"""File sources on real files: what the engine keeps of them, what they match, and a
data version that follows names and contents but not timestamps."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from tevra import asset, file_source
from tevra.sources import parse_ref, scan
from tevra.values import StatCache


@pytest.mark.parametrize("declared,ref,parsed", [
    (("data/orders.csv",), "file:data/orders.csv", ("data/orders.csv", None)),
    ((Path("exports"),), "file:exports", ("exports", None)),
    (("data/**/*.csv",), "file:data/**/*.csv", ("data/**/*.csv", None)),
    (("a:b.csv",), "file:a:b.csv", ("a:b.csv", None)),
    (("x/*.csv",), "file:x/*.csv", ("x/*.csv", None)),
])
def test_the_engine_keeps_the_reference(declared, ref, parsed):
    source = file_source(*declared)
    named = file_source(*declared, name="orders")

    @asset(inputs={"a": source, "b": named})
    def reader(a, b):
        return None

    inputs = reader.__tevra_metadata__["inputs"]
    assert inputs == {"a": ref, "b": ref.replace("file:", "file[orders]:", 1)}
    assert parse_ref(inputs["a"]) == parsed and parse_ref(inputs["b"]) == (parsed[0], "orders")


@pytest.mark.parametrize("ref", ["file:", "file[]:x", "file[n]:", "/abs/mod.py:fn", "orders"])
def test_other_references_name_no_source(ref):
    assert parse_ref(ref) is None


@pytest.mark.parametrize("args,kwargs,error", [
    (("",), {}, "not an empty one"),
    (("x",), {"name": "a]b"}, "without ']'"),
    (("x",), {"name": ""}, "without ']'"),
])
def test_bad_declarations_are_refused(args, kwargs, error):
    with pytest.raises(ValueError, match=error):
        file_source(*args, **kwargs)


@pytest.fixture
def project(tmp_path):
    for rel, text in {"data/b.csv": "b\n", "data/a.csv": "a\n", "data/sub/c.csv": "c\n",
                      "data/notes.txt": "n\n"}.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    return tmp_path


def test_what_a_pattern_matches(project):
    root = str(project)
    digest = StatCache().digest
    glob = scan(root, "data/*.csv", digest)
    assert glob.value == [f"{root}/data/a.csv", f"{root}/data/b.csv"]
    assert scan(root, "data/**/*.csv", digest).value == [
        f"{root}/data/a.csv", f"{root}/data/b.csv", f"{root}/data/sub/c.csv"]
    folder = scan(root, "data", digest)
    assert folder.value == f"{root}/data"
    assert folder.files == ["data/a.csv", "data/b.csv", "data/notes.txt", "data/sub/c.csv"]
    one = scan(root, "data/a.csv", digest)
    assert one.value == f"{root}/data/a.csv" and not one.missing
    missing = scan(root, "data/z.csv", digest)
    assert missing.missing and missing.version != scan(root, "nothing/*.csv", digest).version
    assert scan(root, "nothing/*.csv", digest).value == []


@pytest.mark.parametrize("pattern", ["data", "data/*.csv"])
@pytest.mark.parametrize("change,stale", [
    ("touch", False),
    ("edit", True),
    ("add", True),
    ("remove", True),
    ("rename", True),
])
def test_the_data_version_follows_names_and_contents(project, pattern, change, stale):
    root = str(project)
    before = scan(root, pattern, StatCache().digest).version
    a = project / "data" / "a.csv"
    if change == "touch":
        os.utime(a, ns=(0, 0))
    elif change == "edit":
        a.write_text("A\n")
    elif change == "add":
        (project / "data" / "d.csv").write_text("d\n")
    elif change == "remove":
        a.unlink()
    else:
        a.rename(project / "data" / "e.csv")
    assert (scan(root, pattern, StatCache().digest).version != before) is stale
