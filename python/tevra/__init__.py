"""tevra: declare data assets with ``@asset(...)`` and let tevra discover and run them.

The engine is the native ``_tevra`` module; this package re-exports its public
names, adds date partitions (``daily``, ``weekly``, ``monthly``, ``hourly``), file
sources (``file_source``) and the run's ``context()``, and provides the command-line
entry points ``python -m tevra.inspect`` and ``python -m tevra.worker``.
"""

from typing import Any

import _tevra
from _tevra import (
    AssetWrapper,
    Partitions,
    asset,
    inspect_modules,
    materialize_asset,
)



def partitions(values: list[Any]) -> Partitions:
    """Declare a static partition universe for use with ``@asset(partitions=...)``.

    The engine's ``partitions``; a value it refuses is named in the error.
    """
    try:
        return _tevra.partitions(values)
    except (ValueError, TypeError) as exc:
        if not isinstance(values, list):
            raise
        for index, value in enumerate(values):
            try:
                _tevra.partitions([value])
            except (ValueError, TypeError) as alone:
                detail = str(alone).removeprefix("invalid partition value: ")
                raise type(exc)(f"invalid partition value {value!r} (item {index}): "
                                f"{detail}") from None
        raise


from tevra.dates import daily, hourly, monthly, weekly  # noqa: E402
from tevra.run_context import context  # noqa: E402
from tevra.sources import file_source  # noqa: E402

__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
    "daily",
    "weekly",
    "monthly",
    "hourly",
    "context",
    "file_source",
]
