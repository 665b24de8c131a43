"""The project file: commands without modules, its settings and its errors, tevra init."""

from __future__ import annotations

import pytest

from tevra import project
from tevra.errors import ProjectError
from tevra_project import Project

HEAD = "from tevra import asset\n"


@pytest.fixture
def shop(tmp_path):
    p = Project(tmp_path)
    p.write("shop/__init__.py", "")
    p.write("shop/orders.py", HEAD + "@asset()\ndef orders(): return [1, 2]\n")
    p.write("shop/sales.py", HEAD + "from shop.orders import orders\n"
            "@asset(inputs={'o': orders})\ndef sales(o): return sum(o)\n")
    p.write("shop/tests/__init__.py", "")
    p.write("shop/tests/test_it.py", "import pytest_plugin_that_is_not_installed\n")
    return p


def test_commands_without_modules_use_the_project_file(shop):
    shop.write("pyproject.toml", """
        [project]
        name = "shop"

        [tool.tevra]
        modules = ["shop"]
        exclude = ["shop.tests*"]
        state = "history"
        jobs = 2
    """)
    (shop.root / "shop" / "deep").mkdir()
    inside = Project(shop.root / "shop" / "deep")  # a folder below the project's root
    result = inside.tevra("run", "--plain")
    assert result.code == 0, result.err
    assert "2 succeeded" in result.out
    assert (shop.root / "history" / "runs.db").exists()
    assert not (inside.root / ".tevra").exists()
    assert "shop.sales:sales" in inside.tevra("runs").out
    assert inside.status() == {"orders": ("fresh", None), "sales": ("fresh", None)}


def test_without_modules_or_project_file_the_command_says_what_to_do(tmp_path):
    result = Project(tmp_path).tevra("run")
    assert result.code == 2
    assert result.err == ("tevra: name the modules holding your assets (tevra run shop), or "
                          "list them in a project file: tevra init writes one\n")


@pytest.mark.parametrize(
    "table, message",
    [
        ("jobs = 4\nmodule = ['shop']", "[tool.tevra] has no setting 'module' (did you mean 'modules'?)"),
        ("jobs = '4'", "[tool.tevra] jobs must be a whole number of 0 or more, not '4'"),
        ("jobs = 0", "[tool.tevra] jobs must be at least 1, not 0"),
        ("timeout = -1", "[tool.tevra] timeout must be a number of seconds more than 0, not -1"),
        ("modules = [1]", "[tool.tevra] modules must be a list of dotted module names, not [1]"),
        ("[tool.tevra.assets.'x:*']\nretrys = 2",
         "[tool.tevra.assets.\"x:*\"] has no setting 'retrys' (did you mean 'retries'?)"),
        ("[tool.tevra.assets.'x:*']\nretry_delay = true",
         "[tool.tevra.assets.\"x:*\"] retry_delay must be a number of seconds (0 or more), not True"),
        ("jobs = = 4", "Invalid value (at line 2, column 8)"),
    ],
)
def test_a_wrong_setting_is_one_line_naming_the_file(tmp_path, table, message):
    p = Project(tmp_path)
    p.write("pyproject.toml", "[tool.tevra]\n" + table + "\n")
    result = p.tevra("check")
    assert result.code == 2
    assert result.err == f"tevra: pyproject.toml: {message}\n"


def test_run_settings_come_from_the_command_line_the_asset_tables_and_the_project(tmp_path):
    path = tmp_path / "pyproject.toml"
    path.write_text("""
[tool.tevra]
timeout = 100
retries = 1
[tool.tevra.assets."shop.sources:*"]
retries = 4
retry_delay = 0.5
[tool.tevra.assets."shop.sources:slow"]
timeout = 900
""")
    proj = project.parse(path)
    assert proj.settings("shop.sales:sales") == project.RunSettings(100.0, 1, 1.0)
    assert proj.settings("shop.sources:fetch") == project.RunSettings(100.0, 4, 0.5)
    assert proj.settings("shop.sources:slow") == project.RunSettings(900.0, 4, 0.5)
    assert proj.settings("shop.sources:slow", timeout=5, retries=0) == project.RunSettings(5, 0, 0.5)
    assert project.Project(root=tmp_path).settings("a:b") == project.RunSettings(None, 0, 1.0)


def test_a_pyproject_without_the_table_is_passed_over(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.tevra]\nmodules = ['outer']\n")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "pyproject.toml").write_text("[project]\nname = 'other'\n")
    found = project.load(tmp_path / "sub")
    assert found.file == tmp_path / "pyproject.toml" and found.modules == ["outer"]
    with pytest.raises(ProjectError):
        (tmp_path / "pyproject.toml").write_text("[tool.tevra]\njobs = -1\n")
        project.load(tmp_path / "sub")


def test_init_writes_a_starter_that_runs(shop):
    shop.write("notes.py", "print('no assets here')\n")
    shop.write("pyproject.toml", "[project]\nname = 'shop'\n")
    result = shop.tevra("init")
    assert result.code == 0, result.err
    text = (shop.root / "pyproject.toml").read_text()
    assert text.startswith("[project]\nname = 'shop'\n\n[tool.tevra]\n")
    assert 'modules = ["shop"]\n' in text
    assert project.parse(shop.root / "pyproject.toml").modules == ["shop"]
    again = shop.tevra("init")
    assert again.code == 2 and "already has a [tool.tevra] table" in again.err
    # The starter walks the whole package: its tests module cannot be imported.
    failed = shop.tevra("run")
    assert failed.code == 2 and "cannot import shop.tests.test_it" in failed.err
    text = text.replace('# exclude = ["shop.tests.*"]', 'exclude = ["shop.tests*"]')
    (shop.root / "pyproject.toml").write_text(text)
    assert shop.run().code == 0
