"""The asset graph: what is refused before any run, and how assets are keyed."""

from __future__ import annotations

import pytest

from tevra_project import Project

HEAD = "from tevra import asset, partitions\n"


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


@pytest.mark.parametrize(
    "source, expected",
    [
        pytest.param(
            HEAD + """
@asset(inputs={"x": "nowhere"})
def a(x): return x
""",
            ["a (", "input 'x' refers to 'nowhere', which is no discovered asset"],
            id="unknown-reference",
        ),
        pytest.param(
            HEAD + """
@asset(name="one", inputs={"x": "two"})
def a(x): return x
@asset(name="two", inputs={"y": "one"})
def b(y): return y
""",
            ["dependency cycle one -> two -> one"],
            id="cycle",
        ),
        pytest.param(
            HEAD + """
@asset(name="same")
def a(): return 1
@asset(name="same")
def b(): return 2
""",
            ["key 'same' is also the key of a ("],
            id="duplicate-key",
        ),
        pytest.param(
            HEAD + """
@asset()
def up(): return 1
@asset(inputs={"data": up})
def down(other): return other
""",
            ["input 'data' is not a parameter of down()",
             "parameter 'other' has no default and is neither an input nor a partition dimension"],
            id="input-not-parameter",
        ),
        pytest.param(
            HEAD + """
@asset(partitions={"day": partitions([1, 2])})
def a(): return 1
""",
            ["partition dimension 'day' is not a parameter of a()"],
            id="dimension-not-parameter",
        ),
        pytest.param(
            HEAD + """
@asset(partitions={"day": partitions([1, 1])})
def a(day): return day
""",
            ["partition dimension 'day' repeats the value(s) 1"],
            id="repeated-value",
        ),
        pytest.param(
            HEAD + """
@asset(partitions={"region": partitions(["n", "s"])})
def up(region): return region
@asset(partitions={"region": partitions(["n", "e"])}, inputs={"x": up})
def down(region, x): return x
""",
            ["partition dimension 'region' has value(s) e that its input up lacks"],
            id="unaligned-dimension",
        ),
    ],
)
def test_refused_graphs_name_the_asset_and_the_fault(project, source, expected):
    path = project.write("m.py", source)
    for command in ("check", "run"):
        result = project.tevra(command, "m")
        assert result.code == 2, result
        for text in expected:
            assert text in result.err
        assert str(path) in result.err or "(" in result.err
    assert not (project.root / ".tevra" / "runs").exists()


def test_graph_accepts_kwargs_defaults_and_named_keys(project):
    project.write("m.py", HEAD + """
@asset(name="base")
def a(scale=2): return scale
@asset(inputs={"x": "base", "y": a}, partitions={"d": partitions(["p"])})
def b(**kw): return kw
""")
    result = project.tevra("check", "m")
    assert result.code == 0, result.err
    assert "2 assets, 2 partition runs" in result.out
    listing = project.tevra("list", "m").out
    assert listing.index("base") < listing.index("b\n")
    assert "x <- base, y <- base" in listing
    assert "d (1) = 1 runs" in listing


def test_module_that_crashes_the_interpreter_does_not_take_the_command_down(project):
    project.write("crash.py", "import os, signal\nos.kill(os.getpid(), signal.SIGSEGV)\n")
    result = project.tevra("run", "crash")
    assert result.code == 2
    assert "killed by signal 11 (SIGSEGV)" in result.err


def test_asset_imported_into_another_module_is_one_asset(project):
    project.write("base.py", HEAD + "@asset()\ndef root(): return 7\n")
    project.write("other.py", HEAD + "from base import root\n"
                  "@asset(inputs={'r': root})\ndef child(r): return r + 1\n")
    result = project.run("other", "base")
    assert result.code == 0, result.out + result.err
    assert project.latest_values() == {"root": 7, "child": 8}
    assert [l.split()[1] for l in result.out.splitlines() if l.startswith("succeeded")] == ["root", "child"]


@pytest.mark.parametrize(
    "select, expected",
    [
        (["b"], {"b"}),
        (["+b"], {"a", "b"}),
        (["b+"], {"b", "c"}),
        (["+b+"], {"a", "b", "c"}),
        (["[ac]"], {"a", "c"}),
        (["m.d"], {"d"}),
    ],
)
def test_selection(project, select, expected):
    project.write("m.py", HEAD + """
@asset()
def a(): return 1
@asset(inputs={"x": a})
def b(x): return x
@asset(inputs={"x": b})
def c(x): return x
@asset()
def d(): return 0
""")
    args = [arg for s in select for arg in ("--select", s)]
    # Selected assets run, and their upstreams that are not fresh with them.
    result = project.run("m", *args)
    ran = {line.split()[1] for line in result.out.splitlines() if line.startswith("succeeded")}
    upstream_needed = {"b": {"a"}, "c": {"a", "b"}}
    closure = set(expected)
    for name in expected:
        closure |= upstream_needed.get(name, set())
    assert ran == closure


def test_no_upstream_refuses_runs_whose_upstreams_are_not_fresh(project):
    project.write("m.py", HEAD + """
@asset()
def a(): return 1
@asset(inputs={"x": a})
def b(x): return x + 1
""")
    refused = project.tevra("run", "m", "--select", "b", "--no-upstream")
    assert refused.code == 2
    assert "a: not fresh (never run) and --no-upstream was given" in refused.err
    assert project.run("m", "--select", "a").code == 0
    result = project.run("m", "--select", "b", "--no-upstream")
    assert result.code == 0 and project.latest_values() == {"a": 1, "b": 2}


def test_unknown_selection_is_a_usage_error(project):
    project.write("m.py", HEAD + "@asset()\ndef a(): return 1\n")
    result = project.tevra("run", "m", "--select", "nope")
    assert result.code == 2
    assert "--select 'nope' matches no asset" in result.err
