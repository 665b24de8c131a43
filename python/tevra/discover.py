"""Discovery: the inspection document of the user's modules, from a child process.

User code is imported only in the child (``python -m tevra.scan``), so a module that
crashes the interpreter cannot take the orchestrator (and the run history it writes)
down with it. The child expands packages into their submodules and adds to every
asset record two members of its own: ``defining_module``, the module that defines the
asset's function, and ``code_parts``, the parts of the code it reaches
(``tevra.codeversion``). What the modules print while they are imported reaches this
process's standard error as it comes, ended by a line break.
"""

from __future__ import annotations

import json
import os
import selectors
import signal
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any

from tevra.errors import DiscoveryError


@dataclass(frozen=True, slots=True)
class Inspection:
    records: list[dict[str, Any]]
    python_version: str
    modules: list[str] = field(default_factory=list)  # as scanned: packages expanded


def inspect(modules: list[str], project_dir: str, exclude: list[str] | None = None,
            debug: bool = False) -> Inspection:
    """Run ``python -m tevra.scan`` over ``modules`` in ``project_dir``; ``exclude`` holds
    globs of submodules a package's walk leaves out; ``debug`` has the child print the
    traceback of a module that fails to import."""
    return Discovery(modules, project_dir, exclude, debug).result()


class Discovery:
    """``inspect`` in two steps: the child starts when this is made, and ``result``
    waits for it, so that the caller can work meanwhile (``stop`` ends it unread)."""

    def __init__(self, modules: list[str], project_dir: str, exclude: list[str] | None = None,
                 debug: bool = False) -> None:
        self.modules = modules
        options = [arg for glob in exclude or [] for arg in ("--exclude", glob)]
        if debug:
            options.append("--traceback")
        # Unbuffered (-u): what a module prints reaches the terminal in the order it was
        # printed, its standard output and error interleaved as written.
        self._proc = subprocess.Popen(
            [sys.executable, "-u", "-m", "tevra.scan", *options, "--", *modules],
            cwd=project_dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env(),
        )

    def stop(self) -> None:
        proc = self._proc
        proc.kill()
        proc.wait()
        for pipe in (proc.stdout, proc.stderr):
            if pipe is not None:
                pipe.close()

    def result(self) -> Inspection:
        try:
            return _inspection(self._proc, self.modules)
        except BaseException:
            # Interrupted while waiting (or the child misbehaved): it is not left
            # running, nor unreaped, behind this process.
            self.stop()
            raise


# Numerical libraries start a pool of threads when imported, one per core; discovery
# computes nothing with them, and on a small machine their start slows the import that
# the first pool worker makes meanwhile. The user's own settings stand.
_ONE_THREAD = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def _env() -> dict[str, str]:
    env = dict(os.environ)
    for name in _ONE_THREAD:
        env.setdefault(name, "1")
    return env


def _inspection(proc: subprocess.Popen[bytes], modules: list[str]) -> Inspection:
    document = _read_passing_on(proc)
    if proc.wait() != 0:
        raise DiscoveryError(f"discovery of {' '.join(modules)} {_ended(proc.returncode)}")
    try:
        found = json.loads(document)
        problems = found["problems"]
        if problems:
            raise DiscoveryError(problems[0] if len(problems) == 1 else
                                 "the modules cannot be imported:\n"
                                 + "\n".join(f"  {p}" for p in problems))
        records = found["document"]["assets"]
        assets = found["assets"]
    except (ValueError, KeyError, TypeError) as exc:
        raise DiscoveryError(f"discovery printed no inspection document ({exc})") from None
    for record in records:
        extra = assets.get(f"{record['file_path']}:{record['function_name']}") or {}
        record["defining_module"] = extra.get("module") or record["module_path"]
        record["code_parts"] = extra.get("code")
        record["serializer_problem"] = extra.get("serializer_problem")
        record["loads"] = extra.get("loads") or {}
    version = records[0]["python_version"] if records else ".".join(map(str, sys.version_info[:3]))
    return Inspection(records=records, python_version=version, modules=found["modules"])


def _read_passing_on(proc: subprocess.Popen[bytes]) -> bytes:
    """The child's standard output, while its standard error is copied to ours; a last
    line without its line break gets one, so that what follows starts a line."""
    assert proc.stdout is not None and proc.stderr is not None
    chunks: list[bytes] = []
    last = b"\n"
    with selectors.DefaultSelector() as selector:
        selector.register(proc.stdout, selectors.EVENT_READ)
        selector.register(proc.stderr, selectors.EVENT_READ)
        while selector.get_map():
            for key, _ in selector.select():
                data = os.read(key.fd, 1 << 16)
                if not data:
                    selector.unregister(key.fileobj)
                elif key.fileobj is proc.stdout:
                    chunks.append(data)
                else:
                    _to_stderr(data)
                    last = data
    proc.stdout.close()
    proc.stderr.close()
    if not last.endswith(b"\n"):
        _to_stderr(b"\n")
    return b"".join(chunks)


def _to_stderr(data: bytes) -> None:
    buffer = getattr(sys.stderr, "buffer", None)
    sys.stderr.flush()
    if buffer is not None:
        buffer.write(data)
        buffer.flush()
    else:
        sys.stderr.write(data.decode("utf-8", "replace"))
        sys.stderr.flush()


def _ended(returncode: int) -> str:
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = "unknown signal"
        return f"was killed by signal {-returncode} ({name})"
    return f"failed with exit status {returncode}"
