"""What the local executors share about their child processes: the environment they
start with, how their ends are told, and how they and what they started are stopped."""

from __future__ import annotations

import math
import os
import select
import signal
import subprocess

import _tevra

import tevra


def child_env(env: dict[str, str] | None = None) -> dict[str, str]:
    """The environment of a worker: ``env`` (or ours) with tevra and the engine importable."""
    out = dict(os.environ if env is None else env)
    paths = out.get("PYTHONPATH", "").split(os.pathsep) if out.get("PYTHONPATH") else []
    for path in (os.path.dirname(os.path.dirname(os.path.abspath(tevra.__file__))),
                 os.path.dirname(os.path.abspath(_tevra.__file__ or ""))):
        if path not in paths:
            paths.append(path)
    out["PYTHONPATH"] = os.pathsep.join(paths)
    return out


def exit_text(returncode: int) -> str:
    """How a process ended: "killed by signal 11 (SIGSEGV)" or "exit status 3"."""
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            return f"killed by signal {-returncode}"
        return f"killed by signal {-returncode} ({name})"
    return f"exit status {returncode}"


def kill_group(pid: int) -> None:
    """SIGKILL the process group a worker leads: the worker and whatever it started.

    The group outlives its leader while members remain, so this is safe after the
    leader was reaped: the id cannot have been reused for another group.
    """
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def open_pidfd(pid: int) -> int | None:
    try:
        return os.pidfd_open(pid)
    except (AttributeError, OSError):
        return None


def wait_for(proc: subprocess.Popen[bytes], pidfd: int | None, timeout: float) -> bool:
    """Reap ``proc`` once it ends, waiting up to ``timeout`` seconds; False if it has not
    ended by then. Its pid descriptor, where there is one, tells the moment it ends:
    ``Popen.wait`` with a timeout polls, and notices an end up to 50 ms late."""
    if pidfd is not None:
        poller = select.poll()
        poller.register(pidfd, select.POLLIN)
        poller.poll(math.ceil(max(timeout, 0.0) * 1000))
        timeout = 0.0
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        return False
    return True
