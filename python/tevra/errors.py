"""The errors a ``tevra`` command reports as its own: one family, each carrying the exit
status it maps to and the text the command prints (after the "tevra: " prefix).

Anything else that escapes a command is a bug in tevra, not a user's mistake, and keeps
its traceback.
"""

from __future__ import annotations

# Exit statuses of the ``tevra`` command.
OK = 0
RUN_FAILED = 1
USAGE = 2
INTERRUPTED = 130


class TevraError(Exception):
    """A failure the command reports in a line or a few, without a traceback."""

    exit_status = USAGE

    def message(self) -> str:
        return str(self)


class UsageError(TevraError):
    """The command line asks for something that cannot be done."""


class DiscoveryError(TevraError):
    """The modules could not be inspected; the message says why, one problem per line."""


class GraphError(TevraError):
    """The graph cannot be run; ``problems`` holds one message per fault found."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = problems

    def message(self) -> str:
        if len(self.problems) == 1:
            return self.problems[0]
        return "the asset graph cannot be run:\n" + "\n".join(f"  {p}" for p in self.problems)


class Interrupted(TevraError):
    """Ctrl-C stopped the command before it could begin its work."""

    exit_status = INTERRUPTED


class OutputClosed(TevraError):
    """The command's standard output went away (its reader left a pipe)."""

    exit_status = RUN_FAILED


class StoreBusy(TevraError):
    """Another invocation holds the state directory."""


class NoHistory(TevraError):
    """The state directory holds no run history (yet)."""


class ExecutorError(TevraError):
    """An executor could not be set up: the message names what to do."""


class StoreError(TevraError):
    """The state directory or its value store cannot be used as it is."""


class SerializerError(TevraError):
    """A value cannot be stored or loaded as asked, or a serializer is unknown."""


class MissingLibrary(SerializerError):
    """A library a serializer or a conversion needs is not installed."""


class ProjectError(TevraError):
    """The project file cannot be used as it is: the message names the file and the setting."""
