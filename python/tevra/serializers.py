"""Serializers: how a value that is not plain JSON becomes a file, and comes back.

An asset names one with ``@asset(serializer="NAME")``. A serializer stores a value to a
path and describes it (``store``), and loads a stored file back as the type a
downstream parameter asks for (``load``). Built in: ``json`` (the default: the value is
``value.json`` itself, as the engine writes it), ``parquet`` and ``arrow`` for tables,
``bytes``, and ``pickle``, which is used only when named. Others are registered in code
with ``register`` or through the entry-point group ``tevra.serializers``.

For every other serializer ``value.json`` holds a manifest: the format, the data file's
hash and size, the type that was returned and the serializer's summary. It names no
path, run or time, so equal data gives an equal manifest, and so an equal data version.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Protocol

from tevra.errors import MissingLibrary, SerializerError
from tevra.install import extra_hint

if TYPE_CHECKING:
    import pyarrow

__all__ = ["BinaryFile", "MissingLibrary", "Serializer", "SerializerError", "get", "names",
           "register"]

ENTRY_POINT_GROUP = "tevra.serializers"
# What the tables extra brings, for the hint when it is missing.
TABLES_PACKAGES = ["pyarrow"]


class BinaryFile(Protocol):
    """What ``Serializer.dump`` writes to: a binary file open for writing."""

    def write(self, data: bytes | bytearray | memoryview, /) -> int | None: ...


class Serializer:
    """A way to store values; subclass it and ``register`` an instance.

    ``name`` is what ``@asset(serializer=...)`` says, ``suffix`` the data file's
    extension and ``accepts`` the types it stores, as the refusal of any other names
    them. ``store`` writes a value to a path and returns its summary (a small JSON
    object: no path, time or run id, so that equal values give equal summaries); a
    serializer that can write to a file object defines ``dump`` instead, and then the
    file is hashed as its bytes pass rather than read again once written. ``load``
    reads the file back as ``target`` (a type a downstream parameter is annotated
    with), or, when ``target`` is None, as ``stored_type`` (the name of the type the
    asset returned, as ``type_name`` gives it).
    """

    name: str = ""
    suffix: str = "bin"
    accepts: str = "any object"

    def can_store(self, value: object) -> bool:
        return True

    def store(self, value: Any, path: str) -> dict[str, Any]:
        if not dumps(self):
            raise NotImplementedError
        with open(path, "wb") as file:
            return self.dump(value, file)

    def dump(self, value: Any, file: BinaryFile) -> dict[str, Any]:
        """Write the value to ``file`` (binary, open for writing) and return its summary."""
        raise NotImplementedError

    def load(self, path: str, stored_type: str, target: type | None) -> Any:
        raise NotImplementedError

    def can_load(self, target: type) -> bool:
        """Whether ``load`` can give a ``target``; consulted before anything runs."""
        return False


def dumps(serializer: Serializer) -> bool:
    """Whether the serializer writes to a file object (it defines ``dump``)."""
    return type(serializer).dump is not Serializer.dump


def type_name(value_or_type: object) -> str:
    """``pandas.DataFrame``, ``pyarrow.Table``, ``list``: the package and the class."""
    t = value_or_type if isinstance(value_or_type, type) else type(value_or_type)
    module = t.__module__.split(".")[0]
    return t.__qualname__ if module == "builtins" else f"{module}.{t.__qualname__}"


# -- JSON ---------------------------------------------------------------------------


class JsonSerializer(Serializer):
    """The value is ``value.json``: the engine writes it, a downstream gets it decoded."""

    name = "json"
    suffix = "json"
    accepts = "what json.dumps accepts"

    def can_load(self, target: type) -> bool:
        return True  # the decoded value is passed as it is: no conversion is attempted


# -- tables -------------------------------------------------------------------------

TABLE_TYPES = ("pyarrow.Table", "pandas.DataFrame", "polars.DataFrame")
_TABLE_LIBRARY = {"pyarrow.Table": "pyarrow", "pandas.DataFrame": "pandas",
                  "polars.DataFrame": "polars"}
# Rows per row group (Parquet) and per record batch (Arrow): fixed, so that equal
# tables give equal bytes however their columns happen to be chunked in memory.
ROWS_PER_GROUP = 1 << 20


def _import_pyarrow(purpose: str) -> Any:
    try:
        import pyarrow
    except ImportError:
        raise MissingLibrary(f"{purpose} needs pyarrow, which is not installed: "
                             + extra_hint("tables", TABLES_PACKAGES)) from None
    return pyarrow


def _loaded_table_types() -> Iterator[tuple[str, type]]:
    """Each table kind whose library is already imported, with its table type (no
    library is imported here)."""
    for kind, library in _TABLE_LIBRARY.items():
        module = sys.modules.get(library)
        if module is not None:
            yield kind, module.Table if library == "pyarrow" else module.DataFrame


def table_kind(value: object) -> str | None:
    """Which of the table types a value is (without importing any library)."""
    return next((kind for kind, cls in _loaded_table_types() if isinstance(value, cls)), None)


def target_kind(target: type) -> str | None:
    """Which table type an annotation names, if it names one."""
    if not isinstance(target, type):
        return None
    return next((kind for kind, cls in _loaded_table_types() if issubclass(target, cls)), None)


def to_arrow(value: Any, kind: str) -> pyarrow.Table:
    if kind == "pandas.DataFrame":
        pa = _import_pyarrow("storing a pandas.DataFrame")
        return pa.Table.from_pandas(value)
    if kind == "polars.DataFrame":
        _import_pyarrow("storing a polars.DataFrame")
        return value.to_arrow()
    return value


def from_arrow(table: pyarrow.Table, kind: str) -> Any:
    """The table as ``kind``; pandas and polars are converted through Arrow."""
    if kind == "pyarrow.Table":
        return table
    library = _TABLE_LIBRARY[kind]
    try:
        module = __import__(library)
    except ImportError:
        raise MissingLibrary(f"loading a table as {kind} needs {library}, which is not "
                             f"installed: pip install {library}") from None
    if kind == "pandas.DataFrame":
        return table.to_pandas()
    return module.from_arrow(table)


def _summary(table: pyarrow.Table) -> dict[str, Any]:
    return {"rows": table.num_rows,
            "schema": [[field.name, str(field.type)] for field in table.schema]}


def _slices(table: pyarrow.Table, *, tight: bool = False) -> Any:
    """The table in slices of ``ROWS_PER_GROUP`` rows, each slice one chunk per column
    (combining copies only columns that arrive in several chunks). ``tight`` also copies
    every variable-width column into buffers of exactly its slice's size: the Arrow
    format writes such a column's buffers whole, so the bytes would depend on how it
    was sliced (a fixed-width column is written by its range alone)."""
    pa = _import_pyarrow("tables")
    for start in range(0, max(table.num_rows, 1), ROWS_PER_GROUP):
        piece = table.slice(start, ROWS_PER_GROUP)
        if tight:
            piece = pa.Table.from_arrays(
                [column.chunk(0) if column.num_chunks == 1 and _fixed_width(column.type)
                 else pa.concat_arrays(column.chunks) if column.chunks
                 else pa.array([], column.type) for column in piece.columns],
                schema=piece.schema)
        elif any(column.num_chunks != 1 for column in piece.columns):
            piece = piece.combine_chunks()
        yield piece


def _fixed_width(data_type: Any) -> bool:
    try:
        data_type.bit_width
    except ValueError:
        return False
    return True


class _TableSerializer(Serializer):
    accepts = "pyarrow.Table, pandas.DataFrame or polars.DataFrame"

    def can_store(self, value: object) -> bool:
        return table_kind(value) is not None

    def can_load(self, target: type) -> bool:
        return target_kind(target) is not None

    def dump(self, value: Any, file: BinaryFile) -> dict[str, Any]:
        _import_pyarrow(f"the {self.name} serializer")
        kind = table_kind(value)
        if kind is None:
            raise SerializerError(f"the {self.name} serializer stores {self.accepts}, "
                                  f"not {type_name(value)}")
        table = to_arrow(value, kind)
        self._write(table, file)
        return _summary(table)

    def load(self, path: str, stored_type: str, target: type | None) -> Any:
        kind = stored_type if target is None else target_kind(target)
        if kind not in _TABLE_LIBRARY:
            asked = stored_type if target is None else type_name(target)
            raise SerializerError(f"the {self.name} serializer loads tables as "
                                  f"{self.accepts}, not as {asked}")
        return from_arrow(self._read(path), kind)

    def _write(self, table: pyarrow.Table, file: BinaryFile) -> None:
        raise NotImplementedError

    def _read(self, path: str) -> pyarrow.Table:
        raise NotImplementedError


class ParquetSerializer(_TableSerializer):
    name = "parquet"
    suffix = "parquet"

    def _write(self, table: pyarrow.Table, file: BinaryFile) -> None:
        _import_pyarrow("the parquet serializer")
        import pyarrow.parquet as pq

        # Every setting that shapes the bytes is pinned here rather than left to the
        # library's defaults (they are today's: the bytes are pq.write_table's).
        with pq.ParquetWriter(file, table.schema, compression="snappy", version="2.6",
                              use_dictionary=True, write_statistics=True) as writer:
            for piece in _slices(table):
                writer.write_table(piece, row_group_size=ROWS_PER_GROUP)

    def _read(self, path: str) -> pyarrow.Table:
        _import_pyarrow("the parquet serializer")
        import pyarrow.parquet as pq

        return pq.read_table(path, memory_map=True)


class ArrowSerializer(_TableSerializer):
    """The Arrow IPC file format, read through a memory map: no copy on load."""

    name = "arrow"
    suffix = "arrow"

    def _write(self, table: pyarrow.Table, file: BinaryFile) -> None:
        pa = _import_pyarrow("the arrow serializer")
        with pa.ipc.new_file(file, table.schema) as writer:
            for piece in _slices(table, tight=True):
                for batch in piece.to_batches():
                    writer.write_batch(batch)

    def _read(self, path: str) -> pyarrow.Table:
        pa = _import_pyarrow("the arrow serializer")
        return pa.ipc.open_file(pa.memory_map(path, "r")).read_all()


# -- bytes and pickle ---------------------------------------------------------------


class BytesSerializer(Serializer):
    """Bytes-like values, stored as they are; loaded as bytes."""

    name = "bytes"
    suffix = "bin"
    accepts = "bytes, bytearray or memoryview"

    def can_store(self, value: object) -> bool:
        return isinstance(value, bytes | bytearray | memoryview)

    def can_load(self, target: type) -> bool:
        return target in (bytes, bytearray, memoryview)

    def dump(self, value: Any, file: BinaryFile) -> dict[str, Any]:
        view = memoryview(value).cast("B")
        file.write(view)
        return {"bytes": view.nbytes}

    def load(self, path: str, stored_type: str, target: type | None) -> Any:
        with open(path, "rb") as f:
            data = f.read()
        if target is bytearray:
            return bytearray(data)
        if target is memoryview:
            return memoryview(data)
        return data


class PickleSerializer(Serializer):
    """Any picklable object. Loading a pickle runs code: only for stores you trust."""

    name = "pickle"
    suffix = "pickle"
    accepts = "any picklable object"

    def can_store(self, value: object) -> bool:
        return True

    def can_load(self, target: type) -> bool:
        return True  # the object comes back as it was stored

    def dump(self, value: Any, file: BinaryFile) -> dict[str, Any]:
        import pickle

        pickle.dump(value, file, protocol=5)
        return {}

    def load(self, path: str, stored_type: str, target: type | None) -> Any:
        import pickle

        with open(path, "rb") as f:
            return pickle.load(f)


# -- the registry -------------------------------------------------------------------

DEFAULT = "json"
BUILTIN: dict[str, Serializer] = {
    s.name: s for s in (JsonSerializer(), ParquetSerializer(), ArrowSerializer(),
                        BytesSerializer(), PickleSerializer())
}
_registered: dict[str, Serializer] = {}


def register(serializer: Serializer, *, replace: bool = False) -> Serializer:
    """Make ``serializer`` known under its ``name``; returns it, so it can decorate."""
    if isinstance(serializer, type):
        serializer = serializer()
    name = serializer.name
    if not isinstance(name, str) or not name:
        raise SerializerError(f"{type_name(serializer)} has no name to register it under")
    if name in BUILTIN:
        raise SerializerError(f"{name!r} is a built-in serializer and cannot be replaced")
    if name in _registered and not replace and _registered[name] is not serializer:
        raise SerializerError(f"a serializer named {name!r} is registered already "
                              "(register(..., replace=True) replaces it)")
    _registered[name] = serializer
    return serializer


def get(name: str | None) -> Serializer:
    """The serializer of that name (None: the default); SerializerError if none is known."""
    if name is None:
        return BUILTIN[DEFAULT]
    found = BUILTIN.get(name) or _registered.get(name)
    if found is None:
        found = _from_entry_points(name)
    if found is None:
        raise SerializerError(f"unknown serializer {name!r} (known: {', '.join(names())})")
    return found


def names() -> list[str]:
    """Every serializer known here: built-in, registered and installed."""
    return sorted({*BUILTIN, *_registered, *(ep.name for ep in _entry_points())})


def _entry_points() -> Any:
    from importlib.metadata import entry_points

    return entry_points(group=ENTRY_POINT_GROUP)


def _from_entry_points(name: str) -> Serializer | None:
    for ep in _entry_points():
        if ep.name != name:
            continue
        try:
            loaded = ep.load()
        except Exception as exc:
            raise SerializerError(f"the serializer {name!r} ({ep.value}) cannot be loaded: "
                                  f"{type(exc).__name__}: {exc}") from None
        serializer = loaded() if isinstance(loaded, type) else loaded
        if not isinstance(serializer, Serializer):
            raise SerializerError(f"the entry point {name!r} ({ep.value}) is no tevra "
                                  "Serializer")
        if serializer.name != name:
            raise SerializerError(f"the entry point {name!r} ({ep.value}) gives a serializer "
                                  f"named {serializer.name!r}")
        _registered[name] = serializer
        return serializer
    return None


# -- manifests ------------------------------------------------------------------------

MANIFEST_KEYS = ("format", "sha256", "size", "type", "summary")


def manifest(fmt: str, digest: str, size: int, stored_type: str,
             summary: dict[str, Any]) -> dict[str, Any]:
    """What ``value.json`` holds for a value stored as a data file (keys in a fixed order)."""
    return {"format": fmt, "sha256": digest, "size": size, "type": stored_type,
            "summary": summary}


def read_manifest(value: object) -> dict[str, Any]:
    """A manifest as decoded from ``value.json``, checked; SerializerError if it is none."""
    if (isinstance(value, dict) and isinstance(value.get("format"), str)
            and isinstance(value.get("sha256"), str) and isinstance(value.get("size"), int)
            and isinstance(value.get("type"), str)):
        return value
    raise SerializerError("a value stored by a serializer has no readable manifest "
                          f"(found {type_name(value)})")


def manifest_digest(value_json: bytes) -> str | None:
    """The data file hash a manifest names, read from ``value.json``'s bytes."""
    import json

    try:
        return read_manifest(json.loads(value_json))["sha256"]  # type: ignore[no-any-return]
    except (ValueError, SerializerError):
        return None
