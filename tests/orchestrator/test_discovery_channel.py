"""What user modules print while discovery imports them goes to standard error, and
never into the inspection document, which comes through a channel of its own."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

from tevra_project import Project

ASSET = "from tevra import asset\n\n@asset()\ndef a():\n    return 1\n"


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


@pytest.mark.parametrize("noise, shown", [
    ('print("hi")\n', "hi\n"),
    ('import sys\nsys.stdout.write("no line break")\n', "no line break\n"),
    ('import os\nos.write(1, b"descriptor 1\\n")\nos.write(2, b"descriptor 2\\n")\n',
     "descriptor 1\ndescriptor 2\n"),
    ('import subprocess, sys\nsubprocess.run([sys.executable, "-c", "print(\'child\')"])\n',
     "child\n"),
    ('import sys\nprint("{\\"assets\\": []}")\nsys.stderr.write("warned\\n")\n',
     '{"assets": []}\nwarned\n'),
])
def test_what_modules_print_at_import_goes_to_stderr(project, noise, shown):
    project.write("m.py", noise + ASSET)
    listing = project.tevra("list", "m")
    assert listing.code == 0, listing.err
    assert listing.out.startswith("a\n")
    assert listing.err == shown
    result = project.run("m")
    assert result.code == 0
    assert result.err.startswith(shown)
    assert project.latest_values() == {"a": 1}


def test_a_refused_module_is_reported_after_text_without_a_line_break(project):
    project.write("m.py", 'import sys\nsys.stdout.write("partial")\nsys.stdout.flush()\n' + ASSET)
    result = project.tevra("list", "m", "missing_module")
    assert result.code == 2
    assert result.err == "partial\ntevra: no module named 'missing_module'\n"


def test_the_inspect_command_still_prints_its_document(project):
    project.write("m.py", ASSET)
    proc = subprocess.run([sys.executable, "-m", "tevra.inspect", "m"], cwd=project.root,
                          env=project.env(), capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    [record] = json.loads(proc.stdout)["assets"]
    assert record["function_name"] == "a"


@pytest.mark.parametrize("value, shown, detail", [
    ('"bad\\ud800x"', "'bad\\ud800x'", "lone leading surrogate"),
    ('float("nan")', "nan", "expected value"),
    ("10 ** 400", "1" + "0" * 400, "number out of range"),
])
def test_a_refused_partition_value_is_named_with_the_users_line(project, value, shown, detail):
    project.write("m.py", "from tevra import asset, partitions\n"
                  f'P = partitions(["ok", {value}])\n' + ASSET)
    result = project.tevra("list", "m")
    assert result.code == 2
    assert result.err.startswith(f"tevra: m.py:2: cannot import m: ValueError: invalid partition "
                                 f"value {shown} (item 1): {detail}"), result.err
