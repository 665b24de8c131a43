"""materialize_asset in-process: the run, value.json, result.json, failures and set-up errors."""
import errno
import gc
import json
import os
import pathlib
import subprocess
import sys
import unittest

import _tevra
from materialize_support import WorkspaceTest, leftovers, read_text

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


if __name__ == "__main__":
    unittest.main()
