"""partitions(values) and the Partitions objects it makes; hostile and extreme values, leaks."""
import gc
import json
import sys
import unittest

import _tevra
from _tevra import asset, partitions
from hostile import ASTRAL, CONTROL, RaisingText, Unhashable, compact, nested_list
from leak_fixtures import LeakCase, fresh, nested, raises


def values_json(p):
    """The stored values as the compact text an asset's metadata shows."""
    return _tevra.asset(partitions={"d": p})(len).__tevra_metadata__["partitions"]["d"]["values_json"]


class Values(unittest.TestCase):
    def test_repr_counts_values(self):
        for values, text in (([], "Partitions(0 values)"), (["x"], "Partitions(1 values)"),
                             (["a", "a"], "Partitions(2 values)"), (list(range(1000)), "Partitions(1000 values)")):
            with self.subTest(values=values[:3]):
                self.assertEqual(repr(partitions(values)), text)

    def test_keyword_form_and_list_subclass(self):
        class MyList(list):
            pass

        self.assertEqual(repr(partitions(values=["x"])), "Partitions(1 values)")
        self.assertEqual(repr(partitions(MyList(["x", "y"]))), "Partitions(2 values)")

    def test_values_survive_as_compact_json(self):
        cases = [
            ([], "[]"),
            (["AAPL", "MSFT", "GOOG"], '["AAPL","MSFT","GOOG"]'),
            ([1, 2.5, None, True, {"b": 1, "a": 2}, (1, 2)], '[1,2.5,null,true,{"a":2,"b":1},[1,2]]'),
            ([{1: "x", None: "y", 1.5: "z"}], '[{"1":"x","1.5":"z","null":"y"}]'),
            (["été", "\t", "😀"], '["été","\\t","😀"]'),
            ([2**64, -2**63, 2**63 * 4, 1e16, 1e-6], "[1.8446744073709552e+19,-9223372036854775808,"
                                                     "3.6893488147419103e+19,1e+16,1e-6]"),
        ]
        for values, text in cases:
            with self.subTest(text):
                self.assertEqual(values_json(partitions(values)), text)

    def test_values_are_copied(self):
        source = ["a"]
        p = partitions(source)
        source.append("b")
        self.assertEqual(values_json(p), '["a"]')


class Refusals(unittest.TestCase):
    def test_not_a_list(self):
        for value, type_name in ((("a", "b"), "tuple"), ("ab", "str"), ((x for x in "a"), "generator"),
                                 (None, "NoneType")):
            with self.subTest(type_name):
                with self.assertRaises(TypeError) as cm:
                    partitions(value)
                self.assertEqual(str(cm.exception),
                                 f"argument 'values': '{type_name}' object cannot be converted to 'PyList'")

    def test_values_json_cannot_read_back(self):
        cases = [
            (float("nan"), "invalid partition value: expected value at line 1 column 1"),
            (float("inf"), "invalid partition value: expected value at line 1 column 1"),
            (_nested(128), "invalid partition value: recursion limit exceeded"),
        ]
        for value, prefix in cases:
            with self.subTest(prefix):
                with self.assertRaises(ValueError) as cm:
                    partitions(["ok", value])
                self.assertIs(type(cm.exception), ValueError)
                self.assertTrue(str(cm.exception).startswith(prefix), str(cm.exception))
        self.assertEqual(repr(partitions([_nested(127)])), "Partitions(1 values)")

    def test_json_dumps_errors_pass_unchanged(self):
        with self.assertRaises(TypeError) as cm:
            partitions([{1, 2}])
        self.assertEqual(str(cm.exception), "Object of type set is not JSON serializable")

    def test_first_failure_stops_the_call(self):
        seen = []

        class Spy:
            def __init__(self, tag):
                self.tag = tag

        import json
        original = json.JSONEncoder.default

        def default(encoder, obj):
            seen.append(obj.tag)
            return original(encoder, obj)

        json.JSONEncoder.default = default
        try:
            with self.assertRaises(TypeError):
                partitions([Spy(1), Spy(2)])
        finally:
            json.JSONEncoder.default = original
        self.assertEqual(seen, [1])


class ListChangedDuringRead(unittest.TestCase):
    """Code run by json.dumps can resize the list being read."""

    def run_with(self, mutate, values):
        import json
        original = json.JSONEncoder.default
        json.JSONEncoder.default = lambda encoder, obj: mutate() or "m"
        try:
            return partitions(values)
        finally:
            json.JSONEncoder.default = original

    def test_growing_list_is_read_to_its_starting_length(self):
        values = [object(), "b"]
        p = self.run_with(lambda: values.extend(["c"] * 10), values)
        self.assertEqual(repr(p), "Partitions(2 values)")

    def test_shrinking_list_is_read_to_its_current_length(self):
        values = [object(), "b", "c"]
        p = self.run_with(lambda: values.clear(), values)
        self.assertEqual(repr(p), "Partitions(1 values)")


class References(unittest.TestCase):
    def test_no_leaks_on_success_or_failure(self):
        item = "stable-item"
        values = [item, 1.5, {"k": [1, 2]}]
        bad = [item, float("nan")]

        def loop():
            for _ in range(10_000):
                partitions(values)
                try:
                    partitions(bad)
                except ValueError:
                    pass
                try:
                    partitions(("t",))
                except TypeError:
                    pass

        # The type attribute cache keeps recently looked-up names alive: clear it around the
        # measure so only the module's own allocations count.
        loop()
        gc.collect()
        sys._clear_internal_caches()
        refs = (sys.getrefcount(item), sys.getrefcount(values), sys.getrefcount(bad))
        blocks = sys.getallocatedblocks()
        loop()
        gc.collect()
        sys._clear_internal_caches()
        self.assertEqual((sys.getrefcount(item), sys.getrefcount(values), sys.getrefcount(bad)), refs)
        self.assertLess(sys.getallocatedblocks() - blocks, 50)


def _nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


class HostileValues(unittest.TestCase):
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


class Leaks(LeakCase):
    def test_paths(self):
        item = fresh("item")
        values = [{fresh("k"): [item, 1, None, True, 2.5, (1, 2 ** 70)]}]
        p = partitions([1])
        cases = {
            "values": (lambda: partitions(values), [item, values]),
            "several values": (lambda: partitions([item, 1]), [item]),
            "keyword": (lambda: partitions(values=[item]), [item]),
            "empty": (lambda: partitions([]), []),
            "repr": (lambda: repr(p), [p]),
            "not a list": (raises(TypeError, partitions, (item,)), [item]),
            "missing": (raises(TypeError, partitions), []),
            "extra": (raises(TypeError, partitions, values, values), [values]),
            "json.dumps refuses": (raises(TypeError, partitions, [{1, 2}]), []),
            "parser refuses": (raises(ValueError, partitions, [float("nan")]), []),
            "a later value refused": (raises(ValueError, partitions, [item, float("nan")]), [item]),
            "lone surrogate": (raises(ValueError, partitions, [fresh("\udc80")]), []),
        }
        for label, (call, tracked) in cases.items():
            self.check(label, call, tracked=tracked)
        # Each call has json.dumps encode 128 levels: 1,000 rounds.
        deep = nested(128)
        self.check("too deep", raises(ValueError, partitions, [deep]), tracked=[deep], loops=1_000)

    def test_list_resized_during_read(self):
        import json
        values = []
        marker = object()

        class Encoder(json.JSONEncoder):
            pass

        def grow(encoder, obj):
            values.append(1)
            return "m"

        def shrink(encoder, obj):
            del values[1:]
            return "m"

        original = json.JSONEncoder.default
        for label, hook in (("growing", grow), ("shrinking", shrink)):
            def call():
                values[:] = [marker, "b", "c"]
                partitions(values)

            json.JSONEncoder.default = hook
            try:
                self.check(label, call, tracked=[marker, values])
            finally:
                json.JSONEncoder.default = original


if __name__ == "__main__":
    unittest.main()
