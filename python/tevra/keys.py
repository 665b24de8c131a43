"""Asset keys: what names an asset across runs, and how older stores' keys map to it.

An asset's key is its declared ``name``, else ``module:function`` with the module that
defines the function (``shop.orders:orders``), so the key survives moving or cloning
the project. Stores written before keyed unnamed assets by the function's absolute
file path (``/home/me/shop/shop/orders.py:orders``); ``legacy_keys`` says which of
those keys is which asset now, so their history can be carried over.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass


def default_key(module: str, function: str) -> str:
    """The key of an asset declared without a name."""
    return f"{module}:{function}"


@dataclass(frozen=True, slots=True)
class Unnamed:
    """An asset declared without a name, as discovered now."""

    file: str  # absolute path of the file defining the function
    module: str  # the module defining it
    function: str

    @property
    def key(self) -> str:
        return default_key(self.module, self.function)


def legacy_keys(stored: Iterable[str], assets: Iterable[Unnamed]) -> dict[str, str]:
    """Old stored key -> new key, for each stored path key that names one asset now.

    A stored key names an asset when its file is the asset's file, or, for a project
    that moved, when its path ends in the asset's module path (``shop/orders.py`` or
    ``shop/orders/__init__.py``) and no other asset's does. Keys of other forms, and
    path keys matching no asset or several, are left out.
    """
    unnamed = list(assets)
    by_ref = {f"{a.file}:{a.function}": a for a in unnamed}
    by_function: dict[str, list[Unnamed]] = {}
    for a in unnamed:
        by_function.setdefault(a.function, []).append(a)
    mapping: dict[str, str] = {}
    for key in stored:
        path, sep, function = key.rpartition(":")
        if not sep or not path.startswith("/"):
            continue  # a declared name, or already a module key
        exact = by_ref.get(key)
        if exact is not None:
            mapping[key] = exact.key
            continue
        moved = [a for a in by_function.get(function, ()) if _same_module(path, a.module)]
        if len(moved) == 1:
            mapping[key] = moved[0].key
    return mapping


def _same_module(path: str, module: str) -> bool:
    tail = "/" + module.replace(".", "/")
    return path.endswith(tail + ".py") or path.endswith(tail + "/__init__.py")
