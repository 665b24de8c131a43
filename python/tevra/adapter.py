"""The adapter: how an asset whose values are not plain JSON runs through the engine.

A run that stores its value with a serializer, or reads an input a serializer stored,
names this module and an adapter spec (``spec_name``) as its module and function. The
engine imports this module and reads the attribute; ``__getattr__`` builds from the
spec an object that passes the asset test and whose original function stands in for
the user's function during that one call: it loads the inputs, calls the function,
stores its value with the serializer and returns the manifest, which the engine writes
as ``value.json``. So the engine stays the only way an asset runs, and every executor
runs these jobs as it runs any other.

The run's context (``tevra.run_context``) says where the run writes and where stored
values are read from; the worker sets it around the engine call.
"""

from __future__ import annotations

import collections.abc
import importlib
import inspect
import json
import os
import types
import typing
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from tevra import run_context, serializers
from tevra.values import HashingWriter, ValueStore

MODULE = __name__


@dataclass(frozen=True, slots=True)
class Spec:
    module: str  # the user's module and function
    function: str
    asset: str  # how messages name the asset
    serializer: str  # the asset's serializer
    # Parameter -> whether it gathers several partitions ({partition key: manifest}).
    loads: dict[str, bool]


def spec_name(spec: Spec) -> str:
    """An adapter's spec as the attribute name a job gives the engine."""
    return json.dumps([spec.module, spec.function, spec.asset, spec.serializer, spec.loads],
                      separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def parse_spec(name: str) -> Spec | None:
    if not name.startswith("["):
        return None
    try:
        module, function, asset, serializer, loads = json.loads(name)
    except (ValueError, TypeError):
        return None
    return Spec(module, function, asset, serializer, loads)


def __getattr__(name: str) -> Adapter:
    spec = parse_spec(name)
    if spec is None:
        raise AttributeError(f"module {MODULE!r} has no attribute {name!r}")
    return Adapter(spec)


class Adapter:
    """Stands in for the user's function during one engine call."""

    __tevra_kind__ = "asset"
    __slots__ = ("spec", "__tevra_original__")

    def __init__(self, spec: Spec) -> None:
        self.spec = spec
        module = importlib.import_module(spec.module)
        target = getattr(module, spec.function)
        user = getattr(target, "__tevra_original__", target)
        serializer = serializers.get(spec.serializer)
        targets = _load_targets(user, spec.loads)

        def run(**kwargs: Any) -> Any:
            return _run(spec, user, serializer, targets, kwargs)

        try:
            run.__signature__ = inspect.signature(user)  # type: ignore[attr-defined]
        except (TypeError, ValueError):
            pass
        run.__name__ = spec.function
        run.__qualname__ = getattr(user, "__qualname__", spec.function)
        self.__tevra_original__: Callable[..., Any] = run


def _run(spec: Spec, user: Callable[..., Any], serializer: serializers.Serializer,
         targets: dict[str, type | None], kwargs: dict[str, Any]) -> Any:
    ctx = run_context.current()
    if ctx is None:
        raise run_context.NoRunContext(
            f"{spec.asset} stores or reads serialized values, which needs a tevra run")
    if spec.loads:
        store = _store(ctx, spec)
        for param, gathered in spec.loads.items():
            if param not in kwargs:
                continue
            target = targets.get(param)
            if gathered:
                kwargs[param] = {key: _load(spec, param, store, m, target)
                                 for key, m in kwargs[param].items()}
            else:
                kwargs[param] = _load(spec, param, store, kwargs[param], target)
    value = user(**kwargs)
    if serializer.name == serializers.DEFAULT:
        return value
    if not serializer.can_store(value):
        raise serializers.SerializerError(
            f"{spec.asset} returned {_a(serializers.type_name(value))}, which the "
            f"{serializer.name} serializer cannot store: it takes {serializer.accepts}")
    path = os.path.join(ctx.output_dir, f"data.{serializer.suffix}")
    store = _store(ctx, spec)
    if serializers.dumps(serializer):
        with HashingWriter(path) as file:
            summary = serializer.dump(value, file)
        stored = store.put(path, file.digest())
    else:
        summary = serializer.store(value, path)
        stored = store.put(path)
    return serializers.manifest(serializer.name, stored.digest, stored.size,
                                serializers.type_name(value), summary)


def _store(ctx: run_context.RunContext, spec: Spec) -> ValueStore:
    if not ctx.values_dir:
        raise run_context.NoRunContext(f"{spec.asset}: this run has no value store")
    return ValueStore(ctx.values_dir)


def _load(spec: Spec, param: str, store: ValueStore, value: object,
          target: type | None) -> Any:
    m = serializers.read_manifest(value)
    serializer = serializers.get(m["format"])
    if target is not None and not serializer.can_load(target):
        raise serializers.SerializerError(
            f"{spec.asset}: input {param!r} is {m['format']} data ({m['type']}), which cannot "
            f"become {serializers.type_name(target)}, its parameter's annotation")
    path = store.path(m["sha256"])
    if not os.path.exists(path):
        raise serializers.SerializerError(
            f"{spec.asset}: input {param!r} needs the stored value {m['sha256']}, which is "
            f"missing from {store.root}")
    return serializer.load(path, m["type"], target)


def _a(name: str) -> str:
    return f"an {name}" if name[:1].lower() in "aeiou" else f"a {name}"


# -- annotations ----------------------------------------------------------------------


def _load_targets(function: Callable[..., Any], loads: dict[str, bool]) -> dict[str, type | None]:
    """Parameter -> the type its annotation asks an input to be loaded as (None: as the
    upstream returned it). A gathering parameter's annotation is a mapping whose values
    are that type."""
    if not loads:
        return {}
    hints = parameter_annotations(function)
    return {param: element_type(hints.get(param), gathered) for param, gathered in loads.items()}


def parameter_annotations(function: Callable[..., Any]) -> dict[str, Any]:
    """The function's parameter annotations, evaluated where that works; an annotation
    that cannot be evaluated is left out (its input is loaded as it was stored)."""
    try:
        return typing.get_type_hints(function)
    except Exception:
        pass
    try:
        raw = inspect.get_annotations(function)
    except Exception:
        return {}
    scope = getattr(function, "__globals__", {})
    out: dict[str, Any] = {}
    for name, annotation in raw.items():
        if isinstance(annotation, str):
            try:
                annotation = eval(annotation, scope)  # noqa: S307 - the user's own annotation
            except Exception:
                continue
        out[name] = annotation
    return out


_MAPPINGS = (dict, collections.abc.Mapping, collections.abc.MutableMapping, typing.Mapping)


def element_type(annotation: Any, gathered: bool) -> type | None:
    """The class an input should be loaded as, from its parameter's annotation."""
    annotation = _strip_optional(annotation)
    if gathered:
        origin = typing.get_origin(annotation)
        args = typing.get_args(annotation)
        if origin in _MAPPINGS and len(args) == 2:
            annotation = _strip_optional(args[1])
        else:
            return None
    if not isinstance(annotation, type) or annotation is object:
        return None
    return annotation


def _strip_optional(annotation: Any) -> Any:
    if typing.get_origin(annotation) in (typing.Union, types.UnionType):
        rest = [a for a in typing.get_args(annotation) if a is not type(None)]
        if len(rest) == 1:
            return rest[0]
    return annotation
