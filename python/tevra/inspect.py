"""Discovery command: ``python -m tevra.inspect MODULE...``.

Imports the named modules and prints one JSON document describing every
asset found in them. Modules that fail to import are reported on standard
error and skipped.
"""

# Absolute imports only: this file shares its name with the standard library's
# ``inspect``, which the engine imports by name while it works.
import os
import sys

if not __package__:
    # Run as a file path rather than with -m: the interpreter put this folder
    # first on sys.path, where this file would hide the
    # standard library module of that name.
    _here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]

import argparse

import _tevra


def _project_importable() -> None:
    # ``python -m`` already puts the working directory first; make the same
    # true when main() is reached some other way.
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tevra.inspect",
        description="Import the given modules and print a JSON document describing their assets.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE",
                        help="dotted name of a module to scan for @asset functions")
    args = parser.parse_args(argv)
    _project_importable()
    _write_line(_tevra.inspect_modules(args.modules))
    return 0


if __name__ == "__main__":
    sys.exit(main())
