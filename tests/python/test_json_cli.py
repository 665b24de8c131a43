"""The JSON program against CPython's json: generated documents, written compactly, read back equal;
extreme nesting and characters."""
import json
import math
import os
import random
import subprocess
import unittest

from hostile import ASTRAL, CONTROL, compact

CLI = os.environ.get("TEVRA_JSON_CLI", "")


def run(data: bytes):
    return subprocess.run([CLI], input=data, capture_output=True, timeout=60)


def generate(rng, depth=0):
    kind = rng.randrange(9 if depth < 6 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rng.random() < 0.5
    if kind == 2:
        return rng.choice([0, 1, -1, 2**63 - 1, -2**63, 2**64 - 1, rng.randrange(-2**63, 2**64)])
    if kind == 3:
        bits = rng.getrandbits(64)
        value = __import__("struct").unpack("<d", bits.to_bytes(8, "little"))[0]
        return value if math.isfinite(value) else rng.uniform(-1e6, 1e6)
    if kind in (4, 5):
        return "".join(chr(rng.choice([rng.randrange(0x20), rng.randrange(0x20, 0x80), rng.randrange(0x80, 0xD800),
                                       rng.randrange(0xE000, 0x110000), ord('"'), ord("\\"), ord("/")]))
                       for _ in range(rng.randrange(12)))
    if kind in (6, 7):
        return [generate(rng, depth + 1) for _ in range(rng.randrange(5))]
    return {generate_key(rng): generate(rng, depth + 1) for _ in range(rng.randrange(5))}


def generate_key(rng):
    return "".join(chr(rng.randrange(0x20, 0x3000)) for _ in range(rng.randrange(4)))


def canonical(value):
    """What the compact writer promises: sorted keys; JSON numbers compared by value."""
    if isinstance(value, dict):
        return sorted(((k.encode(), canonical(v)) for k, v in value.items()))
    if isinstance(value, list):
        return [canonical(v) for v in value]
    return value


@unittest.skipUnless(CLI, "TEVRA_JSON_CLI not set (run through ctest)")
class AgainstCPython(unittest.TestCase):
    def test_generated_documents_round_trip(self):
        rng = random.Random(20261208)
        docs = [generate(rng) for _ in range(300)]
        for i, doc in enumerate(docs):
            for text in (json.dumps(doc), json.dumps(doc, ensure_ascii=False, indent=2)):
                out = run(text.encode())
                with self.subTest(i=i):
                    self.assertEqual(out.returncode, 0, out.stderr)
                    compact = out.stdout.decode()
                    self.assertTrue(compact.endswith("\n"))
                    compact = compact[:-1]
                    self.assertNotIn("\n", compact)
                    self.assertEqual(canonical(json.loads(compact)), canonical(doc))
                    # The written form is the writer's fixed point.
                    self.assertEqual(run(compact.encode()).stdout.decode()[:-1], compact)

    def test_output_is_sorted_raw_utf8_and_compact(self):
        out = run('{"b": 1, "a": {"é": "\\u00e9\\ud83d\\ude00", "A": [1.0, 1e16, 1e-06]}}'.encode())
        self.assertEqual(out.stdout.decode(), '{"a":{"A":[1.0,1e+16,1e-6],"é":"é😀"},"b":1}\n')

    def test_refusals_exit_1_with_the_detail(self):
        for text, message in ((b"", "EOF while parsing a value"), (b"[1,]", "trailing comma"),
                              (b"NaN", "expected value"), (b'"\xff"', "invalid unicode code point"),
                              (b"[" * 100_000, "recursion limit exceeded"), (b"1 2", "trailing characters")):
            with self.subTest(text=text[:10]):
                out = run(text)
                self.assertEqual(out.returncode, 1)
                self.assertEqual(out.stdout, b"")
                self.assertRegex(out.stderr.decode(), "^" + message.replace("(", r"\(") + r" at line \d+ column \d+\n$")


class ExtremeInput(unittest.TestCase):
    CLI = os.environ.get("TEVRA_JSON_CLI")

    def run_cli(self, data):
        return subprocess.run([self.CLI], input=data, capture_output=True, timeout=60)

    @unittest.skipUnless(CLI, "TEVRA_JSON_CLI names the tevra-json program")
    def test_deep_nesting_refused(self):
        n = 10 ** 5
        cases = {
            "arrays": b"[" * n + b"]" * n,
            "objects": b'{"a":' * n + b"1" + b"}" * n,
            "unclosed arrays": b"[" * n,
            "mixed": b'[{"a":' * (n // 2),
            "a million": b"[" * 10 ** 6,
        }
        for label, data in cases.items():
            with self.subTest(label):
                done = self.run_cli(data)
                self.assertEqual(done.returncode, 1, done.stderr[-200:])
                self.assertEqual(done.stdout, b"")
                self.assertRegex(done.stderr, rb"^recursion limit exceeded at line 1 column \d+\n$")

    @unittest.skipUnless(CLI, "TEVRA_JSON_CLI names the tevra-json program")
    def test_characters(self):
        text = CONTROL + ASTRAL + "é\x7f"
        done = self.run_cli(json.dumps([text]).encode())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.decode("utf-8"), compact([text]) + "\n")
        for escape in (b'"\\udc80"', b'"\\ud800"', b'"\\ud800\\u0041"'):
            with self.subTest(escape):
                done = self.run_cli(escape)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, b"")


if __name__ == "__main__":
    unittest.main()
