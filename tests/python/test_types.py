"""The engine's type stubs: mypy in strict mode over them and the bundled example, and
stubtest against the built module, so stubs and module cannot drift apart."""
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CONFIG = os.path.join(ROOT, "pyproject.toml")
STUB = os.path.join(ROOT, "python", "_tevra.pyi")
HAVE_MYPY = importlib.util.find_spec("mypy") is not None
# The development venv's suite must type-check; elsewhere (a sanitizer build's bare
# interpreter) the check is skipped when mypy is not installed.
REQUIRED = os.environ.get("TEVRA_TYPECHECK") == "required"

# Each line marked "# E: code" must draw exactly that error (notes aside); "# R: text" a
# revealed type containing text. Any other error or note fails the test.
PROBE = '''\
from tevra import AssetWrapper, Partitions, asset, partitions

@asset()
def raw(x: int, *, scale: float = 1.0) -> list[float]:
    return [x * scale]

@asset(name="summary", inputs={"values": raw, "other": "file.py:other"},
       partitions={"region": partitions(["north", 1, None])})
def summary(values: list[float], region: str) -> dict[str, float]:
    return {region: sum(values)}

class Holder:
    method = raw

reveal_type(raw(1))  # R: list[float]
reveal_type(summary)  # R: AssetWrapper[[values: list[float], region: str], dict[str, float]]
reveal_type(Holder().method)  # R: AssetWrapper[[x: int, *, scale: float =], list[float]]
reveal_type(raw.__tevra_original__)  # R: def (x: int, *, scale: float =) -> list[float]
reveal_type(raw.__tevra_metadata__["partitions"])  # R: dict[str, TypedDict(
raw("1")  # E: arg-type
raw(1, scale="x")  # E: arg-type
raw(1, 2.0)  # E: call-arg
summary([1.0])  # E: call-arg
name: int = raw.__name__  # E: assignment
asset(name=1)  # E: arg-type
asset(inputs={"a": 3})  # E: dict-item
asset(partitions={"a": ["x"]})  # E: dict-item
partitions(("a", "b"))  # E: arg-type
Partitions.x  # E: attr-defined
wrapped: AssetWrapper[[str], list[float]] = asset()(raw.__tevra_original__)  # E: arg-type
'''


def run(args, **kwargs):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=600,
                          cwd=ROOT, **kwargs)


@unittest.skipUnless(HAVE_MYPY or REQUIRED, "mypy is not installed (pip install -e .[test])")
class Types(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(tmp.cleanup)
        cls.tmp = tmp.name
        cls.cache = os.path.join(tmp.name, "mypy-cache")

    def mypy(self, *args, config=CONFIG):
        return run(["mypy", "--config-file", config, "--cache-dir", self.cache, "--no-error-summary",
                    "--show-error-codes", "--hide-error-context", *args])

    def test_stubs_and_example_pass_strict(self):
        # The whole package, the orchestrator included, and the example.
        out = self.mypy(STUB, os.path.join(ROOT, "python", "tevra"),
                        os.path.join(ROOT, "examples", "pipeline"))
        self.assertEqual((out.returncode, out.stdout, out.stderr), (0, "", ""))

    def test_decorator_keeps_the_function_signature(self):
        probe = os.path.join(self.tmp, "probe.py")
        with open(probe, "w", encoding="utf-8") as f:
            f.write(PROBE)
        out = self.mypy(probe)
        self.assertEqual(out.returncode, 1, out.stdout + out.stderr)
        found = {}
        for line in out.stdout.splitlines():
            m = re.match(r".*probe\.py:(\d+): (error|note): (.*)", line)
            self.assertIsNotNone(m, line)
            found.setdefault(int(m[1]), []).append((m[2], m[3]))
        for number, text in enumerate(PROBE.splitlines(), start=1):
            with self.subTest(line=text):
                got = found.pop(number, [])
                if "# E: " in text:
                    code = text.split("# E: ")[1]
                    errors = [message for kind, message in got if kind == "error"]
                    self.assertEqual(len(errors), 1, got)
                    self.assertTrue(errors[0].endswith(f"[{code}]"), got)
                elif "# R: " in text:
                    self.assertEqual(len(got), 1, got)
                    kind, message = got[0]
                    self.assertEqual(kind, "note")
                    self.assertIn(text.split("# R: ")[1], message.replace("_tevra.", ""))
                else:
                    self.assertEqual(got, [])
        self.assertEqual(found, {})

    def test_stubtest_against_the_built_module(self):
        out = run(["mypy.stubtest", "_tevra", "--mypy-config-file", CONFIG])
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def test_stubtest_finds_drift(self):
        with open(STUB, encoding="utf-8") as f:
            stub = f.read()
        drifts = {
            # a parameter renamed in the stub only
            "renamed": ("def partitions(values: list[Any])", "def partitions(items: list[Any])",
                        "_tevra.partitions"),
            # a function the module has and the stub lacks
            "missing": ("def inspect_modules(modules: Sequence[str]) -> str:\n", "def _gone(modules: Sequence[str]) -> str:\n",
                        "_tevra.inspect_modules"),
            # a read-only attribute described as a method
            "kind": ("    @property\n    def __tevra_kind__(self) -> str: ...",
                     "    def __tevra_kind__(self) -> str: ...", "_tevra.AssetWrapper.__tevra_kind__"),
        }
        for name, (old, new, reported) in drifts.items():
            with self.subTest(name):
                self.assertIn(old, stub)
                folder = os.path.join(self.tmp, name)
                os.makedirs(folder)
                with open(os.path.join(folder, "_tevra.pyi"), "w", encoding="utf-8") as f:
                    f.write(stub.replace(old, new))
                config = os.path.join(folder, "mypy.ini")
                with open(config, "w", encoding="utf-8") as f:
                    f.write(textwrap.dedent(f"""\
                        [mypy]
                        mypy_path = {folder}
                        """))
                out = run(["mypy.stubtest", "_tevra", "--mypy-config-file", config])
                self.assertEqual(out.returncode, 1, out.stdout + out.stderr)
                self.assertIn(f"error: {reported} ", out.stdout)


if __name__ == "__main__":
    unittest.main()
