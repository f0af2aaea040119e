"""Every benchmark in one table: the overhead per kind of call (native, plain
Python, Cython 3), then the rows of every other bench script in bench/ that
offers `collect(quick: bool) -> list[tuple[str, str, float]]` (row name, unit,
value), e.g. end to end against a local keep-alive server and memory.

    bash scripts/bench.sh [--quick] [--instructions]

(the same as `.venv/bin/python bench/all.py ...` once .venv has the `bench` extra).
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import platform
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Callable

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import overhead  # noqa: E402

Collector = Callable[[bool], list[tuple[str, str, float]]]


def load(path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location(f"bench_{path.stem}", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def collectors() -> list[tuple[str, Collector]]:
    """The other bench scripts' `collect` functions, by file name. A script is
    imported only when its text defines one, so plain scripts are not run."""
    found = []
    for path in sorted(BENCH_DIR.glob("*.py")):
        if path.name in ("all.py", "overhead.py") or "\ndef collect(" not in path.read_text(encoding="utf-8"):
            continue
        found.append((path.name, load(path).collect))
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats: a smoke run, numbers rough")
    parser.add_argument("--instructions", action="store_true", help="add callgrind instruction counts per call")
    args = parser.parse_args()
    started = time.perf_counter()
    print(
        f"{datetime.date.today()}  CPython {platform.python_version()}  {platform.machine()}  "
        f"{platform.processor() or platform.node()}  {'quick' if args.quick else 'full'} run"
    )
    timings = overhead.time_all(args.quick)
    instructions = overhead.count_instructions(200 if args.quick else 2_000) if args.instructions else None
    header = f"  {'row':<58}  {'native':>9}  {'python':>9}  {'cython':>9}  {'nat/py':>6}  {'nat/cy':>6}  unit"
    print("\nOverhead per kind of call, network and models stubbed (targets: nat/py <= 0.60, nat/cy <= 0.80)")
    print(header)
    for title, unit, results in (("", "ns", timings), (" [Ir]", "Ir", instructions or {})):
        for name, row in results.items():
            native, python, cython = (row[impl] for impl in overhead.IMPLEMENTATIONS)
            print(
                f"  {name + title:<58}  {native:9.0f}  {python:9.0f}  {cython:9.0f}  "
                f"{native / python:6.2f}  {native / cython:6.2f}  {unit}"
            )
    for script, collect in collectors():
        print(f"\n{script}")
        for name, unit, value in collect(args.quick):
            print(f"  {name:<58}  {value:12.3f}  {unit}")
    print(f"\nTotal {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
