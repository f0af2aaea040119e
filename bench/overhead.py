"""The client's own cost per kind of call, network and models stubbed out: the
native modules against the same client as plain Python (bench/plain_client.py)
and a Cython 3 build of that file, with the shipped pure-Python twins
(vexa/client/_pure/, the package's fallback) beside them for information.

    .venv/bin/python bench/overhead.py [--quick] [--instructions] [--keep-profiles DIR]

Time is ns per call, the minimum of several repeats. `--instructions` also
counts instructions per call under callgrind (steady where wall time is not):
one valgrind run executes every kind of call for each implementation between
two calls of `getppid`, at which callgrind dumps its counters. The ratios
compare the native modules with the plain client ("nat/py") and its Cython
build ("nat/cy"), and the twins with the same two ("tw/py", "tw/cy"): the
twins bind their arguments as the native modules do, with the same messages,
in generated Python (the checks written out per method), and reach each
method through one small descriptor.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib.util
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import timeit
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import Any, Callable

import vexa.client._async._jobs as native_jobs
import vexa.client._async._web as native_web
import vexa.client._sync._code as native_code
from vexa.client import _modules
from vexa.types import JobStage

BENCH_DIR = Path(__file__).resolve().parent
PLAIN_SOURCE = BENCH_DIR / "plain_client.py"
CYTHON_BUILD_DIR = BENCH_DIR.parent / "build" / "bench-cython"
# The plain client ("python") and its Cython build are the baselines; the twins are shown beside them.
IMPLEMENTATIONS = ("native", "python", "cython", "twins")


# --- the stubbed network and models -----------------------------------------------------------


# The models and the response are built of C-level callables, so that what the
# stubs cost (the same for every implementation) dilutes the ratios as little as
# possible: `Job(**fields)` is a SimpleNamespace, `response.json()` a repeat.
StubModel = SimpleNamespace
StubStreamOutput = SimpleNamespace(model_validate_json=str)


class StubResponse:
    is_success = True
    raise_for_status = staticmethod(int)  # returns at once; its value is ignored

    def __init__(self, body: Any, lines: list[Any]) -> None:
        self.json = itertools.repeat(body).__next__
        self.lines = lines

    def aiter_lines(self) -> StubLines:
        return StubLines(self.lines)


class StubLines:
    """`response.aiter_lines()`: each item is a finished future."""

    def __init__(self, lines: list[Any]) -> None:
        self._next = iter(lines).__next__

    def __aiter__(self) -> StubLines:
        return self

    def __anext__(self) -> Any:
        try:
            return self._next()
        except StopIteration:
            raise StopAsyncIteration from None


class StubContext:
    """An async context manager entered at once with `value`."""

    def __init__(self, entered: Any, exited: Any) -> None:
        self._entered = entered
        self._exited = exited

    def __aenter__(self) -> Any:
        return self._entered

    def __aexit__(self, *exc_info: Any) -> Any:
        return self._exited


class StubHttpx:
    """The parts of `httpx` the measured methods use; every await finishes at once
    (a finished asyncio future: awaiting it yields nothing)."""

    HTTPStatusError = type("HTTPStatusError", (Exception,), {})

    def __init__(self) -> None:
        self._loop = asyncio.new_event_loop()
        self.set_body(None)

    def finished(self, value: Any) -> asyncio.Future[Any]:
        future = self._loop.create_future()
        future.set_result(value)
        return future

    def set_body(self, body: Any, line_count: int = 0) -> None:
        lines = [self.finished(f'{{"text": "line {number}"}}') for number in range(line_count)]
        self.response = StubResponse(body, lines)
        self._response_ready = self.finished(self.response)
        self._none_ready = self.finished(None)
        self._client = SimpleNamespace(get=self._get, stream=self._stream)
        self._client_context = StubContext(self.finished(self._client), self._none_ready)
        self._stream_context = StubContext(self._response_ready, self._none_ready)
        self.AsyncClient = itertools.repeat(self._client_context).__next__

    def get(self, url: str, **kwargs: Any) -> StubResponse:
        return self.response

    def Timeout(self, **limits: Any) -> dict[str, Any]:  # noqa: N802
        return limits

    def _get(self, url: str, **kwargs: Any) -> asyncio.Future[Any]:
        return self._response_ready

    def _stream(self, method: str, url: str, **kwargs: Any) -> StubContext:
        return self._stream_context


class Parent:
    # A C-level callable, as the other stubs: the URL of job "j1" is "http://127.0.0.1:9/jobs/j1".
    get_proxy_url = "http://127.0.0.1:9/jobs/".__add__

    def __init__(self) -> None:
        self.base_url = "http://127.0.0.1:9"
        self.api_key_header = {"X-API-Key": "key"}
        self.jobs: Any = None

    def _get_http_exception(self, httpx_error: Any) -> Exception:
        return RuntimeError(str(httpx_error))


# --- the implementations ------------------------------------------------------------------------


# The modules whose clients are measured, in the order `implementation` unpacks them.
BENCHED_MODULES = ("vexa.client._sync._code", "vexa.client._async._jobs", "vexa.client._async._web")


def load_from_file(name: str, path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def build_cython() -> Path:
    """Compiles bench/plain_client.py with Cython 3 (once per source and
    interpreter); returns the extension module's file."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    out_dir = CYTHON_BUILD_DIR / sys.implementation.cache_tag
    target = out_dir / f"plain_client{suffix}"
    if target.exists() and target.stat().st_mtime >= PLAIN_SOURCE.stat().st_mtime:
        return target
    out_dir.mkdir(parents=True, exist_ok=True)
    c_file = out_dir / "plain_client.c"
    subprocess.run([sys.executable, "-m", "cython", "-3", str(PLAIN_SOURCE), "-o", str(c_file)], check=True)
    compiler = shutil.which("cc") or "gcc"
    include = sysconfig.get_paths()["include"]
    subprocess.run([compiler, "-O3", "-fPIC", "-shared", "-I", include, str(c_file), "-o", str(target)], check=True)
    return target


def implementation(kind: str) -> SimpleNamespace:
    """The three client classes of one implementation and the modules whose globals the stubs replace."""
    if kind == "native":
        code, jobs, web = native_code, native_jobs, native_web
    elif kind == "twins":
        code, jobs, web = (_modules.load_twin(name) for name in BENCHED_MODULES)
    else:  # the plain client holds all three classes
        code = jobs = web = load_from_file("plain_client", PLAIN_SOURCE if kind == "python" else build_cython())
    return SimpleNamespace(
        CodeClient=code.CodeClient,
        AsyncJobsClient=jobs.AsyncJobsClient,
        AsyncWebJobsClient=web.AsyncWebJobsClient,
        modules=[code, jobs, web],  # the plain client's module thrice: stubbing it again changes nothing
    )


def install_stubs(modules: list[ModuleType], stub: StubHttpx) -> None:
    for module in modules:
        module.httpx = stub  # type: ignore[attr-defined]
        for model in ("Job", "CodeInfo"):
            if hasattr(module, model):
                setattr(module, model, StubModel)
        if hasattr(module, "StreamOutput"):
            module.StreamOutput = StubStreamOutput  # type: ignore[attr-defined]


@dataclass
class Clients:
    code: Any
    jobs: Any
    web: Any
    stub: StubHttpx


def clients_of(kind: str) -> Clients:
    classes = implementation(kind)
    stub = StubHttpx()
    install_stubs(classes.modules, stub)
    parent = Parent()
    parent.jobs = classes.AsyncJobsClient(parent)
    return Clients(classes.CodeClient(parent), parent.jobs, classes.AsyncWebJobsClient(parent), stub)


# --- the kinds of call --------------------------------------------------------------------------


def drive(coroutine: Any) -> Any:
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("a stubbed call suspended")


async def take(generator: Any, count: int) -> None:
    seen = 0
    async for _ in generator:
        seen += 1
        if seen == count:
            break


JOB = {"job_id": "j1", "job_stage": JobStage.POST_RUNNING}


@dataclass
class Kind:
    name: str
    body: Any
    # Makes the call once and returns what it gave: the stubbed request is set up already.
    call: Callable[[Clients], Any]


def binding_failure(clients: Clients) -> str:
    try:
        clients.code.get_info(1)
    except TypeError as e:
        return str(e)
    raise AssertionError("get_info(1) was accepted")


def created_and_closed(clients: Clients) -> None:
    clients.jobs.get("j1").close()


KINDS = [
    Kind("plain method: CodeClient.get_info", {"code_id": "c1"}, lambda c: c.code.get_info("c1")),
    Kind("bare coroutine: get('j1') made and closed", None, created_and_closed),
    Kind("coroutine without I/O: get_url", None, lambda c: drive(c.jobs.get_url("j1"))),
    Kind("coroutine: AsyncJobsClient.get", JOB, lambda c: drive(c.jobs.get("j1"))),
    Kind("coroutine: AsyncJobsClient.list", [JOB], lambda c: drive(c.jobs.list())),
    Kind("coroutine awaiting another: list_running", [JOB], lambda c: drive(c.jobs.list_running())),
    Kind("coroutine awaiting two: AsyncWebJobsClient.list_failed", [JOB], lambda c: drive(c.web.list_failed())),
    Kind("one round of await_stage", JOB, lambda c: drive(c.jobs.await_stage("j1"))),
    Kind("argument-binding failure: get_info(1)", None, binding_failure),
]
STREAM_KIND = "one stream_output item"


def stream_loop(clients: Clients, items: int) -> Callable[[], None]:
    """A stream_output generator past its first item, and the function that takes `items` more."""
    clients.stub.set_body(None, line_count=items + 1)
    generator = clients.jobs.stream_output("j1")
    drive(take(generator, 1))
    return lambda: drive(take(generator, items))


def loop_of(kind: Kind, clients: Clients, calls: int) -> Callable[[], None]:
    clients.stub.set_body(kind.body)
    call = kind.call

    def run() -> None:
        for _ in range(calls):
            call(clients)

    return run


# --- measuring ----------------------------------------------------------------------------------


def ns_per_call(make_loop: Callable[[int], Callable[[], None]], calls: int, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        run = make_loop(calls)
        best = min(best, timeit.timeit(run, number=1))
    return best / calls * 1e9


def empty_loop_ns(calls: int, repeats: int) -> float:
    """The loop and the `call(clients)` indirection without the call itself, subtracted from every figure."""
    nothing = Kind("nothing", None, lambda c: None)
    stub_clients = Clients(None, None, None, StubHttpx())
    return ns_per_call(lambda n: loop_of(nothing, stub_clients, n), calls, repeats)


def comparable(value: Any) -> Any:
    if isinstance(value, list):
        return [comparable(item) for item in value]
    return vars(value) if isinstance(value, SimpleNamespace) else value


def check_agreement(every: dict[str, Clients]) -> None:
    """Each kind of call gives the same result in every implementation, so that
    the table compares the same work (a stub that broke would otherwise time an
    error path)."""
    for kind in KINDS:
        results = {}
        for impl, clients in every.items():
            clients.stub.set_body(kind.body)
            results[impl] = comparable(kind.call(clients))
        if len({repr(result) for result in results.values()}) != 1:
            raise SystemExit(f"{kind.name}: the implementations disagree: {results}")


def time_all(quick: bool) -> dict[str, dict[str, float]]:
    calls, repeats = (2_000, 3) if quick else (20_000, 7)
    every = {impl: clients_of(impl) for impl in IMPLEMENTATIONS}
    check_agreement(every)
    results: dict[str, dict[str, float]] = {}
    for impl, clients in every.items():
        baseline = empty_loop_ns(calls, repeats)
        for kind in KINDS:
            measured = ns_per_call(lambda n: loop_of(kind, clients, n), calls, repeats)
            results.setdefault(kind.name, {})[impl] = measured - baseline
        results.setdefault(STREAM_KIND, {})[impl] = ns_per_call(lambda n: stream_loop(clients, n), calls, repeats)
    return results


def chosen(name: str, kinds: str) -> bool:
    return any(word in name for word in kinds.split(","))


def measure_instructions_here(calls: int, implementations: tuple[str, ...], kinds: str) -> None:
    """Runs under callgrind: each measured loop lies between two `getppid` dumps."""
    order = []
    for impl in implementations:
        clients = clients_of(impl)
        loops = [
            (kind.name, lambda n, kind=kind: loop_of(kind, clients, n)) for kind in KINDS if chosen(kind.name, kinds)
        ]
        if chosen(STREAM_KIND, kinds):
            loops.append((STREAM_KIND, lambda n: stream_loop(clients, n)))
        loops.insert(0, ("empty loop", lambda n: loop_of(Kind("nothing", None, lambda c: None), clients, n)))
        for name, make in loops:
            make(1_100)()  # warm-up: caches, free lists, 3.10's attribute caches (after 1,024 runs of a code object)
            run = make(calls)
            os.getppid()
            run()
            os.getppid()
            order.append([name, impl])
    print(json.dumps(order))


def count_instructions(
    calls: int, keep_profiles: Path | None = None, implementations: tuple[str, ...] = IMPLEMENTATIONS, kinds: str = ""
) -> dict[str, dict[str, float]]:
    """Instructions per call; `keep_profiles` receives the callgrind dumps, named
    after the loop each holds, for `callgrind_annotate`."""
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed (apt-get install valgrind)")
    with tempfile.TemporaryDirectory() as out_dir:
        out_file = Path(out_dir) / "callgrind.out"
        done = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--dump-before=getppid",
                f"--callgrind-out-file={out_file}",
                sys.executable,
                __file__,
                "--count-here",
                str(calls),
                "--only",
                ",".join(implementations),
                "--kinds",
                kinds,
            ],
            check=True,
            capture_output=True,
            text=True,
            # String hashes decide how often dict lookups collide: one seed for every run, so runs agree.
            env={**os.environ, "PYTHONHASHSEED": os.environ.get("PYTHONHASHSEED", "0")},
        )
        order = json.loads(done.stdout.strip().splitlines()[-1])
        totals = {}
        for dump in Path(out_dir).glob("callgrind.out.*"):
            match = re.search(r"^(?:totals|summary): (\d+)", dump.read_text(), re.M)
            totals[int(dump.name.rsplit(".", 1)[1])] = int(match.group(1)) if match else 0
        if keep_profiles is not None:
            keep_profiles.mkdir(parents=True, exist_ok=True)
            for index, (name, impl) in enumerate(order):
                slug = re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")
                shutil.copy(Path(out_dir) / f"callgrind.out.{2 * (index + 1)}", keep_profiles / f"{impl}--{slug}.out")
    # Dump 2k holds what ran between the two markers of the k-th loop.
    results: dict[str, dict[str, float]] = {}
    empty: dict[str, float] = {}
    for index, (name, impl) in enumerate(order):
        per_call = totals[2 * (index + 1)] / calls
        if name == "empty loop":
            empty[impl] = per_call
        elif name == STREAM_KIND:
            results.setdefault(name, {})[impl] = per_call
        else:
            results.setdefault(name, {})[impl] = per_call - empty[impl]
    return results


def print_table(title: str, unit: str, results: dict[str, dict[str, float]]) -> None:
    print(f"{title} ({unit}):")
    width = max(len(name) for name in results)
    shown = [impl for impl in IMPLEMENTATIONS if impl in next(iter(results.values()))]
    pairs = [("native", "nat"), ("twins", "tw")]
    ratios = [
        (impl, base, f"{short}/{base[:2]}")
        for impl, short in pairs
        for base in ("python", "cython")
        if impl in shown and base in shown
    ]
    columns = "".join(f"  {impl:>9}" for impl in shown) + "".join(f"  {label:>6}" for _, _, label in ratios)
    print(f"  {'kind of call':<{width}}{columns}")
    for name, row in results.items():
        figures = "".join(f"  {row[impl]:9.0f}" for impl in shown)
        figures += "".join(f"  {row[impl] / row[base]:6.2f}" for impl, base, _ in ratios)
        print(f"  {name:<{width}}{figures}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats, for a smoke run")
    parser.add_argument("--instructions", action="store_true", help="also count instructions under callgrind")
    parser.add_argument("--keep-profiles", type=Path, help="with --instructions: keep the callgrind dumps here")
    parser.add_argument(
        "--only",
        default=",".join(IMPLEMENTATIONS),
        help="with --instructions: count only these implementations (comma-separated); then nothing is timed",
    )
    parser.add_argument(
        "--kinds", default="", help="with --instructions: count only the kinds whose names contain one of these words"
    )
    parser.add_argument("--count-here", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    only = tuple(impl for impl in IMPLEMENTATIONS if impl in args.only.split(","))
    if not _modules.native():
        raise SystemExit("the compiled modules are not in use (not built, or VEXA_NO_EXTENSIONS is set)")
    if args.count_here:
        measure_instructions_here(args.count_here, only, args.kinds)
        return
    if only == IMPLEMENTATIONS and not args.kinds:
        print_table("Overhead per call, network and models stubbed", "ns, min of repeats", time_all(args.quick))
    if args.instructions:
        print_table(
            "Instructions per call under callgrind",
            "Ir",
            count_instructions(200 if args.quick else 2_000, args.keep_profiles, only, args.kinds),
        )


if __name__ == "__main__":
    main()
