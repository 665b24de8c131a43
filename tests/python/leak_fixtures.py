"""Fixtures for the leak tests of every entry point: each success path and each failure
path run in a loop, after which no reference, interpreter block or C heap byte may stay
behind (see leak_check)."""
import os
import sys
import tempfile
import textwrap
import unittest

from leak_check import assert_no_growth


def fresh(text):
    """A str made at run time, so that its reference count means something (literal
    identifiers are immortal)."""
    return "".join(list(text))


def raises(exc_type, fn, *args, **kwargs):
    """A call that must fail with exactly `exc_type`."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type as e:
            if type(e) is not exc_type:
                raise
        else:
            raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")
    return call


MODULE_SOURCE = '''
from _tevra import asset, partitions

@asset()
def raw() -> list:
    return [1, 2, 3]

@asset(name="cleaned", inputs={"data": raw, "other": "some:ref"},
       partitions={"d": partitions(["a", 1, None])}, serializer="json")
def cleaned(data, other=None):
    return {"n": len(data)}

def plain(x, y=2):
    return [x, y, "\\u00e9"]

def fails():
    raise ValueError("asset failed")

class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")

def fails_unprintably():
    raise BadStr()

def returns_set():
    return {1}
'''

BROKEN_SOURCE = "raise KeyError('broken at import')\n"

INSPECTED_SOURCE = '''
from _tevra import asset, partitions

@asset(name="one", inputs={"data": "some:ref"}, partitions={"d": partitions(["a", 1])})
def one(data) -> dict:
    return {}
'''

HANDMADE_NAN_SOURCE = '''
class Marked:
    __tevra_kind__ = "asset"
    __tevra_metadata__ = {"x": float("nan")}

nan_meta = Marked()
'''


class LeakCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.root = os.path.realpath(cls._tmp.name)
        # Output files go to a memory file system where there is one: the runs' file
        # writes are most of their cost.
        cls._out_tmp = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        cls.out = os.path.join(cls._out_tmp.name, "out")
        pid = os.getpid()
        cls.good = f"leaks_good_{pid}"
        cls.broken = f"leaks_broken_{pid}"
        cls.nan_meta = f"leaks_nan_{pid}"
        cls.inspected = f"leaks_inspected_{pid}"
        for name, source in ((cls.good, MODULE_SOURCE), (cls.broken, BROKEN_SOURCE),
                             (cls.nan_meta, HANDMADE_NAN_SOURCE), (cls.inspected, INSPECTED_SOURCE)):
            with open(os.path.join(cls.root, name + ".py"), "w", encoding="utf-8") as f:
                f.write(textwrap.dedent(source))
        sys.path.insert(0, cls.root)

    @classmethod
    def tearDownClass(cls):
        sys.path.remove(cls.root)
        for name in (cls.good, cls.broken, cls.nan_meta, cls.inspected):
            sys.modules.pop(name, None)
        cls._tmp.cleanup()
        cls._out_tmp.cleanup()

    def check(self, label, call, tracked=(), loops=10_000, quiet=False):
        with self.subTest(label):
            assert_no_growth(self, call, tracked=tracked, loops=loops, quiet=quiet)


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value
