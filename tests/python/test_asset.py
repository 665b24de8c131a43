"""asset(...): argument checks and their precedence, the asset test, and the decorator it returns."""
import ctypes
import gc
import sys
import types
import unittest

from _tevra import asset, partitions

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


if __name__ == "__main__":
    unittest.main()
