"""Discovery child: ``python -m tevra.scan [--exclude GLOB]... [--traceback] MODULE...``.

The orchestrator runs this in a child process, so that user code is only ever imported
here. It imports the named modules, and every submodule of a package found by walking
the package's folders; it reports a module that fails to import with its file, line
and exception (and a close name for one that does not exist); it inspects the modules
with the engine, and adds for every asset the module that defines it and the parts of
the code it reaches (``tevra.codeversion``).

Standard output carries one JSON object and nothing else: ``{"problems": [...]}``, or
``{"problems": [], "modules": [...], "assets": {REF: {"module": M, "code": PARTS,
"serializer_problem": TEXT, "loads": {PARAM: {"annotation": TEXT, "one": [NAMES],
"each": [NAMES]}}}}, "document": DOC}`` where REF is an asset's ``file:function`` and
DOC the engine's inspection document, spliced in as it came. A serializer problem says
why the asset's serializer cannot be used here (unknown, or its library missing);
"loads" gives, for each annotated parameter, the serializers whose data can become
that annotation (and, for a parameter that gathers partitions, each value of it). What the user's modules print while they
are imported goes to standard error.
"""

import argparse
import csv
import difflib
import importlib
import importlib.metadata
import importlib.util
import inspect as pyinspect
import json
import os
import pkgutil
import re
import sys
import traceback
from pathlib import Path, PurePosixPath
from types import ModuleType
from typing import TYPE_CHECKING, Any

import _tevra

from tevra._cli import expand, project_importable
from tevra.codeversion import Location, Parts, Reach

if TYPE_CHECKING:
    from tevra import serializers

_FOREIGN_DIRS = ("site-packages", "dist-packages")
_TRACEBACKS = False


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tevra.scan",
        description="Import modules and packages and describe their assets as JSON.")
    parser.add_argument("modules", nargs="+", metavar="MODULE")
    parser.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                        help="skip submodules whose dotted name matches GLOB")
    parser.add_argument("--traceback", action="store_true",
                        help="print the traceback of a module that fails to import")
    args = parser.parse_args(argv)
    global _TRACEBACKS
    _TRACEBACKS = args.traceback
    project_importable()
    out = os.dup(1)
    os.dup2(2, 1)  # whatever user code prints is not the document
    problems: list[str] = []
    modules = expand(args.modules, args.exclude,
                     lambda name, named: _import(name, problems, named))
    if problems:
        _write(out, json.dumps({"problems": problems}))
        return 0
    document = _tevra.inspect_modules(modules)
    assets = describe(modules)
    head = json.dumps({"problems": [], "modules": modules, "assets": assets},
                      ensure_ascii=False)
    _write(out, head[:-1] + ',"document":' + document + "}")
    return 0


def _write(fd: int, text: str) -> None:
    sys.stdout.flush()
    data = memoryview(text.encode("utf-8", "surrogatepass"))
    while data:
        data = data[os.write(fd, data):]


# -- modules ----------------------------------------------------------------------


def _import(name: str, problems: list[str], named: bool) -> ModuleType | None:
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as exc:
        missing = exc.name or ""
        if named and missing and (name == missing or name.startswith(missing + ".")):
            problems.append(f"no module named {name!r}{_did_you_mean(name, missing)}")
            return None
        problems.append(_failure(name, exc))
    except SyntaxError as exc:
        if _TRACEBACKS:
            traceback.print_exception(exc, file=sys.stderr)
        where = f"{_shown(exc.filename or '?')}:{exc.lineno or '?'}"
        problems.append(f"{where}: cannot import {name}: SyntaxError: {exc.msg}")
    except BaseException as exc:  # noqa: BLE001 - user code may raise anything, SystemExit too
        if isinstance(exc, KeyboardInterrupt):
            raise
        problems.append(_failure(name, exc))
    return None


_TEVRA_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep


def _failure(name: str, exc: BaseException) -> str:
    if _TRACEBACKS:
        traceback.print_exception(exc, file=sys.stderr)
    # The user's line: not the import machinery's, nor tevra's own (a declaration
    # refusing a value raises inside tevra).
    frames = [f for f in traceback.extract_tb(exc.__traceback__)
              if not f.filename.startswith("<frozen ")
              and not f.filename.startswith(_TEVRA_DIR)]
    where = f"{_shown(frames[-1].filename)}:{frames[-1].lineno}: " if frames else ""
    detail = str(exc)
    return f"{where}cannot import {name}: {type(exc).__name__}" + (f": {detail}" if detail else "")


def _shown(path: str) -> str:
    try:
        return os.path.relpath(path) if Path(path).resolve().is_relative_to(Path.cwd()) else path
    except (OSError, ValueError):
        return path


def _did_you_mean(name: str, missing: str) -> str:
    """A close existing name for the part of ``name`` that does not exist."""
    parent, _, _ = missing.rpartition(".")
    if parent:
        try:
            package = importlib.import_module(parent)
            path = list(getattr(package, "__path__", []))
        except BaseException:  # noqa: BLE001 - only a hint
            return ""
    else:
        path = [os.getcwd()]
    candidates = [info.name for info in pkgutil.iter_modules(path, parent + "." if parent else "")]
    close = difflib.get_close_matches(missing, candidates, n=1)
    return f" (did you mean {close[0] + name[len(missing):]!r}?)" if close else ""


# -- assets -----------------------------------------------------------------------


def describe(modules: list[str]) -> dict[str, dict[str, Any]]:
    """For every asset of the modules, by ``file:function``: its defining module and the
    parts of its code."""
    from tevra import serializers

    reach = Reach(_locate, ".".join(map(str, sys.version_info[:3])))
    described: dict[str, dict[str, Any]] = {}
    # Every serializer known, looked up for the first asset only: the installed ones
    # are found by reading every distribution's entry points.
    known: list[serializers.Serializer] | None = None
    for name in modules:
        for value in list(vars(sys.modules[name]).values()):
            target = _asset_target(value)
            if target is None:
                continue
            try:
                file = str(Path(pyinspect.getsourcefile(target) or "").resolve())
            except TypeError:
                file = ""
            function = target.__name__
            ref = f"{file}:{function}"
            if ref in described:
                continue
            module = getattr(target, "__module__", None) or name
            parts: Parts = reach.parts(module, function, lambda: _source(target))
            if known is None:
                known = [serializers.get(n) for n in serializers.names()]
            described[ref] = {"module": module, "code": parts,
                              "serializer_problem": _serializer_problem(value),
                              "loads": _loads(target, known)}
    return described


def _serializer_problem(value: object) -> str | None:
    """Why the asset's declared serializer cannot be used here, if it cannot."""
    from tevra import serializers

    try:
        name = (getattr(value, "__tevra_metadata__", None) or {}).get("serializer")
        found = serializers.get(name)
        if found.name in ("parquet", "arrow"):
            serializers._import_pyarrow(f"the {found.name} serializer")
    except serializers.SerializerError as exc:
        return str(exc)
    except Exception:  # noqa: BLE001 - metadata and entry points are user code
        return None
    return None


def _loads(target: object, known: "list[serializers.Serializer]") -> dict[str, dict[str, Any]]:
    """For each annotated parameter, the serializers (of ``known``) whose data can
    become it."""
    from tevra.adapter import element_type, parameter_annotations

    try:
        annotations = parameter_annotations(target)  # type: ignore[arg-type]
    except Exception:  # noqa: BLE001
        return {}
    out: dict[str, dict[str, Any]] = {}
    for param, annotation in annotations.items():
        if param == "return":
            continue
        entry: dict[str, Any] = {"annotation": _annotation_text(annotation)}
        for key, gathered in (("one", False), ("each", True)):
            wanted = element_type(annotation, gathered)
            entry[key] = [s.name for s in known if wanted is None or s.can_load(wanted)] \
                if not gathered or wanted is not None else None
        out[param] = entry
    return out


def _annotation_text(annotation: object) -> str:
    if isinstance(annotation, type):
        from tevra.serializers import type_name

        return type_name(annotation)
    return str(annotation)


def _asset_target(value: object) -> Any:
    try:
        if getattr(value, "__tevra_kind__", None) != "asset":
            return None
        target = getattr(value, "__tevra_original__", value)
        return target if isinstance(getattr(target, "__name__", None), str) else None
    except Exception:  # noqa: BLE001 - an attribute read runs user code
        return None


def _source(target: object) -> str | None:
    try:
        return pyinspect.getsource(target)  # type: ignore[arg-type]
    except (OSError, TypeError):
        return None


# -- where modules live -----------------------------------------------------------

# Each installed distribution with the top-level names its top_level.txt declares, or
# else the text of its RECORD (None when it has neither): read once per discovery.
_installed: list[tuple[importlib.metadata.Distribution, list[str], str | None]] | None = None
_providers: dict[str, str | None] = {}


def _locate(name: str) -> Location:
    top = name.partition(".")[0]
    if top in sys.stdlib_module_names or top in sys.builtin_module_names:
        return Location("stdlib")
    if top in ("tevra", "_tevra"):  # the framework, not the user's code
        return Location("dist", dist="tevra", version=_version("tevra"))
    module = sys.modules.get(name)
    if module is not None:
        file = getattr(module, "__file__", None)
        folders = getattr(module, "__path__", None)
    else:
        try:
            spec = importlib.util.find_spec(name)
        except BaseException:  # noqa: BLE001 - finding a submodule imports its parents
            spec = None
        if spec is None:
            return Location("missing")
        file = spec.origin if spec.has_location else None
        folders = spec.submodule_search_locations
    package = folders is not None
    if isinstance(file, str):
        real = Path(file).resolve()
        if (real.suffix == ".py" and real.is_relative_to(Path.cwd())
                and not any(part in _FOREIGN_DIRS for part in real.parts)):
            return Location("project", file=str(real), package=package)
    elif package:  # a namespace package: the project's if one of its folders is
        if any(Path(p).resolve().is_relative_to(Path.cwd()) for p in list(folders or [])):
            return Location("project", package=True)
    dist = _distribution(top)
    if dist is not None:
        return Location("dist", dist=dist, version=_version(dist))
    return Location("other", file=file if isinstance(file, str) and file.endswith(".py") else None)


def _distribution(top: str) -> str | None:
    """The first by name of the distributions that provide the top-level module ``top``,
    as ``importlib.metadata.packages_distributions()`` tells them; found without it,
    which reads every distribution's metadata and every file list whole: here only the
    lines of a RECORD that could name ``top`` are parsed, and only the names of the
    distributions that provide it are read."""
    if top not in _providers:
        global _installed
        if _installed is None:
            _installed = []
            for dist in importlib.metadata.distributions():
                declared = (dist.read_text("top_level.txt") or "").split()
                _installed.append((dist, declared, None if declared else dist.read_text("RECORD")))
        # A RECORD line whose path starts with ``top`` and then "/", "." or its end.
        candidate = re.compile(rf'^"?(?:\./)*{re.escape(top)}[/.,"].*$', re.MULTILINE)
        found = []
        for dist, declared, record in _installed:
            if declared:
                provides = top in declared
            elif record:
                # Only files that exist count, as in Distribution.files.
                provides = any(_top_level(row[0]) == top and dist.locate_file(row[0]).exists()
                               for row in csv.reader(m.group(0) for m in candidate.finditer(record))
                               if row)
            else:  # no RECORD: whatever other file list the distribution has
                provides = any(_top_level(str(path)) == top for path in dist.files or ())
            if provides:
                found.append(dist.metadata["Name"])
        _providers[top] = sorted(found)[0] if found else None
    return _providers[top]


def _top_level(path: str) -> str:
    """The top-level name a path in a distribution's file list gives (as the standard
    library infers it)."""
    pure = PurePosixPath(path)
    if len(pure.parts) > 1:
        return pure.parts[0]
    return pyinspect.getmodulename(str(pure)) or str(pure)


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


if __name__ == "__main__":
    code = main()
    # The command waits for this process to end, and the collections of the
    # interpreter's shutdown would walk every object the modules' libraries made; frozen
    # objects are left out (atexit handlers still run).
    import gc

    gc.freeze()
    sys.exit(code)
