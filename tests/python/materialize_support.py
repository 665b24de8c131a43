"""Shared set-up for the materialisation tests: throw-away user modules and output dirs."""
import itertools
import os
import sys
import tempfile
import textwrap
import unittest

_counter = itertools.count()


class WorkspaceTest(unittest.TestCase):
    """Each test gets a private directory on sys.path for its fixture modules."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self._tmp.cleanup)
        self.root = self._tmp.name
        self.modules = os.path.join(self.root, "modules")
        os.mkdir(self.modules)
        sys.path.insert(0, self.modules)
        self.addCleanup(sys.path.remove, self.modules)

    def write_module(self, source, prefix="fixture"):
        """Writes a module under a name no earlier test used and returns that name."""
        name = f"{prefix}_{os.getpid()}_{next(_counter)}"
        with open(os.path.join(self.modules, name + ".py"), "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(source))
        self.addCleanup(sys.modules.pop, name, None)
        return name

    def out_dir(self, name="out"):
        return os.path.join(self.root, name)


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8")


def leftovers(directory):
    """Names in `directory` other than the two output files."""
    return sorted(set(os.listdir(directory)) - {"value.json", "result.json"})
