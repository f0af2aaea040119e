"""Instructions per call of the synchronous jobs and web clients against their
asynchronous twins, network and models stubbed out as in bench/overhead.py.

    .venv/bin/python bench/sync_vs_async.py [--quick]

Each kind of call runs in a loop under callgrind, once per side and HTTP-client
mode: "own" (each request opens its own client: `httpx.get(...)` on the
synchronous side, `async with httpx.AsyncClient()` on the asynchronous one)
and "shared" (the parent's `_http_client`). An asynchronous call is driven by
one `send(None)`: every stubbed await finishes at once, so no event loop runs.
The empty loop is subtracted.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import Any, Callable

import vexa.client._async._jobs as async_jobs
import vexa.client._async._web as async_web
import vexa.client._sync._jobs as sync_jobs
import vexa.client._sync._web as sync_web

sys.path.insert(0, str(Path(__file__).resolve().parent))
from overhead import JOB, Parent, StubHttpx, StubModel, StubResponse, StubStreamOutput, drive, take  # noqa: E402

# is_healthy compares the status code: the probe succeeds on both sides.
StubResponse.status_code = 200  # type: ignore[attr-defined]

SIDES = ("sync", "async")
MODES = ("own", "shared")


class SyncResponse:
    is_success = True
    status_code = 200
    raise_for_status = staticmethod(int)

    def __init__(self, body: Any, lines: list[str]) -> None:
        self.json = itertools.repeat(body).__next__
        self.lines = lines

    def iter_lines(self) -> Any:
        return iter(self.lines)


class SyncContext:
    def __init__(self, entered: Any) -> None:
        self._entered = entered

    def __enter__(self) -> Any:
        return self._entered

    def __exit__(self, *exc_info: Any) -> None:
        return None


class SyncStubHttpx:
    """The parts of `httpx` the synchronous methods use (module functions and a shared client alike)."""

    HTTPStatusError = type("HTTPStatusError", (Exception,), {})

    def __init__(self) -> None:
        self.set_body(None)

    def set_body(self, body: Any, line_count: int = 0) -> None:
        self.response = SyncResponse(body, [f'{{"text": "line {number}"}}' for number in range(line_count)])
        self._stream_context = SyncContext(self.response)
        self.client = SimpleNamespace(get=self.get, post=self.get, stream=self.stream)

    def get(self, url: str, **kwargs: Any) -> SyncResponse:
        return self.response

    post = get

    def stream(self, method: str, url: str, **kwargs: Any) -> SyncContext:
        return self._stream_context

    def Timeout(self, **limits: Any) -> dict[str, Any]:  # noqa: N802
        return limits


def install(modules: list[ModuleType], stub: Any) -> None:
    for module in modules:
        module.httpx = stub  # type: ignore[attr-defined]
        for model in ("Job", "CodeInfo"):
            if hasattr(module, model):
                setattr(module, model, StubModel)
        if hasattr(module, "StreamOutput"):
            module.StreamOutput = StubStreamOutput  # type: ignore[attr-defined]


def clients(side: str, mode: str) -> SimpleNamespace:
    parent = Parent()
    if side == "sync":
        stub: Any = SyncStubHttpx()
        install([sync_jobs, sync_web], stub)
        parent.jobs = sync_jobs.JobsClient(parent)
        web = sync_web.WebClient(parent)
        shared = lambda: stub.client  # noqa: E731
    else:
        stub = StubHttpx()
        install([async_jobs, async_web], stub)
        parent.jobs = async_jobs.AsyncJobsClient(parent)
        web = async_web.AsyncWebClient(parent)
        shared = lambda: stub._client  # noqa: E731
    if mode == "shared":
        parent._http_client = shared()  # the stub makes a new client object per body; read it per call
        parent.refresh = lambda: setattr(parent, "_http_client", shared())
    else:
        parent.refresh = lambda: None
    return SimpleNamespace(jobs=parent.jobs, web=web, stub=stub, parent=parent)


def refused(call: Callable[[], Any]) -> str:
    try:
        call()
    except TypeError as e:
        return str(e)
    raise AssertionError("the call was accepted")


def run(side: str, call: Callable[[], Any]) -> Any:
    return call() if side == "sync" else drive(call())


# name -> (body the stub answers with, the call on one side's clients)
KINDS: dict[str, tuple[Any, Callable[[str, SimpleNamespace], Any]]] = {
    "jobs.get": (JOB, lambda s, c: run(s, lambda: c.jobs.get("j1"))),
    "jobs.list_running (calls list)": ([JOB], lambda s, c: run(s, lambda: c.jobs.list_running())),
    "web.jobs.list_failed (calls two)": ([JOB], lambda s, c: run(s, lambda: c.web.jobs.list_failed())),
    "one round of await_stage": (JOB, lambda s, c: run(s, lambda: c.jobs.await_stage("j1"))),
    "jobs.is_healthy": (None, lambda s, c: run(s, lambda: c.jobs.is_healthy("j1")) is True),
    "binding failure: jobs.get(1)": (None, lambda s, c: refused(lambda: c.jobs.get(1))),
}
STREAM_KIND = "one stream_output item"


def loop_of(side: str, mode: str, name: str, calls: int) -> Callable[[], None]:
    c = clients(side, mode)
    if name == STREAM_KIND:
        c.stub.set_body(None, line_count=calls + 1)
        c.parent.refresh()
        generator = c.jobs.stream_output("j1")
        if side == "sync":
            next(generator)
            return lambda: [None for _, _ in zip(range(calls), generator)] and None
        drive(take(generator, 1))
        return lambda: drive(take(generator, calls))
    if name == "empty loop":
        call: Callable[[str, SimpleNamespace], Any] = lambda s, c: None  # noqa: E731
    else:
        body, call = KINDS[name]
        c.stub.set_body(body)
        c.parent.refresh()

    def loop() -> None:
        for _ in range(calls):
            call(side, c)

    return loop


def check_agreement() -> None:
    """Both sides give the same result for every kind, so that the table compares the same work."""
    for name, (body, call) in KINDS.items():
        for mode in MODES:
            results = []
            for side in SIDES:
                c = clients(side, mode)
                c.stub.set_body(body)
                c.parent.refresh()
                result = call(side, c)
                results.append(
                    repr(
                        [vars(r) for r in result]
                        if isinstance(result, list)
                        else vars(result)
                        if isinstance(result, SimpleNamespace)
                        else result
                    )
                )
            if len(set(results)) != 1:
                raise SystemExit(f"{name} ({mode}): the sides disagree: {results}")


def measure_here(calls: int) -> None:
    order = []
    for side in SIDES:
        for mode in MODES:
            for name in ["empty loop", *KINDS, STREAM_KIND]:
                loop_of(side, mode, name, 50)()  # warm-up: caches, free lists
                loop = loop_of(side, mode, name, calls)
                os.getppid()
                loop()
                os.getppid()
                order.append([side, mode, name])
    print(json.dumps(order))


def count(calls: int) -> dict[tuple[str, str], dict[str, float]]:
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
            ],
            check=True,
            capture_output=True,
            text=True,
        )
        order = json.loads(done.stdout.strip().splitlines()[-1])
        totals = {}
        for dump in Path(out_dir).glob("callgrind.out.*"):
            match = re.search(r"^(?:totals|summary): (\d+)", dump.read_text(), re.M)
            totals[int(dump.name.rsplit(".", 1)[1])] = int(match.group(1)) if match else 0
    results: dict[tuple[str, str], dict[str, float]] = {}
    empty: dict[tuple[str, str], float] = {}
    for index, (side, mode, name) in enumerate(order):
        per_call = totals[2 * (index + 1)] / calls
        if name == "empty loop":
            empty[side, mode] = per_call
        elif name == STREAM_KIND:
            results.setdefault((name, mode), {})[side] = per_call
        else:
            results.setdefault((name, mode), {})[side] = per_call - empty[side, mode]
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls, for a smoke run")
    parser.add_argument("--count-here", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.count_here:
        measure_here(args.count_here)
        return
    check_agreement()
    results = count(200 if args.quick else 2_000)
    print("Instructions per call under callgrind (Ir), network and models stubbed:")
    width = max(len(name) for name, _ in results)
    print(f"  {'kind of call':<{width}}  {'client':<6}  {'sync':>7}  {'async':>7}  {'sync/async':>10}")
    for (name, mode), row in sorted(
        results.items(), key=lambda item: (list(KINDS).index(item[0][0]) if item[0][0] in KINDS else 99, item[0][1])
    ):
        print(
            f"  {name:<{width}}  {mode:<6}  {row['sync']:7.0f}  {row['async']:7.0f}  {row['sync'] / row['async']:10.2f}"
        )


if __name__ == "__main__":
    main()
