"""Shared helpers for the discovery tests: fixture modules on disk and expected documents."""
import contextlib
import importlib
import io
import itertools
import json
import os
import sys
import tempfile
import unittest

import _tevra

VERSION = "{0.major}.{0.minor}.{0.micro}".format(sys.version_info)

_counter = itertools.count()


def unique(stem):
    """A module name no other test (or earlier run in this process) has used."""
    return f"{stem}_{os.getpid()}_{next(_counter)}"


def native_asset_ready():
    try:
        _tevra.asset()
    except NotImplementedError:
        return False
    return True


# Import lines that bring a decorator named `asset` into a fixture module.
DECORATORS = {"handmade": "from handmade_assets import asset"}
if native_asset_ready():
    DECORATORS["native"] = "from _tevra import asset"


def record(*, file, function, function_source, module, module_source, returns=None, metadata=None):
    if metadata is None:
        metadata = {"inputs": None, "kind": "asset", "name": None, "partitions": None, "serializer": None}
    return {"decorator_metadata": metadata, "file_path": file, "function_name": function,
            "function_source": function_source, "kind": "asset", "module_path": module,
            "module_source": module_source, "python_version": VERSION, "return_type": returns}


def document(*records):
    """The compact text: sorted keys, no whitespace, raw UTF-8."""
    return json.dumps({"assets": list(records)}, ensure_ascii=False, separators=(",", ":"),
                      sort_keys=True, allow_nan=False)


def write_module(directory, name, source):
    path = os.path.join(directory, name + ".py")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(source)
    return path


class FixtureCase(unittest.TestCase):
    """Each test gets its own directory on sys.path for the modules it writes."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = os.path.realpath(tmp.name)
        sys.path.insert(0, self.dir)
        self.addCleanup(sys.path.remove, self.dir)

    def module(self, stem, source, directory=None):
        """Writes a fixture module and returns (name, resolved path)."""
        name = unique(stem)
        path = write_module(directory or self.dir, name, source)
        importlib.invalidate_caches()
        self.addCleanup(sys.modules.pop, name, None)
        return name, os.path.realpath(path)


@contextlib.contextmanager
def captured_output():
    """Captures descriptors 1 and 2 and, separately, whatever goes through sys.stdout/sys.stderr.

    Yields a dict filled on exit with "fd1", "fd2", "sys_stdout" and "sys_stderr".
    """
    box = {}
    sys.stdout.flush()
    sys.stderr.flush()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        saved = (os.dup(1), os.dup(2))
        streams = (sys.stdout, sys.stderr)
        fake_out, fake_err = io.StringIO(), io.StringIO()
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        sys.stdout, sys.stderr = fake_out, fake_err
        try:
            yield box
        finally:
            sys.stdout, sys.stderr = streams
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
            for key, f in (("fd1", out), ("fd2", err)):
                f.seek(0)
                box[key] = f.read().decode("utf-8")
            box["sys_stdout"] = fake_out.getvalue()
            box["sys_stderr"] = fake_err.getvalue()
