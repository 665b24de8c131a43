"""tevra: declare data assets with ``@asset(...)`` and let tevra discover and run them.

The engine is the native ``_tevra`` module; this package re-exports its public
names, adds date partitions (``daily``, ``weekly``, ``monthly``, ``hourly``) and
provides the command-line entry points ``python -m tevra.inspect`` and
``python -m tevra.worker``.
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
]
