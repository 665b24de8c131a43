"""Sources: files a pipeline reads but does not make, declared with ``file_source``.

A source goes in ``inputs=`` like an asset. It is a text that the engine keeps as a
reference, unchanged: ``file:PATTERN``, or ``file[NAME]:PATTERN`` when it has a name.
The orchestrator reads the reference back, matches the pattern under the project root
on every run and status, and versions the source by the names and contents of the
files it matched, so a downstream is stale when a file changes, appears or disappears
and stays fresh when only a timestamp moved. A file whose stamp did not change is not
read again (the stat cache).

A downstream receives the path (a file or a folder) as an absolute path, or, for a
glob, the sorted list of the files it matched.
"""

from __future__ import annotations

import glob
import hashlib
import os
from collections.abc import Callable
from dataclasses import dataclass, field

PREFIX = "file"
_GLOB_CHARS = frozenset("*?[")


class FileSource(str):
    """A source's reference; ``pattern`` and ``name`` are what was declared."""

    pattern: str
    name: str | None

    def __new__(cls, pattern: str, name: str | None) -> FileSource:
        text = f"{PREFIX}:{pattern}" if name is None else f"{PREFIX}[{name}]:{pattern}"
        self = super().__new__(cls, text)
        self.pattern = pattern
        self.name = name
        return self


def file_source(path_or_glob: str | os.PathLike[str], *, name: str | None = None) -> FileSource:
    """Declare files the pipeline reads but does not make, for ``inputs=``.

    ``path_or_glob`` is a file, a folder or a glob pattern (``**`` included), relative to
    the project root. ``name`` is the source's key in ``tevra status`` and ``list``;
    without it the key is the reference itself (``file:PATTERN``).
    """
    pattern = os.fspath(path_or_glob)
    if not isinstance(pattern, str) or not pattern:
        raise ValueError("file_source() needs a path or a glob pattern, not an empty one")
    if name is not None and (not isinstance(name, str) or not name or "]" in name):
        raise ValueError(f"file_source() name {name!r} must be a non-empty text without ']'")
    return FileSource(pattern, name)


def parse_ref(ref: str) -> tuple[str, str | None] | None:
    """(pattern, name) of a source's reference; None when ``ref`` names no source."""
    if ref.startswith(f"{PREFIX}:"):
        pattern = ref[len(PREFIX) + 1:]
        return (pattern, None) if pattern else None
    if ref.startswith(f"{PREFIX}["):
        end = ref.find("]:", len(PREFIX) + 1)
        if end > len(PREFIX) + 1 and ref[end + 2:]:
            return ref[end + 2:], ref[len(PREFIX) + 1:end]
    return None


def is_glob(pattern: str) -> bool:
    return not _GLOB_CHARS.isdisjoint(pattern)


@dataclass(slots=True)
class SourceState:
    """What a source matched, and its data version."""

    # What a downstream receives: the absolute path, or the sorted list of them.
    value: str | list[str]
    # The hash of every matched file's name (relative to the root) and content.
    version: str
    files: list[str] = field(default_factory=list)  # the files hashed, relative
    missing: bool = False  # a plain path that does not exist


def scan(root: str, pattern: str, digest: Callable[[str], str]) -> SourceState:
    """Match ``pattern`` under ``root`` and version what it matched; ``digest`` gives
    the SHA-256 (hex) of a file by its absolute path (the stat cache's).

    OSError when a matched file cannot be read.
    """
    base = os.path.join(root, pattern)
    if is_glob(pattern):
        matched = sorted(glob.glob(pattern, root_dir=root, recursive=True))
        value: str | list[str] = [os.path.join(root, m) for m in matched]
    else:
        matched = [pattern]
        value = os.path.normpath(base)
        if not os.path.exists(base):
            return SourceState(value, _MISSING, missing=True)
    files: list[str] = []
    for rel in matched:
        files.extend(_files(root, rel))
    files.sort()
    return SourceState(value, _version(files, digest, root), files)


def _files(root: str, rel: str) -> list[str]:
    """``rel`` itself when it is a file, or every file under it when it is a folder."""
    path = os.path.join(root, rel)
    if not os.path.isdir(path):
        return [rel]
    found: list[str] = []
    for folder, dirs, names in os.walk(path):
        dirs.sort()
        for name in names:
            full = os.path.join(folder, name)
            if os.path.isfile(full):
                found.append(os.path.relpath(full, root))
    return found


_MISSING = hashlib.sha256(b"tevra file source: missing").hexdigest()


def _version(files: list[str], digest: Callable[[str], str], root: str) -> str:
    h = hashlib.sha256(b"tevra file source\n")
    for rel in files:
        name = rel.encode("utf-8", "surrogateescape")
        h.update(len(name).to_bytes(8, "little"))
        h.update(name)
        h.update(bytes.fromhex(digest(os.path.abspath(os.path.join(root, rel)))))
    return h.hexdigest()
