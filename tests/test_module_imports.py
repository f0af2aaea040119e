"""The native modules in fresh interpreters: any load order, exact namespaces, no warnings."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vexa

# Where the vexa under test lives: the source tree, or site-packages when the
# suite runs against the installed package.
ROOT = Path(vexa.__file__).resolve().parent.parent
CODE, JOBS, WEB = "vexa.client._sync._code", "vexa.client._async._jobs", "vexa.client._async._web"
SYNC_JOBS, SYNC_WEB = "vexa.client._sync._jobs", "vexa.client._sync._web"
MODULES = (CODE, JOBS, WEB, SYNC_JOBS, SYNC_WEB)
IMPORT_SYSTEM_NAMES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"]
BOUND_NAMES = {
    JOBS: [
        "asyncio",
        "time",
        "Path",
        "TYPE_CHECKING",
        "AsyncGenerator",
        "List",
        "httpx",
        "VexaError",
        "VexaException",
        "CodeType",
        "Job",
        "JobResult",
        "JobStage",
        "JobStatus",
        "JobType",
        "StreamOutput",
        "AsyncJobsClient",
    ],
    WEB: [
        "TYPE_CHECKING",
        "List",
        "httpx",
        "CodeInfo",
        "CodeType",
        "CodeZip",
        "Job",
        "JobStage",
        "JobStatus",
        "JobType",
        "JsonData",
        "AsyncStoredWebClient",
        "AsyncWebJobsClient",
        "AsyncWebClient",
    ],
    CODE: ["Path", "TYPE_CHECKING", "httpx", "CodeInfo", "CodeType", "CodeZip", "Job", "JsonData", "CodeClient"],
    SYNC_JOBS: [
        "time",
        "Path",
        "TYPE_CHECKING",
        "Generator",
        "List",
        "httpx",
        "VexaError",
        "VexaException",
        "CodeType",
        "Job",
        "JobResult",
        "JobStage",
        "JobStatus",
        "JobType",
        "StreamOutput",
        "JobsClient",
    ],
    SYNC_WEB: [
        "TYPE_CHECKING",
        "List",
        "httpx",
        "CodeInfo",
        "CodeType",
        "CodeZip",
        "Job",
        "JobStage",
        "JobStatus",
        "JobType",
        "JsonData",
        "StoredWebClient",
        "WebJobsClient",
        "WebClient",
    ],
}
PARENT_NAMES = {JOBS: "AsyncClient", WEB: "AsyncClient", CODE: "Client", SYNC_JOBS: "Client", SYNC_WEB: "Client"}

# Imports the modules named on the command line, in that order, and reports on them as JSON.
# With "bare", the client packages are stand-ins, so no package __init__ loads a module.
PROBE = r"""
import builtins, importlib, json, sys, types
from pathlib import Path

mode, names = sys.argv[1], sys.argv[2:]
watched = ("vexa.client._sync._code", "vexa.client._async._jobs", "vexa.client._async._web",
           "vexa.client._sync._jobs", "vexa.client._sync._web")
if mode == "bare":
    import vexa
    for package in ("vexa.client", "vexa.client._sync", "vexa.client._async"):
        stand_in = types.ModuleType(package)
        stand_in.__path__ = [str(Path(vexa.__file__).parent.joinpath(*package.split(".")[1:]))]
        sys.modules[package] = stand_in
report = {"loaded_after": [], "modules": {}}
for name in names:
    module = importlib.import_module(name)
    report["loaded_after"].append([w for w in watched if w in sys.modules])
    report["modules"][name] = {
        "keys": list(vars(module)),
        "builtins_is_module": module.__builtins__ is builtins,
        "package": module.__package__,
        "file": Path(module.__file__).name,
        "same_on_reimport": importlib.import_module(name) is module,
    }
print(json.dumps(report))
"""


def probe(mode: str, order: tuple[str, ...], *flags: str) -> dict:
    env = {**os.environ, "PYTHONPATH": str(ROOT)}
    completed = subprocess.run(
        [sys.executable, *flags, "-c", PROBE, mode, *order],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == ""
    return json.loads(completed.stdout)


# Every rotation of the modules, forwards and backwards: each module comes
# first and last, and each follows and precedes every neighbour (all 120
# permutations would take a few minutes of fresh interpreters).
ORDERS = [MODULES[i:] + MODULES[:i] for i in range(len(MODULES))]
ORDERS += [tuple(reversed(order)) for order in ORDERS]
ORDER_IDS = ["-".join(name.rsplit(".", 1)[1] for name in order) for order in ORDERS]


@pytest.mark.native_only
@pytest.mark.parametrize("mode", ["package", "bare"])
@pytest.mark.parametrize("order", ORDERS, ids=ORDER_IDS)
def test_modules_import_in_any_order(mode: str, order: tuple[str, ...]) -> None:
    report = probe(mode, order, "-W", "error::RuntimeWarning")
    assert list(report["modules"]) == list(order)
    if mode == "bare":
        # Nothing but the imported modules is loaded: no module pulls in another.
        assert report["loaded_after"] == [
            [name for name in MODULES if name in order[: index + 1]] for index in range(len(order))
        ]
    for name in order:
        module = report["modules"][name]
        assert module["keys"] == IMPORT_SYSTEM_NAMES + BOUND_NAMES[name]
        assert PARENT_NAMES[name] not in module["keys"]
        assert module["builtins_is_module"] is True
        assert module["package"] == name.rsplit(".", 1)[0]
        assert module["file"].startswith(name.rsplit(".", 1)[1] + ".") and module["file"].endswith(".so")
        assert module["same_on_reimport"] is True


@pytest.mark.parametrize(
    "mode",
    # Bare, only the compiled modules' own names are there to import.
    ["package", pytest.param("bare", marks=pytest.mark.compiled_build)],
)
@pytest.mark.parametrize("name", MODULES)
def test_import_issues_no_warning_at_all(mode: str, name: str) -> None:
    report = probe(mode, (name,), "-W", "error")
    assert list(report["modules"]) == [name]
