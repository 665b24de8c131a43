"""The asset graph, built from the inspection document and checked before any run."""

from __future__ import annotations

import ast
import difflib
import fnmatch
import json
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from tevra.errors import GraphError
from tevra.keys import Unnamed, default_key
from tevra.partition_keys import Dimensions
from tevra.sources import parse_ref


@dataclass(frozen=True, slots=True)
class Signature:
    params: tuple[str, ...]  # accepted as keywords
    required: tuple[str, ...]  # without a default
    positional_only: tuple[str, ...]
    var_keyword: bool


@dataclass(eq=False, slots=True)
class Asset:
    key: str  # its declared name, else module:function (tevra.keys)
    label: str  # how a person sees it: its name, else its function name where unique
    module: str  # the module defining its function
    function: str
    file: str
    function_source: str
    module_source: str
    return_type: str | None
    references: dict[str, str]  # parameter -> asset reference, as declared
    dims: Dimensions
    signature: Signature | None
    named: bool = False  # declared with a name
    # The parts of the code the function reaches (tevra.codeversion); None when unknown.
    code_parts: dict[str, str] | None = None
    # How its values are stored (tevra.serializers), and why that cannot be, if it cannot.
    serializer: str = "json"
    serializer_problem: str | None = None
    # Annotated parameter -> the serializers whose data can become it: "one" for one
    # upstream value, "each" for each value of a gathered one (None: no conversion).
    loads: dict[str, dict[str, Any]] = field(default_factory=dict)
    # For files the pipeline reads but does not make (tevra.file_source): their path or
    # glob, relative to the project root.
    source: str | None = None
    inputs: dict[str, Asset] = field(default_factory=dict)  # parameter -> upstream
    downstream: list[Asset] = field(default_factory=list)

    @property
    def ref(self) -> str:
        return f"{self.file}:{self.function}"


@dataclass(slots=True)
class Graph:
    assets: list[Asset]  # in dependency order: every asset after its inputs
    by_key: dict[str, Asset]
    python_version: str
    root: str = ""  # the project's directory, which file sources are relative to

    def unnamed(self) -> list[Unnamed]:
        """The assets declared without a name, as the keys of older stores knew them."""
        return [Unnamed(a.file, a.module, a.function) for a in self.assets if not a.named]

    def one(self, name: str) -> Asset:
        """The asset a name (key, name, function name or module.function) names; a name
        that fits several is refused with them listed."""
        matched = [a for a in self.assets if name in _names(a)]
        if len(matched) == 1:
            return matched[0]
        if matched:
            raise GraphError([f"{name!r} names {len(matched)} assets: "
                              + ", ".join(a.key for a in matched) + "; give one of these keys"])
        candidates = {n for a in self.assets for n in (a.key, a.label, a.function)}
        raise GraphError([f"no asset {name!r}{did_you_mean(name, candidates)}"])

    def select(self, patterns: list[str]) -> list[Asset]:
        """The assets a selection names, in dependency order (all when none is given).

        A pattern is an asset key, name or function name, or a glob over them;
        ``+P`` adds P's upstreams and ``P+`` its downstreams.
        """
        if not patterns:
            return list(self.assets)
        chosen: set[int] = set()
        for pattern in patterns:
            up = pattern.startswith("+")
            down = pattern.endswith("+") and len(pattern) > 1
            core = pattern[1 if up else 0 : len(pattern) - (1 if down else 0)]
            matched = [a for a in self.assets if _matches(a, core)]
            if not matched:
                names = {n for a in self.assets for n in (a.key, a.label, a.function)}
                raise GraphError([f"--select {pattern!r} matches no asset{did_you_mean(core, names)}"])
            for a in matched:
                chosen.add(id(a))
                if up:
                    chosen.update(id(u) for u in _closure(a, lambda x: x.inputs.values()))
                if down:
                    chosen.update(id(d) for d in _closure(a, lambda x: x.downstream))
        return [a for a in self.assets if id(a) in chosen]


def did_you_mean(name: str, candidates: Iterable[str]) -> str:
    """`` (did you mean 'X'?)`` for the closest candidate, or nothing."""
    close = difflib.get_close_matches(name, sorted(set(candidates)), n=1)
    return f" (did you mean {close[0]!r}?)" if close else ""


def _names(asset: Asset) -> tuple[str, ...]:
    return (asset.key, asset.label, asset.function, f"{asset.module}.{asset.function}")


def _matches(asset: Asset, pattern: str) -> bool:
    names = _names(asset)
    if pattern in names:
        return True
    return any(c in pattern for c in "*?[") and any(fnmatch.fnmatchcase(n, pattern) for n in names)


def _closure(start: Asset, step: Any) -> list[Asset]:
    seen: dict[int, Asset] = {}
    todo = list(step(start))
    while todo:
        a = todo.pop()
        if id(a) not in seen:
            seen[id(a)] = a
            todo.extend(step(a))
    return list(seen.values())


def build(records: list[dict[str, Any]], python_version: str, root: str = "") -> Graph:
    """Check the inspection document's assets and link them; raise GraphError on any fault.
    ``root`` is the project's directory."""
    problems: list[str] = []
    by_ref: dict[str, Asset] = {}
    for record in records:
        asset = _asset(record, problems)
        if asset is None:
            continue
        seen = by_ref.get(asset.ref)
        # An asset imported into another scanned module is listed again: keep the record
        # of the module that defines it, whose source is the asset's own module.
        if seen is None or record["module_path"] == asset.module:
            by_ref[asset.ref] = asset

    assets = list(by_ref.values())
    _label(assets)
    by_key: dict[str, Asset] = {}
    for asset in assets:
        other = by_key.get(asset.key)
        if other is not None:
            problems.append(
                f"{asset.label} ({asset.file}): key {asset.key!r} is also the key of "
                f"{other.function} ({other.file})"
            )
            continue
        by_key[asset.key] = asset

    sources: dict[str, Asset] = {}
    for asset in list(assets):
        for param, reference in sorted(asset.references.items()):
            upstream = by_key.get(reference) or by_ref.get(reference) \
                or _source(reference, sources, by_key, assets, problems)
            if upstream is None:
                problems.append(
                    f"{asset.label} ({asset.file}): input {param!r} refers to {reference!r}, "
                    f"which is no discovered asset{_reference_hint(reference, assets)}"
                )
                continue
            asset.inputs[param] = upstream
            upstream.downstream.append(asset)
        _check_parameters(asset, problems)
        for upstream in asset.inputs.values():
            _check_alignment(asset, upstream, problems)
        _check_serializers(asset, problems)

    order = _dependency_order(assets, problems)
    if problems:
        raise GraphError(problems)
    return Graph(assets=order, by_key=by_key, python_version=python_version, root=root)


def _source(reference: str, sources: dict[str, Asset], by_key: dict[str, Asset],
            assets: list[Asset], problems: list[str]) -> Asset | None:
    """The file source a reference names (made at its first mention), or None."""
    found = sources.get(reference)
    if found is not None:
        return found
    parsed = parse_ref(reference)
    if parsed is None:
        return None
    pattern, name = parsed
    key = name or reference
    other = by_key.get(key)
    if other is not None:
        problems.append(f"file source {pattern!r}: key {key!r} is also the key of "
                        f"{other.function} ({other.file})")
        return None
    found = sources[reference] = by_key[key] = Asset(
        key=key, label=name or pattern, module="", function="", file="", function_source="",
        module_source="", return_type=None, references={}, dims=Dimensions({}),
        signature=None, named=True, source=pattern)
    assets.append(found)
    return found


def _check_serializers(asset: Asset, problems: list[str]) -> None:
    """The asset's serializer can be used, and each input stored by a serializer can
    become what its parameter's annotation asks for."""
    where = f"{asset.label} ({asset.file})"
    if asset.serializer_problem:
        problems.append(f"{where}: {asset.serializer_problem}")
    for param, upstream in sorted(asset.inputs.items()):
        entry = asset.loads.get(param)
        if upstream.serializer == "json" or entry is None:
            continue
        gathered = any(d not in asset.dims.values for d in upstream.dims.names)
        allowed = entry["each" if gathered else "one"]
        if allowed is not None and upstream.serializer not in allowed:
            problems.append(
                f"{where}: parameter {param!r} is annotated {entry['annotation']}, which "
                f"{upstream.serializer} data from {upstream.label} cannot become")


def _reference_hint(reference: str, assets: list[Asset]) -> str:
    path, sep, _ = reference.rpartition(":")
    if sep and path.startswith("/"):
        # A function given as the input: its module was not among those scanned.
        return f" (scan the module of {path} too, or the package holding it)"
    return did_you_mean(reference, [n for a in assets for n in (a.key, a.label)])


def _asset(record: dict[str, Any], problems: list[str]) -> Asset | None:
    meta = record.get("decorator_metadata")
    if not isinstance(meta, dict):
        meta = {}
    where = f"{record['function_name']} ({record['file_path']})"
    name = meta.get("name")
    dims: dict[str, list[Any]] = {}
    for dim, descriptor in sorted((meta.get("partitions") or {}).items()):
        try:
            values = json.loads(descriptor["values_json"])
        except (TypeError, KeyError, ValueError):
            problems.append(f"{where}: partition dimension {dim!r} has no readable values")
            continue
        dims[dim] = values
    dimensions = Dimensions(dims)
    for dim in dimensions.names:
        texts = dimensions.texts[dim]
        if len(set(texts)) != len(texts):
            repeated = sorted({t for t in texts if texts.count(t) > 1})
            problems.append(
                f"{where}: partition dimension {dim!r} repeats the value(s) {', '.join(repeated)}"
            )
    named = isinstance(name, str) and bool(name)
    module = record.get("defining_module") or record["module_path"]
    return Asset(
        key=name if isinstance(name, str) and name else default_key(module, record["function_name"]),
        label="",
        module=module,
        function=record["function_name"],
        file=record["file_path"],
        function_source=record["function_source"],
        module_source=record["module_source"],
        return_type=record["return_type"],
        references=dict(meta.get("inputs") or {}),
        dims=dimensions,
        signature=_signature(record["function_source"]),
        named=named,
        code_parts=record.get("code_parts"),
        serializer=meta.get("serializer") or "json",
        serializer_problem=record.get("serializer_problem"),
        loads=record.get("loads") or {},
    )


def _label(assets: list[Asset]) -> None:
    counts: dict[str, int] = {}
    for a in assets:
        counts[a.function] = counts.get(a.function, 0) + 1
    for a in assets:
        if a.named:
            a.label = a.key
        elif counts[a.function] == 1:
            a.label = a.function
        else:
            a.label = f"{a.module}.{a.function}"


def _signature(source: str) -> Signature | None:
    """The function's parameters, read from its source without importing it."""
    try:
        tree = ast.parse(source)
    except SyntaxError:
        return None
    fn = next(
        (n for n in tree.body if isinstance(n, ast.FunctionDef | ast.AsyncFunctionDef)), None
    )
    if fn is None:
        return None
    a = fn.args
    positional = [*a.posonlyargs, *a.args]
    first_default = len(positional) - len(a.defaults)
    required = [p.arg for i, p in enumerate(positional) if i >= len(a.posonlyargs) and i < first_default]
    required += [p.arg for p, d in zip(a.kwonlyargs, a.kw_defaults) if d is None]
    return Signature(
        params=tuple(p.arg for p in [*a.args, *a.kwonlyargs]),
        required=tuple(required),
        positional_only=tuple(
            p.arg for i, p in enumerate(a.posonlyargs) if i < first_default
        ),
        var_keyword=a.kwarg is not None,
    )


def _check_parameters(asset: Asset, problems: list[str]) -> None:
    sig = asset.signature
    if sig is None:
        return
    where = f"{asset.label} ({asset.file})"
    given = [("input", p) for p in sorted(asset.references)] + [
        ("partition dimension", d) for d in asset.dims.names
    ]
    for what, name in given:
        if name not in sig.params and not sig.var_keyword:
            problems.append(f"{where}: {what} {name!r} is not a parameter of {asset.function}()")
    passed = set(asset.references) | set(asset.dims.names)
    for name in sig.required:
        if name not in passed:
            problems.append(
                f"{where}: parameter {name!r} has no default and is neither an input "
                "nor a partition dimension"
            )
    for name in sig.positional_only:
        problems.append(
            f"{where}: parameter {name!r} is positional-only and has no default, "
            "so no run can pass it"
        )


def _check_alignment(asset: Asset, upstream: Asset, problems: list[str]) -> None:
    """A shared dimension must offer the upstream every value the asset runs for."""
    for dim in asset.dims.names:
        if dim not in upstream.dims.values:
            continue
        offered = set(upstream.dims.texts[dim])
        missing = [t for t in asset.dims.texts[dim] if t not in offered]
        if missing:
            problems.append(
                f"{asset.label} ({asset.file}): partition dimension {dim!r} has value(s) "
                f"{', '.join(missing)} that its input {upstream.label} lacks"
            )


def _dependency_order(assets: Iterable[Asset], problems: list[str]) -> list[Asset]:
    """Every asset after its inputs; each cycle reported once. Iterative, so that a long
    chain of assets does not meet the interpreter's recursion limit."""
    order: list[Asset] = []
    state: dict[int, int] = {}  # 1 while on the path, 2 once placed
    reported: set[frozenset[int]] = set()
    for start in assets:
        if id(start) in state:
            continue
        path = [start]
        state[id(start)] = 1
        stack = [iter([start.inputs[p] for p in sorted(start.inputs)])]
        while stack:
            upstream = next(stack[-1], None)
            if upstream is None:
                stack.pop()
                done = path.pop()
                state[id(done)] = 2
                order.append(done)
                continue
            mark = state.get(id(upstream))
            if mark == 2:
                continue
            if mark == 1:
                cycle = path[path.index(upstream):] + [upstream]
                ident = frozenset(id(a) for a in cycle)
                if ident not in reported:
                    reported.add(ident)
                    problems.append(
                        f"{upstream.label} ({upstream.file}): dependency cycle "
                        + " -> ".join(a.label for a in cycle)
                    )
                continue
            state[id(upstream)] = 1
            path.append(upstream)
            stack.append(iter([upstream.inputs[p] for p in sorted(upstream.inputs)]))
    return order
