"""Every entry point, on its success path and on each of its failure paths, run in a loop:
no reference, interpreter block or C heap byte may stay behind (see leak_check)."""
import contextlib
import os
import sys
import tempfile
import textwrap
import unittest

import _tevra
from _tevra import asset, inspect_modules, materialize_asset, partitions
from leak_check import assert_no_growth, silenced_fd2


def fresh(text):
    """A str made at run time, so that its reference count means something (literal
    identifiers are immortal)."""
    return "".join(list(text))


def raises(exc_type, fn, *args, **kwargs):
    """A call that must fail with exactly `exc_type`."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type as e:
            if type(e) is not exc_type:
                raise
        else:
            raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")
    return call


MODULE_SOURCE = '''
from _tevra import asset, partitions

@asset()
def raw() -> list:
    return [1, 2, 3]

@asset(name="cleaned", inputs={"data": raw, "other": "some:ref"},
       partitions={"d": partitions(["a", 1, None])}, serializer="json")
def cleaned(data, other=None):
    return {"n": len(data)}

def plain(x, y=2):
    return [x, y, "\\u00e9"]

def fails():
    raise ValueError("asset failed")

class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")

def fails_unprintably():
    raise BadStr()

def returns_set():
    return {1}
'''

BROKEN_SOURCE = "raise KeyError('broken at import')\n"

INSPECTED_SOURCE = '''
from _tevra import asset, partitions

@asset(name="one", inputs={"data": "some:ref"}, partitions={"d": partitions(["a", 1])})
def one(data) -> dict:
    return {}
'''

HANDMADE_NAN_SOURCE = '''
class Marked:
    __tevra_kind__ = "asset"
    __tevra_metadata__ = {"x": float("nan")}

nan_meta = Marked()
'''


class Fixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.root = os.path.realpath(cls._tmp.name)
        # Output files go to a memory file system where there is one: the runs' file
        # writes are most of their cost.
        cls._out_tmp = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        cls.out = os.path.join(cls._out_tmp.name, "out")
        pid = os.getpid()
        cls.good = f"leaks_good_{pid}"
        cls.broken = f"leaks_broken_{pid}"
        cls.nan_meta = f"leaks_nan_{pid}"
        cls.inspected = f"leaks_inspected_{pid}"
        for name, source in ((cls.good, MODULE_SOURCE), (cls.broken, BROKEN_SOURCE),
                             (cls.nan_meta, HANDMADE_NAN_SOURCE), (cls.inspected, INSPECTED_SOURCE)):
            with open(os.path.join(cls.root, name + ".py"), "w", encoding="utf-8") as f:
                f.write(textwrap.dedent(source))
        sys.path.insert(0, cls.root)

    @classmethod
    def tearDownClass(cls):
        sys.path.remove(cls.root)
        for name in (cls.good, cls.broken, cls.nan_meta, cls.inspected):
            sys.modules.pop(name, None)
        cls._tmp.cleanup()
        cls._out_tmp.cleanup()

    def check(self, label, call, tracked=(), loops=10_000, quiet=False):
        with self.subTest(label):
            assert_no_growth(self, call, tracked=tracked, loops=loops, quiet=quiet)


class Asset(Fixtures):
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


class ResumedPanic(Fixtures):
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


class Decorator(Fixtures):
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


class Partitions(Fixtures):
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
        deep = _nested(128)
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


class Wrapper(Fixtures):
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


class NoConstructor(Fixtures):
    def test_both_classes(self):
        arg = object()
        self.check("AssetWrapper", raises(TypeError, _tevra.AssetWrapper, arg), tracked=[arg])
        self.check("Partitions", raises(TypeError, _tevra.Partitions, [arg]), tracked=[arg])


class InspectModules(Fixtures):
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


class MaterializeAsset(Fixtures):
    # A run imports four standard modules, creates its directory and writes its files
    # (a few hundred microseconds, several times that with tracemalloc on): 1,000 rounds
    # of each path, as above.
    LOOPS = 1_000
    FAILED_LOOPS = 1_000

    def failed_run(self, *args):
        def call():
            try:
                materialize_asset(*args)
            except SystemExit as e:
                if e.code != 1:
                    raise
            else:
                raise AssertionError("no SystemExit")
        return call

    def test_success(self):
        module, out = fresh(self.good), fresh(self.out)
        fn, kwargs = fresh("plain"), fresh('{"x": "\\ud83d\\ude00", "y": [1, 2]}')
        self.check("plain function", lambda: materialize_asset(module, fn, out, kwargs),
                   tracked=[module, fn, out, kwargs], loops=self.LOOPS)
        raw = fresh("raw")
        self.check("asset, arguments by keyword",
                   lambda: materialize_asset(module_name=module, function_name=raw, output_dir=out,
                                             input_kwargs_json=None),
                   tracked=[module, raw, out], loops=self.LOOPS)

    def test_failed_runs(self):
        out = fresh(self.out)
        good = self.good
        # One of each way the run's error is taken: a captured exception (import, call,
        # encoding of the value, with more of the run's objects alive each time), the
        # module's own TypeError, and an exception whose str() fails. Keyword arguments
        # that do not fit, a missing function or kwargs that are not JSON fail in the same
        # way as the function raising.
        cases = {
            "no such module": (fresh("leaks_missing_module"), "f", None),
            "function raises": (good, "fails", None),
            "str() of the exception raises": (good, "fails_unprintably", None),
            "kwargs not an object": (good, "plain", fresh("[1]")),
            "value not JSON": (good, "returns_set", None),
        }
        for label, (module, fn, kwargs) in cases.items():
            args = (module, fn, out) if kwargs is None else (module, fn, out, kwargs)
            self.check(label, self.failed_run(*args), tracked=[out, module, fn, kwargs], loops=self.FAILED_LOOPS)

    def test_set_up_and_binding_errors(self):
        file_path = os.path.join(self.root, "a-file")
        with open(file_path, "w"):
            pass
        module = fresh(self.good)
        cases = {
            "output dir is a file": raises(FileExistsError, materialize_asset, module, "plain", file_path),
            "missing arguments": raises(TypeError, materialize_asset, module),
            "too many": raises(TypeError, materialize_asset, module, "f", "d", None, None),
            "not a str": raises(TypeError, materialize_asset, module, 1, "d"),
            "lone surrogate": raises(UnicodeEncodeError, materialize_asset, module, "f", fresh("\udc80")),
        }
        for label, call in cases.items():
            self.check(label, call, tracked=[module], loops=self.LOOPS)


def _nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


if __name__ == "__main__":
    unittest.main()
