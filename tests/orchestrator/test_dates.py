"""Date partitions and ranges of partition values."""

from __future__ import annotations

import datetime as dt
import json

import pytest

import tevra
from tevra.partition_keys import Dimensions, expand, parse_filter


def values_of(parts: tevra.Partitions) -> list[object]:
    """The values a Partitions holds, as an asset declaring it publishes them."""
    wrapper = tevra.asset(partitions={"d": parts})(lambda d: d)
    return json.loads(wrapper.__tevra_metadata__["partitions"]["d"]["values_json"])


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: tevra.daily("2024-02-27", "2024-03-02"),
         ["2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01", "2024-03-02"]),
        (lambda: tevra.daily(dt.date(2024, 1, 1), dt.datetime(2024, 1, 1, 23, 59)),
         ["2024-01-01"]),
        # Weeks run Monday to Sunday and are named by their Monday: 2024-01-03 is a Wednesday.
        (lambda: tevra.weekly("2024-01-03", "2024-01-22"),
         ["2024-01-01", "2024-01-08", "2024-01-15", "2024-01-22"]),
        (lambda: tevra.monthly("2023-11-15", "2024-02-01"),
         ["2023-11", "2023-12", "2024-01", "2024-02"]),
        (lambda: tevra.monthly("2023-11", "2023-11"), ["2023-11"]),
        (lambda: tevra.hourly("2024-03-31T22:30", "2024-04-01T01:00"),
         ["2024-03-31T22:00", "2024-03-31T23:00", "2024-04-01T00:00", "2024-04-01T01:00"]),
        (lambda: tevra.hourly(dt.date(2024, 1, 1), "2024-01-01T02:59"),
         ["2024-01-01T00:00", "2024-01-01T01:00", "2024-01-01T02:00"]),
    ],
    ids=["daily-leap", "daily-one", "weekly", "monthly", "monthly-one", "hourly", "hourly-date"],
)
def test_values(call, expected):
    assert values_of(call()) == expected


@pytest.mark.parametrize("make, today_text", [
    (tevra.daily, lambda: dt.date.today().isoformat()),
    (tevra.monthly, lambda: dt.date.today().strftime("%Y-%m")),
    (tevra.weekly, lambda: (dt.date.today() - dt.timedelta(days=dt.date.today().weekday()))
     .isoformat()),
    (tevra.hourly, lambda: dt.datetime.now().strftime("%Y-%m-%dT%H:00")),
])
def test_end_defaults_to_now(make, today_text):
    before = today_text()
    start = dt.date.today() - dt.timedelta(days=40)
    last = values_of(make(start))[-1]
    assert last in (before, today_text())  # the clock may pass midnight in between


@pytest.mark.parametrize("call, message", [
    (lambda: tevra.daily("2024-03-01", "2024-02-01"), "daily(): end 2024-02-01 is before start"),
    (lambda: tevra.monthly("March"), "monthly(): start 'March' is not a date"),
    (lambda: tevra.hourly("2024-01-01", "noon"), "hourly(): end 'noon' is not a time"),
    (lambda: tevra.daily("0001-01-01", "9999-12-31"), "values is more than"),
])
def test_refused(call, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()


def test_a_date_partitioned_asset_runs_per_day(tmp_path):
    from tevra_project import Project

    project = Project(tmp_path)
    project.write("days.py", """
        from tevra import asset, daily

        @asset(partitions={"day": daily("2024-01-30", "2024-02-02")})
        def visits(day: str) -> str:
            return day
    """)
    result = project.run("days", "--partition", "day=2024-01-31..2024-02-01")
    assert result.code == 0, result.err
    assert project.latest_values() == {"visits[day=2024-01-31]": "2024-01-31",
                                       "visits[day=2024-02-01]": "2024-02-01"}


DAYS = ["2024-01-01", "2024-01-02", "2024-01-05", "2024-01-09"]
UNORDERED = ["north", "south", "east"]


@pytest.mark.parametrize(
    "values, spec, kept, problems",
    [
        (DAYS, "d=2024-01-02..2024-01-05", {"2024-01-02", "2024-01-05"}, []),
        (DAYS, "d=..2024-01-02", {"2024-01-01", "2024-01-02"}, []),
        (DAYS, "d=2024-01-05..", {"2024-01-05", "2024-01-09"}, []),
        # Ascending values place ends that are not values themselves.
        (DAYS, "d=2024-01-03..2024-01-31", {"2024-01-05", "2024-01-09"}, []),
        (DAYS, "d=2024-01-03..2024-01-04", set(), []),
        ([1, 2, 10, 20], "d=2..15", {"2", "10"}, []),
        (DAYS, "d=2024-01-01,2024-01-05..2024-01-09", {"2024-01-01", "2024-01-05", "2024-01-09"}, []),
        # Declared order, not alphabetical: south..east is south and east.
        (UNORDERED, "d=south..east", {"south", "east"}, []),
        (UNORDERED, "d=south..west", set(),
         ["range south..west: west is not a value of 'd', whose values do not ascend"]),
        (UNORDERED, "d=east..north", set(), ["range east..north: north comes before east"]),
        (DAYS, "d=2024-02-01..2024-01-01", set(), ["range 2024-02-01..2024-01-01: 2024-01-01 "
                                                   "comes before 2024-02-01"]),
        (UNORDERED, "d=west", set(), ["west is not a value of 'd'"]),
    ],
)
def test_expand(values, spec, kept, problems):
    dims = Dimensions({"d": values})
    dim, items = parse_filter(spec)
    got, found = expand(dim, items, dims.values[dim], dims.texts[dim])
    assert got == kept
    assert len(found) == len(problems)
    for text, expected in zip(found, problems):
        assert text.startswith(expected)


def test_a_range_is_placed_in_each_assets_own_values():
    from tevra.errors import GraphError
    from tevra.graph import build
    from test_plan import PY, plan_of, record

    graph = build([record("early", "day", dims={"day": ["2024-01-01", "2024-01-02", "2024-01-03"]}),
                   record("late", "day", dims={"day": ["2024-01-03", "2024-01-04"]})], PY)
    plan = plan_of(graph, filters={"day": {"2024-01-02..2024-01-03"}})
    assert sorted(n.label for n in plan.nodes) == [
        "early[day=2024-01-02]", "early[day=2024-01-03]", "late[day=2024-01-03]"]
    with pytest.raises(GraphError, match=r"--partition day: 2024-02-30 is not a value of 'day'"):
        plan_of(graph, filters={"day": {"2024-01-02", "2024-02-30"}})
