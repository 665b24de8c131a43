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

from _tevra import asset, inspect_modules, materialize_asset, partitions
from discovery_fixtures import captured_output

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


class Threads(unittest.TestCase):
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

    def test_declare_decorate_call_and_read(self):
        def body(tid):
            def target(a, *, b):
                time.sleep(0)
                return (tid, a, b)

            for i in range(ROUNDS * 3):
                name = f"asset-{tid}-{i}"
                ref = YieldingRef(f"file-{tid}.py:fn{i}")
                values = [Yields(f"v{tid}"), i, Yields({"t": tid, "i": [i, None]})]
                p = partitions(values)
                assert repr(p) == "Partitions(3 values)", repr(p)
                decorator = asset(name=name, inputs={"up": ref, "s": "plain"}, partitions={"d": p, "e": p},
                                  serializer=str(tid))
                w = decorator(target)
                assert w(i, b=name) == (tid, i, name)
                assert w.__tevra_original__ is target and w.__wrapped__ is target
                assert (w.__name__, w.__qualname__, w.__module__) == (
                    "target", target.__qualname__, __name__)
                expected_values = json.dumps([f"v{tid}", i, {"i": [i, None], "t": tid}], separators=(",", ":"))
                meta = w.__tevra_metadata__
                assert meta == {
                    "kind": "asset", "name": name, "serializer": str(tid),
                    "inputs": {"up": f"file-{tid}.py:fn{i}", "s": "plain"},
                    "partitions": {dim: {"kind": "inline", "values_json": expected_values} for dim in ("d", "e")},
                }, meta

        self.assertEqual(self.run_threads(body), [])

    def test_materialize_into_own_directories(self):
        def body(tid):
            for i in range(ROUNDS):
                module = self.modules[(tid + i) % len(self.modules)]
                out = os.path.join(self.root, f"out-{tid}")
                os.makedirs(out, exist_ok=True)
                kwargs = json.dumps({"tid": tid, "i": i, "out": out})
                assert materialize_asset(module, "work", out, kwargs) is None
                with open(os.path.join(out, "value.json"), encoding="utf-8") as f:
                    assert f.read() == json.dumps({"tid": tid, "i": i, "text": "é" * (i % 7)})
                with open(os.path.join(out, "result.json"), encoding="utf-8") as f:
                    assert json.loads(f.read()) == {
                        "artifact_format": "json", "function_name": "work", "module_path": module, "ok": True,
                        "result_type": "dict", "signature": "(tid, i, out) -> dict",
                        "value_path": os.path.join(out, "value.json")}
                try:
                    materialize_asset(module, "fails", out, json.dumps({"tid": tid, "i": i}))
                except SystemExit as e:
                    assert e.code == 1
                else:
                    raise AssertionError("no SystemExit")
                with open(os.path.join(out, "result.json"), encoding="utf-8") as f:
                    assert f.read() == ('{"error":"ValueError: thread %d round %d","error_type":"ValueError",'
                                        '"ok":false}' % (tid, i))
                assert sorted(os.listdir(out)) == ["result.json", "scratch", "value.json"], os.listdir(out)

        self.assertEqual(self.run_threads(body), [])

    def test_shared_directory_never_torn(self):
        # Runs into one directory overwrite each other's files; a reader meanwhile finds
        # each file missing (a run clears the record before writing its own) or whole.
        out = os.path.join(self.root, "shared")
        os.mkdir(out)
        module = self.modules[0]
        writers = THREADS - 1
        values = {json.dumps({"tid": tid, "i": i, "text": "é" * (i % 7)})
                  for tid in range(writers) for i in range(ROUNDS)}
        running = [writers]
        lock = threading.Lock()
        seen = []

        def read(name):
            try:
                with open(os.path.join(out, name), encoding="utf-8") as f:
                    return f.read()
            except FileNotFoundError:
                return None

        def reader():
            while running[0]:
                value = read("value.json")
                if value is not None:
                    assert value in values, value
                    seen.append(value)
                record = read("result.json")
                if record is not None:
                    assert json.loads(record)["ok"] is True, record
                time.sleep(0)

        def writer(tid):
            try:
                for i in range(ROUNDS):
                    materialize_asset(module, "work", out, json.dumps({"tid": tid, "i": i, "out": out}))
            finally:
                with lock:
                    running[0] -= 1

        self.assertEqual(self.run_threads(lambda tid: reader() if tid == writers else writer(tid)), [])
        self.assertTrue(seen)
        self.assertEqual(sorted(os.listdir(out)), ["result.json", "scratch", "value.json"])

    def test_inspect_modules_at_once(self):
        expected = inspect_modules(self.modules)
        self.assertEqual(len(json.loads(expected)["assets"]), len(self.modules))

        def body(tid):
            for i in range(ROUNDS // 4):
                names = self.modules[tid % 3:] + self.modules[:tid % 3]
                doc = inspect_modules(self.modules)
                assert doc == expected, doc[:200]
                assert len(json.loads(inspect_modules(names))["assets"]) == 3
                assert inspect_modules([]) == '{"assets":[]}'

        self.assertEqual(self.run_threads(body), [])

    def test_failures_at_once(self):
        # Errors of every kind raised on several threads at once stay with their own thread.
        def body(tid):
            for i in range(ROUNDS):
                try:
                    partitions([Yields(float("nan"))])
                except ValueError as e:
                    assert str(e) == "invalid partition value: expected value at line 1 column 1", str(e)
                try:
                    asset(inputs={"a": YieldingRef("r"), "b": 3})
                except TypeError as e:
                    assert str(e) == "inputs values must be @asset-decorated functions or asset ref strings"
                grow = {}

                class Grows(str):
                    def __getattr__(self, name):
                        time.sleep(0)
                        grow[len(grow)] = 1
                        raise AttributeError(name)

                grow["a"] = Grows("r")
                try:
                    asset(inputs=grow)
                except BaseException as e:
                    assert type(e).__name__ == "PanicException", repr(e)
                    assert e.args == ("dictionary changed size during iteration",)
                try:
                    asset()(f"not callable {tid}")()
                except TypeError as e:
                    assert "not callable" in str(e)
                try:
                    inspect_modules([f"threads_missing_{tid}_{i}"])
                except BaseException as e:
                    raise AssertionError(f"skip failed: {e!r}")
                try:
                    materialize_asset(3, "f", "d")
                except TypeError as e:
                    assert str(e) == "argument 'module_name': 'int' object cannot be converted to 'PyString'"

        with captured_output():  # skip lines and internal-failure diagnostics
            failures = self.run_threads(body)
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
