"""A worker's tie to the orchestrator that started it: it dies with it.

Workers lead process groups of their own (Ctrl-C on the terminal is the orchestrator's
to handle), so a signal to the orchestrator's group does not reach them. Instead the
kernel kills a worker the moment its parent ends (``PR_SET_PDEATHSIG``), and a worker
whose parent is already gone when it starts, or before it takes a job, ends at once:
no run of a dead invocation starts, and none goes on beside the next invocation's copy.

The kernel ties the signal to the thread that started the worker, so workers are
started from the orchestrator's main thread.
"""

from __future__ import annotations

import os
import signal
import sys

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
