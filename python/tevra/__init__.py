"""tevra: declare data assets with ``@asset(...)`` and let tevra discover and run them.

The engine is the native ``_tevra`` module; this package re-exports its public
names, adds date partitions (``daily``, ``weekly``, ``monthly``, ``hourly``), file
sources (``file_source``) and the run's ``context()``, and provides the command-line
entry points ``python -m tevra.inspect`` and ``python -m tevra.worker``.
"""

from _tevra import (
    AssetWrapper,
    Partitions,
    asset,
    partitions,
    inspect_modules,
    materialize_asset,
)

from tevra.dates import daily, hourly, monthly, weekly
from tevra.run_context import context
from tevra.sources import file_source

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
