"""The logs of the runs under way, line by line as they grow: what ``tevra run --logs``
shows, each line told with its run.

A run's log is read where its worker writes it while it runs, and, once the run is over,
as stored (the rest of it, or the whole of a run too short to be seen running). Only
whole lines are told until the run ends; its last line then goes out as it is.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable

from tevra.runlog import LiveLog

# Bytes of one run's log read at one look, so that a chatty run cannot hold the loop.
READ_SIZE = 1 << 16


class LogStreams:
    """Follows runs' logs. ``live`` finds a running run's log file, ``stored`` the file a
    finished run's log was kept in (by its hash); ``emit`` is told each run's new lines."""

    def __init__(self, live: Callable[[int], LiveLog | None], stored: Callable[[str], str],
                 emit: Callable[[int, list[str]], None]) -> None:
        self._live = live
        self._stored = stored
        self._emit = emit
        self._files: dict[int, LiveLog] = {}
        self._partial: dict[int, bytes] = {}
        self._told: set[int] = set()  # runs something of whose log was read live

    def poll(self, run_ids: Iterable[int]) -> None:
        """Tell the new whole lines of these running runs' logs."""
        for run_id in run_ids:
            f = self._files.get(run_id)
            if f is None:
                f = self._live(run_id)
                if f is None:
                    continue
                self._files[run_id] = f
            data = f.read(READ_SIZE)
            if data:
                self._told.add(run_id)
            self._take(run_id, data, final=False)

    def finished(self, run_id: int, log_hash: str | None) -> None:
        """A run ended: tell the rest of its log, and forget it."""
        f = self._files.pop(run_id, None)
        told = run_id in self._told
        self._told.discard(run_id)
        if f is not None:
            rest = f.read()
            f.close()
            if rest or told:
                # The file it was following holds what the stored log holds.
                self._take(run_id, rest, final=True)
                return
        data = b""
        if log_hash:
            try:
                with open(self._stored(log_hash), "rb") as stored:
                    data = stored.read()
            except OSError:
                pass
        self._take(run_id, data, final=True)

    def close(self) -> None:
        for f in self._files.values():
            f.close()
        self._files.clear()
        self._told.clear()

    def _take(self, run_id: int, data: bytes, *, final: bool) -> None:
        data = self._partial.pop(run_id, b"") + data
        if not final:
            cut = data.rfind(b"\n") + 1
            if cut < len(data):
                self._partial[run_id] = data[cut:]
            data = data[:cut]
        if data:
            text = data.decode("utf-8", "replace")
            self._emit(run_id, text.splitlines())
