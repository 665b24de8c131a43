"""Objects that pass the asset test without the native decorator, for discovery tests.

`asset(...)` here takes the same keywords as the real one and publishes the same
metadata dict, so a fixture can be written once and run with either decorator.
"""


class Marked:
    """Carries the three marker attributes the way a decorated function does."""

    __tevra_kind__ = "asset"

    def __init__(self, fn, metadata):
        self.__tevra_original__ = fn
        self._metadata = metadata

    @property
    def __tevra_metadata__(self):
        # The same object every time, so callers can watch its reference count.
        return self._metadata

    def __call__(self, *args, **kwargs):
        return self.__tevra_original__(*args, **kwargs)


def asset(*, name=None, inputs=None, partitions=None, serializer=None):
    metadata = {"kind": "asset", "name": name, "serializer": serializer,
                "inputs": inputs, "partitions": partitions}
    return lambda fn: Marked(fn, metadata)
