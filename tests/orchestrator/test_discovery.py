"""Discovery: packages, stable keys, and what a module that cannot be imported says."""

from __future__ import annotations

import shutil
import sqlite3

import pytest

from tevra.keys import Unnamed, legacy_keys
from tevra_project import Project

HEAD = "from tevra import asset\n"


@pytest.fixture
def shop(tmp_path):
    p = Project(tmp_path / "one")
    p.write("shop/__init__.py", "")
    p.write("shop/orders.py", HEAD + "@asset()\ndef orders(): return [1, 2]\n")
    p.write("shop/reports/__init__.py", "")
    p.write("shop/reports/report.py", HEAD + "from shop import orders\n"
            "@asset(inputs={'o': orders.orders})\ndef report(o): return sum(o)\n")
    p.write("shop/__main__.py", "raise SystemExit('a script, never imported')\n")
    return p


def test_a_package_is_discovered_with_its_submodules(shop):
    result = shop.run("shop")
    assert result.code == 0, result.err
    assert shop.latest_values() == {"orders": [1, 2], "report": 3}
    listing = shop.tevra("list", "shop").out
    assert "function:   shop.reports.report.report" in listing


def test_keys_are_module_and_function_and_survive_a_move(shop, tmp_path):
    assert shop.run("shop").code == 0
    keys = shop.tevra("runs").out
    assert "shop.orders:orders" in keys and "shop.reports.report:report" in keys
    moved = Project(tmp_path / "two")
    shutil.copytree(shop.root, moved.root)
    status = moved.status("shop")
    assert status == {"orders": ("fresh", None), "report": ("fresh", None)}


def test_an_input_from_a_module_not_scanned_says_so(shop):
    result = shop.tevra("check", "shop.reports")
    assert result.code == 2
    assert "which is no discovered asset (scan the module of " in result.err
    assert "shop/orders.py too, or the package holding it)" in result.err


@pytest.mark.parametrize(
    "files, modules, message",
    [
        ({"bad.py": "x = 1\nraise RuntimeError('broken module')\n"}, ["good", "bad"],
         "tevra: bad.py:2: cannot import bad: RuntimeError: broken module\n"),
        ({"bad.py": "print('at import')\nimport polars_that_is_not_here\n"}, ["bad"],
         "tevra: bad.py:2: cannot import bad: ModuleNotFoundError: "
         "No module named 'polars_that_is_not_here'\n"),
        ({"bad.py": "def f(:\n    pass\n"}, ["bad"],
         "tevra: bad.py:1: cannot import bad: SyntaxError: invalid syntax\n"),
        ({"pkg/__init__.py": "", "pkg/inner.py": "1/0\n"}, ["pkg"],
         "tevra: pkg/inner.py:1: cannot import pkg.inner: ZeroDivisionError: division by zero\n"),
        ({}, ["godo"], "tevra: no module named 'godo' (did you mean 'good'?)\n"),
        ({"pkg/__init__.py": "", "pkg/orders.py": ""}, ["pkg.ordrs"],
         "tevra: no module named 'pkg.ordrs' (did you mean 'pkg.orders'?)\n"),
        ({"pkg/__init__.py": "", "pkg/orders.py": ""}, ["pgk.orders"],
         "tevra: no module named 'pgk.orders' (did you mean 'pkg.orders'?)\n"),
    ],
    ids=["raises", "missing-dependency", "syntax", "in-package", "misspelt", "misspelt-sub",
         "misspelt-package"],
)
def test_a_module_that_cannot_be_imported_fails_the_command(tmp_path, files, modules, message):
    p = Project(tmp_path)
    p.write("good.py", HEAD + "@asset()\ndef a(): return 1\n")
    for name, source in files.items():
        p.write(name, source)
    for command in ("run", "check"):
        result = p.tevra(command, *modules)
        assert result.code == 2
        assert result.err.replace("at import\n", "") == message


def test_what_a_module_prints_at_import_does_not_disturb_discovery(tmp_path):
    p = Project(tmp_path)
    p.write("chatty.py", "print('hello from import')\n" + HEAD + "@asset()\ndef a(): return 1\n")
    result = p.tevra("check", "chatty")
    assert result.code == 0, result.err
    assert "hello from import" in result.err


def test_discovery_ends_as_an_interpreter_does(tmp_path):
    """The discovery child's end still runs a module's atexit handlers and waits for
    its threads."""
    p = Project(tmp_path)
    p.write("m.py", HEAD + (
        "import atexit, threading, time\n"
        "atexit.register(lambda: open('atexit.log', 'w').write('ran'))\n"
        "def late():\n"
        "    time.sleep(0.3)\n"
        "    open('thread.log', 'w').write('done')\n"
        "threading.Thread(target=late).start()\n"
        "@asset()\ndef a(): return 1\n"))
    result = p.tevra("list", "m")
    assert result.code == 0, result.err
    assert [(tmp_path / name).read_text() for name in ("atexit.log", "thread.log")] == [
        "ran", "done"]


def test_a_misspelt_selection_gets_a_suggestion(tmp_path):
    p = Project(tmp_path)
    p.write("m.py", HEAD + "@asset()\ndef orders(): return 1\n")
    result = p.tevra("run", "m", "--select", "ordrs")
    assert result.code == 2
    assert "--select 'ordrs' matches no asset (did you mean 'orders'?)" in result.err


def test_old_path_keys_map_to_module_keys():
    now = [Unnamed("/new/place/shop/orders.py", "shop.orders", "orders"),
           Unnamed("/new/place/shop/sales/__init__.py", "shop.sales", "sales"),
           Unnamed("/new/place/a/report.py", "a.report", "report"),
           Unnamed("/new/place/b/report.py", "b.report", "report")]
    stored = ["/new/place/shop/orders.py:orders",  # the same file
              "/old/place/shop/sales/__init__.py:sales",  # the project moved
              "/old/place/a/report.py:report",
              "/old/place/report.py:report",  # matches no module path
              "/old/place/shop/orders.py:gone",  # no such function now
              "named", "shop.orders:orders"]
    assert legacy_keys(stored, now) == {
        "/new/place/shop/orders.py:orders": "shop.orders:orders",
        "/old/place/shop/sales/__init__.py:sales": "shop.sales:sales",
        "/old/place/a/report.py:report": "a.report:report",
    }


def test_a_store_from_before_keeps_its_history(shop):
    """Path keys, runs without attempts and no code parts: what older stores hold."""
    assert shop.run("shop").code == 0
    db = sqlite3.connect(shop.root / ".tevra" / "runs.db")
    for key, path in (("shop.orders:orders", "/elsewhere/shop/orders.py:orders"),
                      ("shop.reports.report:report",
                       str(shop.root / "shop/reports/report.py") + ":report")):
        db.execute("UPDATE runs SET asset = ? WHERE asset = ?", (path, key))
        db.execute("UPDATE latest SET asset = ? WHERE asset = ?", (path, key))
    db.execute("ALTER TABLE runs DROP COLUMN attempt")
    db.execute("DROP TABLE code_parts")
    db.commit()
    db.close()
    assert "  orders.py:orders" in shop.tevra("runs").out
    assert shop.status("shop") == {"orders": ("fresh", None), "report": ("fresh", None)}
    runs = shop.tevra("runs").out
    assert "shop.orders:orders" in runs and "/elsewhere" not in runs
    assert "tevra: 2 cached" in shop.run("shop").out


THREADS = HEAD + """\
import json, os, sys
# Where this module is imported (discovery, the worker), what it was given.
with open(f"threads-{os.getpid()}.json", "w") as f:
    json.dump([sys.argv[0], os.environ.get("OPENBLAS_NUM_THREADS"),
               os.environ.get("OMP_NUM_THREADS")], f)

@asset()
def a():
    return [os.environ.get("OPENBLAS_NUM_THREADS"), os.environ.get("OMP_NUM_THREADS")]
"""


@pytest.mark.parametrize("given", [None, "3"])
def test_discovery_alone_keeps_numerical_libraries_to_one_thread(tmp_path, monkeypatch, given):
    import json

    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        monkeypatch.delenv(name, raising=False)
    if given is not None:
        monkeypatch.setenv("OMP_NUM_THREADS", given)
    p = Project(tmp_path)
    p.write("m.py", THREADS)
    assert p.run("m").code == 0
    seen = [json.loads(f.read_text()) for f in tmp_path.glob("threads-*.json")]
    assert [rest for where, *rest in seen if "scan" in where] == [["1", given or "1"]]
    # The runs have the machine to themselves, as the user set it up.
    assert p.latest_values()["a"] == [None, given]
