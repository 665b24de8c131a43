"""AssetWrapper: calls, identity attributes, descriptor behaviour, read-only fields, ownership;
hostile wrapped objects, leaks."""
import gc
import inspect
import sys
import unittest
import weakref

import _tevra
from _tevra import asset, partitions
from leak_fixtures import LeakCase, raises

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


class HostileWrapped(unittest.TestCase):
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


class Leaks(LeakCase):
    def test_slots_and_getters(self):
        def target(a, b=None):
            """doc"""
            return a

        w = asset(partitions={"d": partitions(["x"])})(target)
        arg, kwarg = object(), object()
        t = (arg,)
        d = {"b": kwarg}

        class Holder:
            m = w

        holder = Holder()
        tracked = [w, target, arg, kwarg]
        cases = {
            "vectorcall": lambda: w(arg, b=kwarg),
            "call with *args, **kwargs": lambda: w(*t, **d),
            "tp_call through the slot wrapper": lambda: type(w).__call__(w, arg, b=kwarg),
            "__get__ on an instance": lambda: holder.m,
            "__get__ on the class": lambda: Holder.m,
            "__get__ called directly": lambda: type(w).__get__(w, None, Holder),
            "repr": lambda: repr(w),
        }
        for attr in ("__tevra_metadata__", "__tevra_kind__", "__tevra_original__", "__name__", "__doc__",
                     "__module__", "__qualname__", "__wrapped__"):
            cases[attr] = (lambda attr: lambda: getattr(w, attr))(attr)
        for label, call in cases.items():
            self.check(label, call, tracked=tracked)

    def test_failures(self):
        error = ValueError("from the function")

        def fails(*args, **kwargs):
            raise error

        w = asset()(fails)
        not_callable = asset()(42)

        class Hostile:
            @property
            def __module__(self):
                raise LookupError("no module")

        hostile = asset()(Hostile())
        arg = object()

        def clear_traceback(call):
            def run():
                call()
                error.__traceback__ = None
            return run

        cases = {
            "function raises": (clear_traceback(raises(ValueError, w, arg, k=arg)), [w, arg, error]),
            "not callable": (raises(TypeError, not_callable, arg), [not_callable, arg]),
            "missing __name__": (raises(AttributeError, getattr, not_callable, "__name__"), [not_callable]),
            "missing __qualname__": (raises(AttributeError, getattr, not_callable, "__qualname__"), []),
            "forwarded read raises": (raises(LookupError, getattr, hostile, "__module__"), [hostile]),
            "attribute assignment": (raises(AttributeError, setattr, w, "__name__", arg), [w, arg]),
            "new attribute": (raises(AttributeError, setattr, w, "other", arg), [w, arg]),
        }
        for label, (call, tracked) in cases.items():
            self.check(label, call, tracked=tracked)

    def test_creation_and_destruction(self):
        decorator = asset(inputs={"a": "r"}, partitions={"d": partitions([1, "two", [3]])})
        target = object()

        def churn():
            w = decorator(target)
            del w

        self.check("dealloc", churn, tracked=[decorator, target])


if __name__ == "__main__":
    unittest.main()
