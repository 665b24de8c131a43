"""Worker command: ``python -m tevra.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON]``.

Runs one asset and leaves ``value.json`` and ``result.json`` in OUTPUT_DIR.
Exits 0 when the run succeeded and 1 when it failed; the reason for a failure
is in ``result.json``.
"""

import os
import sys

if not __package__:
    # Run as a file path rather than with -m: the interpreter put this folder
    # first on sys.path, where this package's inspect.py would hide the
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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tevra.worker",
        description="Run one asset function and write value.json and result.json.",
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module holding the asset")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset function in MODULE")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory for value.json and result.json")
    parser.add_argument("kwargs_json", metavar="KWARGS_JSON", nargs="?", default=None,
                        help="JSON object whose members are passed as keyword arguments")
    args = parser.parse_args(argv)
    _project_importable()
    # A failed run raises SystemExit(1) after writing result.json; it is left
    # to end the process with that status.
    _tevra.materialize_asset(args.module, args.function, args.output_dir, args.kwargs_json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
