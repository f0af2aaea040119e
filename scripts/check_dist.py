"""Checks what a built wheel or sdist of vexa contains.

    python scripts/check_dist.py dist/vexa-*.whl dist/vexa-*.tar.gz

A wheel must carry each native module once, with its .pyi stub and its
pure-Python twin, plus py.typed and the licence, and nothing of the C++
sources or grafted libraries; each module must export one symbol and need
nothing beyond libc. The universal wheel (py3-none-any) must carry the stubs
and twins and no compiled file at all. An sdist must
carry everything a wheel is built from, and no built module. Prints the
problems found and exits with status 1 if there are any.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from collections.abc import Iterable
from pathlib import Path, PurePosixPath

NATIVE_MODULES = (
    "vexa/client/_sync/_code",
    "vexa/client/_sync/_jobs",
    "vexa/client/_sync/_web",
    "vexa/client/_async/_jobs",
    "vexa/client/_async/_web",
)
# Each module's twin stands at the module's path below _pure/ (_pure/_sync/_code.py, ...).
PURE_TWINS = (
    *(module.replace("vexa/client/", "vexa/client/_pure/") + ".py" for module in NATIVE_MODULES),
    "vexa/client/_pure/_frame.py",
    "vexa/client/_modules.py",
)
ALLOWED_NEEDED = {"libc.so.6", "libpthread.so.0"}
SOURCE_SUFFIXES = {".cpp", ".cc", ".h", ".hpp"}


def _module_files(names: Iterable[str], module: str) -> list[str]:
    directory, stem = module.rsplit("/", 1)
    return [name for name in names if re.fullmatch(rf"{re.escape(directory)}/{stem}\.[^/]+\.so", name)]


def wheel_problems(names: Iterable[str], universal: bool = False) -> list[str]:
    """What is missing from or wrongly in a wheel, given its member names;
    `universal`: the pure-Python wheel, which has no compiled file."""
    names = sorted(names)
    problems = []
    if universal:
        problems += [
            f"compiled file in the universal wheel: {name}"
            for name in names
            if name.endswith((".so", ".pyd", ".dylib"))
        ]
    problems += [f"no pure-Python twin {twin}" for twin in PURE_TWINS if twin not in names]
    for module in NATIVE_MODULES:
        count = len(_module_files(names, module))
        if count != (0 if universal else 1):
            problems.append(f"{count} compiled files for {module} (want {0 if universal else 1})")
        if f"{module}.pyi" not in names:
            problems.append(f"no stub {module}.pyi")
    if "vexa/py.typed" not in names:
        problems.append("no vexa/py.typed")
    if not any(re.fullmatch(r"vexa-[^/]+\.dist-info/licenses/LICENSE", name) for name in names):
        problems.append("no LICENSE in the .dist-info")
    for name in names:
        path = PurePosixPath(name)
        if path.suffix in SOURCE_SUFFIXES or path.name == "CMakeLists.txt":
            problems.append(f"C++ build input shipped: {name}")
        if path.parts[0].endswith(".libs"):
            problems.append(f"grafted library: {name}")
    return problems


def sdist_problems(names: Iterable[str]) -> list[str]:
    """What is missing from or wrongly in an sdist, given its member names
    (without the leading "vexa-X.Y.Z/")."""
    names = set(names)
    wanted = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/vexa/py.typed", "src/vexa/_version.py"]
    for module in NATIVE_MODULES:
        wanted += [f"src/{module}.cpp", f"src/{module}.pyi"]
    problems = [f"missing {name}" for name in wanted if name not in names]
    if not any(name.startswith("common/") for name in names):
        problems.append("no common/ sources")
    problems += [f"built file shipped: {name}" for name in sorted(names) if name.endswith(".so")]
    return problems


def linkage_problems(module: Path) -> list[str]:
    """A module must export only its init function and need only libc."""
    needed_output = _run("readelf", "-d", str(module))
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", needed_output))
    exported = [line.split()[-1] for line in _run("nm", "-D", "--defined-only", str(module)).splitlines() if line]
    expected = f"PyInit_{module.name.split('.', 1)[0]}"
    problems = [f"{module.name} needs {name}" for name in sorted(needed - ALLOWED_NEEDED)]
    if exported != [expected]:
        problems.append(f"{module.name} exports {exported} (want [{expected!r}])")
    # Strong undefined symbols come from libc (versioned) or the interpreter;
    # anything else is a runtime member a static link left out.
    for fields in (line.split() for line in _run("nm", "-D", "--undefined-only", str(module)).splitlines()):
        if len(fields) >= 2 and fields[-2] == "U" and "@GLIBC_" not in fields[-1] and not re.match(r"_?Py", fields[-1]):
            problems.append(f"{module.name} leaves {fields[-1]} undefined")
    return problems


def _run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check_file(path: Path) -> list[str]:
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as wheel, tempfile.TemporaryDirectory() as scratch:
            problems = wheel_problems(wheel.namelist(), universal=path.name.endswith("-py3-none-any.whl"))
            for name in wheel.namelist():
                if name.endswith(".so"):
                    problems += linkage_problems(Path(wheel.extract(name, scratch)))
            return problems
    if path.name.endswith(".tar.gz"):
        with tarfile.open(path) as sdist:
            return sdist_problems(name.split("/", 1)[1] for name in sdist.getnames() if "/" in name)
    return [f"not a wheel or sdist: {path}"]


def main(arguments: list[str]) -> int:
    failed = False
    for argument in arguments:
        problems = check_file(Path(argument))
        for problem in problems:
            print(f"{Path(argument).name}: {problem}", file=sys.stderr)
        failed = failed or bool(problems)
    return 1 if failed or not arguments else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
