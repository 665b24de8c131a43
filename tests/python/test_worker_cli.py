"""python -m tevra.worker end to end, in child interpreters."""
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import _tevra
import tevra

FIXTURE = r'''
import os
import time

def total(a, b=1):
    return {"sum": a + b, "text": "\u00e9"}

def divide():
    return 1 / 0

def exits():
    raise SystemExit(3)

def interrupted():
    raise KeyboardInterrupt

def noisy():
    return None

def big(rows, note):
    return {"rows": len(rows), "last": rows[-1], "note": note}

def nested():
    return helper()

def helper():
    raise LookupError("nothing here")

def block(marker):
    with open(marker, "w"):
        pass
    time.sleep(600)
'''


def child_env():
    paths = [os.path.dirname(_tevra.__file__), os.path.dirname(os.path.dirname(tevra.__file__))]
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    env.pop("PYTHONWARNINGS", None)
    return env


class WorkerCli(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = tmp.name
        # The worker makes its working directory importable, as `python -m` does.
        with open(os.path.join(self.root, "pipeline_fixture.py"), "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(FIXTURE))
        self.out = os.path.join(self.root, "out")

    def command(self, *args):
        return [sys.executable, "-m", "tevra.worker", *args]

    def worker(self, *args):
        return subprocess.run(self.command(*args), cwd=self.root, env=child_env(), capture_output=True)

    def read(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            return f.read().decode("utf-8")

    def test_successful_run(self):
        done = self.worker("pipeline_fixture", "total", self.out, '{"a": 2}')
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"", b""))
        self.assertEqual(self.read("value.json"), '{"sum": 3, "text": "\\u00e9"}')
        self.assertEqual(self.read("result.json"),
                         '{"artifact_format":"json","function_name":"total","module_path":"pipeline_fixture",'
                         '"ok":true,"result_type":"dict","signature":"(a, b=1)","value_path":"%s/value.json"}'
                         % self.out)

    def test_failed_runs_exit_1_silently(self):
        cases = [
            (("pipeline_fixture", "divide"), "ZeroDivisionError: division by zero", "ZeroDivisionError"),
            (("pipeline_fixture", "exits"), "SystemExit: 3", "SystemExit"),
            (("pipeline_fixture", "interrupted"), "KeyboardInterrupt: ", "KeyboardInterrupt"),
            (("pipeline_fixture", "missing"),
             "AttributeError: module 'pipeline_fixture' has no attribute 'missing'", "AttributeError"),
            (("no_such_fixture", "f"), "ModuleNotFoundError: No module named 'no_such_fixture'",
             "ModuleNotFoundError"),
        ]
        for (module, function), error, error_type in cases:
            with self.subTest(function):
                done = self.worker(module, function, self.out)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (1, b"", b""))
                self.assertEqual(self.read("result.json"),
                                 '{"error":"%s","error_type":"%s","ok":false}' % (error, error_type))
        with self.subTest("keyword arguments that are not an object"):
            done = self.worker("pipeline_fixture", "total", self.out, "[1]")
            self.assertEqual((done.returncode, done.stdout, done.stderr), (1, b"", b""))
            self.assertEqual(self.read("result.json"),
                             '{"error":"TypeError: \'list\' object cannot be converted to \'PyDict\'",'
                             '"error_type":"TypeError","ok":false}')

    def test_usage_error(self):
        for args in ((), ("pipeline_fixture",), ("m", "f", "d", "{}", "extra")):
            with self.subTest(args=args):
                done = self.worker(*args)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, b"")
                self.assertIn(b"usage:", done.stderr)
                self.assertFalse(os.path.exists(self.out))

    def test_killed_run_leaves_no_record(self):
        # A finished run first, so that there is an earlier success record to outlive.
        done = self.worker("pipeline_fixture", "noisy", self.out)
        self.assertEqual(done.returncode, 0)
        marker = os.path.join(self.root, "started")
        child = subprocess.Popen(self.command("pipeline_fixture", "block", self.out, '{"marker": "%s"}' % marker),
                                 cwd=self.root, env=child_env(),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 120
            while not os.path.exists(marker):
                if child.poll() is not None or time.monotonic() > deadline:
                    self.fail("the asset function never started")
                time.sleep(0.02)
        finally:
            child.kill()  # SIGKILL: the process gets no chance to write anything more
            child.wait()
        self.assertEqual(child.returncode, -signal.SIGKILL)
        # A reader must not take the killed run for the earlier success.
        self.assertFalse(os.path.exists(os.path.join(self.out, "result.json")))
        self.assertEqual(sorted(os.listdir(self.out)), ["value.json"])
        self.assertEqual(self.read("value.json"), "null")


    def test_kwargs_from_file_and_stdin(self):
        rows = [[i, "x" * 30] for i in range(40_000)]
        text = json.dumps({"rows": rows, "note": "caf\u00e9"}, ensure_ascii=False)
        self.assertGreater(len(text), 1_000_000)
        path = os.path.join(self.root, "kwargs.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        expected = '{"rows": 40000, "last": [39999, "%s"], "note": "caf\\u00e9"}' % ("x" * 30)
        for where, args, stdin in (
            ("file first", ("--kwargs-file", path, "pipeline_fixture", "big", self.out), None),
            ("file last", ("pipeline_fixture", "big", self.out, "--kwargs-file", path), None),
            ("stdin", ("--kwargs-file", "-", "pipeline_fixture", "big", self.out), text.encode("utf-8")),
        ):
            with self.subTest(where):
                done = subprocess.run(self.command(*args), cwd=self.root, env=child_env(),
                                      input=stdin, capture_output=True)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"", b""))
                self.assertEqual(self.read("value.json"), expected)
        with self.subTest("empty file: a text to decode, like an empty KWARGS_JSON"):
            done = subprocess.run(self.command("--kwargs-file", "-", "pipeline_fixture", "big", self.out),
                                  cwd=self.root, env=child_env(), input=b"", capture_output=True)
            self.assertEqual(done.returncode, 1)
            self.assertIn('"error_type":"JSONDecodeError"', self.read("result.json"))

    def test_kwargs_file_errors(self):
        missing = os.path.join(self.root, "missing.json")
        for args, message in (
            (("--kwargs-file", missing, "pipeline_fixture", "total", self.out),
             "python -m tevra.worker: error: argument --kwargs-file: can't open '%s': " % missing),
            (("--kwargs-file", missing, "pipeline_fixture", "total", self.out, "{}"),
             "python -m tevra.worker: error: argument KWARGS_JSON: not allowed with argument --kwargs-file"),
            (("--kwargs-file",), "python -m tevra.worker: error: argument --kwargs-file: expected one argument"),
        ):
            with self.subTest(args=args):
                done = self.worker(*args)
                self.assertEqual((done.returncode, done.stdout), (2, b""))
                self.assertTrue(done.stderr.startswith(b"usage: python -m tevra.worker [-h]"), done.stderr)
                self.assertIn(message.encode(), done.stderr)
                self.assertFalse(os.path.exists(self.out))

    def test_traceback_file(self):
        path = os.path.join(self.root, "traceback.txt")
        done = self.worker("--traceback-file", path, "pipeline_fixture", "nested", self.out)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (1, b"", b""))
        self.assertEqual(self.read("result.json"),
                         '{"error":"LookupError: nothing here","error_type":"LookupError","ok":false}')
        with open(path, encoding="utf-8") as f:
            text = f.read()
        fixture = os.path.join(self.root, "pipeline_fixture.py")
        lines = textwrap.dedent(FIXTURE).splitlines()
        for line, function in (("    return helper()", "nested"), ('    raise LookupError("nothing here")', "helper")):
            self.assertIn('File "%s", line %d, in %s' % (fixture, lines.index(line) + 1, function), text)
        self.assertTrue(text.endswith("LookupError: nothing here\n"), text)
        os.remove(path)
        done = self.worker("--traceback-file", path, "pipeline_fixture", "total", self.out, '{"a": 1}')
        self.assertEqual(done.returncode, 0)
        self.assertFalse(os.path.exists(path))

    def test_ordinary_run_does_not_import_argparse(self):
        done = subprocess.run([sys.executable, "-X", "importtime", *self.command(
            "--kwargs-file", "-", "pipeline_fixture", "total", self.out)[1:]],
            cwd=self.root, env=child_env(), input=b'{"a": 1}', capture_output=True)
        self.assertEqual(done.returncode, 0)
        imported = {line.rsplit("|", 1)[-1].strip() for line in done.stderr.decode().splitlines()}
        self.assertIn("_tevra", imported)
        self.assertNotIn("argparse", imported)

    def test_hand_parsing_agrees_with_argparse(self):
        from tevra import worker

        forms = [
            ["m", "f", "d"], ["m", "f", "d", "{}"], ["m", "f", "d", ""], ["m", "f", "-"],
            ["--kwargs-file", "k", "m", "f", "d"], ["m", "f", "d", "--kwargs-file", "-"],
            ["--traceback-file", "t", "--kwargs-file", "k", "m", "f", "d"],
            ["--traceback-file", "t", "m", "f", "d", "{}"], ["m", "f", "d", "{}", "--traceback-file", "t"],
            ["m", "f", "d", "--traceback-file", "t", "--kwargs-file", "k"],
            # Left to argparse: every one must come back None from the hand parser.
            ["m", "f", "d", "-1"], ["m", "--kwargs-file", "k", "f", "d"], ["m", "f", "d", "--", "x"],
            ["--kwargs-file=k", "m", "f", "d"], ["--kwargs", "k", "m", "f", "d"],
            ["--kwargs-file", "a", "--kwargs-file", "b", "m", "f", "d"], ["m", "f", "d", "j", "extra"],
            ["m", "f"], ["--kwargs-file", "k", "m", "f", "d", "{}"], ["-h"],
            ["m", "f", "d", "--kwargs-file", "k", "j"], ["--kwargs-file", "-x", "m", "f", "d"],
        ]
        fast = 0
        for argv in forms:
            with self.subTest(argv=argv):
                quick = worker._parse_fast(argv)
                if quick is None:
                    continue
                fast += 1
                with contextlib.redirect_stderr(io.StringIO()):
                    self.assertEqual(quick, worker._parse_slow(argv))
        self.assertEqual(fast, 10)


if __name__ == "__main__":
    unittest.main()
