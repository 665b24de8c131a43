"""A worker's tie to the orchestrator that started it: it dies with it.

Workers lead process groups of their own (Ctrl-C on the terminal is the orchestrator's
to handle), so a signal to the orchestrator's group does not reach them. Instead the
kernel kills a worker the moment its parent ends (``PR_SET_PDEATHSIG``), and a worker
whose parent is already gone when it starts, or before it takes a job, ends at once:
no run of a dead invocation starts, and none goes on beside the next invocation's copy.

The kernel ties the signal to the thread that started the worker, so workers are
started from the orchestrator's main thread.

As a second line, an invocation records each worker's identity (its pid, start time and
the boot it started in) before giving it a job, and the next invocation stops whatever
it finds of a dead invocation's workers, and the processes their runs started, before
it runs their runs again. A pid the kernel has since given to another process is left
alone: its start time differs.
"""

from __future__ import annotations

import os
import signal
import sys
import time
from typing import NamedTuple

_PR_SET_PDEATHSIG = 1
_ORPHANED = 75  # exit status of a worker that found its orchestrator gone


def die_with_parent(parent_pid: int) -> None:
    """Be killed when ``parent_pid``, our parent, ends; end now if it already has."""
    if sys.platform.startswith("linux"):
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
            err = ctypes.get_errno()
            raise OSError(err, f"prctl(PR_SET_PDEATHSIG): {os.strerror(err)}")
    # The parent may have died before the request above: then nobody sends the signal.
    stop_if_orphaned(parent_pid)


def stop_if_orphaned(parent_pid: int) -> None:
    """End this process at once when its parent is no longer ``parent_pid``."""
    if os.getppid() != parent_pid:
        os._exit(_ORPHANED)


class Identity(NamedTuple):
    """What tells a process from a later one that reuses its pid."""

    pid: int
    start: int  # clock ticks after boot, from /proc/PID/stat
    boot: str


def boot_id() -> str:
    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            return f.read().strip()
    except OSError:
        return ""


def _stat(pid: int) -> list[str] | None:
    """The fields of /proc/PID/stat after the command's name (state first)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            data = f.read()
    except OSError:
        return None
    return data[data.rfind(b")") + 2:].decode("ascii", "replace").split()


def identity(pid: int) -> Identity | None:
    fields = _stat(pid)
    if fields is None or len(fields) < 20:
        return None
    return Identity(pid, int(fields[19]), boot_id())


def _group_alive(group: int) -> bool:
    """Whether any process of the group still runs (zombies do not count)."""
    try:
        names = os.listdir("/proc")
    except OSError:
        return False
    for name in names:
        if name.isdigit():
            fields = _stat(int(name))
            if fields is not None and len(fields) > 2 and fields[2] == str(group) \
                    and fields[0] != "Z":
                return True
    return False


def stop_leftovers(workers: list[Identity], wait: float = 10.0) -> int:
    """Kill what is left of these workers of a dead invocation: each worker still
    running as itself, and its process group (what its runs started); waits until they
    are gone. Returns how many groups were killed."""
    boot = boot_id()
    killed: list[int] = []
    for worker in workers:
        if worker.boot != boot:
            continue  # the machine restarted since: nothing of it is left
        now = identity(worker.pid)
        if now is not None and now.start != worker.start:
            # The pid is another process's now, and while it lives no old group can
            # bear its number.
            continue
        # The worker itself, and the group it led, which outlives it while the runs'
        # processes remain: a group's id is never handed to a new process meanwhile.
        if now is not None:
            try:
                os.kill(worker.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        try:
            os.killpg(worker.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            if now is None:
                continue
        killed.append(worker.pid)
    deadline = time.monotonic() + wait
    for group in killed:
        while _group_alive(group) and time.monotonic() < deadline:
            time.sleep(0.01)
    return len(killed)
