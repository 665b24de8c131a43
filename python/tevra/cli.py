"""The ``tevra`` command: run, status, list, runs, show, check and init.

Commands that discover assets take their modules from the command line, else from the
project file (``tevra.project``), which also gives the state directory and run settings.

Exit status: 0 when everything asked for succeeded, 1 when a run failed, 2 on a usage
or graph error.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
import time
import traceback
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from tevra import codeversion, install, jobs, project
from tevra.discover import Discovery
from tevra.errors import (
    INTERRUPTED,
    OK,
    RUN_FAILED,
    GraphError,
    OutputClosed,
    TevraError,
    UsageError,
)
from tevra.graph import Graph, build
from tevra.nodes import Node
from tevra.partition_keys import parse_filter
from tevra.runlog import LiveLog
from tevra.plan import FAILED, FRESH, STALE, Options, Plan
from tevra.project import Project
from tevra.store import failure as store_failure
from tevra.store import Run, Store, has_history, state_dir
from tevra.values import ValueStore

if TYPE_CHECKING:
    from tevra.executors.pool import WarmWorker


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.handler(args)
        return code
    except BrokenPipeError:
        # Whoever read the output left (``| head``): nothing more can be shown there, nor
        # flushed on the way out.
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
        closed = OutputClosed("the output was closed (broken pipe)")
        print(f"tevra: {closed.message()}", file=sys.stderr)
        return closed.exit_status
    except Exception as exc:
        problem = exc if isinstance(exc, TevraError) else store_failure(exc)
        if problem is None:
            raise
        if args.debug:
            traceback.print_exc()
        print(f"tevra: {problem.message()}", file=sys.stderr)
        return problem.exit_status
    except KeyboardInterrupt:
        # Outside the run loop, which handles Ctrl-C itself: before any run started.
        print("tevra: interrupted", file=sys.stderr)
        return INTERRUPTED


class _Parser(argparse.ArgumentParser):
    """Every command takes ``--debug``, before its name or after it."""

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                          help="with an error, show its traceback too (and that of a "
                               "module that fails to import)")


class _Version(argparse.Action):
    """``--version``, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print tevra's version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(install.version())
        parser.exit()


def _status_name(text: str) -> str:
    """A run status as the history spells it: ``upstream_failed`` and ``upstream-failed``
    are ``upstream failed``."""
    name = text.replace("_", " ").replace("-", " ").strip().lower()
    if name not in jobs.STATUSES:
        raise argparse.ArgumentTypeError(
            f"{text!r} is no status (statuses: {', '.join(jobs.STATUSES)})")
    return name


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tevra", description="Discover, run and track tevra assets.")
    parser.add_argument("--version", action=_Version)
    parser.set_defaults(debug=False)
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)

    def modules(p: argparse.ArgumentParser) -> None:
        p.add_argument("modules", nargs="*", metavar="MODULE",
                       help="dotted name of a module or package holding @asset functions "
                            "(default: the project file's modules)")

    def selection(p: argparse.ArgumentParser) -> None:
        modules(p)
        p.add_argument("--select", "-s", action="append", default=[], metavar="SEL",
                       help="asset key, name, function name or glob; +SEL adds its upstreams, "
                            "SEL+ its downstreams (repeatable)")
        p.add_argument("--partition", "-p", action="append", default=[], metavar="DIM=V1,V2",
                       help="only these values of a partition dimension (repeatable)")

    def state(p: argparse.ArgumentParser) -> None:
        p.add_argument("--state", metavar="DIR",
                       help="state directory (default: $TEVRA_HOME or .tevra)")

    p = sub.add_parser("run", help="materialise assets, upstreams first, skipping what is fresh",
                       description="Materialise the selected assets and every partition "
                                   "combination, upstreams first, skipping what is up to date.")
    selection(p)
    state(p)
    p.add_argument("-j", "--jobs", type=_positive_int, default=None, metavar="N",
                   help="runs at once (default: the project file's jobs, else the number "
                        "of cores)")
    p.add_argument("--force", action="store_true", help="run the selection even if fresh")
    p.add_argument("--rerun-failed", action="store_true", help="run only what failed last time")
    p.add_argument("--dry-run", action="store_true", help="print the plan and run nothing")
    p.add_argument("--no-upstream", action="store_true",
                   help="refuse runs whose upstreams are not fresh instead of running them")
    p.add_argument("--fail-fast", action="store_true", help="stop at the first failure")
    p.add_argument("--timeout", type=_positive_float, metavar="S",
                   help="end a run that takes longer than S seconds")
    p.add_argument("--retries", type=_count, metavar="N",
                   help="try a run that fails, crashes or times out up to N more times "
                        "(default: the project file's, else 0)")
    p.add_argument("--isolate", action="store_true",
                   help="every run in a fresh interpreter (python -m tevra.worker)")
    p.add_argument("--executor", choices=("pool", "dask"), default="pool",
                   help="where runs happen (default: a pool of local worker processes)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="with --executor dask: connect to this scheduler (tcp://host:8786) "
                        "instead of starting a local cluster")
    p.add_argument("--dashboard", action="store_true",
                   help="with --executor dask: serve the local cluster's dashboard")
    p.add_argument("--logs", action="store_true",
                   help="show what the runs print as they print it, each line after its "
                        "run's name")
    p.add_argument("--plain", action="store_true",
                   help="one line per finished run instead of the live display")
    p.set_defaults(handler=cmd_run)

    p = sub.add_parser("status", help="which asset partitions are fresh, stale or failed",
                       description="Show each asset partition as fresh, stale (with the "
                                   "reason) or failed.")
    selection(p)
    state(p)
    p.add_argument("--json", action="store_true", help="one JSON document, for tools")
    p.add_argument("--why", metavar="ASSET",
                   help="one asset: what changed in the code it reaches since its partitions "
                        "last succeeded, and why each partition is not fresh")
    p.set_defaults(handler=cmd_status)

    p = sub.add_parser("list", help="the assets in dependency order",
                       description="List the assets in dependency order with their keys, "
                                   "inputs and partition dimensions.")
    modules(p)
    p.set_defaults(handler=cmd_list)

    p = sub.add_parser("check", help="the graph's problems, without running anything",
                       description="Discover the assets and report every problem of the "
                                   "graph without running anything; with --store, check "
                                   "the run history and every stored value instead.")
    modules(p)
    state(p)
    p.add_argument("--store", action="store_true",
                   help="check the database and read every stored value against its hash")
    p.set_defaults(handler=cmd_check)

    p = sub.add_parser("gc", help="remove history and stored values nothing needs",
                       description="Remove the runs and stored values nothing needs: kept "
                                   "are the last run and the last success of every "
                                   "partition, and every run of the last N invocations.")
    state(p)
    p.add_argument("--keep", type=_positive_int, default=10, metavar="N",
                   help="keep every run of the last N invocations (default 10)")
    p.set_defaults(handler=cmd_gc)

    p = sub.add_parser("runs", help="run history, newest first",
                       description="Run history, newest first.")
    state(p)
    p.add_argument("--asset", metavar="A", help="only runs of this asset (key or name)")
    p.add_argument("--status", metavar="STATUS", type=_status_name,
                   help="only runs with this status (" + ", ".join(jobs.STATUSES) + ")")
    p.add_argument("--all", action="store_true",
                   help="also the records of partitions found fresh (kept by older versions)")
    p.add_argument("--limit", type=_positive_int, default=50, metavar="N",
                   help="at most N runs (default 50)")
    p.set_defaults(handler=cmd_runs)

    p = sub.add_parser("show", help="one run's record",
                       description="One run's record: status, error, traceback, timings and "
                                   "value path. Given an asset, its latest run.")
    state(p)
    p.add_argument("target", metavar="RUN_ID|ASSET")
    p.add_argument("--partition", "-p", action="append", default=[], metavar="DIM=VALUE")
    p.set_defaults(handler=cmd_show)

    p = sub.add_parser("logs", help="what a run printed",
                       description="Print a run's log: what it wrote to its standard output "
                                   "and error, and its logging records. Given an asset, its "
                                   "latest run.")
    state(p)
    p.add_argument("target", metavar="RUN_ID|ASSET")
    p.add_argument("--partition", "-p", action="append", default=[], metavar="DIM=VALUE")
    p.add_argument("--follow", "-f", action="store_true",
                   help="for a run under way, go on printing its log as it grows until it "
                        "ends")
    p.set_defaults(handler=cmd_logs)

    p = sub.add_parser("init", help="write a starter project file",
                       description="Add a [tool.tevra] table to pyproject.toml in the working "
                                   "directory (creating the file if needed), listing the "
                                   "modules and packages whose files declare assets.")
    p.set_defaults(handler=cmd_init)

    p = sub.add_parser("ui", help="a local web page over the assets and their runs",
                       description="Serve a web page of the asset graph, partitions and run "
                                   "history, live (needs the ui extra). Ctrl-C stops it.")
    p.add_argument("modules", nargs="*", metavar="MODULE",
                   help="the asset modules (default: the project file's; without any, "
                        "the history alone)")
    state(p)
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1; any other needs a token)")
    p.add_argument("--port", type=int, default=8765, help="port (default 8765; 0: any free)")
    p.add_argument("--token", help="the token other addresses need (default: a new one)")
    p.add_argument("--open", action="store_true", help="open the page in a browser")
    p.set_defaults(handler=cmd_ui)
    return parser


# How often ``tevra logs --follow`` looks for more of a running run's log.
FOLLOW_EVERY = 0.1


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, not {text}")
    return value


# -- discovery and planning -------------------------------------------------------


def _graph(args: argparse.Namespace, proj: Project,
           meanwhile: Callable[[], object] | None = None) -> Graph:
    """The assets of the project's modules; ``meanwhile`` is called while they are
    discovered (in a process of their own: this one only waits)."""
    modules = _modules(args, proj)
    discovery = Discovery(modules, str(proj.root), proj.exclude, debug=args.debug)
    if meanwhile is not None:
        try:
            meanwhile()
        except BaseException:
            discovery.stop()
            raise
    found = discovery.result()
    if not found.records:
        raise GraphError([f"no assets found in {' '.join(modules)}"])
    return build(found.records, found.python_version, str(proj.root))


def _modules(args: argparse.Namespace, proj: Project) -> list[str]:
    if args.modules:
        return list(args.modules)
    if proj.modules:
        return proj.modules
    if proj.file is not None:
        raise UsageError(f"{os.path.relpath(proj.file)} lists no modules: add "
                         "modules = [\"...\"] to its [tool.tevra] table, or name them here")
    raise UsageError("name the modules holding your assets (tevra run shop), or list them in "
                     "a project file: tevra init writes one")


def _state(args: argparse.Namespace, proj: Project) -> Path:
    default = proj.state or (proj.root / ".tevra" if proj.file is not None else None)
    return state_dir(args.state, default)


def _filters(specs: list[str]) -> dict[str, set[str]]:
    filters: dict[str, set[str]] = {}
    for spec in specs:
        try:
            dim, values = parse_filter(spec)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
        filters.setdefault(dim, set()).update(values)
    return filters


def _plan(args: argparse.Namespace, store: Store | None, graph: Graph) -> Plan:
    options = Options(
        selection=args.select,
        partition_filters=_filters(args.partition),
        force=getattr(args, "force", False),
        rerun_failed=getattr(args, "rerun_failed", False),
        upstream=not getattr(args, "no_upstream", False),
    )
    plan = Plan(graph, options, store)
    plan.build()
    return plan


# -- commands ---------------------------------------------------------------------


def _load_run_modules() -> None:
    # What a run needs beyond discovery and planning, imported while discovery runs.
    for name in ("tevra.display", "tevra.runner", "tevra.executors.pool"):
        importlib.import_module(name)


def cmd_run(args: argparse.Namespace) -> int:
    proj = project.load()
    warm: list[WarmWorker] = []

    def meanwhile() -> None:
        if args.executor == "pool" and not args.isolate and not args.dry_run:
            # The first pool worker imports the modules while discovery does: it takes
            # its place in the state directory only once the run holds the lock.
            from tevra.executors.pool import WarmWorker

            warm.append(WarmWorker(_modules(args, proj), proj.exclude, cwd=str(proj.root)))
        _load_run_modules()

    try:
        graph = _graph(args, proj, meanwhile)
        return _run(args, proj, graph, warm[0] if warm else None)
    finally:
        for worker in warm:
            worker.stop()  # unless the pool took it


def _run(args: argparse.Namespace, proj: Project, graph: Graph, warm: WarmWorker | None) -> int:
    from tevra.display import reporter
    from tevra.runner import Runner
    store = Store(_state(args, proj), notice=sys.stderr)
    try:
        store.adopt_path_keys(graph.unnamed())
        if args.dry_run:
            return _dry_run(_plan(args, store, graph))
        with store.writer(sys.argv):
            # Plan under the lock: another invocation may have just finished runs.
            plan = _plan(args, store, graph)
            refused = plan.refused_upstreams() if args.no_upstream else []
            if refused:
                raise UsageError("--no-upstream: these runs need upstreams that are not "
                                 "fresh:\n" + "\n".join(f"  {r}" for r in refused))
            if args.executor != "dask" and (args.scheduler or args.dashboard):
                raise UsageError("--scheduler and --dashboard need --executor dask")
            summary = Runner(
                plan, store, lambda: _executor(args, proj, store.root, len(plan),
                                             store.worker_started, warm),
                reporter(args.plain),
                settings=lambda asset: proj.settings(asset.key, timeout=args.timeout,
                                                     retries=args.retries),
                fail_fast=args.fail_fast, logs=args.logs).run()
    finally:
        store.close()
    if summary.cancelled:
        return INTERRUPTED
    return RUN_FAILED if summary.failed else OK


def _executor(args: argparse.Namespace, proj: Project, state: Path, runs: int,
              on_worker: Callable[[int], None] | None = None,
              warm: WarmWorker | None = None) -> Any:
    # No more workers than runs: a cluster's workers start before the first run.
    workers = max(1, min(args.jobs or proj.jobs or os.cpu_count() or 1, runs))
    where = str(proj.root)
    if args.executor == "dask":
        from tevra.executors.dask import DaskExecutor

        return DaskExecutor(workers=workers, scheduler=args.scheduler,
                            dashboard=args.dashboard, project_dir=where, state=str(state))
    if args.isolate:
        from tevra.executors.isolate import IsolateExecutor
        return IsolateExecutor(workers=workers, cwd=where, state=str(state), on_worker=on_worker)
    from tevra.executors.pool import PoolExecutor
    return PoolExecutor(workers=workers, cwd=where, state=str(state), on_worker=on_worker,
                        warm=warm)


def _dry_run(plan: Plan) -> int:
    fresh = would = 0
    for node, verdict, reason in plan.preview():
        if verdict == FRESH:
            fresh += 1
            continue
        would += 1
        print(f"would run  {node.label}  ({reason})")
    print(f"tevra: {would} to run, {fresh} fresh (dry run, nothing ran)")
    return OK


def cmd_status(args: argparse.Namespace) -> int:
    proj = project.load()
    graph = _graph(args, proj)
    root = _state(args, proj)
    store = Store(root, readonly=True) if has_history(root) else None
    if store is not None:
        store.adopt_path_keys(graph.unnamed())
    out = sys.stdout
    counts: dict[str, int] = {}
    try:
        if args.why:
            return _why(args, store, graph)
        rows = _plan(args, store, graph).preview()
        if args.json:
            # Streamed, one partition a line: a million partitions are never one document
            # in memory.
            out.write('{"partitions": [')
            _write_lines(out, _json_lines(rows))
            out.write("\n]}\n")
            return OK
        _write_lines(out, _text_lines(rows, counts))
    finally:
        if store is not None:
            store.close()
    print("tevra: " + ", ".join(f"{n} {v}" for v, n in sorted(counts.items())))
    return OK


def _text_lines(rows: Iterable[tuple[Node, str, str]], counts: dict[str, int]) -> Iterator[str]:
    heads = {verdict: f"{verdict:<6} " for verdict in (FRESH, STALE, FAILED)}
    for node, verdict, reason in rows:
        counts[verdict] = counts.get(verdict, 0) + 1
        yield heads[verdict] + node.label + (f"  ({reason})\n" if reason else "\n")


def _json_lines(rows: Iterable[tuple[Node, str, str]]) -> Iterator[str]:
    # As json.dumps writes each partition's object, what repeats encoded once: the
    # asset's members, and the status with the reason (a few of each, mostly).
    heads: dict[str, str] = {}
    tails: dict[tuple[str, str], str] = {}
    sep = "\n"
    for node, verdict, reason in rows:
        asset = node.asset
        head = heads.get(asset.key)
        if head is None:
            head = heads[asset.key] = (f'{{"asset": {json.dumps(asset.key)}, "label": '
                                       f'{json.dumps(asset.label)}, "partition": ')
        tail = tails.get((verdict, reason))
        if tail is None:
            tail = f', "status": {json.dumps(verdict)}, "reason": {json.dumps(reason or None)}}}'
            if len(tails) < 256:
                tails[(verdict, reason)] = tail
        yield sep + head + json.dumps(node.key) + tail
        sep = ",\n"


def _write_lines(out: TextIO, lines: Iterable[str]) -> None:
    """Written a batch at a time: a million partitions are a million lines."""
    batch: list[str] = []
    for line in lines:
        batch.append(line)
        if len(batch) >= 4096:
            out.write("".join(batch))
            batch.clear()
    out.write("".join(batch))


WHY_ROWS = 20  # partitions listed by --why; the rest are counted


def _why(args: argparse.Namespace, store: Store | None, graph: Graph) -> int:
    asset = graph.one(args.why)
    args.select = [asset.key]
    plan = _plan(args, store, graph)
    print(f"{asset.label} ({asset.key})")
    now = plan.code_versions[asset.key]
    for version, count in sorted((store.code_versions_of(asset.key) if store else {}).items(),
                                 key=lambda item: -item[1]):
        if version is None:
            continue
        parts = f"{count} partition{'s' if count > 1 else ''} last succeeded with"
        if version == now:
            print(f"  {parts} the code as it is now")
            continue
        before = store.code_parts(version) if store else None
        if before is None or asset.code_parts is None:
            print(f"  {parts} other code, whose parts were not recorded")
            continue
        print(f"  {parts} other code; since then:")
        for line in codeversion.changes(before, asset.code_parts):
            print(f"    {line}")
    counts: dict[str, int] = {}
    for node, verdict, reason in plan.preview():
        if node.asset is not asset:
            continue
        counts[verdict] = counts.get(verdict, 0) + 1
        if verdict != FRESH and sum(n for v, n in counts.items() if v != FRESH) <= WHY_ROWS:
            print(f"  {verdict:<6} {node.key or '-'}  ({reason})")
    hidden = sum(n for v, n in counts.items() if v != FRESH) - WHY_ROWS
    if hidden > 0:
        print(f"  ... and {hidden} more")
    print("tevra: " + ", ".join(f"{n} {v}" for v, n in sorted(counts.items())))
    return OK


def cmd_list(args: argparse.Namespace) -> int:
    graph = _graph(args, project.load())
    for asset in graph.assets:
        print(asset.label)
        if asset.key != asset.label:
            print(f"  key:        {asset.key}")
        if asset.source is not None:
            print(f"  source:     {asset.source}  (files under {graph.root})")
        else:
            print(f"  function:   {asset.module}.{asset.function}  ({asset.file})")
        if asset.inputs:
            ins = ", ".join(f"{p} <- {u.label}" for p, u in sorted(asset.inputs.items()))
            print(f"  inputs:     {ins}")
        if asset.dims:
            dims = ", ".join(f"{d} ({len(asset.dims.values[d])})" for d in asset.dims.names)
            print(f"  partitions: {dims} = {asset.dims.size()} runs")
    return OK


def cmd_check(args: argparse.Namespace) -> int:
    if args.store:
        store = _open_history(args)
        try:
            checked, problems = store.check()
        finally:
            store.close()
        for problem in problems:
            print(problem)
        print(f"tevra: {checked} stored values checked, "
              + (f"{len(problems)} problems" if problems else "no problems"))
        return RUN_FAILED if problems else OK
    graph = _graph(args, project.load())
    runs = sum(a.dims.size() for a in graph.assets)
    print(f"tevra: {len(graph.assets)} assets, {runs} partition runs, no problems")
    return OK


def cmd_gc(args: argparse.Namespace) -> int:
    store = _open_history(args)
    try:
        runs, files, freed = store.collect(args.keep)
    finally:
        store.close()
    print(f"tevra: removed {runs} runs and {files} stored files ({freed / 1e6:.1f} MB)")
    return OK


def _open_history(args: argparse.Namespace) -> Store:
    return Store(_state(args, project.load()), readonly=True)


def cmd_runs(args: argparse.Namespace) -> int:
    store = _open_history(args)
    try:
        runs = store.history(args.asset, args.status, args.limit, cached=args.all)
    finally:
        store.close()
    print(f"{'run':>7}  {'status':<15} {'started':<19} {'time':>8}  asset")
    for run in runs:
        print(f"{run.id:>7}  {run.status:<15} {_when(run.started):<19} "
              f"{_took(run):>8}  {_short(run.asset)}{f'[{run.partition}]' if run.partition else ''}"
              + (f"  (attempt {run.attempt})" if run.attempt > 1 else ""))
    return OK


def _chosen_run(store: Store, args: argparse.Namespace) -> Run:
    """The run ``show`` or ``logs`` names: by its id, or an asset's latest (of one
    partition)."""
    if args.target.isdigit() and not args.partition:
        found = store.run(int(args.target))
        if found is None:
            raise UsageError(f"no run {args.target} in {store.root}")
        return found
    filters = _filters(args.partition)
    several = {d: v for d, v in filters.items() if len(v) > 1}
    if several:
        named = ", ".join(f"{d}={v}" for d, values in sorted(several.items())
                          for v in sorted(values))
        raise UsageError(f"{args.command} takes one partition, and --partition names several "
                         f"({named}); give one value for each dimension")
    partition = ",".join(f"{d}={next(iter(v))}" for d, v in sorted(filters.items()))
    return store.latest_run_of(args.target, partition)


def cmd_show(args: argparse.Namespace) -> int:
    store = _open_history(args)
    values = store.values
    try:
        run = _chosen_run(store, args)
        log = store.log_of(run)
    finally:
        store.close()
    fields = [
        ("run", str(run.id)), ("invocation", str(run.invocation)), ("asset", run.asset),
        ("partition", run.partition or "-"), ("status", run.status),
        ("attempt", str(run.attempt)),
        ("reason", run.reason or "-"), ("started", _when(run.started)),
        ("ended", _when(run.ended)), ("time", _took(run)),
        ("code version", run.code_version or "-"), ("data version", run.data_version or "-"),
        ("value", _value_text(run, values)),
    ]
    if run.files:
        fields.append(("data files", ", ".join(values.path(h) for h in run.file_hashes)))
    if run.cached_from is not None:
        fields.append(("cached from run", str(run.cached_from)))
    if run.input_versions:
        fields.append(("inputs", run.input_versions))
    if run.error:
        fields.append(("error", run.error))
    width = max(len(k) for k, _ in fields)
    for key, value in fields:
        print(f"{key:<{width}}  {value}")
    if run.traceback:
        print("traceback:")
        print(run.traceback.rstrip("\n"))
    if log:
        print("log:")
        _write_out(log if log.endswith(b"\n") else log + b"\n")
    return OK


def cmd_logs(args: argparse.Namespace) -> int:
    store = _open_history(args)
    try:
        run = _chosen_run(store, args)
        if run.status != jobs.RUNNING or not args.follow:
            log = store.log_of(run)
            if log:
                _write_out(log)
            else:
                print(f"tevra: run {run.id} wrote nothing", file=sys.stderr)
            return OK
        _follow(store, run)
    finally:
        store.close()
    return OK


def _follow(store: Store, run: Run) -> None:
    """Print a running run's log as it grows, until the run ends."""
    live: LiveLog | None = None
    shown = False
    try:
        while True:
            if live is None:
                live = store.live_log(run.id)
            data = live.read() if live is not None else b""
            if data:
                _write_out(data)
                shown = True
                continue
            now = store.run(run.id)
            if now is None or now.status != jobs.RUNNING:
                rest = live.read() if live is not None else b""
                if rest or shown:
                    _write_out(rest)
                elif now is not None:
                    # It ended before its log could be followed: the log as kept.
                    _write_out(store.log_of(now) or b"")
                return
            time.sleep(FOLLOW_EVERY)
    finally:
        if live is not None:
            live.close()


def _write_out(data: bytes) -> None:
    """Bytes a run wrote, to standard output as they are."""
    sys.stdout.flush()
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()


def cmd_init(args: argparse.Namespace) -> int:
    path = Path.cwd() / project.FILE_NAME
    existing = path.read_text(encoding="utf-8") if path.exists() else ""
    if existing and project.find(path.parent) == path:
        raise UsageError(f"{project.FILE_NAME} already has a [tool.tevra] table")
    table = project.starter(path.parent)
    with open(path, "a", encoding="utf-8") as f:
        f.write(("\n" if existing and not existing.endswith("\n\n") else "") + table)
    project.parse(path)  # what was written must load
    print(f"tevra: {'added a [tool.tevra] table to' if existing else 'wrote'} {path}")
    return OK

def cmd_ui(args: argparse.Namespace) -> int:
    from tevra.ui import serve

    proj = project.load()
    return serve(list(args.modules) or proj.modules, _state(args, proj), proj.root,
                 exclude=proj.exclude, host=args.host, port=args.port, token=args.token,
                 open_browser=args.open)


def _value_text(run: Run, values: ValueStore) -> str:
    """A small value itself (cut short), or where a larger one is stored."""
    if run.value is not None:
        text = run.value.decode("utf-8", "replace")
        return text if len(text) <= 200 else text[:200] + "..."
    return values.path(run.value_hash) if run.value_hash else "-"


def _when(t: float | None) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t)) if t else "-"


def _took(run: Run) -> str:
    if run.started is None or run.ended is None:
        return "-"
    return f"{run.ended - run.started:.3f}s"


def _short(key: str) -> str:
    # An unnamed asset's key is its file and function; the file's name is enough here.
    if ":" in key and key.startswith("/"):
        path, _, function = key.rpartition(":")
        return f"{Path(path).name}:{function}"
    return key


if __name__ == "__main__":
    sys.exit(main())
