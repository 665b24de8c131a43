"""The partitions of a plan: for each asset, its partitions as positions in the product
of its dimensions (the first dimension varying slowest), their states in byte arrays,
and the alignment by which a downstream's partitions read an upstream's. Upstreams and
dependents are computed from the alignment, never stored per partition, so a plan of
millions of partitions costs a few dozen bytes for each. ``Node`` is a view of one
position, made when somebody asks.
"""

from __future__ import annotations

from array import array
from collections.abc import Iterable, Iterator, Sequence

from tevra import jobs
from tevra.graph import Asset
from tevra.jobs import USABLE
from tevra.store.schema import Fact

# Node states. Pending nodes wait for an upstream; the others are final or running.
PENDING = "pending"
RUN = "run"

# A state is held as its position in this tuple.
STATES = (PENDING, RUN, *jobs.STATUSES)
STATE_CODE = {name: code for code, name in enumerate(STATES)}
PENDING_CODE, RUN_CODE, CACHED_CODE = STATE_CODE[PENDING], STATE_CODE[RUN], STATE_CODE[jobs.CACHED]
USABLE_CODES = frozenset(STATE_CODE[s] for s in USABLE)
# The same, as ``Edge.first_not`` takes them.
USABLE_BYTES, CACHED_BYTES = bytes(sorted(USABLE_CODES)), bytes([CACHED_CODE])

# A value as the plan hands it to a job, and the stored data files its manifest names.
Value = tuple[jobs.Value, tuple[str, ...]]

# Reasons held as a byte per node; any other reason is kept in a dict beside.
REASONS = ("", "never run", "code changed", "an input changed", "value missing",
           "value changed", "forced")
REASON_CODE = {text: code for code, text in enumerate(REASONS)}
OTHER_REASON = 255



class Part:
    """The partitions of one asset in the plan."""

    __slots__ = ("asset", "size", "sizes", "strides", "included", "targets", "count", "state",
                 "reason", "reasons", "failed_last", "waiting", "readers", "versions", "success",
                 "paths", "inputs_seen", "facts", "edges", "downs", "need", "judged", "pieces",
                 "prefix", "data_files")

    def __init__(self, asset: Asset) -> None:
        self.asset = asset
        dims = asset.dims
        self.sizes = [len(dims.values[d]) for d in dims.names]
        self.strides = [1] * len(self.sizes)
        for k in range(len(self.sizes) - 2, -1, -1):
            self.strides[k] = self.strides[k + 1] * self.sizes[k + 1]
        self.size = dims.size()
        # "dim=text" of every value, per dimension: a key joins one of each.
        self.pieces = dims.pieces
        self.prefix = asset.label + "["
        # None: every partition (of those included) is so.
        self.included: bytearray | None = bytearray(self.size)
        self.targets: bytearray | None = bytearray(self.size)
        self.count = 0
        self.state = bytearray(self.size)
        self.reason = bytearray(self.size)
        self.reasons: dict[int, str] = {}
        # Partitions whose last run failed, with that run's status.
        self.failed_last: dict[int, str] = {}
        self.waiting: array[int] | None = None
        self.readers: array[int] | None = None
        # Of settled partitions that a dependent has yet to read: the data version, and
        # the value where this invocation made it, else the id of the success whose
        # value it is (looked up only for a dependent that runs).
        self.versions: list[str | None] = []
        self.success: array[int] = array("q")
        self.paths: dict[int, Value] = {}
        # Of settled partitions that a dependent has yet to read, known to this
        # invocation (made by it, or given to a job): the stored data files the value names.
        self.data_files: dict[int, tuple[str, ...]] = {}
        # Of partitions decided to run: their input versions, until they finish.
        self.inputs_seen: dict[int, str] = {}
        # Latest facts of partitions that wait for an upstream.
        self.facts: dict[int, Fact] | None = None
        self.edges: list[Edge] = []  # one per upstream asset
        self.downs: list[Edge] = []  # one per dependent asset
        self.need = 0  # upstream partitions each partition waits for
        self.judged = False

    def combo(self, i: int) -> tuple[int, ...]:
        sizes = self.sizes
        # One and two dimensions by hand: they are most assets, and this is hot.
        if len(sizes) == 1:
            return (i,)
        if len(sizes) == 2:
            return divmod(i, sizes[1])
        out = []
        for size in reversed(sizes):
            i, r = divmod(i, size)
            out.append(r)
        return tuple(reversed(out))

    def position(self, combo: Iterable[int]) -> int:
        return sum(c * s for c, s in zip(combo, self.strides))

    def key(self, i: int) -> str:
        pieces = self.pieces
        if len(pieces) == 1:
            return pieces[0][i]
        if len(pieces) == 2:
            a, b = divmod(i, self.sizes[1])
            return pieces[0][a] + "," + pieces[1][b]
        if not pieces:
            return ""
        return ",".join([pieces[k][v] for k, v in enumerate(self.combo(i))])

    def keys(self, positions: Sequence[int]) -> list[str]:
        """``key`` of each of ``positions``; a run of one row of a two-dimension asset
        (what a downstream gathering the last dimension reads) without a call each."""
        pieces = self.pieces
        if len(pieces) == 2 and isinstance(positions, range) and positions.step == 1 \
                and positions:
            a, b = divmod(positions.start, self.sizes[1])
            if b + len(positions) <= self.sizes[1]:
                head = pieces[0][a] + ","
                return [head + piece for piece in pieces[1][b:b + len(positions)]]
        key = self.key
        return [key(i) for i in positions]

    def label(self, i: int) -> str:
        pieces = self.pieces
        if len(pieces) == 2:  # as in ``key``: a status prints a million of these
            a, b = divmod(i, self.sizes[1])
            return self.prefix + pieces[0][a] + "," + pieces[1][b] + "]"
        return self.prefix + self.key(i) + "]" if pieces else self.asset.label

    def has(self, i: int) -> bool:
        return self.included is None or bool(self.included[i])

    def is_target(self, i: int) -> bool:
        return self.targets is None or bool(self.targets[i])

    def positions(self) -> Iterator[int]:
        if self.included is None:
            return iter(range(self.size))
        included = self.included
        return (i for i in range(self.size) if included[i])

    def reason_of(self, i: int) -> str:
        code = self.reason[i]
        return self.reasons.get(i, "") if code == OTHER_REASON else REASONS[code]

    def set_reason(self, i: int, text: str) -> None:
        code = REASON_CODE.get(text)
        if code is None:
            self.reason[i] = OTHER_REASON
            self.reasons[i] = text
        else:
            self.reason[i] = code
            self.reasons.pop(i, None)

    def release(self, i: int) -> None:
        """Forget the value of a settled partition no dependent still needs to read, so
        that a long run's memory stays flat."""
        if self.readers is None or self.readers[i] == 0:
            if self.versions:
                self.versions[i] = None
            self.paths.pop(i, None)


class Edge:
    """How the partitions of ``down`` read those of ``up``: shared dimensions line up by
    value text, the upstream's other dimensions are gathered."""

    __slots__ = ("up", "down", "params", "fixed", "free", "back", "down_free", "gathered",
                 "span")

    def __init__(self, up: Part, down: Part) -> None:
        self.up, self.down = up, down
        self.params: list[str] = []
        udims, ddims = up.asset.dims, down.asset.dims
        # Upstream position from the downstream's combination, and back.
        self.fixed: list[tuple[int, int, list[int]]] = []
        self.back: list[tuple[int, int, list[int]]] = []
        free_up: list[int] = []
        for j, dim in enumerate(udims.names):
            if dim in ddims.values:
                k = ddims.names.index(dim)
                table = [udims.index[dim][t] for t in ddims.texts[dim]]
                inverse = [-1] * up.sizes[j]
                for dv, uv in enumerate(table):
                    inverse[uv] = dv
                self.fixed.append((k, up.strides[j], table))
                self.back.append((j, down.strides[k], inverse))
            else:
                free_up.append(j)
        self.free = _offsets(up, free_up)
        self.down_free = _offsets(down, [k for k, d in enumerate(ddims.names)
                                         if d not in udims.values])
        self.gathered = bool(free_up)
        # Gathering the upstream's last dimensions reads a run of its positions.
        self.span = len(self.free) if self.free == list(range(len(self.free))) else 0

    def deps(self, combo: tuple[int, ...]) -> Sequence[int]:
        """The upstream positions the downstream combination ``combo`` reads, in order:
        a ``range`` where they follow each other."""
        base = 0
        for k, stride, table in self.fixed:
            base += stride * table[combo[k]]
        if self.span:
            return range(base, base + self.span)
        return [base + o for o in self.free]

    def first_not(self, deps: Sequence[int], codes: bytes) -> int | None:
        """The first of ``deps`` whose state is not one of ``codes``, if any: a run of
        positions is checked in one pass over the upstream's states."""
        state = self.up.state
        if isinstance(deps, range) and deps.step == 1 \
                and not state[deps.start:deps.stop].translate(None, codes):
            return None
        for u in deps:
            if state[u] not in codes:
                return u
        return None

    def dependents(self, combo: tuple[int, ...]) -> list[int]:
        """The downstream positions (included or not) that read upstream ``combo``."""
        base = 0
        for j, stride, inverse in self.back:
            v = inverse[combo[j]]
            if v < 0:
                return []
            base += stride * v
        return [base + o for o in self.down_free]


def _offsets(part: Part, dims: list[int]) -> list[int]:
    offsets = [0]
    for k in dims:
        stride = part.strides[k]
        offsets = [o + v * stride for o in offsets for v in range(part.sizes[k])]
    return offsets


class Node:
    """One asset partition of a plan, as the run loop and the display see it."""

    __slots__ = ("part", "index")

    def __init__(self, part: Part, index: int) -> None:
        self.part = part
        self.index = index

    @property
    def asset(self) -> Asset:
        return self.part.asset

    @property
    def combo(self) -> tuple[int, ...]:
        return self.part.combo(self.index)

    @property
    def key(self) -> str:
        return self.part.key(self.index)

    @property
    def label(self) -> str:
        return self.part.label(self.index)

    @property
    def state(self) -> str:
        return STATES[self.part.state[self.index]]

    @property
    def runs(self) -> bool:
        """Decided to run."""
        return self.part.state[self.index] == RUN_CODE

    @property
    def reason(self) -> str:
        return self.part.reason_of(self.index)

    @property
    def target(self) -> bool:
        return self.part.is_target(self.index)

    @property
    def input_versions(self) -> str | None:
        return self.part.inputs_seen.get(self.index)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Node) and other.part is self.part and other.index == self.index

    def __hash__(self) -> int:
        return hash((id(self.part), self.index))

    def __repr__(self) -> str:
        return f"<Node {self.label} {self.state}>"


class Positions:
    """Partition key text -> position, without making every key of a large asset."""

    # Up to this many values in every dimension, each "dim=text" piece maps straight to
    # its share of the position: a key is then a split and a lookup per dimension.
    DIRECT = 100_000

    def __init__(self, part: Part) -> None:
        self.part = part
        dims = part.asset.dims
        self.lookups = [dims.index[d] for d in dims.names]
        self.names = dims.names
        self.direct: list[dict[str, int]] | None = None
        if part.sizes and max(part.sizes) <= self.DIRECT:
            self.direct = [{piece: j * stride for j, piece in enumerate(pieces)}
                           for pieces, stride in zip(part.pieces, part.strides)]

    def get(self, key: str) -> int | None:
        direct = self.direct
        if direct is not None:
            if len(direct) == 1:
                return direct[0].get(key)
            if len(direct) == 2:
                first, _, second = key.partition(",")
                a = direct[0].get(first)
                b = direct[1].get(second)
                return None if a is None or b is None else a + b
            pieces = key.split(",")
            if len(pieces) != len(direct):
                return None
            i = 0
            for piece, shares in zip(pieces, direct):
                share = shares.get(piece)
                if share is None:
                    return None
                i += share
            return i
        part = self.part
        if not part.sizes:
            return 0 if key == "" else None
        pieces = key.split(",")
        if len(pieces) != len(self.names):
            return None
        i = 0
        for piece, name, lookup, stride in zip(pieces, self.names, self.lookups, part.strides):
            dim, sep, text = piece.partition("=")
            if dim != name or not sep:
                return None
            v = lookup.get(text)
            if v is None:
                return None
            i += v * stride
        return i


def reads_all(edge: Edge) -> bool:
    """Whether the dependents of ``edge`` read every upstream partition: each shared
    dimension's upstream values all appear downstream."""
    return all(min(inverse) >= 0 for _, _, inverse in edge.back)
