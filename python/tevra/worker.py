"""Worker command: ``python -m tevra.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON]``.

Runs one asset and leaves ``value.json`` and ``result.json`` in OUTPUT_DIR.
Exits 0 when the run succeeded and 1 when it failed; the reason for a failure
is in ``result.json``.
"""

import argparse
import sys

import _tevra

from tevra._cli import project_importable


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
    project_importable()
    # A failed run raises SystemExit(1) after writing result.json; it is left
    # to end the process with that status.
    _tevra.materialize_asset(args.module, args.function, args.output_dir, args.kwargs_json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
