"""Discover the example pipeline's assets and run each one, upstreams first.

Run by tools/run-example with PYTHONPATH holding python/ and examples/.
Usage: run_example.py [OUT_DIR [MODULE...]]
"""

import itertools
import json
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PROJECT = ROOT / "examples"
MODULES = ["pipeline.orders", "pipeline.regions"]


class Skip(Exception):
    """A run that cannot start because of its upstreams."""


def discover(modules):
    cmd = [sys.executable, "-m", "tevra.inspect", *modules]
    proc = subprocess.run(cmd, cwd=PROJECT, stdout=subprocess.PIPE, text=True, encoding="utf-8")
    if proc.returncode != 0:
        sys.exit(f"discovery failed with exit status {proc.returncode}")
    assets = {}
    for record in json.loads(proc.stdout)["assets"]:
        # An asset imported into a second scanned module is listed twice; one run is enough.
        assets.setdefault(f"{record['file_path']}:{record['function_name']}", record)
    if not assets:
        sys.exit(f"no assets found in {' '.join(modules)}")
    return assets


def inputs_of(record):
    return record["decorator_metadata"].get("inputs") or {}


def dims_of(record):
    return record["decorator_metadata"].get("partitions") or {}


def dependency_order(assets):
    """Asset references, each after every asset it takes as input."""
    order, state = [], {}

    def visit(ref, path):
        if state.get(ref) == "done":
            return
        if state.get(ref) == "visiting":
            cycle = path[path.index(ref):] + [ref]
            sys.exit("dependency cycle: " + " -> ".join(assets[r]["function_name"] for r in cycle))
        state[ref] = "visiting"
        for param, upstream in sorted(inputs_of(assets[ref]).items()):
            if upstream not in assets:
                sys.exit(f"{assets[ref]['function_name']}: input {param!r} refers to unknown asset {upstream!r}")
            visit(upstream, path + [ref])
        state[ref] = "done"
        order.append(ref)

    for ref in assets:
        visit(ref, [])
    return order


def partition_keys(record):
    """Every combination of the asset's partition values, as keyword dicts ([{}] if unpartitioned)."""
    dims = dims_of(record)
    names = sorted(dims)
    values = [json.loads(dims[name]["values_json"]) for name in names]
    return [dict(zip(names, combo)) for combo in itertools.product(*values)]


def key_text(key):
    return ",".join(f"{k}={v if isinstance(v, str) else json.dumps(v)}" for k, v in key.items())


def run_inputs(record, key, assets, runs):
    """Keyword arguments for one run: its partition keys, then each upstream's value."""
    kwargs = dict(key)
    for param, ref in inputs_of(record).items():
        upstream = assets[ref]
        # Read the upstream partition with the same values on the upstream's dimensions.
        missing = sorted(d for d in dims_of(upstream) if d not in key)
        if missing:
            raise Skip(f"not run: upstream {upstream['function_name']} is partitioned on {missing}, this asset is not")
        wanted = key_text({d: key[d] for d in sorted(dims_of(upstream))})
        source = runs.get((ref, wanted))
        if source is None:
            raise Skip(f"not run: upstream {upstream['function_name']}{f'[{wanted}]' if wanted else ''} has no value")
        kwargs[param] = json.loads((source / "value.json").read_text(encoding="utf-8"))
    return kwargs


def run(record, out_dir, kwargs):
    """Run one asset through the worker; None on success, else why it failed."""
    # Start empty so that no file from an earlier run can pass for this one's.
    shutil.rmtree(out_dir, ignore_errors=True)
    cmd = [sys.executable, "-m", "tevra.worker", record["module_path"], record["function_name"],
           str(out_dir), json.dumps(kwargs)]
    code = subprocess.run(cmd, cwd=PROJECT).returncode
    result_path = out_dir / "result.json"
    result = json.loads(result_path.read_text(encoding="utf-8")) if result_path.exists() else {}
    if code == 0 and result.get("ok") is True:
        return None
    return f"failed: {result.get('error') or f'worker exit status {code}'}"


def main(argv):
    out_root = Path(argv[0]).resolve() if argv else ROOT / "build" / "example-runs"
    assets = discover(argv[1:] or MODULES)
    order = dependency_order(assets)
    runs = {}  # (asset ref, partition text) -> output dir of a successful run
    failed = 0
    for ref in order:
        record = assets[ref]
        label = f"{record['module_path']}.{record['function_name']}"
        for key in partition_keys(record):
            text = key_text(key)
            out_dir = out_root / label / text.replace("/", "_") if key else out_root / label
            try:
                problem = run(record, out_dir, run_inputs(record, key, assets, runs))
            except Skip as skip:
                problem, out_dir = str(skip), "(no files)"
            if problem is None:
                runs[(ref, text)] = out_dir
            failed += problem is not None
            print(f"{label}{f'[{text}]' if key else ''}: {problem or 'ok'} -> {out_dir}", flush=True)
    print(f"{len(runs)} run(s) ok, {failed} failed or skipped; outputs under {out_root}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
