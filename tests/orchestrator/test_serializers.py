"""Serializers on real tables and files: equal data gives equal bytes, conversions
through Arrow, refusals that name what is wrong, and registration in code and through
an installed entry point."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

from tevra import install, serializers
from tevra.serializers import SerializerError
from tevra.values import HashingWriter, hash_file
from tevra_project import PYTHON_DIR

COLUMNS = {"region": ["north", "south", "north", "east"], "amount": [12.5, 40.0, 3.25, 7.0],
           "n": [1, 2, 3, 4]}
MAKERS = {
    "pyarrow.Table": lambda: pa.table(COLUMNS),
    "pandas.DataFrame": lambda: pd.DataFrame(COLUMNS),
    "polars.DataFrame": lambda: pl.DataFrame(COLUMNS),
}
TARGETS = {"pyarrow.Table": pa.Table, "pandas.DataFrame": pd.DataFrame,
           "polars.DataFrame": pl.DataFrame}


def as_dict(table: object) -> dict[str, list[object]]:
    if isinstance(table, pd.DataFrame):
        return {k: list(v) for k, v in table.to_dict("list").items()}
    if isinstance(table, pl.DataFrame):
        return table.to_dict(as_series=False)
    assert isinstance(table, pa.Table)
    return table.to_pydict()


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
@pytest.mark.parametrize("kind", list(MAKERS))
def test_tables_round_trip_and_convert_through_arrow(tmp_path, fmt, kind):
    serializer = serializers.get(fmt)
    value = MAKERS[kind]()
    assert serializers.type_name(value) == kind and serializer.can_store(value)
    path = str(tmp_path / f"data.{serializer.suffix}")
    summary = serializer.store(value, path)
    assert summary["rows"] == 4
    assert [name for name, _ in summary["schema"]][:3] == ["region", "amount", "n"]

    back = serializer.load(path, kind, None)
    assert serializers.type_name(back) == kind and as_dict(back) == COLUMNS
    for target_kind, target in TARGETS.items():
        converted = serializer.load(path, kind, target)
        assert serializers.type_name(converted) == target_kind
        assert as_dict(converted) == COLUMNS


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
def test_equal_tables_give_equal_bytes_however_chunked(tmp_path, fmt, monkeypatch):
    monkeypatch.setattr(serializers, "ROWS_PER_GROUP", 1000)
    serializer = serializers.get(fmt)
    whole = pa.table({"i": list(range(2500)), "s": [str(i % 7) for i in range(2500)]})
    chunked = pa.Table.from_batches(whole.to_batches(max_chunksize=333))
    digests = set()
    for i, table in enumerate([whole, chunked, whole]):
        path = str(tmp_path / f"{i}.{serializer.suffix}")
        serializer.store(table, path)
        digests.add(hash_file(path)[0])
    assert len(digests) == 1


BIG = 300_000  # rows: several MiB, past where a written file is hashed in a thread


@pytest.mark.parametrize("fmt, value", [
    ("parquet", pa.table({"i": list(range(BIG)), "s": [str(i) for i in range(BIG)]})),
    ("arrow", pd.DataFrame({"i": range(BIG), "x": [i / 7 for i in range(BIG)]})),
    ("bytes", bytearray(os.urandom(3 << 20))),
    ("bytes", b"small"),
    ("pickle", {"blob": os.urandom(5 << 20), "n": list(range(1000))}),
])
def test_a_value_written_to_the_store_is_hashed_as_its_bytes_pass(tmp_path, fmt, value):
    serializer = serializers.get(fmt)
    assert serializers.dumps(serializer)
    with HashingWriter(str(tmp_path / "streamed")) as file:
        summary = serializer.dump(value, file)
    assert file.digest() == hash_file(str(tmp_path / "streamed"))[0]
    assert serializer.store(value, str(tmp_path / "stored")) == summary
    assert (tmp_path / "streamed").read_bytes() == (tmp_path / "stored").read_bytes()


def test_arrow_loads_through_a_memory_map(tmp_path):
    serializer = serializers.get("arrow")
    path = str(tmp_path / "data.arrow")
    serializer.store(pa.table({"x": list(range(100_000))}), path)
    before = pa.total_allocated_bytes()
    table = serializer.load(path, "pyarrow.Table", None)
    assert table.num_rows == 100_000 and pa.total_allocated_bytes() == before


@pytest.mark.parametrize("value,target,expected", [
    (b"\x00raw", None, b"\x00raw"),
    (bytearray(b"ab"), bytearray, bytearray(b"ab")),
    (memoryview(b"mv"), bytes, b"mv"),
])
def test_bytes_are_stored_as_they_are(tmp_path, value, target, expected):
    serializer = serializers.get("bytes")
    path = str(tmp_path / "data.bin")
    serializer.store(value, path)
    with open(path, "rb") as f:
        assert f.read() == bytes(value)
    assert serializer.load(path, "bytes", target) == expected


def test_pickle_only_by_name(tmp_path):
    serializer = serializers.get("pickle")
    path = str(tmp_path / "data.pickle")
    serializer.store({"when": {1, 2}, "t": (1, "a")}, path)
    assert serializer.load(path, "dict", None) == {"when": {1, 2}, "t": (1, "a")}
    assert serializers.get(None).name == "json"


def test_refusals_name_what_is_wrong(tmp_path):
    with pytest.raises(SerializerError, match=r"unknown serializer 'parqet' \(known: arrow, "
                                              r"bytes, json, parquet, pickle"):
        serializers.get("parqet")
    path = str(tmp_path / "data.parquet")
    serializers.get("parquet").store(pa.table({"x": [1]}), path)
    with pytest.raises(SerializerError, match="loads tables as pyarrow.Table, pandas.DataFrame "
                                              "or polars.DataFrame, not as bytes"):
        serializers.get("parquet").load(path, "pyarrow.Table", bytes)
    with pytest.raises(SerializerError, match="built-in serializer"):
        serializers.register(serializers.BytesSerializer())


def test_registered_in_code(tmp_path):
    class Lines(serializers.Serializer):
        name = "lines"
        suffix = "txt"
        accepts = "a list of str"

        def can_store(self, value):
            return isinstance(value, list)

        def store(self, value, path):
            with open(path, "w") as f:
                f.write("\n".join(value))
            return {"lines": len(value)}

        def load(self, path, stored_type, target):
            with open(path) as f:
                return f.read().split("\n")

    lines = serializers.register(Lines())
    try:
        assert serializers.get("lines") is lines and "lines" in serializers.names()
        with pytest.raises(SerializerError, match="registered already"):
            serializers.register(Lines())
        path = str(tmp_path / "x.txt")
        assert lines.store(["a", "b"], path) == {"lines": 2}
        assert lines.load(path, "list", None) == ["a", "b"]
    finally:
        serializers._registered.pop("lines", None)


def run_python(code: str, path: list[str], cwd: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PYTHON_DIR), *path]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, text=True,
                          capture_output=True, timeout=60, cwd=cwd)


def test_installed_entry_point(tmp_path):
    (tmp_path / "upper_ser.py").write_text(textwrap.dedent("""
        from tevra.serializers import Serializer
        class Upper(Serializer):
            name = "upper"
            def store(self, value, path):
                open(path, "w").write(value.upper())
                return {}
    """))
    dist = tmp_path / "upper_ser-1.0.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: upper-ser\nVersion: 1.0\n")
    (dist / "entry_points.txt").write_text("[tevra.serializers]\nupper = upper_ser:Upper\n")
    proc = run_python("""
        from tevra import serializers
        s = serializers.get("upper")
        s.store("abc", "out.txt")
        print(type(s).__name__, "upper" in serializers.names(), open("out.txt").read())
    """, [str(tmp_path)], str(tmp_path))
    assert proc.stdout.split() == ["Upper", "True", "ABC"], proc.stderr


def test_missing_pyarrow_names_the_extra(tmp_path):
    proc = run_python(f"""
        import sys
        sys.modules["pyarrow"] = None  # as if it were not installed
        import pandas
        from tevra import serializers
        try:
            serializers.get("parquet").store(pandas.DataFrame({{"x": [1]}}),
                                             {str(tmp_path / 'x')!r})
        except serializers.MissingLibrary as exc:
            print(exc)
    """, [], str(tmp_path))
    assert proc.stdout.strip() == ("the parquet serializer needs pyarrow, which is not "
                                   f"installed: {install.extra_hint('tables', ['pyarrow'])}"), \
        proc.stderr
