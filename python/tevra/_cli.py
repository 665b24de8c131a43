"""What the commands that import the user's modules share: the discovery child, the
worker commands and the pool's workers."""
import os
import sys
from collections.abc import Callable
from types import ModuleType


def project_importable() -> None:
    """Make the user's project (the working directory) importable, as ``python -m`` does."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


def expand(names: list[str], exclude: list[str],
           load: Callable[[str, bool], ModuleType | None]) -> list[str]:
    """The modules named, each package followed by its submodules, each imported once by
    ``load(name, named)`` (None: it failed); ``exclude`` holds globs of submodules a
    package's walk leaves out."""
    import fnmatch

    found: list[str] = []
    seen: set[str] = set()

    def add(name: str, named: bool) -> None:
        if name in seen or (not named and any(fnmatch.fnmatchcase(name, g) for g in exclude)):
            return
        seen.add(name)
        module = load(name, named)
        if module is None:
            return
        found.append(name)
        path = getattr(module, "__path__", None)
        if path is not None:
            for sub in _submodules(name, list(path)):
                add(sub, False)

    for name in names:
        add(name, True)
    return found


def _submodules(package: str, path: list[str]) -> list[str]:
    """A package's direct submodules, read from its folders without importing them."""
    import pkgutil

    names = []
    for info in pkgutil.iter_modules(path, package + "."):
        if not info.name.endswith(".__main__"):  # a script, not a module to import
            names.append(info.name)
    return sorted(names)
