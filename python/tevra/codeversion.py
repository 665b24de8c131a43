"""Code versions that follow the code: the parts of the code an asset's function reaches.

An asset's code is its function and what it reaches in the project: the module-level
functions, classes and constants it names, and what those name in turn, across the
project's own modules, read from the files with ``ast`` and never run. Each part is
hashed on its syntax tree without comments, docstrings or positions, so a comment, a
docstring, a moved line or an edit to a function nothing reaches leaves the version
alone. A module from outside the project counts by the version of the distribution
that installed it, the standard library by the interpreter's major.minor.

The parts are kept with a run, so that a later status can say which of them changed.
Part names: ``module:name`` for a definition, ``module`` for a whole module (one used
as a value rather than through its attributes, or one outside the project that no
distribution installed), ``dist:NAME`` for a distribution, ``python`` for the
interpreter. Values are hashes, or versions for the last two kinds.
"""

from __future__ import annotations

import ast
import hashlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Literal

Parts = dict[str, str]

MISSING = "not found"
UNVERSIONED = "no version"


@dataclass(frozen=True, slots=True)
class Location:
    """Where a module lives, as far as code versions are concerned."""

    kind: Literal["project", "stdlib", "dist", "other", "missing"]
    file: str | None = None  # its source file: project and other modules
    package: bool = False  # a package (its file is the package's __init__)
    dist: str | None = None  # the distribution that installed it, and its version
    version: str | None = None


# Module name -> where it lives; supplied by the discovery child, which may import.
Locate = Callable[[str], Location]


def changes(old: Parts, new: Parts) -> list[str]:
    """What differs between the parts recorded with a run and the parts now, one line each."""
    lines = []
    for name in sorted(old.keys() | new.keys()):
        before, after = old.get(name), new.get(name)
        if before == after:
            continue
        versioned = name == "python" or name.startswith("dist:")
        what = ("Python" if name == "python" else f"distribution {name[5:]}"
                if name.startswith("dist:") else name if ":" in name else f"module {name}")
        if before is None:
            lines.append(f"{what} is newly used" + (f" ({after})" if versioned else ""))
        elif after is None:
            lines.append(f"{what} is no longer used")
        elif versioned:
            lines.append(f"{what} changed from {before} to {after}")
        else:
            lines.append(f"{what} changed")
    return lines


@dataclass(frozen=True, slots=True)
class _Import:
    module: str  # absolute module name
    attr: str | None  # None: the name is bound to the module itself


Binding = ast.stmt | _Import


@dataclass(slots=True)
class _Module:
    name: str
    tree: ast.Module
    package: bool
    bindings: dict[str, list[Binding]] = field(default_factory=dict)  # in file order
    stars: list[str] = field(default_factory=list)  # modules imported with "*"


# What a definition reaches: a definition of the project (module, name; name "" for
# the whole module), or a part from outside it with its value.
_Def = tuple[str, str]


@dataclass(frozen=True, slots=True)
class _Outside:
    part: str
    value: str


class Reach:
    """The parts of assets' code; each module is read and each definition hashed once."""

    def __init__(self, locate: Locate, python_version: str) -> None:
        self._locate = locate
        self._python = ".".join(python_version.split(".")[:2])
        self._locations: dict[str, Location] = {}
        self._modules: dict[str, _Module | None] = {}
        self._defs: dict[_Def, tuple[str, list[_Def | _Outside]]] = {}

    def parts(self, module: str, function: str,
              source: Callable[[], str | None] = lambda: None) -> Parts:
        """Every part the asset ``function`` of ``module`` reaches, with its value.

        ``source`` gives the function's own text, which stands for it (with its whole
        module) when it is no plain module-level function.
        """
        parts: Parts = {"python": self._python}
        mod = self._module(module)
        if mod is None or not any(isinstance(b, ast.FunctionDef | ast.AsyncFunctionDef)
                                  for b in mod.bindings.get(function, ())):
            text = source()
            if text is not None:
                parts[f"{module}:{function}"] = _hash(text)
            if mod is not None:
                parts[module] = self._definition(module, "")[0]
            return parts
        todo: list[_Def] = [(module, function)]
        seen: set[_Def] = set()
        while todo:
            where = todo.pop()
            if where in seen:
                continue
            seen.add(where)
            digest, reached = self._definition(*where)
            parts[f"{where[0]}:{where[1]}" if where[1] else where[0]] = digest
            for target in reached:
                if isinstance(target, _Outside):
                    parts[target.part] = target.value
                else:
                    todo.append(target)
        return parts

    # -- one definition ----------------------------------------------------------

    def _definition(self, module: str, name: str) -> tuple[str, list[_Def | _Outside]]:
        cached = self._defs.get((module, name))
        if cached is not None:
            return cached
        mod = self._module(module)
        if mod is None:  # a namespace package: no file of its own
            return ("", [])
        nodes: list[ast.AST] = (
            [mod.tree] if not name
            else [b for b in mod.bindings.get(name, ()) if isinstance(b, ast.stmt)]
        )
        reached: list[_Def | _Outside] = []
        if name:  # a whole module's parts are its own: what it imports is not followed
            for node in nodes:
                local = _imports_within(node, mod)
                for chain in _references(node):
                    reached.extend(self._resolve(mod, chain, local))
        result = (_hash("\n".join(ast.dump(n) for n in nodes)), reached)
        self._defs[(module, name)] = result
        return result

    def _resolve(self, mod: _Module, chain: list[str], local: dict[str, list[Binding]],
                 depth: int = 0) -> Iterator[_Def | _Outside]:
        """What a dotted name used in ``mod`` reaches."""
        if depth > 64:  # names re-exported in a circle: nothing more to find
            return
        head = chain[0]
        bindings = local.get(head) or mod.bindings.get(head)
        if not bindings:
            for star in mod.stars:  # a name no statement binds may come from "import *"
                starred = self._module(star)
                if starred is not None and head in starred.bindings:
                    yield from self._resolve(starred, chain, {}, depth + 1)
            return  # else a builtin, or a name only set at run time
        for binding in bindings:
            if isinstance(binding, ast.stmt):
                yield (mod.name, head)
            elif binding.attr is None:
                yield from self._within(binding.module, chain[1:], depth + 1)
            else:
                yield from self._within(binding.module, [binding.attr, *chain[1:]], depth + 1)

    def _within(self, module: str, rest: list[str], depth: int) -> Iterator[_Def | _Outside]:
        """What ``module.rest[0].rest[1]...`` reaches: a definition, a submodule, or the
        module itself when nothing of it is named."""
        while True:
            where = self._location(module)
            if where.kind == "stdlib":
                return
            if where.kind != "project":
                yield self._outside(module, where)
                return
            if not rest:
                yield (module, "")
                return
            sub = f"{module}.{rest[0]}"
            if self._location(sub).kind == "missing":
                mod = self._module(module)
                if mod is not None and rest[0] in mod.bindings:
                    yield from self._resolve(mod, rest, {}, depth + 1)
                return  # else an attribute set at run time: nothing to read
            module, rest = sub, rest[1:]

    def _outside(self, module: str, where: Location) -> _Outside:
        if where.kind == "dist" and where.dist:
            return _Outside(f"dist:{where.dist}", where.version or "")
        if where.kind == "other":
            try:
                with open(where.file or "", "rb") as f:
                    return _Outside(module, _hash(f.read().decode("utf-8", "replace")))
            except OSError:
                return _Outside(module, UNVERSIONED)
        return _Outside(module, MISSING)

    # -- modules -----------------------------------------------------------------

    def _location(self, module: str) -> Location:
        where = self._locations.get(module)
        if where is None:
            where = self._locations[module] = self._locate(module)
        return where

    def _module(self, module: str) -> _Module | None:
        if module in self._modules:
            return self._modules[module]
        where = self._location(module)
        found = None
        if where.kind == "project" and where.file:
            try:
                with open(where.file, "rb") as f:
                    tree = ast.parse(f.read(), where.file)
            except (OSError, SyntaxError, ValueError):
                tree = None
            if tree is not None:
                _Strip().visit(tree)  # the tree is ours alone: strip it in place, once
                found = _Module(module, tree, where.package)
                _bind(found, tree.body, found.bindings)
        self._modules[module] = found
        return found


# -- syntax -----------------------------------------------------------------------


def _hash(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]


def _absolute(mod: _Module, module: str | None, level: int) -> str:
    """The absolute name of ``from <level dots><module> import ...`` written in ``mod``."""
    if level == 0:
        return module or ""
    base = mod.name.split(".")
    if not mod.package:
        base = base[:-1]
    base = base[: len(base) - (level - 1)] if level > 1 else base
    return ".".join([*base, module] if module else base)


def _bind(mod: _Module, body: list[ast.stmt], into: dict[str, list[Binding]]) -> None:
    """Record the names that statements bind, looking into compound statements
    (``if``, ``try``, ``with``, loops) but not into functions and classes."""
    for stmt in body:
        if isinstance(stmt, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            into.setdefault(stmt.name, []).append(stmt)
        elif isinstance(stmt, ast.Import):
            for alias in stmt.names:
                if alias.asname:
                    into.setdefault(alias.asname, []).append(_Import(alias.name, None))
                else:
                    top = alias.name.split(".")[0]
                    into.setdefault(top, []).append(_Import(top, None))
        elif isinstance(stmt, ast.ImportFrom):
            source = _absolute(mod, stmt.module, stmt.level)
            for alias in stmt.names:
                if alias.name == "*":
                    mod.stars.append(source)
                else:
                    into.setdefault(alias.asname or alias.name, []).append(
                        _Import(source, alias.name))
        elif isinstance(stmt, ast.Assign | ast.AnnAssign | ast.AugAssign | ast.TypeAlias):
            targets: list[ast.expr] = (
                stmt.targets if isinstance(stmt, ast.Assign)
                else [stmt.name] if isinstance(stmt, ast.TypeAlias) else [stmt.target])
            for target in targets:
                for node in ast.walk(target):
                    if isinstance(node, ast.Name):
                        into.setdefault(node.id, []).append(stmt)
        else:
            for inner in ("body", "orelse", "finalbody"):
                _bind(mod, getattr(stmt, inner, []), into)
            for handler in getattr(stmt, "handlers", []):
                _bind(mod, handler.body, into)
            for case in getattr(stmt, "cases", []):
                _bind(mod, case.body, into)


def _imports_within(node: ast.AST, mod: _Module) -> dict[str, list[Binding]]:
    """Names bound by import statements inside a definition (imports made at run time)."""
    imports: list[ast.stmt] = [n for n in ast.walk(node) if isinstance(n, ast.Import | ast.ImportFrom)]
    found: dict[str, list[Binding]] = {}
    if imports and not isinstance(node, ast.Import | ast.ImportFrom):
        _bind(mod, imports, found)
    return found


def _is_asset_decorator(node: ast.expr) -> bool:
    # The decorator's inputs and partitions are judged by the plan, not as code: an
    # upstream's code is its own, its value reaches the asset as data.
    func = node.func if isinstance(node, ast.Call) else node
    return (isinstance(func, ast.Name) and func.id == "asset") or (
        isinstance(func, ast.Attribute) and func.attr == "asset")


class _Strip(ast.NodeTransformer):
    """Drops docstrings and ``@asset(...)`` decorators."""

    def _body(self, node: ast.AST) -> ast.AST:
        body = getattr(node, "body", None)
        if (isinstance(body, list) and body and isinstance(body[0], ast.Expr)
                and isinstance(body[0].value, ast.Constant) and isinstance(body[0].value.value, str)):
            node.body = body[1:] or [ast.Pass()]  # type: ignore[attr-defined]
        decorators = getattr(node, "decorator_list", None)
        if decorators is not None:
            node.decorator_list = [  # type: ignore[attr-defined]
                d for d in decorators if not _is_asset_decorator(d)]
        return self.generic_visit(node)

    visit_FunctionDef = visit_AsyncFunctionDef = visit_ClassDef = visit_Module = _body


def _references(node: ast.AST) -> Iterator[list[str]]:
    """The dotted names a definition uses that it does not bind itself (names it imports
    are left in, to be found through the import): ``helper`` is ``["helper"]``,
    ``util.helper(...)`` is ``["util", "helper"]``."""
    bound = _bound_within(node)
    inside_chain: set[int] = set()
    for sub in ast.walk(node):
        if isinstance(sub, ast.Attribute) and id(sub) not in inside_chain:
            chain: list[str] = []
            cur: ast.expr = sub
            while isinstance(cur, ast.Attribute):
                inside_chain.add(id(cur))
                chain.append(cur.attr)
                cur = cur.value
            if isinstance(cur, ast.Name) and isinstance(cur.ctx, ast.Load):
                inside_chain.add(id(cur))
                if cur.id not in bound:
                    yield [cur.id, *reversed(chain)]
        elif (isinstance(sub, ast.Name) and isinstance(sub.ctx, ast.Load)
              and id(sub) not in inside_chain and sub.id not in bound):
            yield [sub.id]


def _bound_within(node: ast.AST) -> set[str]:
    """Names a definition binds for itself: parameters, assignments, nested definitions,
    handlers and match captures; less those it declares ``global``."""
    bound: set[str] = set()
    declared_global: set[str] = set()
    for sub in ast.walk(node):
        if sub is node and isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef
                                      | ast.ClassDef):
            continue  # its own name is the module's
        if isinstance(sub, ast.Name) and isinstance(sub.ctx, ast.Store | ast.Del):
            bound.add(sub.id)
        elif isinstance(sub, ast.arg):
            bound.add(sub.arg)
        elif isinstance(sub, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            bound.add(sub.name)
        elif isinstance(sub, ast.ExceptHandler) and sub.name:
            bound.add(sub.name)
        elif isinstance(sub, ast.MatchAs | ast.MatchStar) and sub.name:
            bound.add(sub.name)
        elif isinstance(sub, ast.MatchMapping) and sub.rest:
            bound.add(sub.rest)
        elif isinstance(sub, ast.Global):
            declared_global.update(sub.names)
    return bound - declared_global
