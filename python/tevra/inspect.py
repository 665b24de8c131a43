"""Discovery command: ``python -m tevra.inspect MODULE...``.

Imports the named modules and prints one JSON document describing every
asset found in them. Modules that fail to import are reported on standard
error and skipped.
"""

# Absolute imports only: this file shares its name with the standard library's
# ``inspect``, which the engine imports by name while it works.
import argparse
import sys

import _tevra

from tevra._cli import project_importable


def _write_line(text: str) -> None:
    # The document is UTF-8 whatever the locale says; write bytes when we can.
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
        return
    sys.stdout.flush()
    buffer.write(text.encode("utf-8") + b"\n")
    buffer.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tevra.inspect",
        description="Import the given modules and print a JSON document describing their assets.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE",
                        help="dotted name of a module to scan for @asset functions")
    args = parser.parse_args(argv)
    project_importable()
    _write_line(_tevra.inspect_modules(args.modules))
    return 0


if __name__ == "__main__":
    sys.exit(main())
