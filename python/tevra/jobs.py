"""A run's vocabulary: its statuses, the job an executor is handed and the outcome it
reports back.

A job names the asset function, a new output directory and where its inputs are; it
never carries a value. The executor runs it through the engine's ``materialize_asset``
and reports an outcome once the run's files are complete (or the run is known lost).
The outcome is filled once, where the run's files are read, so nothing downstream reads
them again.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Final

# Statuses of a run record. An executor reports only the first four.
SUCCEEDED: Final = "succeeded"
FAILED: Final = "failed"
CRASHED: Final = "crashed"
TIMED_OUT: Final = "timed out"
CACHED: Final = "cached"
UPSTREAM_FAILED: Final = "upstream failed"
RUNNING: Final = "running"
INTERRUPTED: Final = "interrupted"

# Every status, in the order the command lists them.
STATUSES: Final = (SUCCEEDED, FAILED, CACHED, UPSTREAM_FAILED, CRASHED, TIMED_OUT, INTERRUPTED,
                   RUNNING)
# A partition whose last run ended so is usable downstream.
USABLE: Final = frozenset({SUCCEEDED, CACHED})
# A partition whose last run ended so failed; a later run tries it again.
FAILURES: Final = frozenset({FAILED, CRASHED, TIMED_OUT, UPSTREAM_FAILED, INTERRUPTED})

# An input is the path of one upstream value.json, or, for an upstream with dimensions
# the run lacks, a map from each matching upstream partition key to its value.json.
InputFiles = str | dict[str, str]


@dataclass(frozen=True, slots=True)
class Job:
    run_id: int
    module: str
    function: str
    output_dir: str
    # Dimension name -> the partition value as compact JSON text.
    partition: dict[str, str] = field(default_factory=dict)
    # Parameter name -> the upstream value file(s) passed for it.
    inputs: dict[str, InputFiles] = field(default_factory=dict)
    timeout: float | None = None


@dataclass(slots=True)
class Outcome:
    run_id: int
    status: str  # SUCCEEDED, FAILED, CRASHED, TIMED_OUT or INTERRUPTED
    started: float  # time.time() when the run began
    ended: float
    # Of value.json, for a succeeded run: where it is, its data version, size and mtime.
    value_path: str | None = None
    data_version: str | None = None
    value_size: int | None = None
    value_mtime_ns: int | None = None
    # Why a run did not succeed: the failure record's error, else what the executor saw.
    error: str | None = None
    error_type: str | None = None
    traceback: str | None = None


def timeout_text(timeout: float) -> str:
    """The error of a run that took longer than its timeout."""
    return f"timed out after {timeout:g} s"


def kwargs_json(partition: dict[str, str], inputs: dict[str, bytes | dict[str, bytes]]) -> bytes:
    """The keyword-argument JSON text of a run, spliced from raw JSON texts.

    Partition values and upstream values are already JSON texts, so they are joined as
    they are: a value is never decoded and encoded again on its way downstream.
    """
    parts: list[bytes] = []
    for name, text in partition.items():
        parts.append(_key(name) + text.encode("utf-8"))
    for name, value in inputs.items():
        if isinstance(value, bytes):
            parts.append(_key(name) + value)
        else:
            members = b",".join(_key(key) + data for key, data in value.items())
            parts.append(_key(name) + b"{" + members + b"}")
    return b"{" + b",".join(parts) + b"}"


def read_inputs(inputs: dict[str, InputFiles]) -> dict[str, bytes | dict[str, bytes]]:
    """The bytes of every upstream value file a job names."""
    out: dict[str, bytes | dict[str, bytes]] = {}
    for name, spec in inputs.items():
        if isinstance(spec, str):
            out[name] = _read(spec)
        else:
            out[name] = {key: _read(path) for key, path in spec.items()}
    return out


def _key(name: str) -> bytes:
    return json.dumps(name).encode("ascii") + b":"


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()
