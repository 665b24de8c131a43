"""The metadata record as __tevra_metadata__ shows it, and the references to upstream assets."""
import importlib
import inspect
import os
import pathlib
import sys
import tempfile
import types
import unittest

from _tevra import asset, partitions

KEYS = ["kind", "name", "serializer", "inputs", "partitions"]

FIXTURE = '''
from _tevra import asset

@asset()
def raw():
    return [1, 2, 3]

@asset(name="custom")
def named():
    return 0

class Bare:
    __tevra_kind__ = "asset"
'''


def meta(**kwargs):
    return asset(**kwargs)(lambda: None).__tevra_metadata__


def inline(text):
    return {"kind": "inline", "values_json": text}


class Shape(unittest.TestCase):
    def test_fields_and_key_order(self):
        none = dict.fromkeys(KEYS[1:])
        cases = [
            ({}, {}),
            (dict(inputs={}, partitions={}), {"inputs": {}, "partitions": {}}),
            (dict(name="", serializer="pickle"), {"name": "", "serializer": "pickle"}),
            (dict(name="é😀", inputs={"data": "anything at all"}, partitions={"t": partitions(["AAPL", "MSFT"])}),
             {"name": "é😀", "inputs": {"data": "anything at all"}, "partitions": {"t": inline('["AAPL","MSFT"]')}}),
            (dict(partitions={"e": partitions([]), "m": partitions([{"b": 1, "a": [None, True]}, 2.5])}),
             {"partitions": {"e": inline("[]"), "m": inline('[{"a":[null,true],"b":1},2.5]')}}),
        ]
        for kwargs, fields in cases:
            with self.subTest(kwargs=kwargs):
                got = meta(**kwargs)
                self.assertEqual(got, {"kind": "asset", **none, **fields})
                self.assertEqual(list(got), KEYS)
                self.assertTrue(all(list(d) == ["kind", "values_json"] for d in (got["partitions"] or {}).values()))
        # Both maps come out in the order they were declared.
        names = ["zeta", "alpha", "mid", "b", "a"]
        got = meta(inputs={n: n.upper() for n in names}, partitions={n: partitions([n]) for n in names})
        self.assertEqual((list(got["inputs"]), list(got["partitions"])), (names, names))

    def test_every_read_is_a_fresh_copy(self):
        w = asset(name="n", inputs={"a": "r"}, partitions={"d": partitions([1])})(len)
        first, second = w.__tevra_metadata__, w.__tevra_metadata__
        self.assertEqual(first, second)
        self.assertIsNot(first["partitions"]["d"], second["partitions"]["d"])
        first["name"], first["inputs"]["b"], first["partitions"]["d"]["values_json"] = "x", "x", "[]"
        self.assertEqual(w.__tevra_metadata__, second)


class References(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = pathlib.Path(cls.tmp.name)
        (root / "real").mkdir()
        (root / "real" / "tevra_decl_pipe.py").write_text(FIXTURE)
        os.symlink(root / "real", root / "link")
        cls.real_file = os.path.realpath(root / "real" / "tevra_decl_pipe.py")
        cls.path_entry = str(root / "link")
        sys.path.insert(0, cls.path_entry)
        cls.pipe = importlib.import_module("tevra_decl_pipe")

    @classmethod
    def tearDownClass(cls):
        sys.path.remove(cls.path_entry)
        sys.modules.pop("tevra_decl_pipe", None)
        cls.tmp.cleanup()

    def ref(self, upstream):
        return meta(inputs={"data": upstream})["inputs"]["data"]

    def test_resolved_file_and_function_name(self):
        pipe = self.pipe
        self.assertIn(f"{os.sep}link{os.sep}", pipe.__file__)
        # named's own name plays no part; Bare has no __tevra_original__ and stands for itself.
        for upstream, function in ((pipe.raw, "raw"), (pipe.named, "named"), (pipe.Bare, "Bare")):
            with self.subTest(function):
                self.assertEqual(self.ref(upstream), f"{self.real_file}:{function}")

    def test_failures_propagate_unchanged(self):
        namespace, error = {}, LookupError("name unreadable")
        exec("def made(): pass", namespace)

        class Module(types.ModuleType):
            __tevra_kind__, name = "asset", 5

            @property
            def __name__(self):
                if self.name is error:
                    raise error
                return self.name

        module = Module("m")
        module.__file__ = self.pipe.__file__
        cases = [
            (asset()(namespace["made"]), lambda: pathlib.Path(None)),  # no source file
            (asset()(len), lambda: inspect.getsourcefile(len)),
            (self.pipe.Bare(), lambda: inspect.getsourcefile(self.pipe.Bare())),
            (module, lambda: self.fail()),
        ]
        for upstream, direct in cases:
            with self.subTest(upstream=upstream), self.assertRaises(TypeError) as cm:
                self.ref(upstream)
            if upstream is module:
                self.assertEqual(cm.exception.args, ("'int' object cannot be converted to 'PyString'",))
            else:
                with self.assertRaises(TypeError) as expected:
                    direct()
                self.assertEqual(cm.exception.args, expected.exception.args)
        module.name = error
        with self.assertRaises(LookupError) as cm:
            self.ref(module)
        self.assertIs(cm.exception, error)

    def test_inspect_is_imported_for_each_reference(self):
        saved = sys.modules["inspect"]
        sys.modules["inspect"] = types.SimpleNamespace(getsourcefile=lambda target: self.pipe.__file__)
        try:
            self.assertEqual(self.ref(asset()(len)), f"{self.real_file}:len")
        finally:
            sys.modules["inspect"] = saved
        self.assertRaises(TypeError, self.ref, asset()(len))


if __name__ == "__main__":
    unittest.main()
