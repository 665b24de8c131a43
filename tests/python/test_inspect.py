"""inspect_modules in-process: the document it builds, what it skips and what it raises;
hostile members and imports, leaks and threads."""
import gc
import inspect
import json
import math
import os
import pathlib
import sys
import tempfile
import textwrap
import typing
import unittest

from _tevra import inspect_modules
from discovery_fixtures import (DECORATORS, VERSION, FixtureCase, captured_output, document, record, unique,
                                write_module)
from hostile import ASTRAL, CONTROL, compact, lossy
from leak_check import silenced_fd2
from leak_fixtures import LeakCase, fresh, raises
from thread_support import ROUNDS, ThreadCase

EXAMPLE_BODY = '\n@asset()\ndef daily_totals() -> dict:\n    return {"n": 1}\n'
EXAMPLE_FUNCTION = '@asset()\ndef daily_totals() -> dict:\n    return {"n": 1}\n'

# Hand-made marked objects: the asset test looks only at attributes, never at types.
MARKED_HELPERS = '''
class Thing:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)
'''


class Document(FixtureCase):
    def test_example_shape(self):
        for label, import_line in DECORATORS.items():
            with self.subTest(label):
                source = import_line + "\n" + EXAMPLE_BODY
                name, path = self.module("sales", source)
                expected = (
                    '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,'
                    '"partitions":null,"serializer":null},"file_path":"' + path + '",'
                    '"function_name":"daily_totals","function_source":"@asset()\\ndef daily_totals() -> dict:'
                    '\\n    return {\\"n\\": 1}\\n","kind":"asset","module_path":"' + name + '",'
                    '"module_source":"' + import_line + '\\n\\n@asset()\\ndef daily_totals() -> dict:\\n'
                    '    return {\\"n\\": 1}\\n","python_version":"' + VERSION + '","return_type":"dict"}]}')
                self.assertEqual(inspect_modules([name]), expected)

    def test_nothing_found(self):
        plain, _ = self.module("plain", "import os\nX = 1\n\ndef f():\n    return X\n\nclass C:\n    pass\n")
        for modules in ([], (), [plain], (plain, plain)):
            with self.subTest(modules=modules):
                with captured_output() as out:
                    text = inspect_modules(modules)
                self.assertEqual(text, '{"assets":[]}')
                self.assertEqual(out, {"fd1": "", "fd2": "", "sys_stdout": "", "sys_stderr": ""})

    def test_tabs_and_non_ascii(self):
        source = ("from handmade_assets import asset\n# Überblick: ☃\n\n@asset(name='naïve 😀')\n"
                  "def caf\u00e9():\n\t'''Crème brûlée.'''\n\treturn 'a\\tb'\n")
        name, path = self.module("tabs", source)
        text = inspect_modules([name])
        function_source = "@asset(name='naïve 😀')\ndef café():\n\t'''Crème brûlée.'''\n\treturn 'a\\tb'\n"
        metadata = {"inputs": None, "kind": "asset", "name": "naïve 😀", "partitions": None, "serializer": None}
        self.assertEqual(text, document(record(
            file=path, function="café", function_source=function_source, module=name, module_source=source,
            metadata=metadata)))
        for fragment in ('\\treturn', '"name":"naïve 😀"', "Crème brûlée", "Überblick"):
            with self.subTest(fragment=fragment):
                self.assertIn(fragment, text)
        self.assertNotIn("\t", text)
        self.assertNotIn("\\u", text)

    def test_metadata_keys_sorted(self):
        source = MARKED_HELPERS + '''
def target():
    pass

member = Thing(__tevra_kind__="asset", __tevra_original__=target, __tevra_metadata__={
    "serializer": "pickle", "name": "n", "kind": "asset",
    "nested": {"z": 1, "a": [{"y": 2, "b": 3}], "é": None, "E": True, "e": False},
    1: "int key", "1": "str key", "big": 2**64, "small": -2**63, "float": 0.1,
    "tuple": (1, 2), "esc": "caf\\u00e9 \\"q\\" \\\\ \\u001b",
})
'''
        name, _ = self.module("meta", source)
        document_value = json.loads(inspect_modules([name]))
        metadata_text = json.dumps(document_value["assets"][0]["decorator_metadata"], ensure_ascii=False,
                                   separators=(",", ":"))
        self.assertEqual(metadata_text,
                         '{"1":"str key","big":1.8446744073709552e+19,"esc":"café \\"q\\" \\\\ \\u001b",'
                         '"float":0.1,"kind":"asset","name":"n","nested":{"E":true,"a":[{"b":3,"y":2}],'
                         '"e":false,"z":1,"é":null},"serializer":"pickle","small":-9223372036854775808,'
                         '"tuple":[1,2]}')
        # The document's own text is exactly that, as the writer produced it.
        self.assertIn('"decorator_metadata":' + metadata_text + ',', inspect_modules([name]))

    def test_return_types(self):
        source = '''from handmade_assets import asset
import typing

class Table:
    pass

@asset()
def a_none():
    pass

@asset()
def b_none_value() -> None:
    pass

@asset()
def c_int() -> int:
    return 1

@asset()
def d_string() -> "Table":
    pass

@asset()
def e_class() -> Table:
    pass

@asset()
def f_generic() -> list[int]:
    return []

@asset()
def g_optional() -> typing.Optional[int]:
    pass

@asset()
def h_module() -> typing:
    pass
'''
        name, _ = self.module("returns", source)
        assets = json.loads(inspect_modules([name]))["assets"]
        self.assertEqual([a["return_type"] for a in assets],
                         [None, "None", "int", "Table", "Table", "list[int]", "typing.Optional[int]", str(typing)])
        self.assertIn('"return_type":null}', inspect_modules([name]))

    def test_sources_trimmed(self):
        source = ('\n\n   \nfrom handmade_assets import asset\n\nclass Holder:\n    @asset()\n'
                  '    def inner(self) -> int:\n        """Doc."""\n\n        return 1\n\n'
                  'exported = Holder.__dict__["inner"]\n\n\n\n   \n')
        name, path = self.module("trim", source)
        module_source = source.strip() + "\n"
        function_source = '@asset()\ndef inner(self) -> int:\n    """Doc."""\n\n    return 1\n'
        self.assertEqual(inspect_modules([name]), document(record(
            file=path, function="inner", function_source=function_source, module=name,
            module_source=module_source, returns="int")))

    def test_symlinked_source(self):
        elsewhere = tempfile.TemporaryDirectory()
        self.addCleanup(elsewhere.cleanup)
        real_dir = os.path.realpath(elsewhere.name)
        name = unique("linked")
        real = write_module(real_dir, "target_" + name, "from handmade_assets import asset\n" + EXAMPLE_BODY)
        os.symlink(real, os.path.join(self.dir, name + ".py"))
        self.addCleanup(sys.modules.pop, name, None)
        self.assertEqual(json.loads(inspect_modules([name]))["assets"][0]["file_path"], real)
        self.assertNotEqual(real, os.path.join(self.dir, name + ".py"))

    def test_imported_and_aliased(self):
        first_source = "from handmade_assets import asset\n" + EXAMPLE_BODY + "alias = daily_totals\n"
        first, first_path = self.module("first", first_source)
        second_source = f"from {first} import daily_totals as borrowed\n"
        second, _ = self.module("second", second_source)
        own = dict(file=first_path, function="daily_totals", function_source=EXAMPLE_FUNCTION, returns="dict")
        first_record = record(module=first, module_source=first_source, **own)
        self.assertEqual(inspect_modules([first, second]), document(
            first_record, first_record,
            record(module=second, module_source=second_source, **own)))
        self.assertEqual(inspect_modules([second, first, second]), document(
            record(module=second, module_source=second_source, **own), first_record, first_record,
            record(module=second, module_source=second_source, **own)))

    def test_module_path_is_the_modules_own_name(self):
        source = "from handmade_assets import asset\n" + EXAMPLE_BODY + '__name__ = "renamed.inside"\n'
        name, _ = self.module("renamed", source)
        self.assertEqual(json.loads(inspect_modules([name]))["assets"][0]["module_path"], "renamed.inside")

    def test_described_by_itself(self):
        source = '''
def plain(x, y=2) -> int:
    return x

plain.__tevra_kind__ = "asset"
plain.__tevra_metadata__ = {"by": "function"}


class Meta(type):
    @property
    def __tevra_original__(cls):
        raise RuntimeError("no original here")


class Klass(metaclass=Meta):
    __tevra_kind__ = "asset"
    __tevra_metadata__ = {"by": "class"}
'''
        name, path = self.module("itself", source)
        common = dict(file=path, module=name, module_source=source.strip() + "\n")
        self.assertEqual(inspect_modules([name]), document(
            record(function="Klass", metadata={"by": "class"}, returns=None,
                   function_source='class Klass(metaclass=Meta):\n    __tevra_kind__ = "asset"\n'
                                   '    __tevra_metadata__ = {"by": "class"}\n', **common),
            record(function="plain", metadata={"by": "function"}, returns="int",
                   function_source="def plain(x, y=2) -> int:\n    return x\n", **common)))

    def test_escape_heavy_and_large_records(self):
        # Escapes can make the text far longer than the strings it holds; big metadata too.
        quotes = '"\\\\' * 3000
        source = (f"from handmade_assets import asset\n\n@asset(name={quotes!r} + '\\x01' * 500)\n"
                  f"def noisy():\n    return {quotes!r}\n")
        name, path = self.module("noisy", source)
        module = __import__(name)
        module.noisy._metadata = dict(module.noisy._metadata, partitions={"d": list(range(20000))})
        text = inspect_modules([name])
        self.assertEqual(text, document(record(
            file=path, function="noisy", function_source=source.split("\n", 2)[2], module=name,
            module_source=source, metadata=json.loads(json.dumps(module.noisy._metadata)))))
        self.assertIn("\\u0001" * 500, text)

    def test_two_calls_identical(self):
        source = MARKED_HELPERS + '''
import random

def target():
    pass

class Shuffled:
    __tevra_original__ = staticmethod(target)

    @property
    def __tevra_kind__(self):
        return "asset"

    @property
    def __tevra_metadata__(self):
        keys = [f"k{i}" for i in range(40)]
        random.shuffle(keys)
        return {k: {"inner": k, "z": 0, "a": 1} for k in keys}

member = Shuffled()
'''
        name, _ = self.module("stable", source)
        first = inspect_modules([name])
        for _ in range(5):
            self.assertEqual(inspect_modules([name]), first)
        self.assertTrue(first.startswith('{"assets":[{"decorator_metadata":{"k0":{"a":1,"inner":"k0","z":0},'
                                         '"k1":{"a":1,"inner":"k1","z":0},"k10":'))


@unittest.skipUnless("native" in DECORATORS, "the native decorator is not available")
class NativeDecorator(FixtureCase):
    SOURCE = '''from _tevra import asset, partitions


@asset(name="custom")
def raw() -> list:
    return [1]


@asset(
    inputs={"data": raw, "other": "some/where.py:thing"},
    partitions={"ticker": partitions(["AAPL", "MSFT"]), "day": partitions([1, 2.5, None])},
    serializer="json",
)
def cleaned(data, other, ticker: str) -> "Table":
    return data
'''

    def test_declared_metadata(self):
        name, path = self.module("declared", self.SOURCE)
        cleaned_source = self.SOURCE[self.SOURCE.index("@asset(\n"):]
        raw_source = '@asset(name="custom")\ndef raw() -> list:\n    return [1]\n'
        cleaned_metadata = {
            "inputs": {"data": path + ":raw", "other": "some/where.py:thing"}, "kind": "asset", "name": None,
            "partitions": {"day": {"kind": "inline", "values_json": "[1,2.5,null]"},
                           "ticker": {"kind": "inline", "values_json": '["AAPL","MSFT"]'}},
            "serializer": "json"}
        raw_metadata = {"inputs": None, "kind": "asset", "name": "custom", "partitions": None, "serializer": None}
        common = dict(file=path, module=name, module_source=self.SOURCE.strip() + "\n")
        text = inspect_modules([name])
        self.assertEqual(text, document(
            record(function="cleaned", function_source=cleaned_source, metadata=cleaned_metadata,
                   returns="Table", **common),
            record(function="raw", function_source=raw_source, metadata=raw_metadata, returns="list", **common)))
        self.assertIn('"values_json":"[\\"AAPL\\",\\"MSFT\\"]"', text)

    def test_allocated_blocks_flat(self):
        name, _ = self.module("declared", self.SOURCE)
        for _ in range(20):
            inspect_modules([name])
        settle()
        before = sys.getallocatedblocks()
        for _ in range(300):
            inspect_modules([name])
        settle()
        self.assertLess(sys.getallocatedblocks() - before, 40)


class Markers(FixtureCase):
    def test_only_exact_marker_counts(self):
        source = MARKED_HELPERS + '''
class Text(str):
    pass

class Unreadable:
    @property
    def __tevra_kind__(self):
        raise ValueError("unreadable marker")

class Dynamic:
    def __getattr__(self, name):
        raise KeyError(name)

def target():
    pass

# None of these carries metadata: treating one as an asset would raise.
a1 = Thing(__tevra_kind__="Asset")
a2 = Thing(__tevra_kind__="asset ")
a3 = Thing(__tevra_kind__=b"asset")
a4 = Thing(__tevra_kind__=" asset")
a5 = Thing(__tevra_kind__="ASSET")
a6 = Thing(__tevra_kind__=None)
a7 = Thing(__tevra_kind__=["asset"])
a8 = Thing(__tevra_kind__="asset\\x00")
a9 = Unreadable()
b1 = Dynamic()
b2 = Thing(__tevra_kind__="as\\ud800set")
z_subclass = Thing(__tevra_kind__=Text("asset"), __tevra_metadata__={}, __tevra_original__=target)
'''
        name, _ = self.module("markers", source)
        assets = json.loads(inspect_modules([name]))["assets"]
        self.assertEqual([a["function_name"] for a in assets], ["target"])

    def test_missing_metadata(self):
        source = MARKED_HELPERS + """
def target():
    pass

bare = Thing(__tevra_kind__="asset", __tevra_original__=target)
"""
        name, _ = self.module("nometa", source)
        with self.assertRaises(AttributeError) as cm:
            inspect_modules([name])
        self.assertEqual(str(cm.exception), "'Thing' object has no attribute '__tevra_metadata__'")

        source = """
ERROR = AttributeError("mine")

class Refusing:
    @property
    def __tevra_kind__(self):
        return "asset"

    @property
    def __tevra_metadata__(self):
        raise ERROR

instance = Refusing()
"""
        name, _ = self.module("nometa", source)
        with self.assertRaises(AttributeError) as cm:
            inspect_modules([name])
        self.assertIs(cm.exception, sys.modules[name].ERROR)


class Failures(FixtureCase):
    def test_module_without_source(self):
        try:
            inspect.getsource(sys)
        except TypeError as e:
            expected = str(e)
        good, _ = self.module("good", "from handmade_assets import asset\n" + EXAMPLE_BODY)
        for modules in (["sys"], [good, "sys"], ["sys", good]):
            with self.subTest(modules=modules):
                with self.assertRaises(TypeError) as cm:
                    inspect_modules(modules)
                self.assertEqual(str(cm.exception), expected)

    def test_metadata_not_strict_json(self):
        deep = []
        for _ in range(127):
            deep = [deep]  # inside the metadata dict: 128 levels
        cases = [
            (math.nan, "expected value"),
            (math.inf, "expected value"),
            (-math.inf, "invalid number"),
            (10**400, "number out of range"),
            (deep, "recursion limit exceeded"),
        ]
        for value, message in cases:
            with self.subTest(message):
                name, _ = self.module("badmeta", MARKED_HELPERS + "def target():\n    pass\n")
                module = __import__(name)
                module.member = module.Thing(__tevra_kind__="asset", __tevra_metadata__={"v": value},
                                             __tevra_original__=module.target)
                with self.assertRaises(RuntimeError) as cm:
                    inspect_modules([name])
                self.assertIs(type(cm.exception), RuntimeError)
                self.assertTrue(str(cm.exception).startswith("JSON parse error: " + message + " at line 1 column "),
                                str(cm.exception))

    def test_deepest_metadata_accepted(self):
        deep = "x"
        for _ in range(126):
            deep = [deep]
        name, _ = self.module("deepmeta", MARKED_HELPERS + "def target():\n    pass\n")
        module = __import__(name)
        module.member = module.Thing(__tevra_kind__="asset", __tevra_metadata__={"v": deep},
                                     __tevra_original__=module.target)
        text = inspect_modules([name])
        self.assertIn('"decorator_metadata":{"v":' + "[" * 126 + '"x"' + "]" * 126 + "}", text)

    def test_python_errors_propagate_unchanged(self):
        name, _ = self.module("raising", MARKED_HELPERS + '''
def target():
    pass

class Odd:
    def __str__(self):
        raise ERROR

ERROR = LookupError("no str for you")
''')
        module = __import__(name)
        cases = {
            "json.dumps refuses a set": ({"s": {1}}, module.target, TypeError,
                                         "Object of type set is not JSON serializable"),
            "no source for a builtin": ({}, len, TypeError, "module, class, method, function, traceback, "
                                                            "frame, or code object was expected, got "
                                                            "builtin_function_or_method"),
        }
        for label, (metadata, target, error, message) in cases.items():
            with self.subTest(label):
                module.member = module.Thing(__tevra_kind__="asset", __tevra_metadata__=metadata,
                                             __tevra_original__=target)
                with self.assertRaises(error) as cm:
                    inspect_modules([name])
                self.assertEqual(str(cm.exception), message)

        def annotated() -> module.Odd():
            pass

        module.member = module.Thing(__tevra_kind__="asset", __tevra_metadata__={}, __tevra_original__=annotated)
        with self.assertRaises(LookupError) as cm:
            inspect_modules([name])
        self.assertIs(cm.exception, module.ERROR)

    def test_module_name_must_be_str(self):
        name, _ = self.module("numbered", "from handmade_assets import asset\n" + EXAMPLE_BODY + "__name__ = 5\n")
        with self.assertRaises(TypeError) as cm:
            inspect_modules([name])
        self.assertEqual(str(cm.exception), "'int' object cannot be converted to 'PyString'")

    def test_member_listing_shape(self):
        name, _ = self.module("shape", "X = 1\n")
        boom = OSError("listing failed")

        def failing_listing():
            yield ("X", 1)
            raise boom

        cases = [
            ([["X", 1]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
            ([("X", 1), "pair"], TypeError, "'str' object cannot be converted to 'PyTuple'"),
            ([("X",)], IndexError, "tuple index out of range"),
            (failing_listing, OSError, "listing failed"),
            (5, TypeError, "'int' object is not iterable"),
        ]
        original = inspect.getmembers
        self.addCleanup(setattr, inspect, "getmembers", original)
        for listing, error, message in cases:
            with self.subTest(message):
                inspect.getmembers = (lambda module, listing=listing:
                                      listing() if callable(listing) else listing)
                with self.assertRaises(error) as cm:
                    inspect_modules([name])
                self.assertEqual(str(cm.exception), message)
        inspect.getmembers = original
        self.assertEqual(inspect_modules([name]), '{"assets":[]}')

    def test_source_file_unknown(self):
        name, path = self.module("nofile", "from handmade_assets import asset\n" + EXAMPLE_BODY)
        original = inspect.getsourcefile
        self.addCleanup(setattr, inspect, "getsourcefile", original)

        def answering(answer):
            def getsourcefile(obj):
                # inspect.getsource asks too; only the direct question gets the odd answer.
                if sys._getframe(1).f_globals.get("__name__") == "inspect":
                    return original(obj)
                return answer()
            return getsourcefile

        def refuse():
            raise TypeError("cannot say")

        inspect.getsourcefile = answering(refuse)
        self.assertEqual(json.loads(inspect_modules([name]))["assets"][0]["file_path"], "")
        self.assertIn('"file_path":"",', inspect_modules([name]))

        inspect.getsourcefile = answering(lambda: None)
        try:
            pathlib.Path(None)
        except TypeError as e:
            expected = str(e)
        with self.assertRaises(TypeError) as cm:
            inspect_modules([name])
        self.assertEqual(str(cm.exception), expected)

        inspect.getsourcefile = original
        self.assertEqual(json.loads(inspect_modules([name]))["assets"][0]["file_path"], path)

    def test_version_text(self):
        class Version(tuple):
            major = property(lambda self: self[0])
            minor = property(lambda self: self[1])
            micro = property(lambda self: self[2])

        name, _ = self.module("versioned", "from handmade_assets import asset\n" + EXAMPLE_BODY)
        inspect_modules([name])  # imported and its source cached before sys is tampered with
        original = sys.version_info
        self.addCleanup(setattr, sys, "version_info", original)
        cases = [
            (Version((3, 13, 0, "candidate", 1)), '"python_version":"3.13.0"'),
            (Version((3, 14, 12, "final", 0)), '"python_version":"3.14.12"'),
            (Version((-1, 2**63 - 1, 0, "final", 0)), '"python_version":"-1.9223372036854775807.0"'),
        ]
        for value, fragment in cases:
            with self.subTest(fragment):
                sys.version_info = value
                text = inspect_modules([name])
                sys.version_info = original
                self.assertIn(fragment, text)
        for value, error in ((Version((2**63, 0, 0)), OverflowError), (Version((3, "13", 0)), TypeError)):
            with self.subTest(error=error):
                sys.version_info = value
                try:
                    with self.assertRaises(error):
                        inspect_modules([])
                finally:
                    sys.version_info = original


class Skips(FixtureCase):
    def test_skip_lines(self):
        exits, _ = self.module("exits", "raise SystemExit(3)\n")
        interrupted, _ = self.module("interrupted", "raise KeyboardInterrupt\n")
        nested, _ = self.module("nested", "def outer():\n    class Problem(Exception):\n        pass\n"
                                          "    return Problem\nraise outer()('inner trouble')\n")
        unprintable, _ = self.module("unprintable", "class Loud(Exception):\n    def __str__(self):\n"
                                                    "        raise ValueError\nraise Loud()\n")
        surrogate, _ = self.module("surrogate", "raise ValueError('bad \\ud800 text')\n")
        half, _ = self.module("half", "from handmade_assets import asset\n" + EXAMPLE_BODY + "1 / 0\n")
        good, path = self.module("good", "from handmade_assets import asset\n" + EXAMPLE_BODY)
        missing = unique("nosuch")
        with captured_output() as out:
            text = inspect_modules([missing, exits, good, interrupted, nested, unprintable, surrogate, half])
        self.assertEqual(out["fd2"], "".join(f"tevra: skipping module '{m}': {t}\n" for m, t in (
            (missing, f"ModuleNotFoundError: No module named '{missing}'"),
            (exits, "SystemExit: 3"),
            (interrupted, "KeyboardInterrupt: "),
            (nested, "outer.<locals>.Problem: inner trouble"),
            (unprintable, "Loud: <exception str() failed>"),
            (surrogate, "ValueError: " + "bad \ud800 text".encode("utf-8", "surrogatepass").decode("utf-8", "replace")),
            (half, "ZeroDivisionError: division by zero"),
        )))
        self.assertEqual((out["fd1"], out["sys_stdout"], out["sys_stderr"]), ("", "", ""))
        self.assertEqual(text, document(record(
            file=path, function="daily_totals", function_source=EXAMPLE_FUNCTION, module=good,
            module_source="from handmade_assets import asset\n" + EXAMPLE_BODY, returns="dict")))


class Ownership(FixtureCase):
    SOURCE = MARKED_HELPERS + '''
class Table:
    pass

def target() -> Table:
    pass

META = {"kind": "asset", "name": "t", "nested": [1, 2.5, None]}
member = Thing(__tevra_kind__="asset", __tevra_metadata__=META, __tevra_original__=target)
nan_member = Thing(__tevra_kind__="asset", __tevra_metadata__={"v": float("nan")}, __tevra_original__=target)
del nan_member
'''

    def scenarios(self):
        """Module lists for each path through a call, with the error each one ends in."""
        good, _ = self.module("owned", self.SOURCE)
        bad, _ = self.module("nanmeta", self.SOURCE.replace("del nan_member\n", ""))
        exits, _ = self.module("exits", "raise SystemExit(3)\n")
        return __import__(good), {
            "success": ([good, good], None),
            "skipped": ([unique("nosuch"), exits, good], None),
            "parse error": ([bad], RuntimeError),
            "no source": ([good, "sys"], TypeError),
            "bad argument": ([good, 1], TypeError),
        }

    def run_scenario(self, modules, error):
        if error is None:
            return inspect_modules(modules)
        with self.assertRaises(error):
            inspect_modules(modules)

    def test_reference_counts(self):
        module, scenarios = self.scenarios()
        watched = [module.META, module.target, module.Table, module.member, module]

        def counts(modules):
            return [sys.getrefcount(obj) for obj in watched + [modules] + modules]

        with silenced_fd2():
            for label, (modules, error) in scenarios.items():
                with self.subTest(label):
                    self.run_scenario(modules, error)
                    before = counts(modules)
                    for _ in range(50):
                        self.run_scenario(modules, error)
                    self.assertEqual(counts(modules), before)

    def test_allocated_blocks_flat(self):
        _, scenarios = self.scenarios()
        with silenced_fd2():
            for label, (modules, error) in scenarios.items():
                with self.subTest(label):
                    for _ in range(20):
                        self.run_scenario(modules, error)
                    settle()
                    before = sys.getallocatedblocks()
                    for _ in range(300):
                        self.run_scenario(modules, error)
                    settle()
                    self.assertLess(sys.getallocatedblocks() - before, 40)


def settle():
    gc.collect()
    # The type attribute cache keeps the name objects of recent lookups alive; attribute
    # names made afresh for each lookup would otherwise fill it up slowly, like a leak.
    sys._clear_type_cache()


class HostileInput(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(tmp.cleanup)
        self.dir = os.path.realpath(tmp.name)
        sys.path.insert(0, self.dir)
        self.addCleanup(sys.path.remove, self.dir)

    def module(self, stem, source):
        name = f"{stem}_{os.getpid()}_{id(self)}"
        with open(os.path.join(self.dir, name + ".py"), "w", encoding="utf-8", newline="") as f:
            f.write(source)
        self.addCleanup(sys.modules.pop, name, None)
        return name

    def test_fifty_megabytes_of_source(self):
        head = "from _tevra import asset\n\n"
        line = "# filler with \"quotes\", \\ backslashes,\ttabs, é and \U0001F600 " * 2 + "\n"
        bulk = line * (50 * 1024 * 1024 // len(line.encode()) + 1)
        # The function comes last, so that inspect's block finder stops at once.
        tail = "@asset()\ndef big() -> int:\n    return 1\n"
        name = self.module("big", head + bulk + tail)
        doc = json.loads(inspect_modules([name]))
        (rec,) = doc["assets"]
        self.assertEqual(rec["module_source"], (head + bulk + tail).strip() + "\n")
        self.assertGreater(len(rec["module_source"].encode()), 50 * 1024 * 1024)
        self.assertEqual(rec["function_source"], tail)
        self.assertEqual(rec["return_type"], "int")

    def test_unusual_characters_in_the_document(self):
        raw_controls = "".join(c for c in CONTROL if c not in "\x00\n\r")
        source = ("from _tevra import asset\n\n"
                  f"@asset(name='{ASTRAL}é', serializer='\\x00\\x1b\\udc80'[:2])\n"
                  f"def chars() -> '\\ud800{ASTRAL}':\n"
                  f"    return '{raw_controls}'\n")
        name = self.module("chars", source)
        text = inspect_modules([name])
        (rec,) = json.loads(text)["assets"]
        self.assertEqual(rec["decorator_metadata"]["name"], ASTRAL + "é")
        self.assertEqual(rec["decorator_metadata"]["serializer"], "\x00\x1b")
        self.assertEqual(rec["return_type"], lossy("\ud800" + ASTRAL))
        self.assertIn(raw_controls, rec["function_source"])
        self.assertEqual(text, compact(json.loads(text)))

    def test_metadata_with_lone_surrogates(self):
        source = textwrap.dedent('''
            class Marked:
                __tevra_kind__ = "asset"
                __tevra_metadata__ = {"text": "\\udc80"}
            marked = Marked()
        ''')
        name = self.module("surrogate_meta", source)
        with self.assertRaises(RuntimeError) as cm:
            inspect_modules([name])
        self.assertTrue(str(cm.exception).startswith("JSON parse error: "), str(cm.exception))

    def test_deeply_nested_metadata(self):
        source = textwrap.dedent('''
            class Marked:
                def __init__(self, depth):
                    self.__tevra_kind__ = "asset"
                    meta = []
                    for _ in range(depth):
                        meta = [meta]
                    self.__tevra_metadata__ = meta
            marked = Marked(DEPTH)
        ''')
        for depth, error in ((10 ** 5, RecursionError), (128, RuntimeError)):
            with self.subTest(depth=depth):
                name = self.module(f"deep_meta_{depth}", source.replace("DEPTH", str(depth)))
                with self.assertRaises(error) as cm:
                    inspect_modules([name])
                if error is RuntimeError:
                    self.assertRegex(str(cm.exception),
                                     r"^JSON parse error: recursion limit exceeded at line 1 column \d+$")

    def test_hostile_members(self):
        source = textwrap.dedent('''
            class KindRaises:
                @property
                def __tevra_kind__(self):
                    raise KeyboardInterrupt("kind")

            class KindObject:
                class __tevra_kind__(str):
                    pass

            class EverythingRaises:
                def __getattr__(self, name):
                    if name == "__tevra_kind__":
                        return "asset"
                    raise SystemExit("read of " + name)

            skipped = KindRaises()
            also_skipped = KindObject()
        ''')
        name = self.module("members", source)
        self.assertEqual(inspect_modules([name]), '{"assets":[]}')
        module = sys.modules[name]
        module.z_raises = module.EverythingRaises()
        with self.assertRaises(SystemExit) as cm:
            inspect_modules([name])
        self.assertEqual(cm.exception.code, "read of __tevra_metadata__")

    def test_import_failures_with_hostile_exceptions(self):
        source = textwrap.dedent('''
            class Unprintable(BaseException):
                def __str__(self):
                    raise KeyboardInterrupt("str() of the exception")
            raise Unprintable()
        ''')
        unprintable = self.module("unprintable", source)
        control = self.module("control", "raise ValueError(%r)\n" % (CONTROL + "\udc80" + ASTRAL))
        surrogate = self.module("surrogate", 'raise type("E", (Exception,), {"__qualname__": "Q\\udc80"})("x")\n')
        with captured_output() as out:
            self.assertEqual(inspect_modules([unprintable, control, surrogate]), '{"assets":[]}')
        self.assertEqual(out["fd2"],
                         f"tevra: skipping module '{unprintable}': Unprintable: <exception str() failed>\n"
                         f"tevra: skipping module '{control}': ValueError: {lossy(CONTROL + chr(0xdc80) + ASTRAL)}\n"
                         f"tevra: skipping module '{surrogate}': {lossy('Q' + chr(0xdc80))}: x\n")

        nameless = self.module("nameless", textwrap.dedent('''
            class Meta(type):
                def __getattribute__(cls, name):
                    if name == "__qualname__":
                        raise KeyboardInterrupt("no class name")
                    return super().__getattribute__(name)
            class Nameless(Exception, metaclass=Meta):
                pass
            raise Nameless("x")
        '''))
        # Without its class's name the skip line cannot be written: that error passes on.
        with captured_output():
            with self.assertRaises(KeyboardInterrupt) as cm:
                inspect_modules([nameless])
        self.assertEqual(cm.exception.args, ("no class name",))


class Leaks(LeakCase):
    # Each call imports the standard modules by name and has inspect read sources,
    # members and signatures (about a millisecond for the two assets of the fixture):
    # 1,000 rounds there and 2,000 on the cheaper paths keep the file fast, also under
    # the sanitizer, while a leak on every call would still show as a thousand blocks.
    LOOPS = 2_000

    def test_success(self):
        names = [fresh(self.inspected)]
        inspect_modules(names)
        self.check("document", lambda: inspect_modules(names), tracked=names, loops=1_000)
        self.check("empty list", lambda: inspect_modules([]), loops=self.LOOPS)
        self.check("empty tuple", lambda: inspect_modules(()), loops=self.LOOPS)

    def test_skipped_module(self):
        # Each round runs the import system afresh (finding, and compiling and running the
        # failing module): 1,000 rounds.
        names = [fresh(self.broken)]
        self.check("import raises", lambda: inspect_modules(names), tracked=names, loops=1_000, quiet=True)
        missing = [fresh("leaks_no_such_module")]
        self.check("no such module", lambda: inspect_modules(missing), tracked=missing, loops=1_000,
                   quiet=True)

    def test_failures(self):
        name = fresh("x")

        class BadSequence:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise RuntimeError("no items")

        cases = {
            "a str": (raises(TypeError, inspect_modules, name), [name]),
            "not a sequence": (raises(TypeError, inspect_modules, 5), []),
            "item not a str": (raises(TypeError, inspect_modules, [name, 1]), [name]),
            "iteration raises": (raises(RuntimeError, inspect_modules, BadSequence()), []),
            "binding": (raises(TypeError, inspect_modules, [name], [name]), [name]),
            "no source": (raises(TypeError, inspect_modules, ["sys"]), []),
            "metadata not JSON": (raises(RuntimeError, inspect_modules, [self.nan_meta]), []),
        }
        for label, (call, tracked) in cases.items():
            self.check(label, call, tracked=tracked, loops=self.LOOPS)


class Threads(ThreadCase):
    def test_inspect_modules_at_once(self):
        expected = inspect_modules(self.modules)
        self.assertEqual(len(json.loads(expected)["assets"]), len(self.modules))

        def body(tid):
            for i in range(ROUNDS // 4):
                names = self.modules[tid % 3:] + self.modules[:tid % 3]
                doc = inspect_modules(self.modules)
                assert doc == expected, doc[:200]
                assert len(json.loads(inspect_modules(names))["assets"]) == 3
                assert inspect_modules([]) == '{"assets":[]}'

        self.assertEqual(self.run_threads(body), [])


if __name__ == "__main__":
    unittest.main()
