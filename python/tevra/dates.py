"""Date partitions: ``daily``, ``weekly``, ``monthly`` and ``hourly`` ranges as ``Partitions``.

Each returns an ordinary ``partitions([...])`` of ISO texts, oldest first, so the values
sort as they read and a partition key reads as a date:

- ``daily``: one value per day, ``2024-01-31``;
- ``weekly``: one value per ISO week (Monday to Sunday), the week's Monday, ``2024-01-29``;
- ``monthly``: one value per month, ``2024-01``;
- ``hourly``: one value per hour, ``2024-01-31T13:00``.

``start`` and ``end`` are dates, datetimes or ISO texts, both included; a period is
included when it contains either end or lies between them. ``end`` defaults to today
(for ``hourly``, the current hour) in local time, so the set grows as days pass and the
new day's partitions run as "never run".
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable

from _tevra import Partitions, partitions

When = dt.date | dt.datetime | str

# More values than this is almost certainly a mistake (a year typed wrong), and would
# make a plan of millions of runs before anything said so.
MAX_VALUES = 1_000_000


def daily(start: When, end: When | None = None) -> Partitions:
    """One partition per day from ``start`` to ``end`` (default: today), as ``YYYY-MM-DD``."""
    first, last = _dates(start, end, "daily")
    return partitions(_spaced(first, last, dt.timedelta(days=1), "daily",
                              lambda d: d.isoformat()))


def weekly(start: When, end: When | None = None) -> Partitions:
    """One partition per ISO week (Monday to Sunday), named by its Monday, ``YYYY-MM-DD``."""
    first, last = _dates(start, end, "weekly")
    first -= dt.timedelta(days=first.weekday())
    last -= dt.timedelta(days=last.weekday())
    return partitions(_spaced(first, last, dt.timedelta(weeks=1), "weekly",
                              lambda d: d.isoformat()))


def monthly(start: When, end: When | None = None) -> Partitions:
    """One partition per month from ``start``'s month to ``end``'s, as ``YYYY-MM``."""
    first, last = _dates(start, end, "monthly")
    count = (last.year - first.year) * 12 + last.month - first.month + 1
    _check_count(count, "monthly")
    values = []
    for i in range(count):
        year, month = divmod(first.month - 1 + i, 12)
        values.append(f"{first.year + year:04d}-{month + 1:02d}")
    return partitions(values)


def hourly(start: When, end: When | None = None) -> Partitions:
    """One partition per hour from ``start`` to ``end`` (default: the current hour), as
    ``YYYY-MM-DDTHH:00``. A date stands for its first hour."""
    first = _moment(start, "hourly", "start")
    last = (_moment(end, "hourly", "end") if end is not None
            else dt.datetime.now().replace(minute=0, second=0, microsecond=0))
    if first.tzinfo is not None or last.tzinfo is not None:
        raise ValueError("hourly(): give local times without a time zone")
    if last < first:
        raise ValueError(f"hourly(): end {last:%Y-%m-%dT%H:00} is before start "
                         f"{first:%Y-%m-%dT%H:00}")
    return partitions(_spaced(first, last, dt.timedelta(hours=1), "hourly",
                              lambda d: d.strftime("%Y-%m-%dT%H:00")))


def _spaced[T: dt.date](first: T, last: T, step: dt.timedelta, name: str,
                        text: Callable[[T], str]) -> list[str]:
    count = (last - first) // step + 1
    _check_count(count, name)
    return [text(first + i * step) for i in range(count)]


def _check_count(count: int, name: str) -> None:
    if count > MAX_VALUES:
        raise ValueError(f"{name}(): {count} values is more than {MAX_VALUES}; "
                         "check the start and end")


def _dates(start: When, end: When | None, name: str) -> tuple[dt.date, dt.date]:
    first = _day(start, name, "start")
    last = _day(end, name, "end") if end is not None else dt.date.today()
    if last < first:
        raise ValueError(f"{name}(): end {last.isoformat()} is before start {first.isoformat()}")
    return first, last


def _day(value: When, name: str, which: str) -> dt.date:
    if isinstance(value, dt.datetime):
        return value.date()
    if isinstance(value, dt.date):
        return value
    if isinstance(value, str):
        text = value.strip()
        try:
            if len(text) == 7:  # YYYY-MM: the month's first day
                return dt.date.fromisoformat(text + "-01")
            return dt.datetime.fromisoformat(text).date()
        except ValueError:
            pass
    raise ValueError(f"{name}(): {which} {value!r} is not a date (give a date, a datetime "
                     "or an ISO text such as 2024-01-31)")


def _moment(value: When, name: str, which: str) -> dt.datetime:
    if isinstance(value, dt.datetime):
        moment = value
    elif isinstance(value, dt.date):
        moment = dt.datetime(value.year, value.month, value.day)
    else:
        try:
            moment = dt.datetime.fromisoformat(value.strip())
        except (ValueError, AttributeError):
            raise ValueError(
                f"{name}(): {which} {value!r} is not a time (give a datetime, a date or an "
                "ISO text such as 2024-01-31T13:00)") from None
    return moment.replace(minute=0, second=0, microsecond=0)
