"""What a run page shows of a run's files and an asset's code: a preview of the value
(for a value a serializer stored, its manifest: format, type and, for a table, its
rows and schema), the run's logs, and the highlighted source.

Files are read only inside the state directory: a path from the history that leads
elsewhere (a link, a moved store) is not read. Every text is cut to a size a page can
carry; the templates escape it.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from markupsafe import Markup
from pygments import highlight
from pygments.formatters import HtmlFormatter
from pygments.lexers import PythonLexer

from tevra import serializers
from tevra.errors import SerializerError
from tevra.store.schema import Run
from tevra.values import ValueStore

PREVIEW_CHARS = 20_000
# A value file larger than this is shown by its first bytes, not parsed.
PARSE_LIMIT = 4_000_000
LOG_CHARS = 50_000

_FORMATTER = HtmlFormatter(cssclass="src", linenos="table")


@dataclass(frozen=True, slots=True)
class Preview:
    kind: str  # "json", "text" or "missing"
    text: str
    size: int | None = None
    cut: bool = False
    # For a value stored by a serializer: its manifest (format, type, size, summary).
    manifest: dict[str, Any] | None = None

    @property
    def schema(self) -> list[tuple[str, str]]:
        """A table's columns and their types, as its manifest's summary gives them."""
        summary = (self.manifest or {}).get("summary")
        schema = summary.get("schema") if isinstance(summary, dict) else None
        if not isinstance(schema, list):
            return []
        return [(str(c[0]), str(c[1])) for c in schema if isinstance(c, list) and len(c) == 2]

    @property
    def rows(self) -> int | None:
        summary = (self.manifest or {}).get("summary")
        rows = summary.get("rows") if isinstance(summary, dict) else None
        return rows if isinstance(rows, int) else None


def inside(root: Path, path: str | None) -> Path | None:
    """``path`` resolved, if it lies inside ``root``; else None."""
    if not path:
        return None
    try:
        resolved = Path(path).resolve()
    except (OSError, RuntimeError):
        return None
    return resolved if resolved.is_relative_to(root.resolve()) else None


def value(root: Path, run: Run) -> Preview | None:
    """The run's value: JSON pretty-printed, cut to PREVIEW_CHARS."""
    if run.value is not None:
        return _shown(run.value, len(run.value))
    if not run.value_hash:
        return None
    path = inside(root, stored_path(root, run.value_hash))
    if path is None:
        return Preview("missing", "the value file is outside the state directory")
    try:
        size = path.stat().st_size
        with path.open("rb") as f:
            data = f.read(PARSE_LIMIT + 1 if size <= PARSE_LIMIT else PREVIEW_CHARS)
    except OSError as exc:
        return Preview("missing", f"the value file cannot be read ({exc.strerror})")
    return _shown(data, size)


def stored_path(root: Path, digest: str) -> str:
    return ValueStore(str(root / "values")).path(digest)


def _shown(data: bytes, size: int) -> Preview:
    text = data.decode("utf-8", "replace")
    kind, manifest = "text", None
    if size <= PARSE_LIMIT:
        try:
            decoded = json.loads(text)
        except ValueError:
            pass
        else:
            text = json.dumps(decoded, indent=2, ensure_ascii=False)
            kind = "json"
            try:
                manifest = serializers.read_manifest(decoded)
            except SerializerError:
                pass
    cut = len(text) > PREVIEW_CHARS or size > PARSE_LIMIT
    return Preview(kind, text[:PREVIEW_CHARS], size, cut, manifest)


def logs(root: Path, run: Run) -> str | None:
    """What the run printed (its log, kept in the value store). Runs that printed
    nothing give None."""
    if not run.log_hash:
        return None
    path = inside(root, stored_path(root, run.log_hash))
    if path is None:
        return None
    try:
        with path.open("rb") as f:
            data = f.read(LOG_CHARS + 1)
    except OSError:
        return None
    text = data.decode("utf-8", "replace")
    return text[:LOG_CHARS] + ("\n… (cut)" if len(text) > LOG_CHARS else "")


def source_html(source: str, first_line: int | None) -> Markup:
    """The asset's source as highlighted HTML (Pygments escapes the text itself)."""
    formatter = HtmlFormatter(cssclass="src", linenos="table", linenostart=first_line or 1)
    return Markup(highlight(source, PythonLexer(), formatter))


def source_css() -> str:
    css: str = _FORMATTER.get_style_defs(".src")  # type: ignore[no-untyped-call]
    return css
