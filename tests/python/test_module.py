"""The module object, its classes and functions, and what import does twice;
attempts to change the classes, leaks."""
import importlib
import inspect
import subprocess
import sys
import textwrap
import unittest
import weakref

import _tevra
from _tevra import asset, partitions
from leak_fixtures import LeakCase, raises

ALL = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


class ModuleAttributes(unittest.TestCase):
    def test_name_doc_and_all(self):
        self.assertEqual(_tevra.__name__, "_tevra")
        self.assertEqual(_tevra.__doc__, "The native `_tevra` module.")
        self.assertEqual(_tevra.__all__, ALL)
        for name in ALL:
            self.assertTrue(hasattr(_tevra, name), name)

    def test_functions(self):
        signatures = {
            "asset": "(*, name=None, inputs=None, partitions=None, serializer=None)",
            "partitions": "(values)",
            "inspect_modules": "(modules)",
            "materialize_asset": "(module_name, function_name, output_dir, input_kwargs_json=None)",
        }
        for name, text in signatures.items():
            with self.subTest(name):
                fn = getattr(_tevra, name)
                self.assertEqual(fn.__name__, name)
                self.assertEqual(fn.__module__, "_tevra")
                self.assertIs(fn.__self__, _tevra)
                self.assertEqual(str(inspect.signature(fn)), text)
                self.assertEqual(fn.__text_signature__, text)
                self.assertFalse(fn.__doc__.startswith(name + "("))
        self.assertTrue(_tevra.materialize_asset.__doc__.startswith("Materialize a single asset function."))
        self.assertEqual(
            _tevra.partitions.__doc__,
            "Declare a static partition universe for use with ``@asset(partitions=...)``.\n\n"
            "Example::\n\n    from tevra import asset, partitions\n\n"
            '    @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})\n'
            "    def prices(ticker: str): ...")
        self.assertEqual(
            _tevra.inspect_modules.__doc__,
            "Inspect modules for tevra assets. Called by the `python -m tevra.inspect` CLI stub.\n\n"
            'Imports each module, finds functions with `__tevra_kind__ == "asset"`,\n'
            "extracts source and metadata, returns JSON string to stdout.")
        self.assertEqual(
            _tevra.materialize_asset.__doc__,
            "Materialize a single asset function. Called by the `python -m tevra.worker` CLI stub.\n\n"
            "Imports the module, finds the function, calls the unwrapped original,\n"
            "serializes the result to JSON, writes value.json and result.json.\n\n"
            "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
            "passed as keyword arguments to the function.")
        self.assertTrue(_tevra.asset.__doc__.startswith(
            "Decorator that registers a Python function as a tevra asset.\n\nUsage\n-----\n"))
        self.assertTrue(_tevra.asset.__doc__.endswith(
            "serializer : str, optional\n    Reserved for future use.  Leave unset."))

    def test_reimport_yields_same_objects(self):
        module, function = _tevra, _tevra.partitions
        del sys.modules["_tevra"]
        again = importlib.import_module("_tevra")
        self.assertIs(again, module)
        self.assertIs(again.partitions, function)
        self.assertEqual(again.__all__, ALL)


class Classes(unittest.TestCase):
    CLASSES = {
        "AssetWrapper": "The `@asset()` decorator wrapper. Stores the original function and metadata.",
        "Partitions": "Marker type returned by `partitions([...])`. Stores the static values.",
    }

    def test_names_and_docs(self):
        for name, doc in self.CLASSES.items():
            with self.subTest(name):
                cls = getattr(_tevra, name)
                self.assertEqual(cls.__name__, name)
                self.assertEqual(cls.__qualname__, name)
                self.assertEqual(cls.__module__, "builtins")
                self.assertEqual(repr(cls), f"<class 'builtins.{name}'>")
                self.assertIs(cls.__base__, object)
                self.assertEqual(cls.__doc__, doc)

    def test_no_constructor(self):
        for name, args in (("AssetWrapper", ()), ("Partitions", ([],)), ("Partitions", ()),
                           ("AssetWrapper", (1, 2))):
            with self.subTest(name, args=args):
                with self.assertRaises(TypeError) as cm:
                    getattr(_tevra, name)(*args)
                self.assertEqual(str(cm.exception), f"No constructor defined for {name}")

    def test_not_subclassable(self):
        for name in self.CLASSES:
            with self.subTest(name), self.assertRaisesRegex(TypeError, "is not an acceptable base type"):
                type("Sub", (getattr(_tevra, name),), {})

    def test_instances_take_no_weakref_or_new_attribute(self):
        p = _tevra.partitions([])
        with self.assertRaises(TypeError):
            weakref.ref(p)
        with self.assertRaises(AttributeError):
            p.anything = 1
        self.assertFalse(hasattr(p, "__dict__"))


class Exports(unittest.TestCase):
    def test_only_the_entry_point_is_exported(self):
        import os
        path = os.environ.get("TEVRA_MODULE_FILE", _tevra.__file__)
        out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
        symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
        self.assertEqual(symbols, ["PyInit__tevra"])


class SubInterpreter(unittest.TestCase):
    def test_second_interpreter_is_refused(self):
        script = textwrap.dedent("""
            import _interpreters, _tevra
            interp = _interpreters.create("legacy")
            err = _interpreters.run_string(interp, "import _tevra")
            _interpreters.destroy(interp)
            print(err.type.__name__)
            print(err.msg)
            print(_tevra.partitions(["a"]))
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        kind, message, still_working = out.stdout.splitlines()
        self.assertEqual(kind, "ImportError")
        self.assertIn("sub-interpreters", message)
        self.assertEqual(still_working, "Partitions(1 values)")


class HostileClassChanges(unittest.TestCase):
    def test_classes_cannot_be_changed(self):
        # With a __new__ of Python's choosing, object.__new__ would make instances whose
        # fields the module never set up (calling or reading one crashed the process).
        w = asset()(len)
        p = partitions([1])
        for cls in (_tevra.AssetWrapper, _tevra.Partitions):
            for name, value in (("__new__", lambda c, *a: object.__new__(c)), ("__call__", len),
                                ("__repr__", repr), ("extra", 1), ("__tevra_kind__", "x")):
                with self.subTest(cls=cls.__name__, name=name):
                    with self.assertRaises(TypeError):
                        setattr(cls, name, value)
            for name in ("__tevra_kind__", "__tevra_original__", "__repr__", "__doc__"):
                with self.subTest(cls=cls.__name__, deleting=name):
                    with self.assertRaises((TypeError, AttributeError)):
                        delattr(cls, name)
            with self.subTest(cls=cls.__name__, call="object.__new__"):
                with self.assertRaises(TypeError):
                    object.__new__(cls)
        self.assertEqual(w.__tevra_kind__, "asset")
        self.assertIs(w.__tevra_original__, len)
        self.assertEqual(w([1, 2]), 2)
        self.assertEqual(repr(p), "Partitions(1 values)")


class LeaksNoConstructor(LeakCase):
    def test_both_classes(self):
        arg = object()
        self.check("AssetWrapper", raises(TypeError, _tevra.AssetWrapper, arg), tracked=[arg])
        self.check("Partitions", raises(TypeError, _tevra.Partitions, [arg]), tracked=[arg])


if __name__ == "__main__":
    unittest.main()
