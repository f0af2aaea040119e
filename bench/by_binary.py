"""Instructions per call by binary: where each implementation spends them.

    .venv/bin/python bench/overhead.py --instructions --keep-profiles build/profiles
    .venv/bin/python bench/by_binary.py build/profiles [--calls 2000] [--functions 12]

Reads the callgrind dumps that `overhead.py --keep-profiles` keeps (one per
kind of call and implementation) and splits each call's instructions by the
binary that executed them: the implementation's own extension module ("own":
a vexa module, or the Cython build of the plain client, or nothing for the
plain client and the twins, which are Python), libpython, libc, the dynamic loader (libpython's thread-local
variables on some builds) and the rest. The empty caller loop is subtracted
per binary, as overhead.py subtracts it from the totals. `--calls` must match
the number of calls the dumps were made with (200 with `--quick`).

`--functions N` adds, per kind of call, the own binary's N costliest
functions by exclusive instructions per call (native and Cython side by
side): the flame of the compiled code. `--layer OUTER INNER` (two kinds of
call, e.g. coroutine-awaiting-another-list-running and
coroutine-asyncjobsclient-list) prints what OUTER costs beyond INNER, by
binary and by own function: the cost of one coroutine layer when OUTER only
awaits INNER. The installed modules are stripped;
for names, profile with the unstripped build (the files in build/<tag>
copied over the installed ones).
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
from collections import defaultdict
from pathlib import Path

IMPLEMENTATIONS = ("native", "python", "cython", "twins")  # as in overhead.py
BINARIES = ("own", "libpython", "libc", "ld.so", "other")


def binary_of(path: str) -> str:
    name = Path(path).name
    # The interpreter: libpython, or the python executable where it is linked
    # in statically (Debian's own builds).
    if name.startswith("libpython") or re.fullmatch(r"python3(\.\d+)?", name):
        return "libpython"
    if name.startswith("libc.so") or name.startswith("libm.so"):
        return "libc"
    if name.startswith("ld-linux"):
        return "ld.so"  # the dynamic loader: thread-local variables of libpython (__tls_get_addr)
    if name.startswith(("_code.", "_jobs.", "_web.", "plain_client.")):
        return "own"
    return "other"  # other extension modules (_asyncio)


OBJECT_LINE = re.compile(r"c?ob=(?:\((\d+)\))?\s*(.*)")


def object_names(dumps: list[Path]) -> dict[str, str]:
    """The object-file names behind callgrind's compressed ids; the parts of
    one run share them, and a part may use an id that another defined."""
    names: dict[str, str] = {}
    for dump in dumps:
        for line in dump.read_text().splitlines():
            if line.startswith(("ob=", "cob=")):
                found = OBJECT_LINE.match(line)
                assert found is not None
                key, name = found.groups()
                if key and name:
                    names[key] = name
    return names


def self_cost_by_binary(dump: Path, names: dict[str, str]) -> dict[str, int]:
    """Exclusive instructions in the dump, summed per binary.

    Read from the callgrind file itself: a cost line belongs to the current
    `ob=` (object file) unless it follows a `calls=` line, where it is the
    inclusive cost of that call and is counted in the callee instead.
    """
    totals: dict[str, int] = defaultdict(int)
    current = "other"
    after_call = False
    for line in dump.read_text().splitlines():
        if line.startswith("ob="):
            found = OBJECT_LINE.match(line)
            assert found is not None
            key, name = found.groups()
            current = binary_of(names[key] if key else name)
        elif line.startswith("calls="):
            after_call = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            if after_call:
                after_call = False
                continue
            fields = line.split()
            if len(fields) > 1:  # a position alone carries no cost
                totals[current] += int(fields[-1])
    return totals


FUNCTION_LINE = re.compile(r"c?fn=(?:\((\d+)\))?\s*(.*)")


def function_names(dumps: list[Path]) -> dict[str, str]:
    """The function names behind callgrind's compressed ids, as object_names."""
    names: dict[str, str] = {}
    for dump in dumps:
        for line in dump.read_text().splitlines():
            if line.startswith(("fn=", "cfn=")):
                found = FUNCTION_LINE.match(line)
                assert found is not None
                key, name = found.groups()
                if key and name:
                    names[key] = name
    return names


def own_cost_by_function(dump: Path, objects: dict[str, str], functions: dict[str, str]) -> dict[str, int]:
    """Exclusive instructions of the own binary's functions (see self_cost_by_binary)."""
    totals: dict[str, int] = defaultdict(int)
    own = False
    function = "?"
    after_call = False
    for line in dump.read_text().splitlines():
        if line.startswith("ob="):
            found = OBJECT_LINE.match(line)
            assert found is not None
            key, name = found.groups()
            own = binary_of(objects[key] if key else name) == "own"
        elif line.startswith("fn="):
            found = FUNCTION_LINE.match(line)
            assert found is not None
            key, name = found.groups()
            function = functions[key] if key else name
        elif line.startswith("calls="):
            after_call = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            if after_call:
                after_call = False
                continue
            fields = line.split()
            if own and len(fields) > 1:
                totals[function] += int(fields[-1])
    return totals


def demangled(names: list[str]) -> list[str]:
    tool = shutil.which("c++filt")
    if not tool or not names:
        return names
    done = subprocess.run([tool, "-p"], input="\n".join(names), capture_output=True, text=True, check=True)
    return done.stdout.splitlines()


def print_functions(profiles: Path, kinds: list[str], calls: int, top: int, dumps: list[Path]) -> None:
    objects = object_names(dumps)
    functions = function_names(dumps)
    print(f"\nOwn code by function, exclusive instructions per call (the {top} costliest, then the rest)")
    for kind in kinds:
        for impl in ("native", "cython"):
            dump = profiles / f"{impl}--{kind}.out"
            if not dump.exists():
                continue
            cost = own_cost_by_function(dump, objects, functions)
            ranked = sorted(cost.items(), key=lambda item: -item[1])
            total = sum(cost.values()) / calls
            print(f"  {kind} {impl}: {total:.0f}")
            shown = ranked[:top]
            for name, value in zip(demangled([name for name, _ in shown]), [value for _, value in shown]):
                print(f"    {value / calls:8.1f}  {name[:110]}")
            rest = sum(value for _, value in ranked[top:]) / calls
            print(f"    {rest:8.1f}  (the other {max(0, len(ranked) - top)} functions)")


def print_layer(profiles: Path, outer: str, inner: str, calls: int, dumps: list[Path]) -> None:
    """What `outer` costs beyond `inner`, per call: by binary, then by own function."""
    objects = object_names(dumps)
    functions = function_names(dumps)
    print(f"\nOne layer: {outer} beyond {inner}, instructions per call")
    for impl in ("native", "cython"):
        paths = [profiles / f"{impl}--{kind}.out" for kind in (outer, inner)]
        if not all(path.exists() for path in paths):
            continue
        by_binary = [self_cost_by_binary(path, objects) for path in paths]
        split = "  ".join(f"{b} {(by_binary[0].get(b, 0) - by_binary[1].get(b, 0)) / calls:.0f}" for b in BINARIES)
        print(f"  {impl}: {split}")
        costs = [own_cost_by_function(path, objects, functions) for path in paths]
        names = sorted(set(costs[0]) | set(costs[1]), key=lambda name: costs[1].get(name, 0) - costs[0].get(name, 0))
        differences = [(costs[0].get(name, 0) - costs[1].get(name, 0)) / calls for name in names]
        for name, difference in zip(demangled(names), differences):
            if abs(difference) >= 1:
                print(f"    {difference:+8.1f}  {name[:110]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("profiles", type=Path, help="the folder given to overhead.py --keep-profiles")
    parser.add_argument("--calls", type=int, default=2_000, help="calls per dump (200 with --quick)")
    parser.add_argument("--functions", type=int, default=0, help="also list the own code's N costliest functions")
    parser.add_argument("--layer", nargs=2, metavar=("OUTER", "INNER"), help="what OUTER costs beyond INNER")
    args = parser.parse_args()
    dumps = sorted(args.profiles.glob("*--*.out"))
    names = object_names(dumps)
    kinds = sorted({dump.stem.split("--", 1)[1] for dump in dumps} - {"empty-loop"})
    # The implementations the dumps hold (older runs had no twins).
    present = [impl for impl in IMPLEMENTATIONS if (args.profiles / f"{impl}--empty-loop.out").exists()]
    empty = {impl: self_cost_by_binary(args.profiles / f"{impl}--empty-loop.out", names) for impl in present}
    binaries = BINARIES
    print(f"Instructions per call by binary ({args.calls} calls per dump, caller loop subtracted)")
    print(f"  {'kind of call':<52} {'impl':<7}" + "".join(f"{b:>10}" for b in binaries) + f"{'total':>10}")
    for kind in kinds:
        for impl in present:
            dump = args.profiles / f"{impl}--{kind}.out"
            if not dump.exists():
                continue
            cost = self_cost_by_binary(dump, names)
            # One stream item is measured without the empty loop's subtraction, as in overhead.py.
            base = {} if kind == "one-stream-output-item" else empty[impl]
            per_call = {b: (cost.get(b, 0) - base.get(b, 0)) / args.calls for b in binaries}
            print(
                f"  {kind:<52} {impl:<7}"
                + "".join(f"{per_call[b]:10.0f}" for b in binaries)
                + f"{sum(per_call.values()):10.0f}"
            )

    if args.functions:
        print_functions(args.profiles, kinds, args.calls, args.functions, dumps)
    if args.layer:
        print_layer(args.profiles, *args.layer, args.calls, dumps)


if __name__ == "__main__":
    main()
