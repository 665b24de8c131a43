"""python -m tevra.inspect end to end, in separate interpreter processes."""
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import _tevra
import tevra

from discovery_fixtures import VERSION, document, record, unique, write_module

BODY = '\n@asset()\ndef daily_totals() -> dict:\n    return {"n": 1}\n'
FUNCTION = '@asset()\ndef daily_totals() -> dict:\n    return {"n": 1}\n'
HERE = os.path.dirname(os.path.abspath(__file__))


class Cli(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = os.path.realpath(tmp.name)
        path = [os.path.dirname(_tevra.__file__), os.path.dirname(os.path.dirname(tevra.__file__)), HERE]
        self.env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), PYTHONDONTWRITEBYTECODE="1")
        # The document is UTF-8 whatever the locale.
        self.env.pop("PYTHONIOENCODING", None)
        self.env["LC_ALL"] = "C"

    def module(self, stem, source):
        name = unique(stem)
        return name, os.path.realpath(write_module(self.dir, name, source))

    def run_python(self, *args):
        return subprocess.run([sys.executable, *args], cwd=self.dir, env=self.env, capture_output=True,
                              timeout=120)

    def test_document_on_stdout(self):
        source = "from handmade_assets import asset\n# résumé ☃\n" + BODY
        name, path = self.module("sales", source)
        result = self.run_python("-m", "tevra.inspect", name)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        expected = document(record(file=path, function="daily_totals", function_source=FUNCTION, module=name,
                                   module_source=source, returns="dict"))
        self.assertEqual(result.stdout, expected.encode("utf-8") + b"\n")
        self.assertIn('"python_version":"' + VERSION + '"', result.stdout.decode("utf-8"))

    def test_skipped_modules(self):
        exits, _ = self.module("exits", "raise SystemExit(3)\n")
        interrupted, _ = self.module("interrupted", "raise KeyboardInterrupt('stop')\n")
        later, _ = self.module("later", "import os\nos.write(2, b'later module imported\\n')\n")
        good, path = self.module("good", "from handmade_assets import asset\n" + BODY)
        missing = unique("nosuch")
        result = self.run_python("-m", "tevra.inspect", missing, exits, interrupted, later, good)
        self.assertEqual(result.returncode, 0, result.stderr)
        # Each line is out before the next module is even imported.
        self.assertEqual(result.stderr.decode("utf-8"),
                         f"tevra: skipping module '{missing}': ModuleNotFoundError: No module named '{missing}'\n"
                         f"tevra: skipping module '{exits}': SystemExit: 3\n"
                         f"tevra: skipping module '{interrupted}': KeyboardInterrupt: stop\n"
                         "later module imported\n")
        self.assertEqual(json.loads(result.stdout)["assets"][0]["file_path"], path)
        self.assertEqual(result.stdout.count(b"\n"), 1)

    def test_skip_line_bypasses_sys_stderr(self):
        exits, _ = self.module("exits", "raise SystemExit(3)\n")
        good, _ = self.module("good", "from handmade_assets import asset\n" + BODY)
        missing = unique("nosuch")
        out_file = os.path.join(self.dir, "document.json")
        script = textwrap.dedent(f"""
            import io, sys
            import _tevra
            sys.stderr = captured = io.StringIO()
            sys.stdout = io.StringIO()
            text = _tevra.inspect_modules([{missing!r}, {exits!r}, {good!r}])
            sys.stdout.flush()
            with open({out_file!r}, "w", encoding="utf-8") as f:
                f.write(repr((text, captured.getvalue(), sys.stdout.getvalue())))
        """)
        result = self.run_python("-c", script)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.stderr.decode("utf-8"),
                         f"tevra: skipping module '{missing}': ModuleNotFoundError: No module named '{missing}'\n"
                         f"tevra: skipping module '{exits}': SystemExit: 3\n")
        with open(out_file, encoding="utf-8") as f:
            text, through_sys_stderr, through_sys_stdout = eval(f.read())
        self.assertEqual((through_sys_stderr, through_sys_stdout), ("", ""))
        self.assertEqual(len(json.loads(text)["assets"]), 1)

    def test_failure_prints_no_document(self):
        good, _ = self.module("good", "from handmade_assets import asset\n" + BODY)
        nan, _ = self.module("nan", "class Thing:\n    __tevra_kind__ = 'asset'\n"
                                    "    __tevra_metadata__ = float('nan')\n")
        for modules, error in (([good, "sys"], b"TypeError: <module 'sys' (built-in)> is a built-in module"),
                               ([good, nan], b"RuntimeError: JSON parse error: expected value at line 1 column ")):
            with self.subTest(modules=modules):
                result = self.run_python("-m", "tevra.inspect", *modules)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(result.stdout, b"")
                self.assertIn(error, result.stderr)


if __name__ == "__main__":
    unittest.main()
