"""tools/setup-venv returns at once when nothing it builds from changed, and the README's
Install commands work where ``python3.13`` is a pyenv shim that points nowhere."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# What tools/setup-venv builds from, copied so that a test may change it.
BUILT_FROM = ["pyproject.toml", "CMakeLists.txt", "cmake", "src", "tools", "tests/CMakeLists.txt",
              "tests/json", "tests/fuzz", "README.md"]
MODULE = glob.glob(os.path.join(ROOT, "python", "_tevra*.so"))


class SetupVenv(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.root = os.path.join(self.tmp, "tevra")
        for name in BUILT_FROM:
            source, target = os.path.join(ROOT, name), os.path.join(self.root, name)
            if os.path.isdir(source):
                shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))
            else:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy(source, target)
        for folder in ("python", "orchestrator"):
            os.makedirs(os.path.join(self.root, "tests", folder))
        self.touch("tests/python/test_one.py")
        self.touch("python/tevra/cli.py")
        self.venv = os.path.join(self.tmp, "venv")
        self.env = dict(os.environ, TEVRA_VENV=self.venv,
                        TEVRA_BUILD_DIR=os.path.join(self.tmp, "build"))

    def touch(self, name, text=""):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "a") as f:
            f.write(text)

    def setup_venv(self, *args):
        return subprocess.run([os.path.join(self.root, "tools", "setup-venv"), *args],
                              env=self.env, capture_output=True, text=True, timeout=120)

    def stamp(self, *extras):
        out = self.setup_venv("--stamp", *extras)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertRegex(out.stdout, r"^[0-9a-f]{64}\n$")
        return out.stdout.strip()

    def test_the_stamp_follows_what_the_build_reads(self):
        first = self.stamp()
        self.assertEqual(self.stamp(), first)
        self.assertNotEqual(self.stamp("dask"), first)
        # Not built from: the README, the package's Python code, a test file's text.
        self.touch("README.md", "\nmore\n")
        self.touch("python/tevra/cli.py", "# edited\n")
        self.touch("tests/python/test_one.py", "# edited\n")
        self.assertEqual(self.stamp(), first)
        for name, text in (("src/json/decimal.hpp", "// edited\n"), ("pyproject.toml", "\n"),
                           ("tests/orchestrator/test_new.py", ""), ("python/tevra/new.py", "")):
            with self.subTest(changed=name):
                before = self.stamp()
                self.touch(name, text)
                self.assertNotEqual(self.stamp(), before)

    @unittest.skipUnless(MODULE, "needs the built engine module in python/")
    def test_nothing_changed_means_nothing_done(self):
        # A venv without pip: any install attempt would fail.
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", self.venv], check=True,
                       timeout=120)
        os.makedirs(os.path.join(self.root, "python"), exist_ok=True)
        shutil.copy(MODULE[0], os.path.join(self.root, "python"))
        with open(os.path.join(self.venv, ".tevra-setup-stamp"), "w") as f:
            f.write(self.stamp() + "\n")
        out = self.setup_venv()
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, f"setup-venv: {self.venv} is up to date (nothing it is "
                                     "built from changed)\n")


class ReadmeInstall(unittest.TestCase):
    def test_install_commands_run_where_python313_is_a_broken_shim(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            install = f.read().split("## Install", 1)[1]
        block = re.search(r"```sh\n(.*?)```", install, re.S).group(1)
        # The commands up to the install itself (which builds the engine).
        lines = [line.split("  #")[0].strip() for line in block.splitlines()]
        setup = [line.replace("/path/to/tevra", ROOT) for line in lines[: next(
            i for i, line in enumerate(lines) if "pip install" in line)]]
        with tempfile.TemporaryDirectory() as tmp:
            shims = os.path.join(tmp, "shims")
            os.mkdir(shims)
            for name in ("python3.13", "python3"):
                path = os.path.join(shims, name)
                with open(path, "w") as f:
                    f.write("#!/bin/sh\necho \"pyenv: $(basename $0): command not found\" >&2\n"
                            "exit 127\n")
                os.chmod(path, 0o755)
            # The interpreter is found where it is installed: pyenv's versions, or the
            # system's folders.
            real = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
            pyenv = re.match(r"(.*)/versions/[^/]+/bin/", real)
            if not pyenv and not real.startswith(("/usr/bin/", "/usr/local/bin/")):
                self.skipTest(f"{real} is neither pyenv's nor the system's")
            out = subprocess.run(["bash", "-ec", "\n".join(setup)], cwd=tmp, timeout=300,
                                 capture_output=True, text=True,
                                 env={"PATH": f"{shims}:/usr/bin:/bin", "HOME": tmp,
                                      "PYENV_ROOT": pyenv.group(1) if pyenv
                                      else os.path.join(tmp, "no-pyenv")})
            self.assertEqual(out.returncode, 0, out.stderr)
            check = subprocess.run([os.path.join(tmp, ".venv", "bin", "python"), "-c",
                                    "import sys; print(sys.version_info >= (3, 13))"],
                                   capture_output=True, text=True, timeout=60)
            self.assertEqual(check.stdout, "True\n")


if __name__ == "__main__":
    unittest.main()
