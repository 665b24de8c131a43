"""Discovery: the inspection document of the user's modules, from a child process.

User code is imported only in the child, so a module that crashes the interpreter
cannot take the orchestrator (and the run history it writes) down with it.
"""

from __future__ import annotations

import json
import signal
import subprocess
import sys
from dataclasses import dataclass
from typing import Any

from tevra.errors import DiscoveryError

SKIP_PREFIX = "tevra: skipping module '"


@dataclass(frozen=True, slots=True)
class Inspection:
    records: list[dict[str, Any]]
    python_version: str


def inspect(modules: list[str], project_dir: str) -> Inspection:
    """Run ``python -m tevra.inspect`` over ``modules`` in ``project_dir``."""
    proc = subprocess.run(
        [sys.executable, "-m", "tevra.inspect", *modules],
        cwd=project_dir,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    stderr = proc.stderr.decode("utf-8", "replace")
    skipped = [line for line in stderr.splitlines() if line.startswith(SKIP_PREFIX)]
    # Whatever else the user's modules printed is theirs: pass it on as it came.
    other = "".join(
        line for line in stderr.splitlines(keepends=True) if not line.startswith(SKIP_PREFIX)
    )
    if other:
        sys.stderr.write(other)
    if proc.returncode != 0:
        raise DiscoveryError(f"discovery of {' '.join(modules)} {_ended(proc.returncode)}")
    if skipped:
        raise DiscoveryError("\n".join(skipped))
    try:
        document = json.loads(proc.stdout)
        records = document["assets"]
    except (ValueError, KeyError, TypeError) as exc:
        raise DiscoveryError(f"discovery printed no inspection document ({exc})") from None
    version = records[0]["python_version"] if records else ".".join(map(str, sys.version_info[:3]))
    return Inspection(records=records, python_version=version)


def _ended(returncode: int) -> str:
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = "unknown signal"
        return f"was killed by signal {-returncode} ({name})"
    return f"failed with exit status {returncode}"
