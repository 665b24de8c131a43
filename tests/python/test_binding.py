"""Argument binding and conversion errors, PanicException, and how failures cross back;
hostile arguments, a resumed panic, leaks and threads."""
import contextlib
import subprocess
import sys
import textwrap
import time
import unittest

import _tevra
from _tevra import asset, inspect_modules, materialize_asset, partitions
from discovery_fixtures import captured_output
from hostile import NamelessError, RaisingText, Unhashable
from leak_check import silenced_fd2
from leak_fixtures import LeakCase, fresh
from thread_support import ROUNDS, ThreadCase, YieldingRef, Yields


class Binding(unittest.TestCase):
    def check(self, call, message, exc=TypeError):
        with self.assertRaises(exc) as cm:
            call()
        self.assertIs(type(cm.exception), exc)
        self.assertEqual(str(cm.exception), message)
        self.assertEqual(cm.exception.args, (message,))
        return cm.exception

    def test_partitions_binding(self):
        p = _tevra.partitions
        cases = [
            (lambda: p(), "partitions() missing 1 required positional argument: 'values'"),
            (lambda: p(["a"], ["b"]), "partitions() takes 1 positional arguments but 2 were given"),
            (lambda: p(["a"], values=["b"]), "partitions() got multiple values for argument 'values'"),
            (lambda: p(["a"], ["b"], nme=1), "partitions() takes 1 positional arguments but 2 were given"),
            (lambda: p(vals=["a"]), "partitions() got an unexpected keyword argument 'vals'"),
            (lambda: p(**{"values": [], "Values": []}), "partitions() got an unexpected keyword argument 'Values'"),
            # A name that is not valid UTF-8 is shown with replacement characters.
            (lambda: p(**{"\udcff": 1}), "partitions() got an unexpected keyword argument '"
             + "\udcff".encode("utf-8", "surrogatepass").decode("utf-8", "replace") + "'"),
        ]
        for call, message in cases:
            with self.subTest(message):
                self.check(call, message)

    def test_asset_binding(self):
        a = _tevra.asset
        cases = [
            (lambda: a(1), "asset() takes 0 positional arguments but 1 was given"),
            (lambda: a(1, 2), "asset() takes 0 positional arguments but 2 were given"),
            (lambda: a(1, nme=2), "asset() takes 0 positional arguments but 1 was given"),
            (lambda: a(nme="x"), "asset() got an unexpected keyword argument 'nme'"),
            (lambda: a(name=3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
            (lambda: a(serializer=b"x"), "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"),
        ]
        for call, message in cases:
            with self.subTest(message):
                self.check(call, message)

    def test_materialize_binding(self):
        m = _tevra.materialize_asset
        cases = [
            (lambda: m(), "materialize_asset() missing 3 required positional arguments: "
                          "'module_name', 'function_name', and 'output_dir'"),
            (lambda: m("m"), "materialize_asset() missing 2 required positional arguments: "
                             "'function_name' and 'output_dir'"),
            (lambda: m("m", output_dir="d"), "materialize_asset() missing 1 required positional argument: "
                                             "'function_name'"),
            (lambda: m(1, 2, 3, 4, 5), "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
            (lambda: m(1, "f", "d"), "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
            (lambda: m(1, 2, "d"), "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
            (lambda: m("m", "f", 3), "argument 'output_dir': 'int' object cannot be converted to 'PyString'"),
            (lambda: m("m", "f", "d", 4), "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'"),
            (lambda: m("m", "f", "d", function_name="g"),
             "materialize_asset() got multiple values for argument 'function_name'"),
        ]
        for call, message in cases:
            with self.subTest(message):
                self.check(call, message)

    def test_inspect_modules_binding(self):
        i = _tevra.inspect_modules

        class BadIter:
            def __len__(self):
                raise RuntimeError("len is only a hint")

            def __getitem__(self, index):
                raise TypeError("no items here")

        cases = [
            (lambda: i("pkg.mod"), "argument 'modules': Can't extract `str` to `Vec`"),
            (lambda: i(5), "argument 'modules': 'int' object cannot be converted to 'Sequence'"),
            (lambda: i({"a": 1}), "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
            (lambda: i(["a", 1]), "argument 'modules': 'int' object cannot be converted to 'PyString'"),
            (lambda: i(BadIter()), "argument 'modules': no items here"),
            (lambda: i(), "inspect_modules() missing 1 required positional argument: 'modules'"),
        ]
        for call, message in cases:
            with self.subTest(message):
                self.check(call, message)

    def test_prefix_keeps_the_cause_and_spares_other_types(self):
        class Seq:
            def __len__(self):
                return 1

            def __getitem__(self, index):
                try:
                    raise KeyError("inner")
                except KeyError as inner:
                    raise TypeError("outer") from inner

        err = self.check(lambda: _tevra.inspect_modules(Seq()), "argument 'modules': outer")
        self.assertIsInstance(err.__cause__, KeyError)

        class Sub(TypeError):
            pass

        class SeqSub:
            def __getitem__(self, index):
                raise Sub("subclass passes unchanged")

        self.check(lambda: _tevra.inspect_modules(SeqSub()), "subclass passes unchanged", Sub)

    def test_surrogates_fail_without_prefix(self):
        with self.assertRaises(UnicodeEncodeError):
            _tevra.materialize_asset("\ud800", "f", "d")
        with self.assertRaises(UnicodeEncodeError):
            _tevra.asset(name="\udfff")

    def test_none_means_absent_and_tuples_are_sequences(self):
        self.assertEqual(_tevra.inspect_modules(()), '{"assets":[]}')
        self.assertEqual(_tevra.inspect_modules(modules=[]), '{"assets":[]}')
        _tevra.asset(name=None, inputs=None, partitions=None, serializer=None)


class Panic(unittest.TestCase):
    @staticmethod
    def mutating_ref(mutate):
        """A valid string reference whose asset test (an attribute read) runs `mutate`."""
        class Ref(str):
            def __getattr__(self, name):
                mutate()
                raise AttributeError(name)
        return Ref("some/file.py:fn")

    def test_panic_exception_class(self):
        inputs = {}
        inputs["a"] = self.mutating_ref(lambda: inputs.setdefault("more", "x"))
        with self.assertRaises(BaseException) as cm:
            try:
                _tevra.asset(inputs=inputs)
            except Exception:  # must not catch it
                self.fail("PanicException was caught by except Exception")
        exc = cm.exception
        cls = type(exc)
        self.assertEqual((cls.__module__, cls.__name__, cls.__qualname__),
                         ("pyo3_runtime", "PanicException", "PanicException"))
        self.assertEqual(cls.__bases__, (BaseException,))
        self.assertTrue(cls.__doc__)
        self.assertEqual(exc.args, ("dictionary changed size during iteration",))

    def test_keys_changed_at_the_same_size(self):
        inputs = {}

        def swap():  # drops the entry already read and adds one: the size stays the same
            if "a" in inputs:
                del inputs["a"]
                inputs["c"] = "x"

        inputs["a"] = self.mutating_ref(swap)
        inputs["b"] = "y"
        with self.assertRaises(BaseException) as cm:
            _tevra.asset(inputs=inputs)
        self.assertEqual(type(cm.exception).__name__, "PanicException")
        self.assertEqual(cm.exception.args, ("dictionary keys changed during iteration",))

    def test_refused_entry_comes_before_the_changed_dict(self):
        class Grow:
            def __getattr__(self, name):
                inputs["more"] = "x"
                raise AttributeError(name)

        inputs = {"a": Grow()}
        with self.assertRaises(TypeError) as cm:
            _tevra.asset(inputs=inputs)
        self.assertEqual(str(cm.exception), "inputs values must be @asset-decorated functions or asset ref strings")

    def test_panic_raised_by_python_code_resumes(self):
        script = textwrap.dedent("""
            import _tevra
            class Grow(str):
                def __getattr__(self, name):
                    d["b"] = 1
                    raise AttributeError(name)
            d = {"a": Grow("ref")}
            try:
                _tevra.asset(inputs=d)
            except BaseException as e:
                Panic = type(e)
            class Raises:
                def __getitem__(self, i):
                    raise Panic("from python")
            try:
                _tevra.inspect_modules(Raises())
            except BaseException as e:
                print(type(e) is Panic, e.args)
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, "True ('from python',)\n")
        self.assertIn("Python stack trace below:", out.stderr)
        self.assertIn("dictionary changed size during iteration", out.stderr)


class HostileArguments(unittest.TestCase):
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


class ResumedPanicAsSystemExit(unittest.TestCase):
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


class LeaksResumedPanic(LeakCase):
    def test_panic_raised_by_python_code(self):
        grow = {}

        class Grows(str):
            def __getattr__(self, name):
                grow["b"] = 1
                raise AttributeError(name)

        grow["a"] = Grows("r")
        try:
            with silenced_fd2():
                asset(inputs=grow)
        except BaseException as e:
            panic = type(e)

        class Both(SystemExit, panic):
            pass

        class Discard:
            def write(self, text):
                return len(text)

            def flush(self):
                pass

        for label, exc_type in (("PanicException", panic), ("also a SystemExit", Both)):
            error = exc_type(fresh("from python"))

            class Raises:
                def __getitem__(self, index, error=error):
                    raise error

            def call():
                try:
                    inspect_modules(Raises())
                except BaseException as e:
                    if type(e) is not panic:
                        raise
                error.__traceback__ = None

            # The resumed failure prints the exception and its traceback to sys.stderr.
            # Each round formats and prints a traceback: 500 rounds (the plain PanicException
            # path runs 10,000 times in Asset above).
            with contextlib.redirect_stderr(Discard()):
                self.check(label, call, tracked=[error], loops=500, quiet=True)


class Threads(ThreadCase):
    def test_failures_at_once(self):
        # Errors of every kind raised on several threads at once stay with their own thread.
        def body(tid):
            for i in range(ROUNDS):
                try:
                    partitions([Yields(float("nan"))])
                except ValueError as e:
                    assert str(e) == "invalid partition value: expected value at line 1 column 1", str(e)
                try:
                    asset(inputs={"a": YieldingRef("r"), "b": 3})
                except TypeError as e:
                    assert str(e) == "inputs values must be @asset-decorated functions or asset ref strings"
                grow = {}

                class Grows(str):
                    def __getattr__(self, name):
                        time.sleep(0)
                        grow[len(grow)] = 1
                        raise AttributeError(name)

                grow["a"] = Grows("r")
                try:
                    asset(inputs=grow)
                except BaseException as e:
                    assert type(e).__name__ == "PanicException", repr(e)
                    assert e.args == ("dictionary changed size during iteration",)
                try:
                    asset()(f"not callable {tid}")()
                except TypeError as e:
                    assert "not callable" in str(e)
                try:
                    inspect_modules([f"threads_missing_{tid}_{i}"])
                except BaseException as e:
                    raise AssertionError(f"skip failed: {e!r}")
                try:
                    materialize_asset(3, "f", "d")
                except TypeError as e:
                    assert str(e) == "argument 'module_name': 'int' object cannot be converted to 'PyString'"

        with captured_output():  # skip lines and internal-failure diagnostics
            failures = self.run_threads(body)
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
