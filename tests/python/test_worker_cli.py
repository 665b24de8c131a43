"""python -m tevra.worker end to end, in child interpreters."""
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


if __name__ == "__main__":
    unittest.main()
