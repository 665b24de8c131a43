"""A user's project in a temporary directory, and the ``tevra`` command run on it."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"


@dataclass
class Result:
    code: int
    out: str
    err: str


class Project:
    def __init__(self, root: Path) -> None:
        self.root = root

    def write(self, name: str, source: str) -> Path:
        path = self.root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        return path

    def env(self) -> dict[str, str]:
        env = dict(os.environ)
        env.pop("TEVRA_HOME", None)
        paths = [str(PYTHON_DIR)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join(paths)
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        return env

    def popen(self, *args: str, **kw: object) -> subprocess.Popen[str]:
        return subprocess.Popen([sys.executable, "-m", "tevra", *args], cwd=self.root,
                                env=self.env(), text=True, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **kw)  # type: ignore[call-overload]

    def tevra(self, *args: str, timeout: float = 120) -> Result:
        proc = subprocess.run([sys.executable, "-m", "tevra", *args], cwd=self.root,
                              env=self.env(), text=True, capture_output=True, timeout=timeout)
        return Result(proc.returncode, proc.stdout, proc.stderr)

    def run(self, *args: str) -> Result:
        """``tevra run --plain`` that must not fail to start."""
        result = self.tevra("run", "--plain", *args)
        assert result.code in (0, 1), result.err
        return result

    def status(self, *args: str) -> dict[str, tuple[str, str | None]]:
        """label[partition] -> (fresh/stale/failed, reason)."""
        result = self.tevra("status", "--json", *args)
        assert result.code == 0, result.err
        out = {}
        for row in json.loads(result.out)["partitions"]:
            label = row["label"] + (f"[{row['partition']}]" if row["partition"] else "")
            out[label] = (row["status"], row["reason"])
        return out

    def latest_values(self) -> dict[str, object]:
        """label[partition] -> the value of its latest success, read from the store."""
        import sqlite3

        db = sqlite3.connect(self.root / ".tevra" / "runs.db")
        rows = db.execute(
            "SELECT l.asset, l.partition, r.value, r.value_hash FROM latest l "
            "JOIN runs r ON r.id = l.success_id"
        ).fetchall()
        db.close()
        out = {}
        for asset, partition, value, digest in rows:
            name = asset.rsplit(":", 1)[-1]
            out[name + (f"[{partition}]" if partition else "")] = json.loads(
                value if value is not None else self.stored(digest).read_bytes())
        return out

    def stored(self, digest: str) -> Path:
        """The file of a stored value."""
        return self.root / ".tevra" / "values" / digest[:2] / digest[2:]

    def statuses(self, output: str) -> dict[str, str]:
        """label -> status, from ``--plain`` lines."""
        out = {}
        for line in output.splitlines():
            parts = line.split()
            if len(parts) >= 2 and parts[0] in ("succeeded", "cached"):
                out[parts[1]] = parts[0]
            elif " failed (run " in line or " crashed (run " in line or " timed out (run " in line:
                label, _, rest = line.partition(" ")
                out[label] = rest.split(" (run ")[0]
            elif line.startswith("upstream failed"):
                out[line.split()[2].rstrip(":")] = "upstream failed"
        return out


def ran(result: Result) -> list[str]:
    """The labels of the runs a ``tevra run`` reports as succeeded, sorted."""
    return sorted(line.split()[1] for line in result.out.splitlines()
                  if line.startswith("succeeded"))


HOLD_LOCK = """\
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("BEGIN IMMEDIATE")
print("locked", flush=True)
sys.stdin.readline()
db.execute("ROLLBACK")
"""


def lock_holder(db: Path) -> subprocess.Popen[str]:
    """Another process holding the write lock of the database ``db`` until a line
    reaches its standard input."""
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, str(db)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout is not None and holder.stdin is not None
    assert holder.stdout.readline() == "locked\n"
    return holder
