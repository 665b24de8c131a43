"""How tevra is installed: its version, and the command that adds an optional extra.

pip records how it installed a distribution (``direct_url.json``: from an index, from
a folder, editable, from a URL); a hint to install an extra repeats that way, with this
interpreter's pip, so that it installs into the environment that lacks it. Without an
installed distribution (tevra used from a checkout on ``PYTHONPATH``), the hint names
the packages the extra would bring.
"""

from __future__ import annotations

import json
import shlex
import sys
from pathlib import Path
from typing import TYPE_CHECKING

# Imported when a hint or the version is asked for: every worker and command imports
# this module, few of them use it.
if TYPE_CHECKING:
    import importlib.metadata

DISTRIBUTION = "tevra"


def version() -> str:
    """``tevra X.Y.Z``, with how it is installed when that is not from an index."""
    import importlib.metadata

    try:
        dist = importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return f"{DISTRIBUTION} (not installed: used from {_package_folder()})"
    where = _direct(dist)
    shown = f"{DISTRIBUTION} {dist.version}"
    if where is not None:
        source, editable = where
        shown += f" ({'editable, ' if editable else ''}from {source})"
    return shown + f", Python {sys.version.split()[0]}"


def extra_hint(extra: str, packages: list[str]) -> str:
    """The command that installs the optional extra ``extra`` (which brings ``packages``)."""
    import importlib.metadata

    pip = f"{shlex.quote(sys.executable)} -m pip install"
    try:
        dist = importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return f"{pip} {' '.join(shlex.quote(p) for p in packages)}"
    where = _direct(dist)
    if where is None:
        return f"{pip} {shlex.quote(f'{DISTRIBUTION}[{extra}]')}"
    source, editable = where
    if "://" in source:
        return f"{pip} {shlex.quote(f'{DISTRIBUTION}[{extra}] @ {source}')}"
    return f"{pip} {'-e ' if editable else ''}{shlex.quote(f'{source}[{extra}]')}"


def _direct(dist: importlib.metadata.Distribution) -> tuple[str, bool] | None:
    """Where pip installed the distribution from, when not from an index: a folder (or a
    URL) and whether the install is editable."""
    from urllib.parse import unquote, urlparse

    text = dist.read_text("direct_url.json")
    if not text:
        return None
    try:
        info = json.loads(text)
        url = str(info["url"])
    except (ValueError, KeyError, TypeError):
        return None
    editable = bool((info.get("dir_info") or {}).get("editable"))
    parsed = urlparse(url)
    if parsed.scheme == "file" and "archive_info" not in info:
        return unquote(parsed.path), editable
    return url, editable


def _package_folder() -> str:
    return str(Path(__file__).resolve().parent)
