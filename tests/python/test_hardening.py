"""Hostile and extreme input wherever a caller can reach: objects whose str(), comparison,
hashing, class name or attribute reads raise (BaseException subclasses too), containers
changed while they are read, very large and very deep values, unusual characters and
output directories that cannot be written. Each gives its specified result or a clean
Python exception: never a crash, a hang or a torn file."""
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import _tevra
from _tevra import asset, inspect_modules, materialize_asset, partitions
from discovery_fixtures import captured_output
from materialize_support import WorkspaceTest, leftovers, read_text

CONTROL = "".join(map(chr, range(32)))
ASTRAL = "\U0001F600\U00010000\U0010FFFF"


def compact(value):
    """The compact writer's text for a value holding only valid text."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True, allow_nan=False)


def lossy(text):
    """Text as the module renders it: each unpaired surrogate becomes replacement characters."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def nested_list(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


class RaisingText(str):
    """A str whose Python-level str(), comparison and hashing all raise."""

    def __str__(self):
        raise KeyboardInterrupt("str() of the text")

    def __eq__(self, other):
        raise KeyboardInterrupt("== of the text")

    def __ne__(self, other):
        raise KeyboardInterrupt("!= of the text")

    __hash__ = str.__hash__  # so that it can be a dict key at all


class Unhashable:
    def __hash__(self):
        raise SystemExit("hash")

    def __eq__(self, other):
        raise SystemExit("eq")

    def __str__(self):
        raise SystemExit("str")

    __repr__ = __str__


class NamelessMeta(type):
    """Classes whose __qualname__ and __name__ reads raise."""

    def __getattribute__(cls, name):
        if name in ("__qualname__", "__name__"):
            raise KeyboardInterrupt(f"{name} of the class")
        return super().__getattribute__(name)


class NamelessError(Exception, metaclass=NamelessMeta):
    pass


class Arguments(unittest.TestCase):
    def test_size_hint_claiming_any_size(self):
        # __len__ is only a hint; the items are what counts.
        for claimed in (sys.maxsize, 2 ** 40, 2 ** 31, 0):
            class Claims:
                def __len__(self):
                    return claimed

                def __getitem__(self, index):
                    if index >= 2:
                        raise IndexError(index)
                    return "json" if index == 0 else "textwrap"

            with self.subTest(claimed=claimed):
                doc = inspect_modules(Claims())
                self.assertEqual(doc, '{"assets":[]}')

    def test_sequence_changing_while_read(self):
        class Growing:
            def __init__(self):
                self.items = ["json"]

            def __len__(self):
                return len(self.items)

            def __getitem__(self, index):
                if len(self.items) < 5:
                    self.items.append("json")
                return self.items[index]

        class Shrinking(Growing):
            def __init__(self):
                self.items = ["json"] * 5

            def __getitem__(self, index):
                self.items.pop()
                return self.items[index]

        for label, seq in (("growing", Growing()), ("shrinking", Shrinking())):
            with self.subTest(label):
                self.assertEqual(inspect_modules(seq), '{"assets":[]}')

    def test_module_names_with_raising_methods(self):
        # A str subclass is read as its text: none of its Python methods is called.
        self.assertEqual(inspect_modules([RaisingText("json")]), '{"assets":[]}')
        with self.assertRaises(TypeError) as cm:
            inspect_modules(["json", Unhashable()])
        self.assertEqual(str(cm.exception),
                         "argument 'modules': 'Unhashable' object cannot be converted to 'PyString'")

    def test_iteration_raising_base_exceptions(self):
        for exc in (KeyboardInterrupt("stop"), SystemExit(4), GeneratorExit()):
            class Raises:
                def __getitem__(self, index, exc=exc):
                    raise exc

            with self.subTest(type(exc).__name__):
                with self.assertRaises(BaseException) as cm:
                    inspect_modules(Raises())
                self.assertIs(cm.exception, exc)

    def test_conversion_error_names_the_class_without_asking_it(self):
        # The type's own name is read, not its __qualname__ attribute, which raises here.
        with self.assertRaises(TypeError) as cm:
            asset(name=NamelessError())
        self.assertEqual(str(cm.exception),
                         "argument 'name': 'NamelessError' object cannot be converted to 'PyString'")

    def test_keyword_name_whose_str_raises(self):
        seen = []
        hook, sys.unraisablehook = sys.unraisablehook, seen.append
        try:
            with self.assertRaises(TypeError) as cm:
                asset(**{RaisingText("nme"): 1})
        finally:
            sys.unraisablehook = hook
        self.assertEqual(str(cm.exception), "asset() got an unexpected keyword argument '<unprintable RaisingText object>'")
        self.assertEqual(len(seen), 1)
        self.assertIsInstance(seen[0].exc_value, KeyboardInterrupt)
        # A known name is matched by its text alone.
        self.assertEqual(asset(**{RaisingText("name"): "n"})(len).__tevra_metadata__["name"], "n")


class DeclarationInputs(unittest.TestCase):
    def test_upstream_attribute_reads_raising(self):
        class KindRaises:
            def __init__(self, exc):
                self.exc = exc

            @property
            def __tevra_kind__(self):
                raise self.exc

        for exc in (KeyboardInterrupt("kind"), SystemExit(2), MemoryError(), RecursionError()):
            with self.subTest(type(exc).__name__):
                # The failed read is discarded: the value is simply not an asset.
                with self.assertRaises(TypeError) as cm:
                    asset(inputs={"a": KindRaises(exc)})
                self.assertEqual(str(cm.exception),
                                 "inputs values must be @asset-decorated functions or asset ref strings")

        class RefWithRaisingReads(str):
            def __getattr__(self, name):
                raise KeyboardInterrupt(name)

        decorator = asset(inputs={RaisingText("k"): RefWithRaisingReads("file.py:fn")})
        self.assertEqual(decorator(len).__tevra_metadata__["inputs"], {"k": "file.py:fn"})

    def test_upstream_asset_with_hostile_original(self):
        class Upstream:
            __tevra_kind__ = "asset"

            def __init__(self, original):
                self.original = original

            @property
            def __tevra_original__(self):
                if isinstance(self.original, BaseException):
                    raise self.original
                return self.original

        def plain():
            pass

        # __tevra_original__ raising: the object itself is the target, and it has no source.
        with self.assertRaises(TypeError):
            asset(inputs={"a": Upstream(KeyboardInterrupt("original"))})

        class NameRaises:
            __code__ = plain.__code__

            @property
            def __name__(self):
                raise SystemExit("name")

        # inspect finds no file for it, or its __name__ raises: either passes unchanged.
        with self.assertRaises((TypeError, SystemExit)):
            asset(inputs={"a": Upstream(NameRaises())})

        ref = asset(inputs={"a": Upstream(plain)})(plain).__tevra_metadata__["inputs"]["a"]
        self.assertEqual(ref, os.path.realpath(__file__) + ":plain")

    def test_keys_that_are_not_text(self):
        for key in (1, b"k", None, 2.5):
            with self.subTest(key=key):
                with self.assertRaises(TypeError) as cm:
                    asset(inputs={key: "ref"})
                self.assertEqual(str(cm.exception),
                                 f"'{type(key).__qualname__}' object cannot be converted to 'PyString'")
                with self.assertRaises(TypeError):
                    asset(partitions={key: partitions([])})

    def test_keys_and_values_of_hostile_classes(self):
        class FlakyHash(str):
            """Hashes once, to get into the dict; any later hash raises."""
            hashed = False

            def __hash__(self):
                if FlakyHash.hashed:
                    raise KeyboardInterrupt("hash")
                FlakyHash.hashed = True
                return str.__hash__(self)

        key = FlakyHash("k")
        inputs = {key: RaisingText("ref")}
        meta = asset(inputs=inputs, partitions={RaisingText("d"): partitions([])})(len).__tevra_metadata__
        self.assertEqual(meta["inputs"], {"k": "ref"})
        self.assertEqual(meta["partitions"], {"d": {"kind": "inline", "values_json": "[]"}})

        nameless = NamelessError("v")
        with self.assertRaises(TypeError) as cm:
            asset(inputs={"a": nameless})
        self.assertEqual(str(cm.exception), "inputs values must be @asset-decorated functions or asset ref strings")
        with self.assertRaises(TypeError) as cm:
            asset(inputs={nameless: "ref"})
        self.assertEqual(str(cm.exception), "'NamelessError' object cannot be converted to 'PyString'")
        with self.assertRaises(TypeError) as cm:
            asset(partitions={"d": nameless})
        self.assertEqual(str(cm.exception), "partition values must be partitions([...]) instances")

    def run_mutating(self, mutate, inputs):
        class Ref(str):
            def __getattr__(self, name):
                mutate(inputs)
                raise AttributeError(name)

        inputs["a"] = Ref("x")
        with captured_output() as out:
            with self.assertRaises(BaseException) as cm:
                asset(inputs=inputs)
        self.assertEqual(type(cm.exception).__name__, "PanicException")
        return cm.exception, out

    def test_inputs_changed_during_the_read(self):
        def grow(d):
            d[len(d)] = "more"

        def delete_current(d):
            d.pop("a", None)  # the entry being read: its key and value must stay alive

        def clear(d):
            d.clear()

        def swap(d):
            if "a" in d:
                del d["a"]
                d["z"] = "y"

        def rebuild(d):  # same size, same keys, but the table is rebuilt
            items = list(d.items())
            d.clear()
            d.update(items)

        cases = {"grow": (grow, "dictionary changed size during iteration"),
                 "delete the current entry": (delete_current, "dictionary changed size during iteration"),
                 "clear": (clear, "dictionary changed size during iteration"),
                 "swap a key": (swap, "dictionary keys changed during iteration")}
        for label, (mutate, message) in cases.items():
            with self.subTest(label):
                exc, out = self.run_mutating(mutate, {})
                self.assertEqual(exc.args, (message,))
                # The internal-failure diagnostic goes to standard error, never to stdout.
                self.assertIn(message, out["fd2"])
                self.assertEqual(out["fd1"], "")
        with self.subTest("a key of another type swapped in"):
            # The replacing entry lies beyond the size the dict had: it is refused before
            # its key (not text) is looked at. A str subclass key keeps the table from being
            # compacted, which would hide the change from any count.
            class Key(str):
                pass

            inputs = {}

            class Swaps(str):
                def __getattr__(self, name):
                    if Key("a") in inputs:
                        del inputs[Key("a")]
                        inputs[5] = "x"
                    raise AttributeError(name)

            inputs[Key("a")] = Swaps("r")
            inputs["b"] = "y"
            with captured_output():
                with self.assertRaises(BaseException) as cm:
                    asset(inputs=inputs)
            self.assertEqual(type(cm.exception).__name__, "PanicException")
            self.assertEqual(cm.exception.args, ("dictionary keys changed during iteration",))
        with self.subTest("same keys after a rebuild"):
            # Neither the size nor the keys changed: the read simply goes on.
            inputs = {}

            class Ref(str):
                def __getattr__(self, name):
                    rebuild(inputs)
                    raise AttributeError(name)

            inputs["a"] = Ref("x")
            self.assertEqual(asset(inputs=inputs)(len).__tevra_metadata__["inputs"], {"a": "x"})

    def test_subclass_methods_are_bypassed(self):
        class Hostile(dict):
            def __iter__(self):
                raise KeyboardInterrupt("iter")

            def items(self):
                raise KeyboardInterrupt("items")

            def __getitem__(self, key):
                raise KeyboardInterrupt("getitem")

            def __len__(self):
                raise KeyboardInterrupt("len")

        d = Hostile()
        dict.__setitem__(d, "a", "ref")
        p = Hostile()
        dict.__setitem__(p, "d", partitions([1]))
        meta = asset(inputs=d, partitions=p)(len).__tevra_metadata__
        self.assertEqual(meta["inputs"], {"a": "ref"})
        self.assertEqual(meta["partitions"], {"d": {"kind": "inline", "values_json": "[1]"}})


class Classes(unittest.TestCase):
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


class ResumedPanic(unittest.TestCase):
    def test_panic_that_is_also_a_system_exit(self):
        # Printing the resumed PanicException must not act on it: a class deriving from
        # SystemExit as well once ended the whole process from inside the call.
        script = textwrap.dedent("""
            import _tevra
            d = {}
            class Grow(str):
                def __getattr__(self, name):
                    d["b"] = 1
                    raise AttributeError(name)
            d["a"] = Grow("ref")
            try:
                _tevra.asset(inputs=d)
            except BaseException as e:
                Panic = type(e)
            class Both(SystemExit, Panic):
                pass
            class Raises:
                def __getitem__(self, index):
                    raise Both(7)
            try:
                _tevra.inspect_modules(Raises())
            except BaseException as e:
                print(type(e) is Panic, e.args)
            print("after the call")
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "True ('7',)\nafter the call\n")
        self.assertIn("Both: 7", done.stderr)


class PartitionValues(unittest.TestCase):
    def values_json(self, values):
        return asset(partitions={"d": partitions(values)})(len).__tevra_metadata__["partitions"]["d"]["values_json"]

    def test_unusual_characters(self):
        text = CONTROL + "\x7f/\"\\" + ASTRAL + "é"
        self.assertEqual(self.values_json([text, {text: [text]}]), compact([text, {text: [text]}]))
        for bad in ("\udc80", "\ud800", "a\ud800b", "\udfff\ud800"):
            with self.subTest(repr(bad)):
                for value in (bad, [bad], {bad: 1}):
                    with self.assertRaises(ValueError) as cm:
                        partitions([value])
                    self.assertTrue(str(cm.exception).startswith("invalid partition value: "), str(cm.exception))

    def test_elements_with_raising_methods(self):
        # json.dumps decides what these are; its own errors pass unchanged.
        self.assertEqual(self.values_json([RaisingText("t"), {RaisingText("k"): 1}]), '["t",{"k":1}]')
        with self.assertRaises(TypeError) as cm:
            partitions([Unhashable()])
        self.assertIn("not JSON serializable", str(cm.exception))

        class FloatRepr(float):
            def __repr__(self):
                raise KeyboardInterrupt("repr")

        self.assertEqual(self.values_json([FloatRepr(1.5)]), "[1.5]")

        original = json.JSONEncoder.default
        json.JSONEncoder.default = lambda self, o: (_ for _ in ()).throw(SystemExit("default"))
        try:
            with self.assertRaises(SystemExit) as cm:
                partitions([object()])
            self.assertEqual(cm.exception.code, "default")
        finally:
            json.JSONEncoder.default = original

    def test_a_million_values(self):
        values = list(range(500_000)) + ["v"] * 500_000
        p = partitions(values)
        self.assertEqual(repr(p), "Partitions(1000000 values)")
        text = self.values_json(values)
        self.assertEqual(len(text), len(compact(values)))
        self.assertEqual(json.loads(text), values)

    def test_deep_nesting(self):
        for depth in (10 ** 5, 10 ** 4):
            with self.subTest(depth=depth):
                # The host's json.dumps refuses this itself; its RecursionError passes unchanged.
                with self.assertRaises(RecursionError):
                    partitions([nested_list(depth)])
        deep = {}
        for _ in range(10 ** 5):
            deep = {"k": deep}
        with self.assertRaises(RecursionError):
            partitions([deep])
        for depth, fine in ((127, True), (128, False), (900, False)):
            with self.subTest(depth=depth):
                if fine:
                    # values_json is the array of the values, one level more.
                    self.assertEqual(self.values_json([nested_list(depth)]), "[" * (depth + 1) + "]" * (depth + 1))
                else:
                    with self.assertRaises(ValueError) as cm:
                        partitions([nested_list(depth)])
                    self.assertRegex(str(cm.exception),
                                     r"^invalid partition value: recursion limit exceeded at line 1 column \d+$")


class JsonProgram(unittest.TestCase):
    CLI = os.environ.get("TEVRA_JSON_CLI")

    def run_cli(self, data):
        return subprocess.run([self.CLI], input=data, capture_output=True, timeout=60)

    @unittest.skipUnless(CLI, "TEVRA_JSON_CLI names the tevra-json program")
    def test_deep_nesting_refused(self):
        n = 10 ** 5
        cases = {
            "arrays": b"[" * n + b"]" * n,
            "objects": b'{"a":' * n + b"1" + b"}" * n,
            "unclosed arrays": b"[" * n,
            "mixed": b'[{"a":' * (n // 2),
            "a million": b"[" * 10 ** 6,
        }
        for label, data in cases.items():
            with self.subTest(label):
                done = self.run_cli(data)
                self.assertEqual(done.returncode, 1, done.stderr[-200:])
                self.assertEqual(done.stdout, b"")
                self.assertRegex(done.stderr, rb"^recursion limit exceeded at line 1 column \d+\n$")

    @unittest.skipUnless(CLI, "TEVRA_JSON_CLI names the tevra-json program")
    def test_characters(self):
        text = CONTROL + ASTRAL + "é\x7f"
        done = self.run_cli(json.dumps([text]).encode())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.decode("utf-8"), compact([text]) + "\n")
        for escape in (b'"\\udc80"', b'"\\ud800"', b'"\\ud800\\u0041"'):
            with self.subTest(escape):
                done = self.run_cli(escape)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, b"")


class Discovery(unittest.TestCase):
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
                         f"tevra: skipping module '{surrogate}': {lossy('Q\udc80')}: x\n")

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


class Wrapper(unittest.TestCase):
    def test_forwarded_attributes_raising(self):
        errors = {name: exc for name, exc in (("__name__", KeyboardInterrupt("n")), ("__qualname__", SystemExit(3)),
                                              ("__module__", MemoryError("m")), ("__doc__", GeneratorExit("d")))}

        class Target:
            def __getattribute__(self, name):
                if name in errors:
                    raise errors[name]
                return object.__getattribute__(self, name)

            def __call__(self, *args, **kwargs):
                return args, kwargs

        w = asset()(Target())
        for name, exc in errors.items():
            with self.subTest(name):
                with self.assertRaises(BaseException) as cm:
                    getattr(w, name)
                self.assertIs(cm.exception, exc)
        # The other attributes and the call do not touch the failing names.
        self.assertEqual(w(1, k="v"), ((1,), {"k": "v"}))
        self.assertIs(w.__tevra_original__, w.__wrapped__)
        self.assertEqual(w.__tevra_kind__, "asset")

    def test_wrapped_object_with_raising_everything(self):
        class Everything:
            def __getattribute__(self, name):
                raise KeyboardInterrupt(name)

        w = asset()(Everything())
        with self.assertRaises(KeyboardInterrupt):
            w.__name__
        with self.assertRaises(TypeError):
            w()
        self.assertIn("AssetWrapper object at", repr(w))

    def test_deep_recursion_through_the_wrapper(self):
        @asset()
        def down(n):
            return n if n == 0 else wrapper(n - 1)

        wrapper = down
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(10 ** 6)
        try:
            with self.assertRaises(RecursionError):
                wrapper(10 ** 6)
        finally:
            sys.setrecursionlimit(limit)
        self.assertEqual(wrapper(100), 0)


class Materialize(WorkspaceTest):
    def run_asset(self, *args):
        try:
            materialize_asset(*args)
        except SystemExit as e:
            self.assertEqual(e.code, 1)
            return "failed"
        return "ok"

    def record(self, out):
        return read_text(os.path.join(out, "result.json"))

    def test_exceptions_that_resist_rendering(self):
        mod = self.write_module(f'''
            class StrRaises(Exception):
                def __str__(self):
                    raise KeyboardInterrupt("str() of the exception")
            class StrNotText(BaseException):
                def __str__(self):
                    return 42
            class Meta(type):
                def __getattribute__(cls, name):
                    if name in ("__qualname__", "__name__"):
                        raise SystemExit("no " + name)
                    return super().__getattribute__(name)
            class Nameless(Exception, metaclass=Meta):
                pass
            def str_raises():
                raise StrRaises()
            def str_not_text():
                raise StrNotText()
            def characters():
                raise ValueError({CONTROL + chr(0xdc80) + ASTRAL + chr(0xd800)!r})
            def nameless():
                raise Nameless()
            class Outer:
                class Inner(KeyboardInterrupt):
                    pass
            def nested():
                raise Outer.Inner("inner")
            Surrogate = type("Surrogate", (Exception,), {{"__qualname__": "Q\\udc80"}})
            def surrogate_class_name():
                raise Surrogate("x")
        ''')
        out = self.out_dir()
        cases = {
            "str_raises": ("StrRaises: <exception str() failed>", "StrRaises"),
            "str_not_text": ("StrNotText: <exception str() failed>", "StrNotText"),
            "characters": ("ValueError: " + lossy(CONTROL + "\udc80" + ASTRAL + "\ud800"), "ValueError"),
            "nested": ("Outer.Inner: inner", "Inner"),
            "surrogate_class_name": (lossy("Q\udc80") + ": x", "Surrogate"),
        }
        for fn, (error, error_type) in cases.items():
            with self.subTest(fn):
                self.assertEqual(self.run_asset(mod, fn, out), "failed")
                self.assertEqual(self.record(out), compact({"error": error, "error_type": error_type, "ok": False}))
        with self.subTest("class name unreadable"):
            # The failure record cannot be written without the class's name: that error
            # is raised instead, and no record (not even an earlier one) is left.
            with self.assertRaises(SystemExit) as cm:
                materialize_asset(mod, "nameless", out)
            self.assertEqual(cm.exception.code, "no __qualname__")
            self.assertFalse(os.path.exists(os.path.join(out, "result.json")))
            self.assertEqual(leftovers(out), [])

    def test_returned_values_resisting_json(self):
        mod = self.write_module('''
            class Meta(type):
                def __getattribute__(cls, name):
                    if name == "__name__":
                        raise KeyboardInterrupt("no name")
                    return super().__getattribute__(name)
            class Nameless(dict, metaclass=Meta):
                pass
            class Unhashable:
                def __hash__(self):
                    raise SystemExit("hash")
                def __eq__(self, other):
                    raise SystemExit("eq")
            def nameless():
                return Nameless(a=1)
            def unhashable():
                return Unhashable()
            def circular():
                x = []
                x.append(x)
                return x
        ''')
        out = self.out_dir()
        with self.subTest("type name raises"):
            self.assertEqual(self.run_asset(mod, "nameless", out), "failed")
            self.assertEqual(self.record(out), compact({"error": "KeyboardInterrupt: no name",
                                                        "error_type": "KeyboardInterrupt", "ok": False}))
            self.assertEqual(read_text(os.path.join(out, "value.json")), '{"a": 1}')
        with self.subTest("not serialisable"):
            self.assertEqual(self.run_asset(mod, "unhashable", out), "failed")
            self.assertEqual(json.loads(self.record(out))["error_type"], "TypeError")
        with self.subTest("circular"):
            self.assertEqual(self.run_asset(mod, "circular", out), "failed")
            self.assertEqual(json.loads(self.record(out)),
                             {"error": "ValueError: Circular reference detected", "error_type": "ValueError",
                              "ok": False})
        self.assertEqual(leftovers(out), [])

    def test_unusual_characters_in_kwargs(self):
        mod = self.write_module('''
            def echo(**kwargs):
                return kwargs
        ''')
        out = self.out_dir()
        values = {"controls": CONTROL, "astral": ASTRAL, ASTRAL: "key", "lone": "\udc80\ud800", "mixed": "a\x00b"}
        for label, text in (("escaped", json.dumps(values)), ("raw", json.dumps(
                {k: v for k, v in values.items() if k != "lone"}, ensure_ascii=False))):
            with self.subTest(label):
                expected = json.loads(text)
                self.assertEqual(self.run_asset(mod, "echo", out, text), "ok")
                self.assertEqual(read_text(os.path.join(out, "value.json")), json.dumps(expected))
                self.assertEqual(json.loads(self.record(out))["result_type"], "dict")
        with self.subTest("a lone surrogate in the text itself"):
            with self.assertRaises(UnicodeEncodeError):
                materialize_asset(mod, "echo", out, '{"a": "\udc80"}')

    def test_deep_kwargs_and_values(self):
        mod = self.write_module('''
            def echo(**kwargs):
                return kwargs
            def deep():
                x = []
                for _ in range(100_000):
                    x = [x]
                return x
        ''')
        out = self.out_dir()
        # json.loads and json.dumps decide about depth; their RecursionError is recorded.
        self.assertEqual(self.run_asset(mod, "echo", out, '{"a": ' + "[" * 100_000 + "]" * 100_000 + "}"),
                         "failed")
        self.assertEqual(json.loads(self.record(out))["error_type"], "RecursionError")
        self.assertEqual(self.run_asset(mod, "deep", out), "failed")
        self.assertEqual(json.loads(self.record(out))["error_type"], "RecursionError")

    def test_output_directories_that_cannot_be_used(self):
        mod = self.write_module('''
            def one():
                return 1
        ''')
        a_file = os.path.join(self.root, "a-file")
        with open(a_file, "w") as f:
            f.write("keep")
        with self.subTest("the directory is a file"):
            with self.assertRaises(FileExistsError):
                materialize_asset(mod, "one", a_file)
        with self.subTest("a parent is a file"):
            with self.assertRaises(NotADirectoryError):
                materialize_asset(mod, "one", os.path.join(a_file, "sub"))
        with self.subTest("an empty path"):
            # pathlib makes "" the current directory, which exists: the files land there.
            cwd = os.getcwd()
            os.chdir(self.root)
            try:
                self.assertEqual(self.run_asset(mod, "one", ""), "ok")
                self.assertEqual(read_text(os.path.join(self.root, "value.json")), "1")
            finally:
                os.chdir(cwd)
        with self.subTest("a NUL in the path"):
            with self.assertRaises(ValueError):
                materialize_asset(mod, "one", os.path.join(self.root, "a\x00b"))
        self.assertEqual(read_text(a_file), "keep")

    def locked_directory(self):
        """An empty directory nothing may be created in: by its mode, or, since
        modes do not stop root, as a tmpfs mounted read-only."""
        locked = os.path.join(self.root, "locked")
        if os.geteuid() != 0:
            os.mkdir(locked, 0o555)
            self.addCleanup(os.chmod, locked, 0o755)
            return locked, PermissionError
        os.mkdir(locked)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=64k", "tmpfs", locked], capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount a read-only tmpfs: " + done.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", locked], check=True)
        return locked, OSError  # EROFS

    def test_unwritable_directory(self):
        mod = self.write_module('''
            def one():
                return 1
        ''')
        locked, error = self.locked_directory()
        with self.assertRaises(error) as raised:
            materialize_asset(mod, "one", locked)
        # The record is the last file that cannot be written (or, read-only, the
        # earlier one that cannot be removed): its OSError is the one raised.
        self.assertEqual(raised.exception.filename, os.path.join(locked, "result.json"))
        with self.assertRaises(error):
            materialize_asset(mod, "one", os.path.join(locked, "sub"))
        self.assertEqual(os.listdir(locked), [])

if __name__ == "__main__":
    unittest.main()
