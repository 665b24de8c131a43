"""Hostile and extreme input shared by the tests of each entry point: objects whose
str(), comparison, hashing, class name or attribute reads raise (BaseException subclasses
too), unusual characters and helpers to state the expected texts. Each entry point must
give its specified result or a clean Python exception: never a crash, a hang or a torn file."""
import json

CONTROL = "".join(map(chr, range(32)))
ASTRAL = "\U0001F600\U00010000\U0010FFFF"


def compact(value):
    """The compact writer's text for a value holding only valid text."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True, allow_nan=False)


def lossy(text):
    """Text as the module renders it: each unpaired surrogate becomes replacement characters."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def nested_list(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


class RaisingText(str):
    """A str whose Python-level str(), comparison and hashing all raise."""

    def __str__(self):
        raise KeyboardInterrupt("str() of the text")

    def __eq__(self, other):
        raise KeyboardInterrupt("== of the text")

    def __ne__(self, other):
        raise KeyboardInterrupt("!= of the text")

    __hash__ = str.__hash__  # so that it can be a dict key at all


class Unhashable:
    def __hash__(self):
        raise SystemExit("hash")

    def __eq__(self, other):
        raise SystemExit("eq")

    def __str__(self):
        raise SystemExit("str")

    __repr__ = __str__


class NamelessMeta(type):
    """Classes whose __qualname__ and __name__ reads raise."""

    def __getattribute__(cls, name):
        if name in ("__qualname__", "__name__"):
            raise KeyboardInterrupt(f"{name} of the class")
        return super().__getattribute__(name)


class NamelessError(Exception, metaclass=NamelessMeta):
    pass
