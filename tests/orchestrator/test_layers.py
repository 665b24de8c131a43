"""C++ includes and Python imports run only downwards along the layers the README lists."""

from __future__ import annotations

import ast
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "tevra"


def readme_layers() -> tuple[list[list[str]], list[list[str]]]:
    """The README's two layer lists (``text`` blocks of the Layout section), top first."""
    layout = ROOT.joinpath("README.md").read_text(encoding="utf-8").split("## Layout", 1)[1]
    blocks = re.findall(r"```text\n(.*?)```", layout, re.S)
    assert len(blocks) == 2, "the Layout section lists the C++ and the Python layers"
    cpp, python = ([line.split() for line in block.splitlines() if line.strip()] for block in blocks)
    return cpp, python


def rank_of(layers: list[list[str]]) -> dict[str, int]:
    # The bottom line is rank 0.
    return {name: len(layers) - 1 - i for i, line in enumerate(layers) for name in line}


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def imported(tree: ast.AST, known: set[str]) -> set[str]:
    """Every project module a module's code imports, at the top or inside a function."""
    found: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            found.add(node.module)
            # ``from tevra import jobs`` imports the module tevra.jobs.
            found.update(f"{node.module}.{a.name}" for a in node.names
                         if f"{node.module}.{a.name}" in known)
    return {name for name in found if name in known}


def test_python_imports_run_downwards() -> None:
    _, layers = readme_layers()
    rank = rank_of(layers)
    modules = {module_name(p): p for p in PACKAGE.rglob("*.py")}
    unlisted = sorted(set(modules) - set(rank))
    assert not unlisted, f"modules missing from the README's layers: {unlisted}"
    known = set(rank)
    upward = []
    for name, path in sorted(modules.items()):
        for target in imported(ast.parse(path.read_text(encoding="utf-8")), known):
            if target != name and rank[target] >= rank[name]:
                upward.append(f"{name} imports {target}")
    assert not upward


def test_cpp_includes_run_downwards() -> None:
    layers, _ = readme_layers()
    rank = rank_of(layers)
    src = ROOT / "src"
    folders = {p.name for p in src.iterdir() if p.is_dir()}
    assert folders == set(rank), "every folder of src/ is in the README's layers"
    upward = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".cpp", ".hpp"):
            continue
        here = path.relative_to(src).parts[0]
        for target in re.findall(r'^#include "([^/"]+)/', path.read_text(encoding="utf-8"), re.M):
            if target != here and rank[target] >= rank[here]:
                upward.append(f"{path.relative_to(src)} includes {target}/")
    assert not upward
