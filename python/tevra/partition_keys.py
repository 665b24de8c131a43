"""Partition keys: one canonical text per combination of dimension values.

A key lists the dimensions in name order as ``dim=value`` joined by commas, for
example ``region=north,year=2024``. A string value stands as itself when it cannot be
read as another JSON value; any other value is its compact JSON text, so the string
"2024" is ``year="2024"`` and the number is ``year=2024``. ``%``, ``,`` and ``=``
and control characters inside a value are percent-escaped, so a key splits back
unambiguously. An unpartitioned asset has the empty key.
"""

from __future__ import annotations

import itertools
import json
from collections.abc import Iterator
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
    """``DIM=V1,V2`` from the command line: the dimension and the value texts it keeps."""
    dim, sep, values = spec.partition("=")
    if not sep or not dim:
        raise ValueError(f"partition filter {spec!r} is not DIM=VALUE[,VALUE...]")
    return dim, values.split(",")


class Dimensions:
    """An asset's partition dimensions: names in order, and for each its values.

    A combination is a tuple of value indices, one per dimension in name order.
    """

    __slots__ = ("names", "values", "texts", "jsons", "index", "_pieces")

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
        self._pieces: list[list[str]] = [
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
        pieces = self._pieces
        if len(combo) == 1:
            return pieces[0][combo[0]]
        return ",".join([pieces[k][i] for k, i in enumerate(combo)])

    def partition(self, combo: tuple[int, ...]) -> dict[str, str]:
        """Dimension -> the value's JSON text, as a run receives it."""
        return {d: self.jsons[d][i] for d, i in zip(self.names, combo)}
