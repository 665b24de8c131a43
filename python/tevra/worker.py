"""Worker command: ``python -m tevra.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON]``.

Runs one asset and leaves ``value.json`` and ``result.json`` in OUTPUT_DIR.
Exits 0 when the run succeeded and 1 when it failed; the reason for a failure
is in ``result.json``.

``--kwargs-file FILE`` reads the keyword-argument JSON from FILE (``-``: standard
input) instead, so that a large value never goes on the command line.
``--traceback-file FILE`` writes the traceback of a failed run's exception to FILE.
``--log FILE`` appends what the run writes to descriptors 1 and 2, and its ``logging``
records, to FILE (see ``tevra.runlog``).
``--parent-pid PID`` ends the worker when process PID, its parent, ends.

The environment variable ``TEVRA_RUN``, when set, describes the run for
``tevra.context()`` and for serialized values: a JSON object with "asset", "run_id",
"attempt", "key", "partition" (dimension -> JSON text) and "values" (the value store's
directory).
"""

import os
import sys

import _tevra

from tevra._cli import project_importable

_OPTIONS = ("--kwargs-file", "--traceback-file", "--log", "--parent-pid")

# module, function, output_dir, kwargs_json, kwargs_file, traceback_file, log, parent_pid
_Args = tuple[str, str, str, str | None, str | None, str | None, str | None, str | None]

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def _parser() -> "argparse.ArgumentParser":
    # argparse and what its formatter imports cost a fresh interpreter more than the
    # rest of the command; the ordinary forms are read by hand and this parser only
    # serves help, errors and the unusual spellings.
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m tevra.worker",
        description="Run one asset function and write value.json and result.json.",
    )
    parser.add_argument("--kwargs-file", metavar="FILE", default=None,
                        help="read KWARGS_JSON from FILE ('-': standard input) instead")
    parser.add_argument("--traceback-file", metavar="FILE", default=None,
                        help="when the run fails, write the traceback of its exception to FILE")
    parser.add_argument("--log", metavar="FILE", default=None,
                        help="append the run's standard output and error and its logging "
                             "records to FILE")
    parser.add_argument("--parent-pid", metavar="PID", default=None,
                        help="end when process PID, which started this one, ends")
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module holding the asset")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset function in MODULE")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory for value.json and result.json")
    parser.add_argument("kwargs_json", metavar="KWARGS_JSON", nargs="?", default=None,
                        help="JSON object whose members are passed as keyword arguments")
    return parser


def _parse_fast(argv: list[str]) -> _Args | None:
    """The arguments in their ordinary forms, or None for anything argparse must judge.

    Taken here: the positionals in one run, each option once, before or after them,
    as ``--name VALUE``; nothing starting with "-" but a lone "-" as an option value.
    """
    positional: list[str] = []
    options: dict[str, str] = {}
    after = False  # an option came after the positionals
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg.startswith("-") and arg != "-":
            if arg not in _OPTIONS or arg in options or i + 1 == len(argv):
                return None
            value = argv[i + 1]
            if value.startswith("-") and value != "-":
                return None
            if positional:
                if len(positional) < 3:
                    return None
                after = True
            options[arg] = value
            i += 2
            continue
        if after:
            return None
        positional.append(arg)
        i += 1
    if len(positional) not in (3, 4):
        return None
    kwargs_file = options.get("--kwargs-file")
    if kwargs_file is not None and len(positional) == 4:
        return None
    kwargs = positional[3] if len(positional) == 4 else None
    return (positional[0], positional[1], positional[2], kwargs, kwargs_file,
            options.get("--traceback-file"), options.get("--log"), options.get("--parent-pid"))


def _parse_slow(argv: list[str]) -> _Args:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.kwargs_file is not None and args.kwargs_json is not None:
        parser.error("argument KWARGS_JSON: not allowed with argument --kwargs-file")
    return (args.module, args.function, args.output_dir, args.kwargs_json, args.kwargs_file,
            args.traceback_file, args.log, args.parent_pid)


def _read_kwargs(path: str) -> str:
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
        return data.decode("utf-8")
    except OSError as exc:
        _parser().error(f"argument --kwargs-file: can't open '{path}': {exc}")
    except UnicodeDecodeError as exc:
        _parser().error(f"argument --kwargs-file: '{path}' is not UTF-8 text: {exc}")
    raise AssertionError("unreachable")  # parser.error() exits


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    parsed = _parse_fast(args)
    if parsed is None:
        parsed = _parse_slow(args)
    module, function, output_dir, kwargs_json, kwargs_file, traceback_file, log, parent = parsed
    if parent is not None:
        from tevra import lifeline

        try:
            parent_pid = int(parent)
        except ValueError:
            _parser().error(f"argument --parent-pid: not a process id: {parent!r}")
        lifeline.die_with_parent(parent_pid)
    if kwargs_file is not None:
        kwargs_json = _read_kwargs(kwargs_file)
    project_importable()
    described = os.environ.get("TEVRA_RUN")
    if described:
        _enter_run(described, output_dir)
    if log is None:
        _run(module, function, output_dir, kwargs_json, traceback_file)
        return 0
    from tevra import runlog

    capture = runlog.Capture()
    if not capture.start(log):
        _parser().error(f"argument --log: can't open '{log}'")
    try:
        _run(module, function, output_dir, kwargs_json, traceback_file)
    finally:
        capture.stop()
    return 0


def _enter_run(described: str, output_dir: str) -> None:
    import json

    from tevra import run_context

    run = json.loads(described)
    run_context._current = run_context.RunContext(
        run["asset"], run["run_id"], run.get("attempt", 1), run["partition"], run["key"],
        output_dir, run["values"])


def _run(module: str, function: str, output_dir: str, kwargs_json: str | None,
         traceback_file: str | None) -> None:
    if traceback_file is not None:
        _run_keeping_traceback(module, function, output_dir, kwargs_json, traceback_file)
        return
    # A failed run raises SystemExit(1) after writing result.json; it is left
    # to end the process with that status.
    _tevra.materialize_asset(module, function, output_dir, kwargs_json)


def _run_keeping_traceback(module: str, function: str, output_dir: str, kwargs_json: str | None,
                           traceback_file: str) -> None:
    from tevra.execute import call_engine

    call = call_engine(module, function, output_dir, kwargs_json)
    if call.raised is None:
        return
    if call.traceback is not None:
        _write_text(traceback_file, call.traceback)
    raise call.raised


def _write_text(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8", errors="backslashreplace") as f:
        f.write(text)


if __name__ == "__main__":
    sys.exit(main())
