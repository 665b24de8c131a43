"""The run an asset is in, as ``tevra.context()`` tells it.

The worker sets the context around each call of the engine, so an asset can ask for
its key, its partition values, the run's id and attempt, and a logger that names the
run. The adapter also finds here where the run writes its files and where stored
values are read from.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import logging

LOGGER_NAME = "tevra.asset"


class NoRunContext(RuntimeError):
    """``tevra.context()`` was called outside a run."""


@dataclass(frozen=True, slots=True)
class RunContext:
    asset: str  # the asset's key
    run_id: int
    attempt: int = 1
    # Dimension -> the partition value as JSON text, as the run received it.
    partition_json: dict[str, str] = field(default_factory=dict)
    partition_key: str = ""  # as the run history shows it
    # Where the run writes its files, and the directory of stored values it reads.
    output_dir: str = ""
    values_dir: str | None = None

    @property
    def partition(self) -> dict[str, Any]:
        """Dimension -> this run's value of it."""
        return {d: json.loads(text) for d, text in self.partition_json.items()}

    @property
    def log(self) -> logging.LoggerAdapter[logging.Logger]:
        """A logger whose lines start with the run's asset and partition."""
        import logging

        logger = logging.getLogger(LOGGER_NAME)
        if logger.level == logging.NOTSET:
            logger.setLevel(logging.INFO)  # an asset's info lines are worth showing
        if not logger.handlers and not logging.getLogger().handlers:
            # Nobody configured logging: the run's lines go to its standard error.
            handler = logging.StreamHandler()
            handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
            logger.addHandler(handler)
            logger.propagate = False
        key = self.partition_key
        prefix = f"{self.asset}[{key}]" if key else self.asset

        class Prefixed(logging.LoggerAdapter[logging.Logger]):
            def process(self, msg: Any, kwargs: Any) -> tuple[Any, Any]:
                return f"{prefix}: {msg}", kwargs

        return Prefixed(logger, {"tevra_run": self.run_id, "tevra_asset": self.asset})


_current: RunContext | None = None


def context() -> RunContext:
    """The run the calling asset is in; NoRunContext outside a run."""
    if _current is None:
        raise NoRunContext("tevra.context() is only available while tevra runs an asset "
                           "(it was called outside a run)")
    return _current


def current() -> RunContext | None:
    return _current


@contextmanager
def running(ctx: RunContext) -> Iterator[RunContext]:
    """Make ``ctx`` the current run for the duration of the block."""
    global _current
    previous, _current = _current, ctx
    try:
        yield ctx
    finally:
        _current = previous
