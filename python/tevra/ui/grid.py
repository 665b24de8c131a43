"""The partition grid: which page of an asset's partitions a page shows.

Two dimensions are the rows and the columns (the user picks them); every other
dimension is fixed at one value (a filter). Only the visible page of keys is made;
with one dimension, or no column dimension, the partitions form a strip instead.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field

from tevra.partition_keys import Dimensions

PAGE_ROWS = 30
PAGE_COLS = 30
STRIP_PAGE = 600


@dataclass(slots=True)
class Grid:
    rows: str | None  # the row dimension; None for an unpartitioned asset
    cols: str | None  # the column dimension; None for a strip
    filters: dict[str, int]  # every other dimension -> its chosen value's index
    row_start: int
    col_start: int
    row_values: list[str]  # the visible rows' value texts
    col_values: list[str]
    keys: list[list[str]]  # partition keys, row by row
    row_total: int
    col_total: int
    notes: list[str] = field(default_factory=list)

    @property
    def strip(self) -> bool:
        return self.cols is None


def grid(dims: Dimensions, params: Mapping[str, str]) -> Grid:
    """The visible page for the query ``params``: rows, cols, r, c and f.DIM=VALUE."""
    names = list(dims.names)
    notes: list[str] = []
    if not names:
        return Grid(None, None, {}, 0, 0, [], [], [[""]], 1, 1)
    rows = params.get("rows") or names[0]
    if rows not in names:
        notes.append(f"no dimension {rows!r}; rows are {names[0]!r}")
        rows = names[0]
    default_cols = next((n for n in names if n != rows), "")
    cols: str | None = params.get("cols", default_cols) or None
    if cols is not None and (cols not in names or cols == rows):
        notes.append(f"columns cannot be {cols!r}")
        cols = default_cols or None
    filters: dict[str, int] = {}
    for name in names:
        if name in (rows, cols):
            continue
        text = params.get(f"f.{name}")
        index = dims.index[name].get(text, 0) if text is not None else 0
        if text is not None and text not in dims.index[name]:
            notes.append(f"{text!r} is not a value of {name!r}; showing {dims.texts[name][0]!r}")
        filters[name] = index
    row_total = len(dims.texts[rows])
    col_total = len(dims.texts[cols]) if cols else 1
    row_page, col_page = (PAGE_ROWS, PAGE_COLS) if cols else (STRIP_PAGE, 1)
    row_start = _start(params.get("r"), row_total, row_page)
    col_start = _start(params.get("c"), col_total, col_page)
    row_idx = range(row_start, min(row_total, row_start + row_page))
    col_idx = range(col_start, min(col_total, col_start + col_page)) if cols else range(1)
    position = {name: i for i, name in enumerate(names)}
    combo = [filters.get(n, 0) for n in names]
    keys = []
    for r in row_idx:
        combo[position[rows]] = r
        line = []
        for c in col_idx:
            if cols:
                combo[position[cols]] = c
            line.append(dims.key(tuple(combo)))
        keys.append(line)
    return Grid(
        rows=rows, cols=cols, filters=filters, row_start=row_start, col_start=col_start,
        row_values=[dims.texts[rows][r] for r in row_idx],
        col_values=[dims.texts[cols][c] for c in col_idx] if cols else [],
        keys=keys, row_total=row_total, col_total=col_total, notes=notes)


def _start(text: str | None, total: int, page: int) -> int:
    try:
        start = int(text or 0)
    except ValueError:
        return 0
    return max(0, min(start, max(0, total - 1)))
