"""Partition keys and the ways partitioned inputs reach a run."""

from __future__ import annotations

import json

import pytest

from tevra.partition_keys import Dimensions, value_text
from tevra_project import Project

HEAD = "from tevra import asset, partitions\n"


@pytest.mark.parametrize(
    "value, text",
    [
        ("north", "north"),
        ("2024", '"2024"'),  # the string must not read as the number
        (2024, "2024"),
        (1.5, "1.5"),
        (True, "true"),
        ("true", '"true"'),
        (None, "null"),
        ("", '""'),
        (" padded", '" padded"'),
        ("a,b=c%", "a%2Cb%3Dc%25"),
        ("line\nbreak", "line%0Abreak"),
        ({"b": 1, "a": [1, "x"]}, '{"a":[1%2C"x"]%2C"b":1}'),
        ("été", "été"),
    ],
)
def test_value_text_is_canonical_and_unambiguous(value, text):
    assert value_text(value) == text


def test_keys_list_dimensions_in_name_order():
    dims = Dimensions({"year": [2024], "region": ["north", "south"]})
    keys = [dims.key(c) for c in dims.combinations()]
    assert keys == ["region=north,year=2024", "region=south,year=2024"]
    assert dims.partition((1, 0)) == {"region": '"south"', "year": "2024"}


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


@pytest.mark.parametrize("ndims", [1, 2, 3, 4])
def test_one_run_per_combination_with_values_as_keyword_arguments(project, ndims):
    names = ["a", "b", "c", "d"][:ndims]
    values = {"a": ["x", "y"], "b": [1, 2, 3], "c": [True], "d": [None, {"k": [1]}]}
    dims = ", ".join(f"{n!r}: partitions({values[n]!r})" for n in names)
    params = ", ".join(names)
    project.write("m.py", HEAD + f"""
@asset(partitions={{{dims}}})
def p({params}):
    return [{params}]
""".replace("True", "True").replace("None", "None"))
    result = project.run("m")
    assert result.code == 0, result.out + result.err
    got = project.latest_values()
    expected = 1
    for n in names:
        expected *= len(values[n])
    assert len(got) == expected
    for label, value in got.items():
        key = label[label.index("[") + 1 : -1]
        assert key == ",".join(f"{n}={value_text(v)}" for n, v in zip(names, value))


def test_aligned_gathered_and_unpartitioned_inputs(project):
    project.write("m.py", HEAD + """
REGIONS = partitions(["north", "south"])
YEARS = partitions([2023, 2024])

@asset()
def rate():
    return 2

@asset(partitions={"region": REGIONS})
def orders(region):
    return {"north": 10, "south": 20}[region]

@asset(partitions={"region": REGIONS, "year": YEARS}, inputs={"o": orders, "r": rate})
def sales(region, year, o, r):
    return [region, year, o * r]

@asset(inputs={"s": sales})
def report(s):
    return s

@asset(partitions={"year": YEARS}, inputs={"s": sales})
def per_year(year, s):
    return s
""")
    result = project.run("m")
    assert result.code == 0, result.out + result.err
    got = project.latest_values()
    # Same-named dimensions line up.
    assert got["sales[region=north,year=2024]"] == ["north", 2024, 20]
    assert got["sales[region=south,year=2023]"] == ["south", 2023, 40]
    # An asset lacking the upstream's dimensions gets every matching partition at once.
    assert got["report"] == {
        "region=north,year=2023": ["north", 2023, 20],
        "region=north,year=2024": ["north", 2024, 20],
        "region=south,year=2023": ["south", 2023, 40],
        "region=south,year=2024": ["south", 2024, 40],
    }
    assert got["per_year[year=2023]"] == {
        "region=north,year=2023": ["north", 2023, 20],
        "region=south,year=2023": ["south", 2023, 40],
    }


def test_partition_filter_runs_only_what_the_selection_needs(project):
    project.write("m.py", HEAD + """
@asset(partitions={"region": partitions(["n", "s", "w"])})
def up(region):
    return region
@asset(partitions={"region": partitions(["n", "s", "w"]), "day": partitions([1, 2])},
       inputs={"u": up})
def down(region, day, u):
    return [u, day]
""")
    result = project.run("m", "--select", "down", "--partition", "region=s,w", "-p", "day=2")
    assert result.code == 0, result.err
    assert sorted(project.latest_values()) == [
        "down[day=2,region=s]", "down[day=2,region=w]", "up[region=s]", "up[region=w]"]
    bad = project.tevra("run", "m", "--partition", "region=e")
    assert bad.code == 2 and "e is not a value of 'region'" in bad.err


def test_values_larger_than_a_megabyte_pass_downstream(project):
    project.write("m.py", HEAD + """
@asset(partitions={"n": partitions([1, 2])})
def big(n):
    return ["x" * 1000] * (1500 * n)
@asset(inputs={"b": big})
def size(b):
    return {k: sum(map(len, v)) for k, v in b.items()}
""")
    result = project.run("m")
    assert result.code == 0, result.out + result.err
    assert project.latest_values()["size"] == {"n=1": 1_500_000, "n=2": 3_000_000}


def test_partition_values_of_every_json_type_round_trip(project):
    values = [0, -1, 2**63, 1.25, "s", "", None, False, [1, [2]], {"k": {"v": None}},
              'q"\\é\n']
    project.write("m.py", HEAD + f"""
@asset(partitions={{"v": partitions({values!r})}})
def echo(v):
    return v
""")
    assert project.run("m").code == 0
    got = project.latest_values()
    assert sorted(json.dumps(v, sort_keys=True) for v in got.values()) == sorted(
        json.dumps(v, sort_keys=True) for v in values)
    # Keys with quotes, brackets and backslashes come back whole from status --json.
    assert sorted(project.status("m")) == sorted(got)
    assert set(project.status("m").values()) == {("fresh", None)}


def test_orchestrator_modules_leave_the_package_names_alone():
    # A submodule named like a package attribute would replace it once imported.
    import tevra
    from _tevra import asset

    partitions = tevra.partitions  # the engine's, naming a value it refuses
    import tevra.cli  # noqa: F401  (imports every orchestrator module the command needs)

    assert tevra.partitions is partitions and tevra.asset is asset
