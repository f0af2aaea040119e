"""Every benchmark in one table: the overhead per kind of call (native, the
plain-Python client, its Cython 3 build, and the shipped pure-Python twins for
information), then the rows of every other bench script in bench/ that offers `collect(quick: bool) -> list[tuple[str, str, float]]` (row name, unit,
value), e.g. end to end against a local keep-alive server and memory.

    bash scripts/bench.sh [--quick] [--instructions]

(the same as `.venv/bin/python bench/all.py ...` once .venv has the `bench` extra).
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import json
import platform
import subprocess
import sys
import time
from pathlib import Path
from types import ModuleType

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import overhead  # noqa: E402


def load(path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location(f"bench_{path.stem}", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def collector_scripts() -> list[Path]:
    """The other bench scripts that define `collect`. A script is imported only
    when its text defines one, so plain scripts are not run."""
    return [
        path
        for path in sorted(BENCH_DIR.glob("*.py"))
        if path.name not in ("all.py", "overhead.py") and "\ndef collect(" in path.read_text(encoding="utf-8")
    ]


def collect_in_child(path: Path, quick: bool) -> list[tuple[str, str, float]]:
    # A process of its own: the overhead timing has replaced the native modules'
    # globals with stubs in this one.
    command = [sys.executable, __file__, "--collect", str(path)] + (["--quick"] if quick else [])
    output = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    return [tuple(row) for row in json.loads(output.strip().splitlines()[-1])]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats: a smoke run, numbers rough")
    parser.add_argument("--instructions", action="store_true", help="add callgrind instruction counts per call")
    parser.add_argument("--collect", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.collect:
        print(json.dumps(load(args.collect).collect(args.quick)))
        return
    started = time.perf_counter()
    print(
        f"{datetime.date.today()}  CPython {platform.python_version()}  {platform.machine()}  "
        f"{platform.processor() or platform.node()}  {'quick' if args.quick else 'full'} run"
    )
    timings = overhead.time_all(args.quick)
    instructions = overhead.count_instructions(200 if args.quick else 2_000) if args.instructions else None
    columns = "".join(f"  {impl:>9}" for impl in overhead.IMPLEMENTATIONS)
    print("\nOverhead per kind of call, network and models stubbed (targets: nat/py <= 0.75, nat/cy <= 0.95)")
    print(f"  {'row':<58}{columns}  {'nat/py':>6}  {'nat/cy':>6}  unit")
    for title, unit, results in (("", "ns", timings), (" [Ir]", "Ir", instructions or {})):
        for name, row in results.items():
            figures = "".join(f"  {row[impl]:9.0f}" for impl in overhead.IMPLEMENTATIONS)
            print(
                f"  {name + title:<58}{figures}  "
                f"{row['native'] / row['python']:6.2f}  {row['native'] / row['cython']:6.2f}  {unit}"
            )
    for script in collector_scripts():
        print(f"\n{script.name}")
        for name, unit, value in collect_in_child(script, args.quick):
            print(f"  {name:<58}  {value:12.3f}  {unit}")
    print(f"\nTotal {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
