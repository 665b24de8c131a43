"""Several threads calling into the module at once, while the user code it calls (asset
functions, json encoders, attribute reads) gives up the interpreter lock: every result
must be exactly right, and nothing may crash, hang or leave a torn file."""
import json
import os
import sys
import tempfile
import textwrap
import threading
import time
import unittest

THREADS = 8
ROUNDS = 60

FIXTURE = '''
import os, time
from _tevra import asset, partitions

class Yielding:
    """A member whose marker read lets other threads run, then says it is no asset."""
    @property
    def __tevra_kind__(self):
        time.sleep(0)
        raise AttributeError("__tevra_kind__")

yielding = Yielding()

@asset(name="work", inputs={"up": "some:ref"}, partitions={"d": partitions(["a", 1, None])})
def work(tid, i, out) -> dict:
    time.sleep(0)
    with open(os.path.join(out, "scratch"), "w") as f:  # I/O lets other threads run too
        f.write(f"{tid}:{i}")
    time.sleep(0)
    return {"tid": tid, "i": i, "text": "é" * (i % 7)}

def fails(tid, i):
    time.sleep(0)
    raise ValueError(f"thread {tid} round {i}")
'''


class Yields:
    """Partition values and returned values that json.dumps hands to the encoder's
    default(), which lets other threads run before answering."""

    def __init__(self, value):
        self.value = value


def yielding_default(encoder, obj):
    if isinstance(obj, Yields):
        time.sleep(0)
        return obj.value
    raise TypeError(f"Object of type {type(obj).__name__} is not JSON serializable")


class YieldingRef(str):
    """An upstream reference whose asset test (an attribute read) lets other threads run."""

    def __getattr__(self, name):
        time.sleep(0)
        raise AttributeError(name)


class ThreadCase(unittest.TestCase):
    """Three fixture modules on sys.path, a json encoder whose default() yields, and the
    interpreter switching threads as often as it can."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(tmp.cleanup)
        self.root = os.path.realpath(tmp.name)
        self.modules = []
        for k in range(3):
            name = f"threads_fixture_{os.getpid()}_{k}"
            with open(os.path.join(self.root, name + ".py"), "w", encoding="utf-8") as f:
                f.write(textwrap.dedent(FIXTURE))
            self.modules.append(name)
            self.addCleanup(sys.modules.pop, name, None)
        sys.path.insert(0, self.root)
        self.addCleanup(sys.path.remove, self.root)

        original = json.JSONEncoder.default
        json.JSONEncoder.default = yielding_default
        self.addCleanup(setattr, json.JSONEncoder, "default", original)
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter will
        self.addCleanup(sys.setswitchinterval, interval)

    def run_threads(self, body, count=THREADS):
        """Runs body(tid) on `count` threads started together; returns their failures."""
        barrier = threading.Barrier(count)
        failures = []

        def run(tid):
            try:
                barrier.wait()
                body(tid)
            except BaseException as e:  # noqa: B036 - a PanicException must be seen too
                failures.append((tid, e))

        threads = [threading.Thread(target=run, args=(tid,)) for tid in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return failures
