"""The project file: the ``[tool.tevra]`` table of a ``pyproject.toml``.

Found upward from the working directory (the nearest ``pyproject.toml`` that has the
table); its folder is the project's root, where modules are imported from and the
state directory lives. Every setting is optional; the command line wins over the file,
and a table under ``[tool.tevra.assets."GLOB"]`` sets ``retries``, ``retry_delay`` and
``timeout`` for the assets whose key matches GLOB (``shop.sources:*``; every matching
table applies, later ones over earlier ones)::

    [tool.tevra]
    modules = ["shop"]            # modules or packages; a package brings its submodules
    exclude = ["shop.tests.*"]    # submodules a package's walk leaves out
    state = ".tevra"              # relative to the file's folder
    jobs = 4
    timeout = 600                 # seconds per run
    retries = 2                   # attempts after a failure, crash or timeout
    retry_delay = 1.0             # seconds before the first retry, doubled each time

Nothing here imports user code.
"""

from __future__ import annotations

import difflib
import fnmatch
import os
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tevra.errors import ProjectError

FILE_NAME = "pyproject.toml"

_GLOBAL = ("modules", "exclude", "state", "jobs", "timeout", "retries", "retry_delay", "assets")
_PER_ASSET = ("retries", "retry_delay", "timeout")


@dataclass(frozen=True, slots=True)
class RunSettings:
    """How an asset's runs go: its time limit, retries and the first retry's delay."""

    timeout: float | None = None
    retries: int = 0
    retry_delay: float = 1.0


@dataclass(frozen=True, slots=True)
class Project:
    root: Path  # where modules are imported from
    file: Path | None = None  # None: no project file was found
    modules: list[str] = field(default_factory=list)
    exclude: list[str] = field(default_factory=list)
    state: Path | None = None
    jobs: int | None = None
    timeout: float | None = None
    retries: int | None = None
    retry_delay: float | None = None
    # (glob over asset keys, its settings as written), in file order
    assets: list[tuple[str, dict[str, Any]]] = field(default_factory=list)

    def settings(self, key: str, *, timeout: float | None = None,
                 retries: int | None = None) -> RunSettings:
        """An asset's run settings: the command line's ``timeout`` and ``retries`` when
        given, else the asset's tables, else the project's, else the defaults."""
        merged: dict[str, Any] = {"timeout": self.timeout, "retries": self.retries,
                                  "retry_delay": self.retry_delay}
        for glob, table in self.assets:
            if fnmatch.fnmatchcase(key, glob):
                merged.update(table)
        if timeout is not None:
            merged["timeout"] = timeout
        if retries is not None:
            merged["retries"] = retries
        return RunSettings(
            timeout=merged["timeout"],
            retries=merged["retries"] if merged["retries"] is not None else 0,
            retry_delay=merged["retry_delay"] if merged["retry_delay"] is not None else 1.0,
        )


def find(start: Path) -> Path | None:
    """The nearest ``pyproject.toml`` at or above ``start`` with a ``[tool.tevra]`` table."""
    for folder in (start, *start.parents):
        candidate = folder / FILE_NAME
        if candidate.is_file() and _has_table(candidate):
            return candidate
    return None


def _has_table(path: Path) -> bool:
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except (OSError, tomllib.TOMLDecodeError):
        # A broken file is only reported when it is the project file: look for the
        # table's header in its text.
        try:
            text = path.read_text(encoding="utf-8", errors="replace")
        except OSError:
            return False
        return any(line.strip().startswith("[tool.tevra") for line in text.splitlines())
    tool = data.get("tool")
    return isinstance(tool, dict) and "tevra" in tool


def load(start: Path | None = None) -> Project:
    """The project around ``start`` (default: the working directory); a project of
    defaults rooted at ``start`` when no file is found."""
    start = (start or Path.cwd()).absolute()
    path = find(start)
    if path is None:
        return Project(root=start)
    return parse(path)


def parse(path: Path) -> Project:
    where = _shown(path)
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except tomllib.TOMLDecodeError as exc:
        raise ProjectError(f"{where}: {exc}") from None
    except OSError as exc:
        raise ProjectError(f"{where}: {exc.strerror}") from None
    table = data.get("tool", {}).get("tevra")
    if not isinstance(table, dict):
        raise ProjectError(f"{where}: [tool.tevra] must be a table")
    _known(table, _GLOBAL, f"{where}: [tool.tevra]")
    root = path.parent
    check = _Checker(f"{where}: [tool.tevra]")
    state = check.text(table, "state")
    assets: list[tuple[str, dict[str, Any]]] = []
    per_asset = table.get("assets", {})
    if not isinstance(per_asset, dict):
        raise ProjectError(f"{where}: [tool.tevra] assets must be a table of tables, one per "
                           'key or glob ([tool.tevra.assets."shop.sources:*"])')
    for glob, settings in per_asset.items():
        label = f'{where}: [tool.tevra.assets."{glob}"]'
        if not isinstance(settings, dict):
            raise ProjectError(f"{label} must be a table (retries, retry_delay, timeout)")
        _known(settings, _PER_ASSET, label)
        one = _Checker(label)
        assets.append((glob, {k: v for k, v in (
            ("retries", one.count(settings, "retries")),
            ("retry_delay", one.seconds(settings, "retry_delay", zero=True)),
            ("timeout", one.seconds(settings, "timeout")),
        ) if k in settings}))
    jobs = check.count(table, "jobs")
    if jobs == 0:
        raise ProjectError(f"{where}: [tool.tevra] jobs must be at least 1, not 0")
    return Project(
        root=root,
        file=path,
        modules=check.names(table, "modules"),
        exclude=check.names(table, "exclude"),
        state=(root / state) if state else None,
        jobs=jobs,
        timeout=check.seconds(table, "timeout"),
        retries=check.count(table, "retries"),
        retry_delay=check.seconds(table, "retry_delay", zero=True),
        assets=assets,
    )


def _shown(path: Path) -> str:
    try:
        return os.path.relpath(path)
    except ValueError:
        return str(path)


def _known(table: dict[str, Any], allowed: tuple[str, ...], where: str) -> None:
    for key in table:
        if key not in allowed:
            close = difflib.get_close_matches(key, allowed, n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else f" (settings: {', '.join(allowed)})"
            raise ProjectError(f"{where} has no setting {key!r}{hint}")


class _Checker:
    def __init__(self, where: str) -> None:
        self.where = where

    def _wrong(self, key: str, wanted: str, value: object) -> ProjectError:
        return ProjectError(f"{self.where} {key} must be {wanted}, not {value!r}")

    def text(self, table: dict[str, Any], key: str) -> str | None:
        value = table.get(key)
        if value is not None and (not isinstance(value, str) or not value):
            raise self._wrong(key, "a text", value)
        return value

    def names(self, table: dict[str, Any], key: str) -> list[str]:
        value = table.get(key, [])
        if isinstance(value, str):
            value = [value]
        if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
            raise self._wrong(key, "a list of dotted module names", value)
        return list(value)

    def count(self, table: dict[str, Any], key: str) -> int | None:
        value = table.get(key)
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                                  or value < 0):
            raise self._wrong(key, "a whole number of 0 or more", value)
        return value

    def seconds(self, table: dict[str, Any], key: str, zero: bool = False) -> float | None:
        value = table.get(key)
        if value is None:
            return None
        if (isinstance(value, bool) or not isinstance(value, int | float)
                or value < 0 or (value == 0 and not zero)):
            raise self._wrong(key, "a number of seconds" + (" (0 or more)" if zero else
                                                              " more than 0"), value)
        return float(value)


# -- tevra init -------------------------------------------------------------------


def starter(root: Path) -> str:
    """A ``[tool.tevra]`` table for the project in ``root``: the modules and packages
    whose files declare assets, and every other setting shown, commented out."""
    modules = _modules_with_assets(root)
    listed = ", ".join(f'"{m}"' for m in modules)
    return f'''[tool.tevra]
# The modules or packages holding your assets; a package brings all its submodules.
modules = [{listed}]
# Submodules a package's walk leaves out (globs over dotted names).
# exclude = ["{modules[0] if modules else "shop"}.tests.*"]
# Where run history and values are kept (relative to this file).
# state = ".tevra"
# Runs at once (default: the number of cores), and a time limit per run in seconds.
# jobs = 4
# timeout = 600
# Attempts after a run fails, crashes or times out, and the wait before the first
# retry in seconds (doubled for each further attempt, with some jitter).
# retries = 2
# retry_delay = 1.0

# Settings for some assets, by key (module:function, or the name it declares) or glob.
# [tool.tevra.assets."{modules[0] if modules else "shop"}.sources:*"]
# retries = 5
# timeout = 60
'''


_SKIPPED_DIRS = {"tests", "test", "build", "dist", "node_modules", "__pycache__"}


def _modules_with_assets(root: Path) -> list[str]:
    found = []
    for entry in sorted(root.iterdir()):
        name = entry.name
        if name.startswith((".", "_")) or name in _SKIPPED_DIRS:
            continue
        if entry.is_dir() and (entry / "__init__.py").is_file():
            if any(_declares_assets(p) for p in entry.rglob("*.py")):
                found.append(name)
        elif entry.suffix == ".py" and name not in ("setup.py", "conftest.py"):
            if _declares_assets(entry):
                found.append(entry.stem)
    return found


def _declares_assets(path: Path) -> bool:
    try:
        return "@asset" in path.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return False
