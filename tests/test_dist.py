"""What the installed wheel and a freshly built sdist contain, and the package metadata.

The installed package is the wheel that scripts/test.sh built; its file list
(RECORD) goes through the same checks that scripts/build-wheels.sh applies to
the wheels it repairs (scripts/check_dist.py).
"""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

import pytest
from packaging.specifiers import SpecifierSet

import vexa

pytestmark = pytest.mark.apart_from_clients

SOURCE_TREE = Path(__file__).resolve().parent.parent


def load_check_dist() -> ModuleType:
    spec = importlib.util.spec_from_file_location("check_dist", SOURCE_TREE / "scripts" / "check_dist.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


check_dist = load_check_dist()


def installed_names() -> list[str]:
    files = importlib.metadata.files("vexa")
    assert files is not None
    return [file.as_posix() for file in files]


@pytest.mark.compiled_build
def test_the_installed_wheel_carries_stubs_and_no_sources() -> None:
    names = installed_names()
    assert check_dist.wheel_problems(names) == []
    assert {"vexa/py.typed", "vexa/client/_async/_jobs.pyi"} <= set(names)


@pytest.mark.compiled_build
@pytest.mark.parametrize(
    "change, problem",
    [
        (lambda names: [n for n in names if n != "vexa/py.typed"], "no vexa/py.typed"),
        (lambda names: [n for n in names if n != "vexa/client/_async/_web.pyi"], "no stub vexa/client/_async/_web.pyi"),
        (
            lambda names: [n for n in names if not n.startswith("vexa/client/_sync/_code.cpython")],
            "0 compiled files for vexa/client/_sync/_code (want 1)",
        ),
        (
            lambda names: names + ["vexa/client/_sync/_code.cpython-311-x86_64-linux-gnu.so"],
            "2 compiled files for vexa/client/_sync/_code (want 1)",
        ),
        (
            lambda names: names + ["vexa/client/_async/_jobs.cpp"],
            "C++ build input shipped: vexa/client/_async/_jobs.cpp",
        ),
        (lambda names: names + ["common/ref.h"], "C++ build input shipped: common/ref.h"),
        (lambda names: names + ["vexa.libs/libstdc++-1a2b.so.6"], "grafted library: vexa.libs/libstdc++-1a2b.so.6"),
        (lambda names: [n for n in names if not n.endswith("/LICENSE")], "no LICENSE in the .dist-info"),
    ],
)
def test_the_wheel_check_names_each_fault(change: Callable[[list[str]], list[str]], problem: str) -> None:
    assert check_dist.wheel_problems(change(installed_names())) == [problem]


@pytest.mark.compiled_build
@pytest.mark.parametrize("module", ["_sync/_code", "_sync/_jobs", "_sync/_web", "_async/_jobs", "_async/_web"])
def test_the_linkage_check_accepts_the_installed_modules(module: str) -> None:
    directory, stem = module.split("/")
    [path] = (Path(vexa.__file__).parent / "client" / directory).glob(f"{stem}.*.so")
    assert check_dist.linkage_problems(path) == []


def test_metadata() -> None:
    metadata = importlib.metadata.metadata("vexa")
    assert vexa.__version__ == metadata["Version"]
    assert re.fullmatch(r"\d+\.\d+\.\d+", vexa.__version__)
    assert metadata["License-Expression"] == "MIT"
    classifiers = metadata.get_all("Classifier") or []
    assert "Typing :: Typed" in classifiers
    versions = [
        c.rsplit(" ", 1)[1] for c in classifiers if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    ]
    assert "3.10" in versions
    # Every version a classifier names is one that pip lets install it.
    supported = SpecifierSet(metadata["Requires-Python"])
    assert [v for v in versions if f"{v}.0" not in supported] == []


@pytest.mark.compiled_build
def test_the_sdist_carries_the_sources_and_no_built_module(tmp_path: Path) -> None:
    # Built by the build backend's own hook, from the source tree.
    script = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    completed = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path)], cwd=SOURCE_TREE, capture_output=True, text=True, timeout=300
    )
    assert completed.returncode == 0, completed.stderr
    name = completed.stdout.strip().splitlines()[-1]
    assert name == f"vexa-{vexa.__version__}.tar.gz"
    with tarfile.open(tmp_path / name) as sdist:
        members = [member.split("/", 1)[1] for member in sdist.getnames() if "/" in member]
    assert check_dist.sdist_problems(members) == []


def build_universal_wheel(tmp_path: Path) -> Path:
    """The universal wheel, built by the build backend's own hook from the source tree."""
    script = "import sys, scikit_build_core.build as b; print(b.build_wheel(sys.argv[1]))"
    environment = {**os.environ, "VEXA_NO_EXTENSIONS": "1"}
    completed = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path)],
        cwd=SOURCE_TREE,
        env=environment,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stderr
    return tmp_path / completed.stdout.strip().splitlines()[-1]


@pytest.mark.compiled_build
def test_the_universal_wheel_has_no_compiled_code(tmp_path: Path) -> None:
    wheel = build_universal_wheel(tmp_path)
    assert wheel.name == f"vexa-{vexa.__version__}-py3-none-any.whl"
    assert check_dist.check_file(wheel) == []
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert [name for name in names if name.endswith(".so")] == []
    # Everything else the native wheel carries, and the same files otherwise.
    native = {name for name in installed_names() if name.startswith("vexa/") and not name.endswith((".so", ".pyc"))}
    assert {name for name in names if ".dist-info/" not in name} == native


@pytest.mark.parametrize(
    "change, problem",
    [
        (
            lambda names: names + ["vexa/client/_async/_jobs.cpython-310-x86_64-linux-gnu.so"],
            "compiled file in the universal wheel: vexa/client/_async/_jobs.cpython-310-x86_64-linux-gnu.so",
        ),
        (
            lambda names: [n for n in names if n != "vexa/client/_pure/_async/_web.py"],
            "no pure-Python twin vexa/client/_pure/_async/_web.py",
        ),
    ],
)
def test_the_universal_wheel_check_names_each_fault(change: Callable[[list[str]], list[str]], problem: str) -> None:
    universal = [name for name in installed_names() if not name.endswith(".so")]
    assert check_dist.wheel_problems(universal, universal=True) == []
    assert problem in check_dist.wheel_problems(change(universal), universal=True)


# --- the hosted-CI build (cibuildwheel), in step with scripts/build-wheels.sh ----------

try:
    import tomllib
except ImportError:  # 3.10: mypy's tomli, the same parser
    import tomli as tomllib


def hosted_settings() -> dict[str, Any]:
    return tomllib.loads((SOURCE_TREE / "pyproject.toml").read_text())["tool"]["cibuildwheel"]


def test_the_hosted_build_covers_the_supported_versions() -> None:
    classifiers = importlib.metadata.metadata("vexa").get_all("Classifier") or []
    versions = [
        c.rsplit(" ", 1)[1] for c in classifiers if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    ]
    assert hosted_settings()["build"].split() == [f"cp{v.replace('.', '')}-*" for v in versions]


@pytest.mark.native_only
def test_the_hosted_linux_floor_is_what_the_modules_need() -> None:
    # The tag the hosted build gives is the glibc the modules built here need:
    # the newest GLIBC_ version any of them asks for.
    [floor] = re.findall(r"--plat manylinux_(\d+)_(\d+)_", hosted_settings()["linux"]["repair-wheel-command"])
    needed = set()
    for path in (Path(vexa.__file__).parent / "client").glob("*/_*.so"):
        needed |= set(re.findall(r"GLIBC_(\d+)\.(\d+)", check_dist._run("readelf", "-V", str(path))))
    assert floor == max(needed, key=lambda v: tuple(map(int, v)))


def test_the_workflow_runs_every_hosted_architecture() -> None:
    settings = hosted_settings()
    wanted = {arch for platform in ("linux", "macos", "windows") for arch in settings[platform]["archs"]}
    workflow = (SOURCE_TREE / ".github" / "workflows" / "wheels.yml").read_text()
    assert set(re.findall(r"\barch: (\w+)", workflow)) == wanted
