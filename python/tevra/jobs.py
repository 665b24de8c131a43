"""A run's vocabulary: its statuses, the job an executor is handed and the outcome it
reports back.

A job names the asset function and its inputs: a small value travels in the job itself,
a larger one as the path of its file in the value store. The executor runs it through
the engine's ``materialize_asset`` in a scratch directory of its worker's own, moves the
value into the store (or, when small, into the outcome) and reports the outcome once the
value is safe (or the run is known lost). The outcome is filled once, where the run's
files are read, so nothing downstream reads them again.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Final, NamedTuple

from tevra import versions

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

# A value as a job carries it: the bytes of a small value.json, or the path of its file
# in the value store.
Value = bytes | str
# An input is one upstream value, or, for an upstream with dimensions the run lacks, a
# map from each matching upstream partition key to its value.
InputFiles = Value | dict[str, Value]
# What tells a stored file unchanged: (size, mtime_ns, ctime_ns, inode, device).
StampFields = tuple[int, int, int, int, int]


@dataclass(frozen=True, slots=True)
class Job:
    run_id: int
    module: str
    function: str
    # Dimension name -> the partition value as compact JSON text.
    partition: dict[str, str] = field(default_factory=dict)
    # Parameter name -> the upstream value(s) passed for it.
    inputs: dict[str, InputFiles] = field(default_factory=dict)
    timeout: float | None = None
    # The asset's key and the partition's, as ``tevra.context()`` tells them.
    asset: str = ""
    key: str = ""
    # Hashes of the stored data files the inputs' manifests name (serialized values).
    files: tuple[str, ...] = ()
    attempt: int = 1  # 1, or a retry's number plus one
    # Parameter -> the data version of an input whose value is not its data (a file
    # source's paths): every other input is versioned by the bytes read for it.
    given_versions: dict[str, str] = field(default_factory=dict)


@dataclass(slots=True)
class Outcome:
    run_id: int
    status: str  # SUCCEEDED, FAILED, CRASHED, TIMED_OUT or INTERRUPTED
    started: float  # time.time() when the run began
    ended: float
    # Of value.json, for a succeeded run: its data version and size, and the value
    # itself when small, else the hash and stamp of its file in the value store.
    data_version: str | None = None
    value_size: int | None = None
    value: bytes | None = None
    value_hash: str | None = None
    value_stamp: StampFields | None = None
    # The stored data files its manifest names: (hash, stamp) each.
    files: tuple[tuple[str, StampFields], ...] = ()
    # The run's log (what it printed), when it left one: its hash in the value store.
    log_hash: str | None = None
    # Why a run did not succeed: the failure record's error, else what the executor saw.
    error: str | None = None
    error_type: str | None = None
    traceback: str | None = None
    # The versions of the inputs as they were read for the run (``Inputs.version``).
    input_versions: str | None = None


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


class Inputs(NamedTuple):
    """The bytes of every upstream value a job names, and the versions of its inputs
    hashed from those very bytes: what a run records is what it read, whatever its
    files became since the plan looked at them."""

    values: dict[str, bytes | dict[str, bytes]]
    version: str | None  # None for a job without inputs, as for an asset without any


def read_inputs(job: Job) -> Inputs:
    """Read a job's inputs (small ones travel in the job itself) and version them."""
    out = read_values(job.inputs)
    seen: dict[str, str | dict[str, str]] = {
        name: {key: versions.data_version(data) for key, data in value.items()}
        if isinstance(value, dict) else versions.data_version(value)
        for name, value in out.items()}
    seen.update(job.given_versions)
    return Inputs(out, versions.inputs_version(seen) if seen else None)


def read_values(inputs: dict[str, InputFiles]) -> dict[str, bytes | dict[str, bytes]]:
    """The bytes of every upstream value ``inputs`` names."""
    out: dict[str, bytes | dict[str, bytes]] = {}
    for name, spec in inputs.items():
        if isinstance(spec, dict):
            out[name] = {key: _read(value) for key, value in spec.items()}
        else:
            out[name] = _read(spec)
    return out


def _key(name: str) -> bytes:
    return json.dumps(name).encode("ascii") + b":"


def _read(value: Value) -> bytes:
    if isinstance(value, bytes):
        return value
    with open(value, "rb") as f:
        return f.read()
