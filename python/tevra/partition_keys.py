"""Partition keys: one canonical text per combination of dimension values.

A key lists the dimensions in name order as ``dim=value`` joined by commas, for
example ``region=north,year=2024``. A string value stands as itself when it cannot be
read as another JSON value; any other value is its compact JSON text, so the string
"2024" is ``year="2024"`` and the number is ``year=2024``. ``%``, ``,`` and ``=``
and control characters inside a value are percent-escaped, so a key splits back
unambiguously. An unpartitioned asset has the empty key.
"""

from __future__ import annotations

import difflib
import itertools
import json
from collections.abc import Iterable, Iterator
from typing import Any

_ESCAPED = {c: f"%{ord(c):02X}" for c in "%,=" + "".join(map(chr, range(32)))}
_ESCAPE_TABLE = str.maketrans(_ESCAPED)


def value_json(value: Any) -> str:
    """The compact JSON text of a partition value, as the engine's writer gives it."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def value_text(value: Any) -> str:
    """The text of one value inside a partition key."""
    if isinstance(value, str) and value and value.strip() == value and not _reads_as_json(value):
        text = value
    else:
        text = value_json(value)
    return text.translate(_ESCAPE_TABLE)


def _reads_as_json(text: str) -> bool:
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


def parse_filter(spec: str) -> tuple[str, list[str]]:
    """``DIM=V1,V2`` from the command line: the dimension and the items it keeps, each a
    value text or a range ``LOW..HIGH`` (either end may be left out); see ``expand``."""
    dim, sep, values = spec.partition("=")
    if not sep or not dim:
        raise ValueError(f"partition filter {spec!r} is not DIM=VALUE[,VALUE...] or DIM=LOW..HIGH")
    return dim, values.split(",")


def expand(dim: str, items: Iterable[str], values: list[Any], texts: list[str]
           ) -> tuple[set[str], list[str]]:
    """The value texts of one dimension that filter items keep, and the items' problems.

    ``values`` and ``texts`` are the dimension's values and their texts in declared order.
    An item that is one of the texts keeps that value; ``LOW..HIGH`` keeps every value
    from LOW to HIGH in the declared order, both included. An end that is not a value
    can still be placed when the declared values ascend (numbers, or texts such as ISO
    dates): then the range keeps the values that lie between its ends.
    """
    kept: set[str] = set()
    problems: list[str] = []
    position = {t: i for i, t in enumerate(texts)}
    for item in items:
        if item in position:
            kept.add(item)
            continue
        low, sep, high = item.partition("..")
        if not sep:
            problems.append(f"{item} is not a value of {dim!r} ({_hint(item, texts)})")
            continue
        first = _place(low, position, values, side=0) if low else 0
        last = _place(high, position, values, side=1) if high else len(texts) - 1
        if first is None or last is None:
            end = low if first is None else high
            problems.append(
                f"range {item}: {end} is not a value of {dim!r}, whose values do not ascend, "
                "so the range's ends must be values"
            )
            continue
        if low and high and _backwards(low, high, position):
            problems.append(f"range {item}: {high} comes before {low} in {dim!r}")
            continue
        kept.update(texts[first : last + 1])
    return kept, problems


def _place(end: str, position: dict[str, int], values: list[Any], side: int) -> int | None:
    """Index of the first value at or after ``end`` (side 0), or of the last value at or
    before it (side 1); None when ``end`` is not a value and the values do not ascend."""
    if end in position:
        return position[end]
    target = _read(end)
    if not _ascending(values) or not values or not _comparable(values[0], target):
        return None
    if side == 0:
        return next((i for i, v in enumerate(values) if v >= target), len(values))
    return next((i for i in range(len(values) - 1, -1, -1) if values[i] <= target), -1)


def _hint(item: str, texts: list[str]) -> str:
    close = difflib.get_close_matches(item, texts, n=1)
    if close:
        return f"did you mean {close[0]}?"
    shown = texts if len(texts) <= 8 else [*texts[:3], "…", *texts[-3:]]
    return f"values: {', '.join(shown)}"


def _backwards(low: str, high: str, position: dict[str, int]) -> bool:
    if low in position and high in position:
        return position[low] > position[high]
    a, b = _read(low), _read(high)
    return _comparable(a, b) and bool(a > b)


def _read(text: str) -> Any:
    try:
        return json.loads(text)
    except ValueError:
        return text


def _comparable(a: Any, b: Any) -> bool:
    number = (int, float)
    if isinstance(a, bool) or isinstance(b, bool):
        return False
    return (isinstance(a, number) and isinstance(b, number)) or (
        isinstance(a, str) and isinstance(b, str))


def _ascending(values: list[Any]) -> bool:
    return all(_comparable(a, b) and a < b for a, b in zip(values, values[1:]))


class Dimensions:
    """An asset's partition dimensions: names in order, and for each its values.

    A combination is a tuple of value indices, one per dimension in name order.
    """

    __slots__ = ("names", "values", "texts", "jsons", "index", "pieces")

    def __init__(self, dims: dict[str, list[Any]]) -> None:
        self.names: tuple[str, ...] = tuple(sorted(dims))
        self.values: dict[str, list[Any]] = {d: dims[d] for d in self.names}
        self.texts: dict[str, list[str]] = {
            d: [value_text(v) for v in self.values[d]] for d in self.names
        }
        self.jsons: dict[str, list[str]] = {
            d: [value_json(v) for v in self.values[d]] for d in self.names
        }
        # "dim=text" of every value, per dimension in name order: a key is a join of these.
        self.pieces: list[list[str]] = [
            [f"{d}={t}" for t in self.texts[d]] for d in self.names
        ]
        # Value text -> its index, per dimension.
        self.index: dict[str, dict[str, int]] = {
            d: {t: i for i, t in enumerate(self.texts[d])} for d in self.names
        }

    def __bool__(self) -> bool:
        return bool(self.names)

    def size(self) -> int:
        n = 1
        for d in self.names:
            n *= len(self.values[d])
        return n

    def combinations(self, keep: dict[str, set[str]] | None = None) -> Iterator[tuple[int, ...]]:
        """Every combination in value order; ``keep`` restricts a dimension to some value texts."""
        columns = [
            [i for i, t in enumerate(self.texts[d]) if keep is None or d not in keep or t in keep[d]]
            for d in self.names
        ]
        return itertools.product(*columns)

    def key(self, combo: tuple[int, ...]) -> str:
        pieces = self.pieces
        if len(combo) == 1:
            return pieces[0][combo[0]]
        return ",".join([pieces[k][i] for k, i in enumerate(combo)])

    def partition(self, combo: tuple[int, ...]) -> dict[str, str]:
        """Dimension -> the value's JSON text, as a run receives it."""
        return {d: self.jsons[d][i] for d, i in zip(self.names, combo)}
