"""The history commands' names and filters, the version, and hints for missing extras."""

from __future__ import annotations

import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

from tevra import install
from tevra_project import PYTHON_DIR, Project

HEAD = "from tevra import asset\n"


@pytest.fixture
def two_reports(tmp_path):
    p = Project(tmp_path)
    for package, value in (("a", 1), ("b", 2)):
        p.write(f"{package}/__init__.py", "")
        p.write(f"{package}/report.py", HEAD + f"@asset()\ndef report(): return {value}\n")
    assert p.run("a", "b").code == 0
    return p


@pytest.mark.parametrize("command", [["show", "report"], ["runs", "--asset", "report"]])
def test_a_name_of_several_assets_is_refused_with_them_listed(two_reports, command):
    result = two_reports.tevra(*command)
    assert result.code == 2
    assert result.err == ("tevra: 'report' names 2 assets: a.report:report, b.report:report; "
                          "give one of these keys\n")
    shown = two_reports.tevra("show", "b.report:report")
    assert shown.code == 0 and "asset         b.report:report" in shown.out


def test_runs_hide_the_cached_records_of_older_stores(two_reports):
    db = sqlite3.connect(two_reports.root / ".tevra" / "runs.db")
    db.execute("INSERT INTO runs (invocation, asset, partition, status, cached_from) "
               "VALUES (1, 'a.report:report', '', 'cached', 1)")
    db.commit()
    db.close()
    assert "cached" not in two_reports.tevra("runs").out
    assert "cached" in two_reports.tevra("runs", "--all").out
    assert "cached" in two_reports.tevra("runs", "--status", "cached").out


@pytest.mark.parametrize("spelling", ["upstream_failed", "upstream-failed", "upstream failed",
                                      "Upstream-Failed"])
def test_status_names_take_underscores_and_hyphens(tmp_path, spelling):
    p = Project(tmp_path)
    p.write("m.py", HEAD + "@asset()\ndef a(): raise ValueError('no')\n"
            "@asset(inputs={'x': a})\ndef b(x): return x\n")
    assert p.run("m").code == 1
    result = p.tevra("runs", "--status", spelling)
    assert result.code == 0, result.err
    assert [line.split()[1:3] for line in result.out.splitlines()[1:]] == [["upstream", "failed"]]


def test_version(tmp_path):
    result = Project(tmp_path).tevra("--version")
    assert result.code == 0
    # As this environment has tevra: installed (the development venv) or from the checkout.
    assert result.out == install.version() + "\n"
    assert result.out.startswith("tevra ")


# How pip records an install (direct_url.json), and the hint that repeats it.
INSTALLS = [
    (None, "tevra 0.1.0, Python", "{python} -m pip install 'tevra[dask]'"),
    ({"url": "file:///src/tevra", "dir_info": {"editable": True}},
     "tevra 0.1.0 (editable, from /src/tevra)", "{python} -m pip install -e '/src/tevra[dask]'"),
    ({"url": "file:///src/my%20tevra", "dir_info": {}},
     "tevra 0.1.0 (from /src/my tevra)", "{python} -m pip install '/src/my tevra[dask]'"),
    ({"url": "https://example.org/tevra-0.1.0.tar.gz", "archive_info": {}},
     "tevra 0.1.0 (from https://example.org/tevra-0.1.0.tar.gz)",
     "{python} -m pip install 'tevra[dask] @ https://example.org/tevra-0.1.0.tar.gz'"),
]


@pytest.mark.parametrize("direct, version, hint", INSTALLS,
                         ids=["index", "editable", "folder", "url"])
def test_the_missing_extra_hint_follows_the_install(tmp_path, direct, version, hint):
    # An installed distribution's record, as pip leaves it beside the package.
    info = tmp_path / "site" / "tevra-0.1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: tevra\nVersion: 0.1.0\n")
    if direct is not None:
        (info / "direct_url.json").write_text(json.dumps(direct))
    code = ("import sys; sys.modules['distributed'] = None\n"
            "from tevra import install\n"
            "from tevra.executors.dask import DaskUnavailable\n"
            "print(install.version()); print(DaskUnavailable())\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={"PYTHONPATH": f"{PYTHON_DIR}:{tmp_path / 'site'}",
                               "PATH": "/usr/bin:/bin"}, timeout=60)
    assert proc.returncode == 0, proc.stderr
    shown_version, message = proc.stdout.splitlines()
    assert shown_version.startswith(version)
    assert message == ("the Dask executor needs the 'distributed' package; install it with: "
                       + hint.format(python=sys.executable))


def test_a_missing_extra_is_one_line_with_the_hint_for_this_install(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", HEAD + "@asset()\ndef a(): return 1\n")
    code = ("import sys; sys.modules['starlette'] = None\n"
            "from tevra.cli import main\nsys.exit(main(['ui', 'm']))\n")
    proc = subprocess.run([sys.executable, "-c", code], cwd=p.root, env=p.env(), text=True,
                          capture_output=True, timeout=60)
    assert proc.returncode == 2
    packages = ["starlette>=0.40,<2", "uvicorn>=0.30,<1", "jinja2>=3.1,<4", "pygments>=2.17,<3"]
    assert proc.stderr == ("tevra: tevra ui needs the ui extra (starlette.applications is missing): "
                           + install.extra_hint("ui", packages) + "\n")
    assert Path(sys.executable).exists()
