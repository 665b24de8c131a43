"""asset(...): argument checks and their precedence, the asset test, and the decorator it returns;
hostile declarations, leaks and threads."""
import ctypes
import gc
import json
import os
import sys
import time
import types
import unittest

from _tevra import asset, partitions
from discovery_fixtures import captured_output
from hostile import NamelessError, RaisingText
from leak_fixtures import LeakCase, fresh, nested, raises
from thread_support import ROUNDS, ThreadCase, YieldingRef, Yields

INPUTS_MSG = "inputs values must be @asset-decorated functions or asset ref strings"
PARTITIONS_MSG = "partition values must be partitions([...]) instances"
DECORATOR_MSG = "asset() decorator expects exactly one argument (the function)"


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                               "fsmblks", "uordblks", "fordblks", "keepcost")]


libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2


def malloc_in_use():
    """Bytes taken from the C allocator, where the module's records live."""
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def f():
    return 1


class Declaration(unittest.TestCase):
    def test_messages_and_precedence(self):
        class Upstream:
            def __init__(self, kind):
                self.__tevra_kind__, self.__tevra_original__ = kind, f

        class RaisingKind:
            @property
            def __tevra_kind__(self):
                raise KeyError("a failed read only means: not an asset")

        class StrSub(str):
            pass

        cases = [
            (dict(inputs=[("x", "y")]), "'list' object cannot be converted to 'PyDict'"),
            (dict(partitions=(("d", partitions([])),)), "'tuple' object cannot be converted to 'PyDict'"),
            (dict(inputs={1: "ref"}), "'int' object cannot be converted to 'PyString'"),
            (dict(partitions={b"d": partitions([])}), "'bytes' object cannot be converted to 'PyString'"),
            (dict(partitions={"d": ["a"]}), PARTITIONS_MSG),
            (dict(name=1, inputs={"x": 3}), "argument 'name': 'int' object cannot be converted to 'PyString'"),
            (dict(serializer=2, name=1), "argument 'name': 'int' object cannot be converted to 'PyString'"),
            (dict(serializer=1, inputs=5), "argument 'serializer': 'int' object cannot be converted to 'PyString'"),
            (dict(inputs={"x": 3}, partitions={"d": 1}), INPUTS_MSG),
            (dict(partitions={"d": 1}, inputs={"ok": "ref", "x": 3}), INPUTS_MSG),
            (dict(inputs={"ok": "ref"}, partitions={"d": partitions([]), 7: 1}),
             "'int' object cannot be converted to 'PyString'"),
        ] + [(dict(inputs={"x": v}), INPUTS_MSG)
             for v in (3, len, b"ref", RaisingKind(), Upstream("asset "), Upstream(b"asset"), Upstream(None))]
        for kwargs, message in cases:
            with self.subTest(kwargs=kwargs), self.assertRaises(TypeError) as cm:
                asset(**kwargs)
            self.assertEqual((type(cm.exception), cm.exception.args), (TypeError, (message,)))
        # Any object passing the asset test is an upstream; a str subclass is a plain reference.
        for upstream in (Upstream("asset"), Upstream(StrSub("asset")), asset()(f)):
            self.assertTrue(asset(inputs={"x": upstream})(f).__tevra_metadata__["inputs"]["x"]
                            .endswith("/test_asset.py:f"))
        ref = asset(inputs={"x": StrSub("a:b")})(f).__tevra_metadata__["inputs"]["x"]
        self.assertEqual((ref, type(ref)), ("a:b", str))

    def test_dict_subclasses_are_read_as_plain_dicts(self):
        def refuse(*args):
            raise AssertionError("a subclass method was used")

        Sneaky = type("Sneaky", (dict,), {"items": refuse, "__iter__": refuse, "keys": refuse, "values": refuse})
        meta = asset(inputs=Sneaky(a="ref"), partitions=Sneaky(d=partitions([1])))(f).__tevra_metadata__
        self.assertEqual((meta["inputs"], meta["partitions"]),
                         ({"a": "ref"}, {"d": {"kind": "inline", "values_json": "[1]"}}))

    def test_changing_the_dict_while_reading_it_is_a_panic(self):
        def upstream(change, kind="asset"):
            def read(self):
                change()
                return kind
            return type("Upstream", (), {"__tevra_kind__": property(read), "__tevra_original__": f})()

        grow = lambda: inputs.__setitem__("extra", "ref")
        shrink = lambda: inputs.pop("b", None)
        swap = lambda: (inputs.pop("a", None), inputs.__setitem__("c", "ref"))
        size, keys = "dictionary changed size during iteration", "dictionary keys changed during iteration"
        for change, rest, kind, message in ((grow, {"b": "r"}, "asset", size), (shrink, {"b": "r"}, "asset", size),
                                            (swap, {}, "asset", keys)):
            inputs = {"a": upstream(change, kind), **rest}
            with self.subTest(message, kind=kind), self.assertRaises(BaseException) as cm:
                asset(inputs=inputs)
            self.assertEqual((type(cm.exception).__name__, cm.exception.args), ("PanicException", (message,)))


class Decorator(unittest.TestCase):
    def test_decorator_object_and_its_arguments(self):
        d = asset()
        self.assertIsInstance(d, types.BuiltinFunctionType)
        self.assertEqual((d.__name__, d.__doc__), ("asset_decorator", None))
        for args, kwargs in (((), {}), ((f, f), {}), ((), {"func": f})):
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(TypeError) as cm:
                d(*args, **kwargs)
            self.assertEqual(cm.exception.args, (DECORATOR_MSG,))
        self.assertIs(d(f, extra=1).__tevra_original__, f)
        self.assertIs(d(42).__tevra_original__, 42)

    def test_each_application_has_its_own_copy(self):
        p = partitions(["a", "b"])
        d = asset(name="shared", inputs={"x": "ref"}, partitions={"k": p})
        del p
        w1, w2 = d(f), d(len)
        del d
        self.assertEqual(w1.__tevra_metadata__, w2.__tevra_metadata__)
        self.assertEqual(w1.__tevra_metadata__["partitions"], {"k": {"kind": "inline", "values_json": '["a","b"]'}})
        self.assertEqual((w1.__tevra_original__, w2.__tevra_original__, w2.__tevra_metadata__["name"]),
                         (f, len, "shared"))

    def test_records_are_released(self):
        refs = {f"p{i}": "r" * 500 for i in range(50)}

        def churn(n, values):
            for _ in range(n):
                asset(name="n", inputs=refs, partitions={"d": values, "e": values})(f)
                try:
                    asset(inputs={"a": "ref", "b": None})
                except TypeError:
                    pass

        small, large = partitions([1, "x"]), partitions(["x" * 50] * 2000)
        churn(2000, small)  # fills the interpreter's free lists first
        gc.collect()
        blocks = sys.getallocatedblocks()
        churn(2000, small)
        gc.collect()
        # Slack for the interpreter's type-lookup cache, which keeps the name strings of recent
        # attribute lookups; anything kept per round would be thousands of blocks.
        self.assertLess(abs(sys.getallocatedblocks() - blocks), 200)
        # Records live outside the interpreter's allocator; each of these holds some 300 kB.
        churn(10, large)
        in_use = malloc_in_use()
        churn(100, large)
        self.assertLess(malloc_in_use() - in_use, 1 << 20)
        # A refused declaration lets go of the upstreams it had read.
        upstream = asset()(f)
        count = sys.getrefcount(upstream)
        for _ in range(100):
            self.assertRaises(TypeError, asset, inputs={"a": upstream, "b": 3})
        self.assertEqual(sys.getrefcount(upstream), count)


class HostileInputs(unittest.TestCase):
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


class LeaksAsset(LeakCase):
    def test_success(self):
        name, serializer = fresh("n"), fresh("s")
        ref = fresh("upstream:ref")
        p = partitions([1, "x"])
        inputs = {fresh("a"): ref}
        parts = {fresh("d"): p}
        self.check("no arguments", lambda: asset(), loops=10_000)
        self.check("every argument", lambda: asset(name=name, inputs=inputs, partitions=parts,
                                                   serializer=serializer),
                   tracked=[name, serializer, ref, p, inputs, parts])
        self.check("None for every argument", lambda: asset(name=None, inputs=None, partitions=None,
                                                            serializer=None))
        self.check("empty maps", lambda: asset(inputs={}, partitions={}))

    def test_upstream_reference(self):
        module = __import__(self.good)
        inputs = {fresh("data"): module.raw}
        # Resolving the reference imports inspect and pathlib and reads the source file.
        self.check("asset-decorated upstream", lambda: asset(inputs=inputs), tracked=[module.raw, inputs],
                   loops=2_000)

    def test_binding_and_conversion_errors(self):
        value, bad = fresh("v"), fresh("\udc80")
        cases = {
            "positional": raises(TypeError, asset, value),
            "unexpected keyword": raises(TypeError, asset, **{fresh("nme"): value}),
            "name not a str": raises(TypeError, asset, name=3),
            "serializer not a str": raises(TypeError, asset, serializer=b"x"),
            "name with a lone surrogate": raises(UnicodeEncodeError, asset, name=bad),
        }
        for label, call in cases.items():
            self.check(label, call, tracked=[value, bad])

    def test_declaration_errors(self):
        key, ref = fresh("k"), fresh("r")
        nested = asset()(len)  # getsourcefile refuses a built-in
        cases = {
            "inputs not a dict": (raises(TypeError, asset, inputs=[key]), [key]),
            "inputs key not a str": (raises(TypeError, asset, inputs={1: ref}), [ref]),
            "inputs value refused": (raises(TypeError, asset, inputs={key: 3}), [key]),
            "partitions not a dict": (raises(TypeError, asset, partitions=(key,)), [key]),
            "partitions value refused": (raises(TypeError, asset, partitions={key: [1]}), [key]),
            "partitions key not a str": (raises(TypeError, asset, partitions={b"k": partitions([])}), []),
        }
        for label, (call, tracked) in cases.items():
            self.check(label, call, tracked=tracked)
        # inspect.getsourcefile runs (and raises) in Python on every call: 2,000 rounds.
        self.check("upstream without a source file", raises(TypeError, asset, inputs={key: nested}),
                   tracked=[key, nested], loops=2_000)

    def test_kind_read_raising(self):
        class Unreadable:
            @property
            def __tevra_kind__(self):
                raise KeyboardInterrupt("discarded")

        value = Unreadable()
        self.check("__tevra_kind__ raising", raises(TypeError, asset, inputs={fresh("k"): value}),
                   tracked=[value])

    def test_dict_changed_during_iteration(self):
        inputs = {}

        class Growing(str):
            def __getattr__(self, name):
                inputs[len(inputs)] = name
                raise AttributeError(name)

        upstream = Growing("ref")

        def call():
            inputs.clear()
            inputs[fresh("k")] = upstream
            try:
                asset(inputs=inputs)
            except BaseException as e:
                if type(e).__module__ != "pyo3_runtime":
                    raise
            else:
                raise AssertionError("no PanicException")

        self.check("PanicException", call, tracked=[upstream], quiet=True)


class LeaksDecorator(LeakCase):
    def test_paths(self):
        decorator = asset(name=fresh("n"), inputs={fresh("a"): fresh("r")},
                          partitions={fresh("d"): partitions([1, [2, {"k": None}]])})

        def target():
            return None

        kw = fresh("x")
        self.check("wrap", lambda: decorator(target), tracked=[decorator, target])
        self.check("keywords ignored", lambda: decorator(target, **{kw: 1}), tracked=[decorator, target, kw])
        self.check("no argument", raises(TypeError, decorator), tracked=[decorator])
        self.check("two arguments", raises(TypeError, decorator, target, target), tracked=[decorator, target])
        self.check("only a keyword", raises(TypeError, decorator, f=target), tracked=[decorator, target])


class Threads(ThreadCase):
    def test_declare_decorate_call_and_read(self):
        def body(tid):
            def target(a, *, b):
                time.sleep(0)
                return (tid, a, b)

            for i in range(ROUNDS * 3):
                name = f"asset-{tid}-{i}"
                ref = YieldingRef(f"file-{tid}.py:fn{i}")
                values = [Yields(f"v{tid}"), i, Yields({"t": tid, "i": [i, None]})]
                p = partitions(values)
                assert repr(p) == "Partitions(3 values)", repr(p)
                decorator = asset(name=name, inputs={"up": ref, "s": "plain"}, partitions={"d": p, "e": p},
                                  serializer=str(tid))
                w = decorator(target)
                assert w(i, b=name) == (tid, i, name)
                assert w.__tevra_original__ is target and w.__wrapped__ is target
                assert (w.__name__, w.__qualname__, w.__module__) == (
                    "target", target.__qualname__, __name__)
                expected_values = json.dumps([f"v{tid}", i, {"i": [i, None], "t": tid}], separators=(",", ":"))
                meta = w.__tevra_metadata__
                assert meta == {
                    "kind": "asset", "name": name, "serializer": str(tid),
                    "inputs": {"up": f"file-{tid}.py:fn{i}", "s": "plain"},
                    "partitions": {dim: {"kind": "inline", "values_json": expected_values} for dim in ("d", "e")},
                }, meta

        self.assertEqual(self.run_threads(body), [])


if __name__ == "__main__":
    unittest.main()
