"""Versions: what a run's freshness is judged by.

A code version names the code an asset runs with: the parts of the code its function
reaches (``tevra.codeversion``), or, where those are unknown, its function, the module
around it and the interpreter's major.minor. A data version names a value by its bytes.
"""

from __future__ import annotations

import hashlib
import json


def code_version(function_source: str, module_source: str, python_version: str) -> str:
    """Hash of the asset's code: editing a helper in its module changes it too."""
    major_minor = ".".join(python_version.split(".")[:2])
    h = hashlib.sha256()
    for part in (function_source, module_source, major_minor):
        data = part.encode("utf-8", "surrogatepass")
        # Length-prefixed, so that moving text from one part to the next changes the hash.
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
    return h.hexdigest()[:32]


def parts_version(parts: dict[str, str]) -> str:
    """Hash of the parts of the code an asset reaches, each part name with its hash."""
    text = json.dumps(parts, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]


def data_version(value_bytes: bytes) -> str:
    """Hash of a value.json file's bytes."""
    return hashlib.sha256(value_bytes).hexdigest()[:32]


def inputs_version(parts: dict[str, str | dict[str, str]]) -> str:
    """One canonical text for the data versions of every input of a run.

    ``parts`` maps a parameter to its upstream's data version, or to a map from the
    upstream's partition key to the data version of that partition.
    """
    return json.dumps(parts, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
