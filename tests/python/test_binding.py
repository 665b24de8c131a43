"""Argument binding and conversion errors, PanicException, and how failures cross back."""
import subprocess
import sys
import textwrap
import unittest

import _tevra


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


if __name__ == "__main__":
    unittest.main()
