"""Code versions follow the code an asset reaches, across the project's modules."""

from __future__ import annotations

import pytest

from tevra.codeversion import changes
from tevra.discover import inspect
from tevra_project import Project

UTIL = '''\
import json

RATE = 0.2
UNUSED = 1


def deeper(x):
    return x + 1


def helper(x):
    """Scales x."""
    return deeper(x) * RATE


def unrelated():
    return "not reached"


class Model:
    def score(self):
        return helper(2)
'''

ORDERS = '''\
from tevra import asset
from shop.util import helper
from shop import util
import shop.util
import rich


def local_helper(x):
    return x


def other_local():
    return 0


@asset()
def base() -> int:
    return 1


@asset(inputs={"b": base})
def orders(b: int) -> list[object]:
    # read the orders
    return [helper(b), util.Model().score(), local_helper(3), rich.__name__]


@asset()
def lazily() -> float:
    import shop.late as late
    return late.value()
'''

LATE = '''\
def value():
    return 1.5


def other():
    return 2
'''


@pytest.fixture
def project(tmp_path):
    p = Project(tmp_path)
    p.write("shop/__init__.py", "")
    p.write("shop/util.py", UTIL)
    p.write("shop/orders.py", ORDERS)
    p.write("shop/late.py", LATE)
    return p


def parts(project: Project) -> dict[str, dict[str, str]]:
    found = inspect(["shop"], str(project.root))
    return {r["function_name"]: r["code_parts"] for r in found.records}


def edit(project: Project, name: str, old: str, new: str) -> None:
    path = project.root / name
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


def test_parts_name_what_the_function_reaches(project):
    got = parts(project)["orders"]
    assert set(got) == {"python", "shop.orders:orders", "shop.orders:local_helper",
                        "shop.util:helper", "shop.util:deeper", "shop.util:RATE",
                        "shop.util:Model", "dist:rich"}
    assert got["dist:rich"].count(".") >= 1  # the installed version
    assert set(parts(project)["lazily"]) == {"python", "shop.orders:lazily", "shop.late:value"}


@pytest.mark.parametrize(
    "file, old, new, stale",
    [
        ("shop/util.py", "return deeper(x) * RATE", "return deeper(x) * RATE * 2", {"orders"}),
        ("shop/util.py", "return x + 1", "return x + 2", {"orders"}),
        ("shop/util.py", "RATE = 0.2", "RATE = 0.3", {"orders"}),
        ("shop/util.py", "return helper(2)", "return helper(3)", {"orders"}),
        ("shop/orders.py", "    return x\n", "    return -x\n", {"orders"}),
        ("shop/late.py", "return 1.5", "return 2.5", {"lazily"}),
        ("shop/orders.py", "return [helper(b)", "return [helper(b + 1)", {"orders"}),
        # Nothing the assets reach:
        ("shop/util.py", 'return "not reached"', 'return "still not"', set()),
        ("shop/util.py", "UNUSED = 1", "UNUSED = 2", set()),
        ("shop/orders.py", "return 0", "return 10", set()),
        ("shop/late.py", "return 2", "return 3", set()),
        # Comments, docstrings and layout:
        ("shop/util.py", '"""Scales x."""', '"""Scales x by the rate."""', set()),
        ("shop/orders.py", "# read the orders", "# read every order", set()),
        ("shop/util.py", "def helper(x):", "# a note\n\n\ndef helper(x):  # scales", set()),
        # An upstream's code is its own: its value reaches the downstream as data.
        ("shop/orders.py", "return 1\n", "return 2\n", {"base"}),
    ],
    ids=["helper", "transitive", "constant", "method", "same-module", "local-import",
         "own-body", "unrelated-function", "unrelated-constant", "unrelated-same-module",
         "unrelated-other-module", "docstring", "comment", "blank-lines", "upstream"],
)
def test_an_edit_changes_the_assets_that_reach_it(project, file, old, new, stale):
    before = parts(project)
    edit(project, file, old, new)
    after = parts(project)
    assert {name for name in before if before[name] != after[name]} == stale


def test_status_follows_a_helper_in_another_module(project):
    assert project.run("shop").code == 0
    edit(project, "shop/util.py", "return deeper(x) * RATE", "return deeper(x) * RATE / 2")
    edit(project, "shop/orders.py", "return 0", "return 1")  # reached by no asset
    status = project.status("shop")
    assert status["orders"] == ("stale", "code changed")
    assert status["base"][0] == status["lazily"][0] == "fresh"


def test_changes_say_what_differs():
    old = {"python": "3.13", "m:f": "a", "m:g": "b", "dist:rich": "14.0.0", "m": "x"}
    new = {"python": "3.14", "m:f": "a", "m:h": "c", "dist:rich": "15.0.0", "m": "y"}
    assert changes(old, new) == [
        "distribution rich changed from 14.0.0 to 15.0.0",
        "module m changed",
        "m:g is no longer used",
        "m:h is newly used",
        "Python changed from 3.13 to 3.14",
    ]


def test_status_why_names_the_parts_that_changed(project):
    assert project.run("shop").code == 0
    edit(project, "shop/util.py", "return x + 1", "return x + 2")
    edit(project, "shop/util.py", "RATE = 0.2", "RATE = 0.25")
    edit(project, "shop/orders.py", "import rich\n", "import rich\nimport sqlite3\n")
    result = project.tevra("status", "shop", "--why", "orders")
    assert result.code == 0, result.err
    assert result.out == (
        "orders (shop.orders:orders)\n"
        "  1 partition last succeeded with other code; since then:\n"
        "    shop.util:RATE changed\n"
        "    shop.util:deeper changed\n"
        "  stale  -  (code changed)\n"
        "tevra: 1 stale\n"
    )
    fresh = project.tevra("status", "shop", "--why", "base").out
    assert "1 partition last succeeded with the code as it is now" in fresh
    assert fresh.endswith("tevra: 1 fresh\n")


def test_distributions_are_found_as_the_standard_library_maps_them(tmp_path, monkeypatch):
    """The module -> distribution lookup reads only what can name the module; it must
    give what importlib.metadata.packages_distributions() gives, for every installed
    name and for file lists it parses in unusual ways."""
    import importlib.metadata

    from tevra import scan

    def dist(name: str, installed: list[str], **files: str) -> None:
        info = tmp_path / f"{name.replace('-', '_')}-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        for file, text in files.items():
            (info / file).write_text(text)
        for file in installed:
            (tmp_path / file).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / file).touch()

    dist("fake-one", ["fakemod.py", "spaced pkg/a,b.py", "fakedir/__init__.py", "fake.pth",
                      "fakeext.cpython-313-x86_64-linux-gnu.so"],
         RECORD="\n".join(["fakemod.py,,", '"spaced pkg/a,b.py",,', "./fakedir/__init__.py,,",
                           "fake.pth,,", "fakeext.cpython-313-x86_64-linux-gnu.so,,",
                           "fake_one-1.0.dist-info/METADATA,,", "gone/__init__.py,,"]))
    dist("zeta", [], **{"top_level.txt": "fakemod\nzetamod\n"})
    dist("alpha", ["fakemodx/__init__.py", "sub/fakemod.py"],
         RECORD="fakemodx/__init__.py,,\nsub/fakemod.py,,\n")
    dist("empty", [], RECORD="")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(scan, "_installed", None)
    monkeypatch.setattr(scan, "_providers", {})
    expected = importlib.metadata.packages_distributions()
    assert sorted(expected["fakemod"]) == ["fake-one", "zeta"]  # the cases are live
    assert {"spaced pkg", "fakedir", "fakeext", "sub"} <= expected.keys()
    for top, names in expected.items():
        assert scan._distribution(top) == sorted(names)[0], top
    for top in ("fakemo", "fake", "fake_one", "gone", "nosuchmodule"):
        assert scan._distribution(top) is None
