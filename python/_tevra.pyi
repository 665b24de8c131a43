"""The native `_tevra` module."""

from collections.abc import Callable, Sequence
from typing import Any, Generic, ParamSpec, Protocol, Self, TypedDict, TypeVar, final, type_check_only

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

_P = ParamSpec("_P")
_R = TypeVar("_R", covariant=True)
_T = TypeVar("_T")

@type_check_only
class _PartitionDescriptor(TypedDict):
    kind: str  # always "inline"
    values_json: str  # the dimension's values as one compact JSON array

@type_check_only
class _AssetMetadata(TypedDict):
    kind: str  # always "asset"
    name: str | None
    serializer: str | None
    inputs: dict[str, str] | None  # parameter name -> upstream asset reference
    partitions: dict[str, _PartitionDescriptor] | None  # dimension name -> its values

@final
class AssetWrapper(Generic[_P, _R]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    # Calling the wrapper calls the decorated function: same parameters, same result.
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R: ...
    # Never bound to an instance: reading it through a class or an instance gives the wrapper.
    def __get__(self, instance: object, owner: type | None = None, /) -> Self: ...
    @property
    def __tevra_metadata__(self) -> _AssetMetadata: ...
    @property
    def __tevra_kind__(self) -> str: ...
    @property
    def __tevra_original__(self) -> Callable[_P, _R]: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R]: ...
    # Read from the decorated function at each access.
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    @property
    def __module__(self) -> str: ...  # type: ignore[override]
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

@type_check_only
class _AssetDecorator(Protocol):
    def __call__(self, function: Callable[_P, _T], /) -> AssetWrapper[_P, _T]: ...

def asset(
    *,
    name: str | None = None,
    inputs: dict[str, AssetWrapper[..., Any] | str] | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> _AssetDecorator:
    """Decorator that registers a Python function as a tevra asset."""

def partitions(values: list[Any]) -> Partitions:
    """Declare a static partition universe for use with ``@asset(partitions=...)``."""

def inspect_modules(modules: Sequence[str]) -> str:
    """Inspect modules for tevra assets. Called by the `python -m tevra.inspect` CLI stub."""

def materialize_asset(
    module_name: str, function_name: str, output_dir: str, input_kwargs_json: str | None = None
) -> None:
    """Materialize a single asset function. Called by the `python -m tevra.worker` CLI stub."""
