"""Native coroutines and the native async generator against `async def`, side by side.

Prints nanoseconds per operation (minimum of 7 repeats, timeit-style) for the
native methods of AsyncJobsClient and for equivalent Python code on the same
interpreter, the memory of one suspended coroutine of each kind, and then
tracemalloc and RSS before and after 100,000 calls of each method kind and
100,000 streamed lines, to show they stay flat.

    .venv/bin/python bench/bench_coroutines.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import platform
import sys
import time
import timeit
import tracemalloc
from pathlib import Path
from typing import Any, Callable, Iterator

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "tests"))  # the recording server used by the tests

from recording_server import RecordingServer  # noqa: E402
from reference import stream_output as py_stream_output  # noqa: E402

from vexa.client._async._jobs import AsyncJobsClient  # noqa: E402
from vexa.client._async._web import AsyncWebClient  # noqa: E402
from vexa.client._sync._code import CodeClient  # noqa: E402
from vexa.types import JobStage, JobType  # noqa: E402

REPEATS = 7


# --- the code under test and its Python equivalents --------------------------------------------------


class Parent:
    """A trivial parent client."""

    def __init__(self, base_url: str = "http://127.0.0.1:9") -> None:
        self.base_url = base_url
        self.api_key_header: dict[str, str] = {}

    def get_proxy_url(self, job_id: str) -> str:
        return self.base_url + "/" + job_id

    def get_subdomain_proxy_url(self, job_id: str) -> str:
        return job_id

    def _get_http_exception(self, httpx_error: Any) -> Exception:
        return RuntimeError(str(httpx_error))


class Finished:
    """An awaitable that completes at once with `value`."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __await__(self) -> Iterator[Any]:
        return self.value
        yield  # makes this a generator


class ScriptedJobs(AsyncJobsClient):
    """`list` returns `self.listing` as an awaitable of the configured shape."""

    listing = ["job-a", "job-b"]
    pending: Any = None

    def list(self, job_type: Any = None, job_status: Any = None, job_stage: Any = None) -> Any:
        if self.pending is not None:
            return self.pending
        return Finished(self.listing)


async def py_get_url(self: Any, job_id: str) -> str:
    return self._client.get_proxy_url(job_id)


async def py_get_latest(self: Any, code_type: Any = None) -> Any:
    job_type = JobType.from_code_type(code_type) if code_type else None
    jobs = await self.list(job_type=job_type)
    return jobs[0] if jobs else None


async def py_await_stage(
    self: Any, job_id: str, timeout: float | None = None, stage: JobStage = JobStage.POST_RUNNING
) -> Any:
    start_time = time.time()  # noqa: F841 - read as the compiled body reads it: part of the measured work
    while True:
        job = await self.get(job_id)
        return job


def py_three(self: Any, job_id: str, timeout: float | None = None) -> None:
    return None


class PythonWeb:
    """AsyncWebClient.get_url written in Python."""

    def __init__(self, client: Any) -> None:
        self._client = client

    def get_url(self, job_id: str) -> str:
        return self._client.get_subdomain_proxy_url(job_id)


class PythonJobs:
    """The same methods written in Python, called the same way (as bound methods)."""

    listing = ScriptedJobs.listing
    pending: Any = None
    list = ScriptedJobs.list
    get_url = py_get_url
    get_latest = py_get_latest
    await_stage = py_await_stage
    three = py_three

    def __init__(self, client: Any) -> None:
        self._client = client


# --- measuring ---------------------------------------------------------------------------------------------


def ns_per_op(stmt: str, namespace: dict[str, Any], number: int) -> float:
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=REPEATS, number=number)) / number * 1e9


def ndjson(count: int, chunk_size: int = 65536) -> list[bytes]:
    data = b"".join(json.dumps({"text": f"line {number}"}).encode() + b"\n" for number in range(count))
    return [data[start : start + chunk_size] for start in range(0, len(data), chunk_size)]


def rss_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return -1


def consume(make_gen: Callable[[], Any]) -> int:
    async def run() -> int:
        count = 0
        async for _ in make_gen():
            count += 1
        return count

    return asyncio.run(run())


def per_item_ns(recorder: RecordingServer, make_gen: Callable[[], Any], lines: int) -> float:
    """Per item of a long stream, without the fixed cost of a stream (client, connection):
    the difference between streaming `lines` and a tenth of them."""
    best = {}
    for count in (lines // 10, lines):
        recorder.set_default(200, chunks=ndjson(count))
        best[count] = float("inf")
        for _ in range(REPEATS):
            started = time.perf_counter()
            consumed = consume(make_gen)
            elapsed = time.perf_counter() - started
            assert consumed == count, consumed
            best[count] = min(best[count], elapsed)
        recorder.reset()
    return (best[lines] - best[lines // 10]) / (lines - lines // 10) * 1e9


def table(rows: list[tuple[str, float, float]]) -> None:
    width = max(len(row[0]) for row in rows)
    print(f"  {'case':<{width}}  {'native':>9}  {'python':>9}  {'native/python':>13}")
    for name, native, python in rows:
        print(f"  {name:<{width}}  {native:9.1f}  {python:9.1f}  {native / python:13.2f}")


# --- sections ------------------------------------------------------------------------------------------------


def timings(quick: bool, recorder: RecordingServer) -> None:
    scale = 10 if quick else 1
    parent = Parent()
    jobs = ScriptedJobs(parent)
    py_jobs = PythonJobs(parent)
    namespace = {
        "jobs": jobs,
        "py_jobs": py_jobs,
        "py_get_url": py_get_url,
        "py_get_latest": py_get_latest,
        "py_await_stage": py_await_stage,
        "py_three": py_three,
        "CodeClient": CodeClient,
        "web": AsyncWebClient(parent),
        "py_web": PythonWeb(parent),
        "parent": parent,
        "PyCode": type("CodeClient", (), {"__init__": lambda self, client: setattr(self, "_client", client)}),
    }
    drive = "c = {}\ntry:\n    c.send(None)\nexcept StopIteration:\n    pass"
    rows = [
        (
            "create + drive, body returns at once (get_url)",
            ns_per_op(drive.format('jobs.get_url("j")'), namespace, 200_000 // scale),
            ns_per_op(drive.format('py_jobs.get_url("j")'), namespace, 200_000 // scale),
        ),
        (
            "create + drive, body awaits a finished awaitable (get_latest)",
            ns_per_op(drive.format("jobs.get_latest()"), namespace, 100_000 // scale),
            ns_per_op(drive.format("py_jobs.get_latest()"), namespace, 100_000 // scale),
        ),
        (
            'bound call, 3 params, + close (await_stage("j", 5.0))',
            ns_per_op('jobs.await_stage("j", 5.0).close()', namespace, 200_000 // scale),
            ns_per_op('py_jobs.await_stage("j", 5.0).close()', namespace, 200_000 // scale),
        ),
        (
            "bound call, 3 params: native coroutine vs plain def",
            ns_per_op('jobs.await_stage("j", 5.0).close()', namespace, 200_000 // scale),
            ns_per_op('py_jobs.three("j", 5.0)', namespace, 500_000 // scale),
        ),
        (
            'plain bound method, keyword binding (web.get_url(job_id="j"))',
            ns_per_op('web.get_url(job_id="j")', namespace, 500_000 // scale),
            ns_per_op('py_web.get_url(job_id="j")', namespace, 500_000 // scale),
        ),
        (
            "plain method with binding (CodeClient(parent))",
            ns_per_op("CodeClient(parent)", namespace, 500_000 // scale),
            ns_per_op("PyCode(parent)", namespace, 500_000 // scale),
        ),
    ]

    awaits = 100_000 // scale

    async def awaiting_native() -> None:
        for _ in range(awaits):
            await jobs.get_url("j")

    async def awaiting_python() -> None:
        for _ in range(awaits):
            await py_jobs.get_url("j")

    def await_ns(make: Callable[[], Any]) -> float:
        best = float("inf")
        for _ in range(REPEATS):
            coro = make()
            started = time.perf_counter()
            try:
                coro.send(None)
            except StopIteration:
                pass
            best = min(best, time.perf_counter() - started)
        return best / awaits * 1e9

    rows.append(("`await f()` from a Python coroutine (get_url)", await_ns(awaiting_native), await_ns(awaiting_python)))

    lines = 20_000 // scale
    stream_jobs = AsyncJobsClient(Parent(recorder.base_url))
    rows.append(
        (
            "per `async for` item (stream_output, httpx over loopback)",
            per_item_ns(recorder, lambda: stream_jobs.stream_output("j"), lines),
            per_item_ns(recorder, lambda: py_stream_output(stream_jobs, "j"), lines),
        )
    )
    print("Time, ns per operation (min of 7):")
    table(rows)


def memory_of_suspended() -> None:
    loop = asyncio.new_event_loop()
    try:
        future = loop.create_future()
        jobs = ScriptedJobs(Parent())
        jobs.pending = future
        count = 1_000
        print("\nMemory of one coroutine suspended on an unfinished future (through the scripted list):")
        print(f"  {'kind':<8}  {'sys.getsizeof':>13}  {'tracemalloc per coroutine':>26}")
        for kind, make in (("native", lambda: jobs.get_latest()), ("python", lambda: py_get_latest(jobs))):
            gc.collect()
            tracemalloc.start()
            before = tracemalloc.get_traced_memory()[0]
            suspended = []
            for _ in range(count):
                coro = make()
                assert coro.send(None) is future
                future._asyncio_future_blocking = False  # as a task does once it has seen the yield
                suspended.append(coro)
            per_coroutine = (tracemalloc.get_traced_memory()[0] - before) / count
            tracemalloc.stop()
            size = sys.getsizeof(suspended[0])
            for coro in suspended:
                coro.close()
            print(f"  {kind:<8}  {size:13d}  {per_coroutine:26.0f}")
        print("  (tracemalloc: everything one more suspended coroutine keeps alive: the object, its frame")
        print("   (the C++ body frame for native), the awaited future's iterator and a list slot;")
        print("   sys.getsizeof: the coroutine object alone, without its frame)")

    finally:
        loop.close()


def flatness(quick: bool, recorder: RecordingServer) -> None:
    calls = 10_000 if quick else 100_000
    parent = Parent()
    jobs = ScriptedJobs(parent)

    def plain() -> None:
        for _ in range(calls):
            CodeClient(parent)

    def binding_error() -> None:
        for _ in range(calls):
            try:
                CodeClient()
            except TypeError:
                pass

    def coroutine_at_once() -> None:
        for _ in range(calls):
            coro = jobs.get_url("j")
            try:
                coro.send(None)
            except StopIteration:
                pass

    def coroutine_awaiting() -> None:
        for _ in range(calls):
            coro = jobs.get_latest("python")
            try:
                coro.send(None)
            except StopIteration:
                pass

    def coroutine_closed() -> None:
        for _ in range(calls):
            jobs.await_stage("j", 5.0).close()

    async def awaited_many() -> None:
        for _ in range(calls):
            await jobs.get_latest()

    def under_asyncio() -> None:
        asyncio.run(awaited_many())

    recorder.set_default(200, chunks=ndjson(calls))
    stream_jobs = AsyncJobsClient(Parent(recorder.base_url))

    def streamed() -> None:
        assert consume(lambda: stream_jobs.stream_output("j")) == calls

    kinds = [
        ("plain method (CodeClient(parent))", plain),
        ("binding error (CodeClient())", binding_error),
        ("coroutine, returns at once (get_url)", coroutine_at_once),
        ("coroutine, awaits (get_latest)", coroutine_awaiting),
        ("coroutine created and closed (await_stage)", coroutine_closed),
        ("coroutine awaited under asyncio (get_latest)", under_asyncio),
        (f"async generator, {calls:,} lines (stream_output)", streamed),
    ]
    print(f"\nFlatness: {calls:,} calls of each kind (KiB; tracemalloc current and RSS, after gc.collect()):")
    width = max(len(name) for name, _ in kinds)
    print(
        f"  {'kind':<{width}}  {'traced before':>13}  {'after':>8}  {'delta':>7}  {'RSS before':>10}  {'after':>8}  {'delta':>7}  {'s':>5}"
    )
    tracemalloc.start()
    for name, run in kinds:
        run()  # warm-up: caches, free lists, first-use allocations
        gc.collect()
        traced_before, rss_before = tracemalloc.get_traced_memory()[0], rss_kib()
        started = time.perf_counter()
        run()
        elapsed = time.perf_counter() - started
        recorder.reset()
        gc.collect()
        traced_after, rss_after = tracemalloc.get_traced_memory()[0], rss_kib()
        print(
            f"  {name:<{width}}  {traced_before / 1024:13.1f}  {traced_after / 1024:8.1f}  "
            f"{(traced_after - traced_before) / 1024:7.1f}  {rss_before:10d}  {rss_after:8d}  "
            f"{rss_after - rss_before:7d}  {elapsed:5.1f}"
        )
    tracemalloc.stop()
    print("  (each kind runs once to warm up, then is measured; the loops run under tracemalloc;")
    print("   the stream's traced baseline includes the response body the local server holds)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the iterations, for a smoke run")
    args = parser.parse_args()
    print(f"Python {platform.python_version()} ({sys.implementation.name}), {platform.machine()}")
    started = time.perf_counter()
    with RecordingServer() as recorder:
        timings(args.quick, recorder)
        memory_of_suspended()
        flatness(args.quick, recorder)
    print(f"\nTotal {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
