"""Type checking against the installed package: `mypy --strict` on the typed
program, on the examples of the README and the documentation pages, and on
the wrong-use program.

mypy runs once for the session, from a temporary directory, so that `vexa`
resolves to the installed package (with its stubs and py.typed) rather than
to a source tree.
"""

from __future__ import annotations

import ast
import importlib.util
import inspect
import re
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest
from doc_examples import examples

pytestmark = pytest.mark.apart_from_clients

PROGRAMS = Path(__file__).parent / "typed_programs"
TYPED_PROGRAM = PROGRAMS / "uses_every_method.py"
WRONG_USES = PROGRAMS / "wrong_uses.py"

ERROR_LINE = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: (?P<message>.*?)  \[(?P<code>[a-z-]+)\]$")
EXPECT_MARK = re.compile(r"#\s*expect:\s*(?P<code>[a-z-]+)")


def example_file_name(number: int) -> str:
    return f"doc_example_{number}.py"


def expected_errors() -> list[tuple[int, str]]:
    lines = WRONG_USES.read_text(encoding="utf-8").splitlines()
    return [(number, mark["code"]) for number, line in enumerate(lines, 1) if (mark := EXPECT_MARK.search(line))]


MypyErrors = dict[str, list[tuple[int, str, str]]]


def run_mypy(workdir: Path, *targets: str) -> list[tuple[str, int, str, str]]:
    """mypy --strict's errors: (path, line, code, message)."""
    if sys.implementation.name == "pypy":
        # mypy needs ast-serialize, which has no wheel for PyPy and cannot be built here (Rust).
        pytest.skip("mypy is not installable on PyPy")
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(workdir / "cache"),
            *targets,
        ],
        cwd=workdir,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    errors = []
    for line in completed.stdout.splitlines():
        if ": note: " in line:
            continue
        match = ERROR_LINE.match(line)
        assert match is not None, f"unexpected mypy output: {line}"
        errors.append((match["path"], int(match["line"]), match["code"], match["message"]))
    return errors


@pytest.fixture(scope="session")
def mypy_workdir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy")


@pytest.fixture(scope="session")
def mypy_errors(mypy_workdir: Path) -> MypyErrors:
    """mypy --strict's errors per checked file name: (line, code, message)."""
    files = [TYPED_PROGRAM, WRONG_USES]
    for number, example in enumerate(examples()):
        files.append(mypy_workdir / example_file_name(number))
        files[-1].write_text(example.code, encoding="utf-8")
    errors: MypyErrors = {path.name: [] for path in files}
    for path, line, code, message in run_mypy(mypy_workdir, *map(str, files)):
        errors[Path(path).name].append((line, code, message))
    return errors


def test_the_package_is_clean(mypy_workdir: Path) -> None:
    # The installed package's own annotations: the parent clients, the
    # asynchronous code client, the pure-Python client modules, the types, the
    # demo, the local service and the package itself.
    targets = [
        "-m",
        "vexa",
        "-m",
        "vexa._version",
        "-m",
        "vexa.types",
        "-m",
        "vexa.demo",
        "-p",
        "vexa.client",
        "-p",
        "vexa.devservice",
    ]
    errors = run_mypy(mypy_workdir, *targets)
    assert errors == []


def test_the_command_line_is_clean(mypy_workdir: Path) -> None:
    # The `vexa` command (with the types of Click and Rich) and the browser token it uses.
    errors = run_mypy(mypy_workdir, "-p", "vexa.cli", "-m", "vexa._browser")
    assert errors == []


def test_the_typed_program_is_clean(mypy_errors: MypyErrors) -> None:
    assert mypy_errors[TYPED_PROGRAM.name] == []


@pytest.mark.parametrize("number", range(len(examples())), ids=[example.id for example in examples()])
def test_the_example_is_clean(mypy_errors: MypyErrors, number: int) -> None:
    assert mypy_errors[example_file_name(number)] == []


def test_the_readme_has_an_example() -> None:
    assert any(example.page == "README.md" for example in examples())


@pytest.mark.parametrize(
    "line, code", expected_errors(), ids=[f"line{line}-{code}" for line, code in expected_errors()]
)
def test_each_wrong_use_gets_exactly_one_error(mypy_errors: MypyErrors, line: int, code: str) -> None:
    found = [
        (error_code, message) for error_line, error_code, message in mypy_errors[WRONG_USES.name] if error_line == line
    ]
    assert len(found) == 1 and found[0][0] == code, found


def test_no_error_outside_the_wrong_uses(mypy_errors: MypyErrors) -> None:
    marked = {line for line, _ in expected_errors()}
    assert [error for error in mypy_errors[WRONG_USES.name] if error[0] not in marked] == []


# --- The typed program covers every public method and runs -------------------


def sub_client_variables() -> dict[str, type]:
    """The typed program's variable for each client class."""
    from vexa.client import AsyncClient
    from vexa.client._async._jobs import AsyncJobsClient
    from vexa.client._async._web import AsyncStoredWebClient, AsyncWebClient, AsyncWebJobsClient
    from vexa.client._async.code import AsyncCodeClient
    from vexa.client._sync._code import CodeClient
    from vexa.client._sync._jobs import JobsClient
    from vexa.client._sync._web import StoredWebClient, WebClient, WebJobsClient

    return {
        "client": AsyncClient,
        "code": CodeClient,
        "sync_jobs": JobsClient,
        "sync_web": WebClient,
        "sync_stored": StoredWebClient,
        "sync_web_jobs": WebJobsClient,
        "async_code": AsyncCodeClient,
        "jobs": AsyncJobsClient,
        "web": AsyncWebClient,
        "stored": AsyncStoredWebClient,
        "web_jobs": AsyncWebJobsClient,
    }


def public_methods(cls: type) -> set[str]:
    return {name for name, value in inspect.getmembers(cls, callable) if not name.startswith("_")}


def test_the_typed_program_uses_every_public_method() -> None:
    used: dict[str, set[str]] = {variable: set() for variable in sub_client_variables()}
    for node in ast.walk(ast.parse(TYPED_PROGRAM.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in used:
            used[node.value.id].add(node.attr)
    missing = {
        variable: sorted(public_methods(cls) - used[variable])
        for variable, cls in sub_client_variables().items()
        if public_methods(cls) - used[variable]
    }
    assert missing == {}
    assert all(public_methods(cls) for cls in sub_client_variables().values())


def load_typed_program() -> ModuleType:
    spec = importlib.util.spec_from_file_location("uses_every_method", TYPED_PROGRAM)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


async def test_the_typed_program_runs_against_the_service(
    service: Any, tmp_path: Path, fast_polls: list[float]
) -> None:
    program = load_typed_program()
    program.use_client(service.base_url, service.api_key, tmp_path)
    try:
        await program.use_async_client(service.base_url, service.api_key, tmp_path)
    finally:
        for job in service.runner.list(job_type="web"):
            if not job.ended:
                service.runner.terminate_threadsafe(job.job_id)
    assert (tmp_path / "result.zip").stat().st_size > 0
