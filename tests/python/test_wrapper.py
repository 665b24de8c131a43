"""AssetWrapper: calls, identity attributes, descriptor behaviour, read-only fields, ownership."""
import gc
import inspect
import sys
import unittest
import weakref

import _tevra

ATTRIBUTES = ["__tevra_metadata__", "__tevra_kind__", "__tevra_original__", "__name__", "__doc__",
              "__module__", "__qualname__", "__wrapped__"]
CLASS_DOC = "The `@asset()` decorator wrapper. Stores the original function and metadata."


def f(a, b=0, *rest, **kw):
    """Docstring of f."""
    return (a, b, rest, kw)


class Wrapper(unittest.TestCase):
    def test_calls_pass_through(self):
        w = _tevra.asset()(f)
        for args, kwargs in (((1,), {}), ((1,), {"b": 2}), ((1, 2, 3), {}), ((), {"a": 1, "z": 9})):
            with self.subTest(args=args, kwargs=kwargs):
                self.assertEqual(w(*args, **kwargs), f(*args, **kwargs))
        sentinel = object()
        self.assertIs(_tevra.asset()(lambda: sentinel)(), sentinel)
        error = KeyError("raised by the asset")

        def fails(*args, **kwargs):
            raise error

        try:
            _tevra.asset()(fails)(1, k=2)
        except KeyError as e:
            self.assertIs(e, error)
            tb = e.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            self.assertIs(tb.tb_frame.f_code, fails.__code__)
        else:
            self.fail("the wrapped function's exception was lost")
        with self.assertRaisesRegex(TypeError, "^'int' object is not callable$"):
            _tevra.asset()(42)()

    def test_identity_attributes_are_read_live(self):
        def g():
            pass

        w = _tevra.asset()(g)
        self.assertEqual([getattr(w, n) for n in ("__name__", "__qualname__", "__module__", "__doc__")],
                         ["g", g.__qualname__, __name__, None])
        g.__doc__, g.__name__, g.__qualname__, g.__module__ = "new", "h", "Q.h", "elsewhere"
        self.assertEqual((w.__doc__, w.__name__, w.__qualname__, w.__module__), ("new", "h", "Q.h", "elsewhere"))
        self.assertIs(w.__tevra_original__, g)
        self.assertIs(w.__wrapped__, g)
        self.assertEqual(inspect.signature(_tevra.asset()(f)), inspect.signature(f))
        kinds = w.__tevra_kind__, w.__tevra_kind__
        self.assertEqual(kinds, ("asset", "asset"))
        self.assertIsNot(*kinds)
        with self.assertRaisesRegex(AttributeError, "^'object' object has no attribute '__qualname__'$"):
            _tevra.asset()(object()).__qualname__

    def test_class_and_instance_answer_apart(self):
        cls, w = _tevra.AssetWrapper, _tevra.asset()(f)
        self.assertEqual((cls.__doc__, cls.__module__), (CLASS_DOC, "builtins"))
        self.assertEqual((w.__doc__, w.__module__), ("Docstring of f.", __name__))
        # Declared in order; the vectorcall offset is not left behind as an attribute.
        self.assertEqual([n for n in vars(cls) if n in ATTRIBUTES + ["__vectorcalloffset__"]], ATTRIBUTES)
        for name in set(ATTRIBUTES) - {"__doc__", "__module__"}:
            self.assertEqual(vars(cls)[name].__doc__, "", name)

    def test_read_only_and_plain_object(self):
        w = _tevra.asset()(f)
        for name in ATTRIBUTES + ["other"]:
            with self.subTest(name):
                self.assertRaises(AttributeError, setattr, w, name, "x")
                self.assertRaises(AttributeError, delattr, w, name)
        self.assertEqual((w.__tevra_original__, w.__name__), (f, "f"))
        self.assertRegex(repr(w), r"^<builtins\.AssetWrapper object at 0x[0-9a-f]+>$")
        self.assertNotEqual(w, _tevra.asset()(f))
        self.assertEqual(hash(w), object.__hash__(w))
        self.assertFalse(gc.is_tracked(w) or hasattr(w, "__dict__"))
        self.assertRaises(TypeError, weakref.ref, w)

    def test_get_returns_the_wrapper(self):
        calls = []
        g = _tevra.asset()(lambda *args: calls.append(args))

        class C:
            m = g

        self.assertTrue(C().m is C.m is g.__get__(None, C) is g.__get__(1) is g)
        C().m()
        self.assertEqual(calls, [()])

    def test_references_are_released(self):
        def target(x, y=None):
            return x

        decorator = _tevra.asset(inputs={"a": "ref"}, partitions={"d": _tevra.partitions([1, "x"])})
        arg, kwarg, error = object(), object(), ValueError()

        def fails():
            raise error

        def churn(n):
            for _ in range(n):
                w = decorator(target)
                w(arg, y=kwarg), w.__tevra_metadata__, w.__name__
                try:
                    decorator(fails)()
                except ValueError:
                    pass
            error.__traceback__ = None

        churn(2000)  # fills the interpreter's free lists first
        gc.collect()
        counts, blocks = [sys.getrefcount(o) for o in (target, arg, kwarg, error)], sys.getallocatedblocks()
        churn(10_000)
        gc.collect()
        self.assertEqual([sys.getrefcount(o) for o in (target, arg, kwarg, error)], counts)
        # Slack for the interpreter's type-lookup cache, which keeps the name strings of recent
        # attribute lookups; anything kept per round would be thousands of blocks.
        self.assertLess(abs(sys.getallocatedblocks() - blocks), 200)


if __name__ == "__main__":
    unittest.main()
