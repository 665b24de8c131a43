"""Runs started from the page: each is the ordinary ``tevra run`` command in a child
process, in the project directory with the same state directory, so it takes the same
lock and writes the same records as one typed in a terminal."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path

OUTPUT_LINES = 400


@dataclass(slots=True)
class Launch:
    number: int
    argv: list[str]
    started: float
    process: subprocess.Popen[str]
    output: deque[str] = field(default_factory=lambda: deque(maxlen=OUTPUT_LINES))

    @property
    def returncode(self) -> int | None:
        return self.process.poll()

    @property
    def state(self) -> str:
        code = self.returncode
        if code is None:
            return "running"
        return {0: "finished", 1: "finished with failed runs", 130: "interrupted"}.get(
            code, f"exited with status {code}")


class Launcher:
    def __init__(self, modules: list[str], project_dir: Path, state_dir: Path) -> None:
        self.modules = modules
        self.project_dir = project_dir
        self.state_dir = state_dir
        self.launches: list[Launch] = []
        self._lock = threading.Lock()

    def start(self, select: str, partitions: list[str], *, force: bool,
              rerun_failed: bool) -> Launch:
        """``tevra run MODULES --select SELECT [--partition DIM=V,...]...`` in the background."""
        argv = ["tevra", "run", *self.modules, "--select", select]
        for spec in partitions:
            argv += ["--partition", spec]
        if force:
            argv.append("--force")
        if rerun_failed:
            argv.append("--rerun-failed")
        argv += ["--state", str(self.state_dir), "--plain"]
        env = dict(os.environ)
        env["PYTHONUNBUFFERED"] = "1"
        process = subprocess.Popen(
            [sys.executable, "-m", *argv], cwd=self.project_dir, env=env, text=True,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            errors="replace")
        with self._lock:
            launch = Launch(len(self.launches) + 1, argv, time.time(), process)
            self.launches.append(launch)
        threading.Thread(target=self._read, args=(launch,), daemon=True,
                         name=f"tevra-ui-launch-{launch.number}").start()
        return launch

    def _read(self, launch: Launch) -> None:
        assert launch.process.stdout is not None
        for line in launch.process.stdout:
            launch.output.append(line.rstrip("\n"))
        launch.process.wait()

    def get(self, number: int) -> Launch | None:
        with self._lock:
            return self.launches[number - 1] if 0 < number <= len(self.launches) else None

    def stop(self) -> None:
        """Interrupt what is still running, as Ctrl-C would, so its runs are recorded."""
        for launch in self.launches:
            if launch.process.poll() is None:
                launch.process.send_signal(signal.SIGINT)
        for launch in self.launches:
            try:
                launch.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                launch.process.kill()
                launch.process.wait()
