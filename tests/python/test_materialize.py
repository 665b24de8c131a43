"""materialize_asset in-process: the run, value.json, result.json, failures and set-up errors;
hostile exceptions and values, leaks and threads."""
import errno
import gc
import json
import os
import pathlib
import subprocess
import sys
import threading
import time
import unittest

import _tevra
from _tevra import materialize_asset
from hostile import ASTRAL, CONTROL, compact, lossy
from leak_fixtures import LeakCase, fresh, raises
from materialize_support import WorkspaceTest, leftovers, read_text
from thread_support import ROUNDS, THREADS, ThreadCase

materialize = _tevra.materialize_asset


def success(function, module, result_type, signature, value_path):
    return ('{"artifact_format":"json","function_name":"%s","module_path":"%s","ok":true,'
            '"result_type":"%s","signature":"%s","value_path":"%s"}'
            % (function, module, result_type, signature, value_path))


def failure(error, error_type):
    return '{"error":"%s","error_type":"%s","ok":false}' % (error, error_type)


class MaterializeTest(WorkspaceTest):
    def run_asset(self, *args, **kwargs):
        """The SystemExit a failed run ends with, or None after a successful one."""
        try:
            returned = materialize(*args, **kwargs)
        except SystemExit as e:
            return e
        self.assertIsNone(returned)
        return None

    def assert_failed(self, outcome):
        self.assertIsInstance(outcome, SystemExit)
        self.assertEqual(outcome.code, 1)

    def files(self, out):
        value = os.path.join(out, "value.json")
        return (read_text(value) if os.path.exists(value) else None,
                read_text(os.path.join(out, "result.json")))


class Success(MaterializeTest):
    def test_records_and_value_texts(self):
        mod = self.write_module(r'''
            def total(a, b=1):
                return a + b
            def nothing():
                return None
            def ordered():
                d = {}
                d["b"] = 1
                d["a"] = [1, 2.5]
                return d
            def not_finite():
                return [float("nan"), float("inf"), -float("inf")]
            def accents():
                return "été\t"
            def huge():
                return 2 ** 64
            def pair() -> tuple:
                return (1, "x")
        ''')
        cases = [
            ("total", '{"a": 2}', "3", "int", "(a, b=1)"),
            ("nothing", None, "null", "NoneType", "()"),
            ("ordered", None, '{"b": 1, "a": [1, 2.5]}', "dict", "()"),
            ("not_finite", None, "[NaN, Infinity, -Infinity]", "list", "()"),
            ("accents", None, '"\\u00e9t\\u00e9\\t"', "str", "()"),
            ("huge", None, "18446744073709551616", "int", "()"),
            ("pair", None, '[1, "x"]', "tuple", "() -> tuple"),
        ]
        for i, (function, kwargs, value, result_type, signature) in enumerate(cases):
            with self.subTest(function=function, kwargs=kwargs):
                out = self.out_dir(f"run{i}")
                self.assertIsNone(self.run_asset(mod, function, out, kwargs))
                self.assertEqual(self.files(out), (
                    value, success(function, mod, result_type, signature, out + "/value.json")))
                self.assertEqual(leftovers(out), [])

    def test_value_path_as_pathlib_writes_it(self):
        mod = self.write_module("def one():\n    return 1\n")
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.root)
        cases = [
            ("out/", "out/value.json"),
            ("./nested/deeper//", "nested/deeper/value.json"),
            ("dossier-\u00e9t\u00e9", "dossier-\u00e9t\u00e9/value.json"),
        ]
        for out, value_path in cases:
            with self.subTest(out=out):
                self.assertIsNone(self.run_asset(mod, "one", out))
                with open(os.path.join(out, "result.json"), "rb") as f:
                    raw = f.read()
                # The compact writer keeps non-ASCII text as raw UTF-8.
                self.assertEqual(raw, success("one", mod, "int", "()", value_path).encode("utf-8"))

    def test_callables(self):
        mod = self.write_module(r'''
            def plain(x, *, scale=2):
                return x * scale

            class Doubler:
                def __call__(self, x):
                    return 2 * x
            double = Doubler()

            def _original(ticker, days=3):
                return [ticker, days]

            class Marked:
                __tevra_kind__ = "asset"
                __tevra_original__ = staticmethod(_original)
                def __call__(self, *args, **kwargs):
                    raise AssertionError("the wrapper itself must not be called")
            marked = Marked()

            class Unreadable:
                @property
                def __tevra_original__(self):
                    raise KeyboardInterrupt("reading the original")
                def __call__(self, n):
                    return n + 1
            unreadable = Unreadable()
        ''')
        cases = [
            ("plain", '{"x": 4}', "8", "int", "(x, *, scale=2)"),
            ("double", '{"x": 4}', "8", "int", "(x)"),
            ("marked", '{"ticker": "X"}', '["X", 3]', "list", "(ticker, days=3)"),
            ("unreadable", '{"n": 1}', "2", "int", "(n)"),
        ]
        for function, kwargs, value, result_type, signature in cases:
            with self.subTest(function):
                out = self.out_dir(function)
                self.assertIsNone(self.run_asset(mod, function, out, kwargs))
                self.assertEqual(self.files(out), (
                    value, success(function, mod, result_type, signature, out + "/value.json")))

    def test_decorated_function_runs_its_original(self):
        mod = self.write_module(r'''
            from _tevra import asset, partitions

            calls = []

            @asset(name="custom", partitions={"ticker": partitions(["A", "B"])})
            def prices(ticker: str, days: int = 3) -> dict:
                calls.append(ticker)
                return {"ticker": ticker, "days": days}

            @asset(inputs={"prices": prices})
            def report(prices):
                return prices
        ''')
        out = self.out_dir("decorated")
        self.assertIsNone(self.run_asset(mod, "prices", out, '{"ticker": "B"}'))
        self.assertEqual(self.files(out), (
            '{"ticker": "B", "days": 3}',
            success("prices", mod, "dict", "(ticker: str, days: int = 3) -> dict", out + "/value.json")))
        self.assertEqual(sys.modules[mod].calls, ["B"])
        # Inputs are not resolved: the text naming an upstream arrives as it is.
        out = self.out_dir("report")
        self.assertIsNone(self.run_asset(mod, "report", out, '{"prices": "pipe.py:prices"}'))
        self.assertEqual(self.files(out)[0], '"pipe.py:prices"')

    def test_keyword_argument_forms(self):
        mod = self.write_module(r'''
            def echo(**kw):
                return kw
        ''')
        expected_empty = success("echo", mod, "dict", "(**kw)", "%s/value.json")
        for kwargs in ("{}", None, " {} "):
            with self.subTest(kwargs=kwargs):
                out = self.out_dir("empty")
                self.assertIsNone(self.run_asset(mod, "echo", out, kwargs))
                self.assertEqual(self.files(out), ("{}", expected_empty % out))
        with self.subTest("omitted, all by keyword"):
            out = self.out_dir("keywords")
            self.assertIsNone(self.run_asset(output_dir=out, function_name="echo", module_name=mod))
            self.assertEqual(self.files(out), ("{}", expected_empty % out))
        with self.subTest("values as json.loads makes them"):
            out = self.out_dir("values")
            text = '{"ref": "other.module:prices", "n": [1, 2.0, null], "o": {"k": true}}'
            self.assertIsNone(self.run_asset(mod, "echo", out, input_kwargs_json=text))
            self.assertEqual(self.files(out)[0], '{"ref": "other.module:prices", "n": [1, 2.0, null], "o": {"k": true}}')

    def test_file_mode_follows_umask(self):
        mod = self.write_module("def one():\n    return 1\n")
        old = os.umask(0o027)
        try:
            self.assertIsNone(self.run_asset(mod, "one", self.out_dir()))
        finally:
            os.umask(old)
        for name in ("value.json", "result.json"):
            with self.subTest(name):
                self.assertEqual(os.stat(os.path.join(self.out_dir(), name)).st_mode & 0o777, 0o640)


FAILING = r'''
import os

def outer():
    class Problem(Exception):
        pass
    raise Problem("inner trouble")

def divide():
    return 1 / 0

def exits():
    raise SystemExit(3)

def interrupted():
    raise KeyboardInterrupt

class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no str")

def unprintable():
    raise Unprintable()

def surrogate():
    raise ValueError("bad \udc80 byte")

def quoted():
    raise ValueError('say "hi"\\now')

def returns_set():
    return {1}

def takes_one(x):
    return x

not_callable = 5

class NoSignature:
    def __call__(self):
        return [1]
    @property
    def __signature__(self):
        raise ValueError("no signature here")

no_signature = NoSignature()
'''


class Failures(MaterializeTest):
    def test_failure_records(self):
        mod = self.write_module(FAILING)
        cases = [
            ("no_such_module_for_tevra", "f", None,
             "ModuleNotFoundError: No module named 'no_such_module_for_tevra'", "ModuleNotFoundError"),
            (mod, "missing", None, f"AttributeError: module '{mod}' has no attribute 'missing'", "AttributeError"),
            (mod, "takes_one", '{"y": 1}',
             "TypeError: takes_one() got an unexpected keyword argument 'y'", "TypeError"),
            (mod, "takes_one", "[]", "TypeError: 'list' object cannot be converted to 'PyDict'", "TypeError"),
            (mod, "takes_one", "", "JSONDecodeError: Expecting value: line 1 column 1 (char 0)", "JSONDecodeError"),
            (mod, "not_callable", None, "TypeError: 'int' object is not callable", "TypeError"),
            (mod, "divide", None, "ZeroDivisionError: division by zero", "ZeroDivisionError"),
            (mod, "exits", None, "SystemExit: 3", "SystemExit"),
            (mod, "interrupted", None, "KeyboardInterrupt: ", "KeyboardInterrupt"),
            (mod, "outer", None, "outer.<locals>.Problem: inner trouble", "Problem"),
            (mod, "unprintable", None, "Unprintable: <exception str() failed>", "Unprintable"),
            # Each byte of the lone surrogate's UTF-8 form becomes one U+FFFD.
            (mod, "surrogate", None, "ValueError: bad \ufffd\ufffd\ufffd byte", "ValueError"),
            (mod, "quoted", None, 'ValueError: say \\"hi\\"\\\\now', "ValueError"),
            (mod, "returns_set", None, "TypeError: Object of type set is not JSON serializable", "TypeError"),
        ]
        for i, (module, function, kwargs, error, error_type) in enumerate(cases):
            with self.subTest(function=function, kwargs=kwargs):
                out = self.out_dir(f"fail{i}")
                self.assert_failed(self.run_asset(module, function, out, kwargs))
                # None of these got as far as value.json.
                self.assertEqual(self.files(out), (None, failure(error, error_type)))
                self.assertEqual(leftovers(out), [])

    def test_failure_after_value_written(self):
        mod = self.write_module(FAILING)
        out = self.out_dir()
        self.assert_failed(self.run_asset(mod, "no_signature", out))
        self.assertEqual(self.files(out), (
            "[1]", failure("ValueError: no signature here", "ValueError")))

    def test_outcome_is_a_plain_system_exit(self):
        mod = self.write_module(FAILING)
        for function in ("divide", "exits", "interrupted"):
            with self.subTest(function):
                caught_by_exception = False
                try:
                    try:
                        materialize(mod, function, self.out_dir(function))
                    except Exception:
                        caught_by_exception = True
                except SystemExit as e:
                    self.assertIs(type(e), SystemExit)
                    self.assertEqual(e.args, (1,))
                    # The run's own exception is in result.json only.
                    self.assertIsNone(e.__context__)
                    self.assertIsNone(e.__cause__)
                else:
                    self.fail("no SystemExit")
                self.assertFalse(caught_by_exception)

    def test_second_run_into_same_directory(self):
        mod = self.write_module(r'''
            def first():
                return "first"
            def second():
                return ["second"]
            def fails():
                raise RuntimeError("early")
            class Late:
                def __call__(self):
                    return "late"
                @property
                def __signature__(self):
                    raise TypeError("refused")
            late = Late()
        ''')
        out = self.out_dir()
        steps = [
            ("first", '"first"', success("first", mod, "str", "()", out + "/value.json")),
            ("second", '["second"]', success("second", mod, "list", "()", out + "/value.json")),
            # Fails before value.json: the earlier value stays beside the failure record.
            ("fails", '["second"]', failure("RuntimeError: early", "RuntimeError")),
            ("late", '"late"', failure("TypeError: refused", "TypeError")),
            ("first", '"first"', success("first", mod, "str", "()", out + "/value.json")),
        ]
        for function, value, record in steps:
            with self.subTest(function):
                self.run_asset(mod, function, out)
                self.assertEqual(self.files(out), (value, record))
                self.assertEqual(leftovers(out), [])


class SetUp(MaterializeTest):
    def assert_nothing_ran(self, mod, out):
        self.assertNotIn(mod, sys.modules)
        self.assertFalse(os.path.exists(os.path.join(out, "result.json")))

    def test_errors_reach_the_caller(self):
        mod = self.write_module("def one():\n    return 1\n")
        a_file = os.path.join(self.root, "a_file")
        with open(a_file, "w") as f:
            f.write("x")
        cases = [
            (a_file, FileExistsError, errno.EEXIST),
            (os.path.join(a_file, "below"), NotADirectoryError, errno.ENOTDIR),
        ]
        for out, exc, code in cases:
            with self.subTest(out=out):
                with self.assertRaises(exc) as cm:
                    materialize(mod, "one", out)
                self.assertEqual(cm.exception.errno, code)
                self.assert_nothing_ran(mod, out)
        with open(a_file) as f:
            self.assertEqual(f.read(), "x")

    def test_argument_errors_create_nothing(self):
        mod = self.write_module("def one():\n    return 1\n")
        out = self.out_dir()
        cases = [
            ((mod, "one", pathlib.Path(out)),
             "argument 'output_dir': 'PosixPath' object cannot be converted to 'PyString'"),
            ((mod, "one", out, 5), "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'"),
            ((mod, "one", out, {}), "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
            ((mod, b"one", out), "argument 'function_name': 'bytes' object cannot be converted to 'PyString'"),
        ]
        for args, message in cases:
            with self.subTest(message):
                with self.assertRaises(TypeError) as cm:
                    materialize(*args)
                self.assertEqual(str(cm.exception), message)
                self.assertFalse(os.path.exists(out))
                self.assertNotIn(mod, sys.modules)
        with self.subTest("unencodable text"):
            with self.assertRaises(UnicodeEncodeError):
                materialize(mod, "one", out + "\udc80")
            self.assertEqual(os.listdir(self.root), ["modules"])

    def test_earlier_record_removed_before_the_run(self):
        mod = self.write_module(r'''
            import os
            def look(out):
                return [os.path.exists(os.path.join(out, n)) for n in ("value.json", "result.json")]
        ''')
        out = self.out_dir()
        self.assertIsNone(self.run_asset(mod, "look", out, '{"out": "%s"}' % out))
        # The second run sees the first run's value.json but no record.
        self.assertIsNone(self.run_asset(mod, "look", out, '{"out": "%s"}' % out))
        self.assertEqual(self.files(out)[0], "[true, false]")

    def test_unremovable_record_is_a_set_up_error(self):
        mod = self.write_module("def one():\n    return 1\n")
        out = self.out_dir()
        os.makedirs(os.path.join(out, "result.json", "inside"))
        with self.assertRaises(IsADirectoryError) as cm:
            materialize(mod, "one", out)
        self.assertEqual(cm.exception.filename, out + "/result.json")
        self.assertNotIn(mod, sys.modules)
        self.assertEqual(os.listdir(out), ["result.json"])


class DirectoryHandle(MaterializeTest):
    """The files go to the directory set up at the start, however the path reads later."""

    def test_asset_changing_the_working_directory(self):
        mod = self.write_module(r'''
            import os
            def wanders(to):
                os.chdir(to)
                return 1
            def wanders_and_fails(to):
                os.chdir(to)
                raise ValueError("lost")
        ''')
        elsewhere = self.out_dir("elsewhere")
        os.makedirs(os.path.join(elsewhere, "existing", "out"))
        cwd = os.getcwd()
        self.addCleanup(os.chdir, cwd)
        # Relative to the new working directory, "out" exists in one case and not in the other.
        for i, to in enumerate(("existing", "missing")):
            os.makedirs(os.path.join(elsewhere, to), exist_ok=True)
            for function in ("wanders", "wanders_and_fails"):
                with self.subTest(to=to, function=function):
                    run = self.out_dir(f"run{i}{function}")
                    os.mkdir(run)
                    os.chdir(run)
                    outcome = self.run_asset(mod, function, "out", json.dumps({"to": os.path.join(elsewhere, to)}))
                    if function == "wanders":
                        self.assertIsNone(outcome)
                        self.assertEqual(self.files(os.path.join(run, "out")), (
                            "1", success(function, mod, "int", "(to)", "out/value.json")))
                    else:
                        self.assert_failed(outcome)
                        self.assertEqual(self.files(os.path.join(run, "out")),
                                         (None, failure("ValueError: lost", "ValueError")))
                    self.assertEqual(os.listdir(os.path.join(elsewhere, "existing", "out")), [])

    def test_directory_swapped_for_a_symlink(self):
        mod = self.write_module(r'''
            import os
            def swaps(out, moved, decoy):
                os.rename(out, moved)
                os.symlink(decoy, out)
                return 2
        ''')
        out, moved, decoy = self.out_dir(), self.out_dir("moved"), self.out_dir("decoy")
        os.mkdir(decoy)
        self.assertIsNone(self.run_asset(mod, "swaps", out, json.dumps({"out": out, "moved": moved, "decoy": decoy})))
        self.assertEqual(self.files(moved), ("2", success("swaps", mod, "int", "(out, moved, decoy)",
                                                          out + "/value.json")))
        self.assertEqual(os.listdir(decoy), [])

    def test_longest_directory_path(self):
        mod = self.write_module("def one():\n    return 1\n")
        # Each file's path stays within the system's 4,095-byte limit, so a direct write
        # would succeed; no longer name may be formed from the directory's path.
        length = 4095 - len("/result.json") - 10
        out = self.root
        while len(out) < length - 201:
            out = os.path.join(out, "d" * 200)
        out = os.path.join(out, "e" * (length - len(out) - 1))
        self.assertEqual(len(out), length)
        self.assertIsNone(self.run_asset(mod, "one", out))
        self.assertEqual(self.files(out), ("1", success("one", mod, "int", "()", out + "/value.json")))
        self.assertEqual(leftovers(out), [])


class WriteFailures(MaterializeTest):
    def test_value_target_that_cannot_be_replaced(self):
        mod = self.write_module("def one():\n    return 1\n")
        out = self.out_dir()
        os.makedirs(os.path.join(out, "value.json"))
        self.assert_failed(self.run_asset(mod, "one", out))
        self.assertEqual(read_text(os.path.join(out, "result.json")), failure(
            f"IsADirectoryError: [Errno 21] Is a directory: '{out}/value.json'", "IsADirectoryError"))
        self.assertTrue(os.path.isdir(os.path.join(out, "value.json")))
        self.assertEqual(leftovers(out), [])

    @unittest.skipIf(os.geteuid() == 0, "permissions do not stop root")
    def test_read_only_directory(self):
        mod = self.write_module(r'''
            import os
            def plain():
                return 2
            def lock(out):
                os.chmod(out, 0o555)
                return 3
        ''')
        out = self.out_dir()
        self.assertIsNone(self.run_asset(mod, "plain", out))
        self.addCleanup(os.chmod, out, 0o755)
        with self.assertRaises(PermissionError) as cm:
            materialize(mod, "lock", out, '{"out": "%s"}' % out)
        self.assertEqual(cm.exception.filename, out + "/result.json")
        # The failure record could not be written either; the earlier value is whole.
        self.assertEqual(sorted(os.listdir(out)), ["value.json"])
        self.assertEqual(read_text(os.path.join(out, "value.json")), "2")

    def small_disk(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs needs root")
        mount_point = os.path.join(self.root, "disk")
        os.mkdir(mount_point)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", mount_point],
                              capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount a small tmpfs: " + done.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", mount_point], check=True)
        return mount_point

    def test_full_disk(self):
        disk = self.small_disk()
        mod = self.write_module(r'''
            import errno, os
            def small():
                return "small"
            def large():
                return "x" * 300_000
            def fill(path):
                fd = os.open(path, os.O_WRONLY | os.O_CREAT)
                try:
                    while True:
                        os.write(fd, b"f" * 4096)
                except OSError as e:
                    assert e.errno == errno.ENOSPC
                finally:
                    os.close(fd)
                return "after filling"
        ''')
        out = os.path.join(disk, "out")
        earlier = '"small"'
        self.assertIsNone(self.run_asset(mod, "small", out))

        with self.subTest("value.json does not fit"):
            self.assert_failed(self.run_asset(mod, "large", out))
            self.assertEqual(self.files(out), (earlier, failure(
                f"OSError: [Errno 28] No space left on device: '{out}/value.json'", "OSError")))
            self.assertEqual(leftovers(out), [])

        with self.subTest("nothing fits"):
            filler = os.path.join(disk, "filler")
            with self.assertRaises(OSError) as cm:
                materialize(mod, "fill", out, '{"path": "%s"}' % filler)
            self.assertIs(type(cm.exception), OSError)
            self.assertEqual(cm.exception.errno, errno.ENOSPC)
            self.assertEqual(cm.exception.filename, out + "/result.json")
            self.assertEqual(sorted(os.listdir(out)), ["value.json"])
            self.assertEqual(read_text(os.path.join(out, "value.json")), earlier)


class References(MaterializeTest):
    def test_no_leaks(self):
        mod = self.write_module(r'''
            def ok(x):
                return [x, {"k": x}]
            def bad():
                raise ValueError("bad")
        ''')
        # Built at run time so that they are not shared constants.
        names = ["".join(["o", "k"]), "".join(["b", "a", "d"])]
        out = "".join([self.out_dir(), ""])
        kwargs = ["".join(['{"x": ', "1}"]), "".join(["[", "]"])]
        tracked = [mod, out, *names, *kwargs]

        def once():
            self.assertIsNone(materialize(mod, names[0], out, kwargs[0]))
            for args in ((mod, names[1], out), (mod, names[0], out, kwargs[1])):
                try:
                    materialize(*args)
                except SystemExit:
                    pass
                else:
                    self.fail("no SystemExit")

        def settle():
            gc.collect()
            # The interpreter's type attribute cache keeps each attribute name it last
            # saw per slot, and the names passed here are fresh objects on every call:
            # empty it so that only what the calls themselves kept is counted.
            clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
            clear()

        for _ in range(20):
            once()
        settle()
        counts = [sys.getrefcount(obj) for obj in tracked]
        blocks = sys.getallocatedblocks()
        for _ in range(1000):
            once()
        settle()
        self.assertEqual([sys.getrefcount(obj) for obj in tracked], counts)
        self.assertLess(abs(sys.getallocatedblocks() - blocks), 100)
        self.assertEqual(leftovers(out), [])


class HostileInput(WorkspaceTest):
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


class Leaks(LeakCase):
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


class Threads(ThreadCase):
    def test_materialize_into_own_directories(self):
        def body(tid):
            for i in range(ROUNDS):
                module = self.modules[(tid + i) % len(self.modules)]
                out = os.path.join(self.root, f"out-{tid}")
                os.makedirs(out, exist_ok=True)
                kwargs = json.dumps({"tid": tid, "i": i, "out": out})
                assert materialize_asset(module, "work", out, kwargs) is None
                with open(os.path.join(out, "value.json"), encoding="utf-8") as f:
                    assert f.read() == json.dumps({"tid": tid, "i": i, "text": "é" * (i % 7)})
                with open(os.path.join(out, "result.json"), encoding="utf-8") as f:
                    assert json.loads(f.read()) == {
                        "artifact_format": "json", "function_name": "work", "module_path": module, "ok": True,
                        "result_type": "dict", "signature": "(tid, i, out) -> dict",
                        "value_path": os.path.join(out, "value.json")}
                try:
                    materialize_asset(module, "fails", out, json.dumps({"tid": tid, "i": i}))
                except SystemExit as e:
                    assert e.code == 1
                else:
                    raise AssertionError("no SystemExit")
                with open(os.path.join(out, "result.json"), encoding="utf-8") as f:
                    assert f.read() == ('{"error":"ValueError: thread %d round %d","error_type":"ValueError",'
                                        '"ok":false}' % (tid, i))
                assert sorted(os.listdir(out)) == ["result.json", "scratch", "value.json"], os.listdir(out)

        self.assertEqual(self.run_threads(body), [])

    def test_shared_directory_never_torn(self):
        # Runs into one directory overwrite each other's files; a reader meanwhile finds
        # each file missing (a run clears the record before writing its own) or whole.
        out = os.path.join(self.root, "shared")
        os.mkdir(out)
        module = self.modules[0]
        writers = THREADS - 1
        values = {json.dumps({"tid": tid, "i": i, "text": "é" * (i % 7)})
                  for tid in range(writers) for i in range(ROUNDS)}
        running = [writers]
        lock = threading.Lock()
        seen = []

        def read(name):
            try:
                with open(os.path.join(out, name), encoding="utf-8") as f:
                    return f.read()
            except FileNotFoundError:
                return None

        def reader():
            while running[0]:
                value = read("value.json")
                if value is not None:
                    assert value in values, value
                    seen.append(value)
                record = read("result.json")
                if record is not None:
                    assert json.loads(record)["ok"] is True, record
                time.sleep(0)

        def writer(tid):
            try:
                for i in range(ROUNDS):
                    materialize_asset(module, "work", out, json.dumps({"tid": tid, "i": i, "out": out}))
            finally:
                with lock:
                    running[0] -= 1

        self.assertEqual(self.run_threads(lambda tid: reader() if tid == writers else writer(tid)), [])
        self.assertTrue(seen)
        self.assertEqual(sorted(os.listdir(out)), ["result.json", "scratch", "value.json"])


if __name__ == "__main__":
    unittest.main()
