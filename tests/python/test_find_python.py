"""tools/find-python, the one place the build and the scripts find CPython 3.13+: which
interpreter it picks, what it passes over, and its message when there is none."""
import glob
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIND = os.path.join(ROOT, "tools", "find-python")
# The interpreter itself, not a virtual environment's link to it.
REAL = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
# Directories the script always looks in; on a machine with a system 3.13 there, a search
# that finds "nothing" cannot be staged.
SYSTEM_313 = [p for d in ("/usr/local/bin", "/usr/bin") for p in glob.glob(f"{d}/python3.1[3-9]")]
OLD = next((p for p in ("/usr/bin/python3", "/bin/python3") if os.path.exists(p)), None)


def old_enough(path):
    out = subprocess.run([path, "-c", "import sys; print(sys.version_info >= (3, 13))"],
                         capture_output=True, text=True)
    return out.stdout.strip() == "False"


class FindPython(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.bin = os.path.join(self.tmp, "bin")
        os.mkdir(self.bin)
        self.pyenv = os.path.join(self.tmp, "pyenv")

    def script(self, path, body):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)
        return path

    def link(self, path, target):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)
        return path

    def find(self, *args, **env):
        base = {"PATH": f"{self.bin}:/usr/bin:/bin", "HOME": self.tmp, "PYENV_ROOT": self.pyenv}
        base.update(env)
        return subprocess.run([FIND, *args], env=base, capture_output=True, text=True, timeout=120)

    def test_choice(self):
        # (name, set-up, expected pick relative to the temporary directory)
        def pyenv_only():
            return self.link(f"{self.pyenv}/versions/3.13.9/bin/python3", REAL)

        def newest_pyenv_that_runs():
            self.link(f"{self.pyenv}/versions/3.13.2/bin/python3", REAL)
            # Newer by number, but broken: passed over.
            self.script(f"{self.pyenv}/versions/3.14.1/bin/python3", "exit 1")
            if OLD:
                self.link(f"{self.pyenv}/versions/3.9.0/bin/python3", OLD)
            return f"{self.pyenv}/versions/3.13.2/bin/python3"

        def path_before_pyenv():
            self.link(f"{self.pyenv}/versions/3.13.9/bin/python3", REAL)
            return self.link(f"{self.bin}/python3.13", REAL)

        def failing_shim_on_path():
            # A pyenv shim for a version that is not selected fails when run.
            self.script(f"{self.bin}/python3.13", "echo 'pyenv: python3.13: command not found' >&2; exit 127")
            return self.link(f"{self.pyenv}/versions/3.13.0/bin/python3", REAL)

        cases = {"pyenv only": pyenv_only, "newest pyenv that runs": newest_pyenv_that_runs,
                 "PATH before pyenv": path_before_pyenv, "failing shim on PATH": failing_shim_on_path}
        for name, arrange in cases.items():
            with self.subTest(name):
                self.setUp()
                expected = arrange()
                out = self.find()
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout, expected + "\n")

    @unittest.skipUnless(OLD and old_enough(OLD), "needs an interpreter older than 3.13")
    def test_older_interpreter_named_by_the_user_is_refused(self):
        self.link(f"{self.pyenv}/versions/3.13.9/bin/python3", REAL)
        out = self.find(TEVRA_PYTHON=OLD)
        self.assertEqual(out.returncode, 1)
        self.assertEqual(out.stdout, "")
        self.assertIn(f"TEVRA_PYTHON={OLD} is not CPython 3.13+", out.stderr)

    @unittest.skipIf(SYSTEM_313, f"a system interpreter is always found: {SYSTEM_313}")
    def test_none_found_says_where_it_looked(self):
        if OLD:
            self.link(f"{self.pyenv}/versions/3.11.0/bin/python3", OLD)
        for args, quiet in (((), False), (("--quiet",), True)):
            with self.subTest(quiet=quiet):
                out = self.find(*args)
                self.assertEqual(out.returncode, 1)
                self.assertEqual(out.stdout, "")
                if quiet:
                    self.assertEqual(out.stderr, "")
                else:
                    self.assertIn("no CPython 3.13 or later found", out.stderr)
                    self.assertIn(f"{self.pyenv}/versions/3.*", out.stderr)
                    self.assertIn("TEVRA_PYTHON=", out.stderr)

    @unittest.skipIf(SYSTEM_313, f"a system interpreter is always found: {SYSTEM_313}")
    def test_setup_stops_with_the_message(self):
        out = subprocess.run([os.path.join(ROOT, "tools", "setup-venv")], capture_output=True, text=True,
                             timeout=120, env={"PATH": "/usr/bin:/bin", "HOME": self.tmp, "PYENV_ROOT": self.pyenv,
                                               "TEVRA_VENV": os.path.join(self.tmp, "venv")})
        self.assertEqual(out.returncode, 1)
        self.assertIn("no CPython 3.13 or later found", out.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "venv")))


if __name__ == "__main__":
    unittest.main()
