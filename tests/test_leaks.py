"""Native methods keep memory, live objects and reference counts flat.

Each case repeats one kind of call (plain method, argument binding errors,
coroutine creation and completion on every path, async generator streaming)
after a warm-up, then checks that the memory still allocated from the loop
(tracemalloc), the number of live GC-tracked objects and the reference counts
of the objects passed in have not grown beyond a small tolerance.
"""

from __future__ import annotations

import asyncio
import gc
import json
import sys
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import httpx
import pytest
from recording_server import ConnectionLog, RecordingServer

from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._sync._code import CodeClient
from vexa.client._sync._jobs import JobsClient

# PyPy has no tracemalloc (nor reference counts to watch: its GC moves and frees objects
# in its own time), so what these checks measure does not exist there.
tracemalloc = pytest.importorskip("tracemalloc", reason="no tracemalloc in this interpreter (PyPy)")

ITERATIONS = 2_000
WARMUP = 200
# What may stay allocated after ITERATIONS calls: far less than one small object per call.
MEMORY_BOUND = 8 * 1024
OBJECT_BOUND = 30


@dataclass
class Growth:
    memory: int  # bytes allocated during the loop and still alive after it
    objects: int  # change in the number of GC-tracked objects
    refcounts: list[int]  # change in the reference count of each watched object

    def is_flat(self) -> bool:
        return self.memory < MEMORY_BOUND and abs(self.objects) <= OBJECT_BOUND and not any(self.refcounts)


def growth(
    action: Callable[[], Any],
    watched: list[Any],
    iterations: int = ITERATIONS,
    warmup: int = WARMUP,
    allocated_in: str | None = None,
) -> Growth:
    """With `allocated_in` (a file name), only memory allocated while that
    file's code ran at the top of the Python stack counts: what native calls
    made from it allocate themselves, without what the Python code they call
    (httpx, a server thread) keeps in its caches and free lists."""
    for _ in range(warmup):
        action()
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in watched]
    objects = len(gc.get_objects())
    memory = retained_memory(action, iterations, allocated_in)
    if memory >= MEMORY_BOUND:
        # A shared table of the interpreter or a library that happens to grow
        # during the window (after whatever ran before) is kept once; a leak
        # grows again in a second window.
        memory = min(memory, retained_memory(action, iterations, allocated_in))
    objects = len(gc.get_objects()) - objects
    after = [sys.getrefcount(obj) for obj in watched]
    return Growth(memory=memory, objects=objects, refcounts=[now - before for now, before in zip(after, refcounts)])


def retained_memory(action: Callable[[], Any], iterations: int, allocated_in: str | None = None) -> int:
    """Bytes allocated while running `action` `iterations` times and still alive afterwards."""
    tracemalloc.start()
    try:
        for _ in range(iterations):
            action()
        gc.collect()
        if allocated_in is None:
            return tracemalloc.get_traced_memory()[0]
        snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, allocated_in)])
        return sum(stat.size for stat in snapshot.statistics("filename"))
    finally:
        tracemalloc.stop()


class Parent:
    def __init__(self, base_url: str = "http://127.0.0.1:9") -> None:
        self.base_url = base_url
        self.api_key_header = {"X-API-Key": "leak-test"}

    def get_proxy_url(self, job_id: str) -> str:
        return f"{self.base_url}/{job_id}"

    def _get_http_exception(self, httpx_error: Any) -> Exception:
        return RuntimeError(str(httpx_error))


class Suspend:
    def __await__(self) -> Iterator[Any]:
        return (yield "suspended")


class ScriptedJobs(AsyncJobsClient):
    """`list` does what `behaviour` says; `listing` is what it returns."""

    def __init__(self, behaviour: str) -> None:
        super().__init__(Parent())
        self.behaviour = behaviour
        self.listing = ["job-a", "job-b"]

    def list(self, job_type: Any = None, job_status: Any = None, job_stage: Any = None) -> Any:
        if self.behaviour == "raises":
            raise LookupError("no jobs")
        if self.behaviour == "stop-iteration":
            raise StopIteration(self.listing)
        if self.behaviour == "immediate":
            return finished(self.listing)
        return Suspend()


class Finished:
    def __init__(self, value: Any) -> None:
        self.value = value

    def __await__(self) -> Iterator[Any]:
        return self.value
        yield  # pragma: no cover - makes this a generator


def finished(value: Any) -> Finished:
    return Finished(value)


# --- plain methods and argument binding ---------------------------------------------------------------


def test_plain_method_and_binding_errors() -> None:
    parent = Parent()
    errors: list[str] = []

    def action() -> None:
        CodeClient(parent)
        CodeClient(client=parent)
        for args, kwargs in (
            ((), {}),
            ((parent, 1), {}),
            ((), {"client": parent, "bogus": 1}),
            ((parent,), {"client": parent}),
        ):
            try:
                CodeClient(*args, **kwargs)
            except TypeError as error:
                errors.append(str(error))
        errors.clear()

    action()  # every binding error above is indeed one
    result = growth(action, [parent])
    assert result.is_flat(), result


def test_argument_type_errors_of_coroutine_methods() -> None:
    jobs = AsyncJobsClient(Parent())
    not_a_string = 12345678
    not_a_float = "soon"

    def action() -> None:
        for call in (
            lambda: jobs.get_url(not_a_string),
            lambda: jobs.await_stage("j", not_a_float),
            lambda: jobs.get_url(),
            lambda: jobs.stream_output("j", read_timeout=not_a_float),
            lambda: jobs.get_latest(None, None),
        ):
            try:
                call()
            except TypeError:
                pass
            else:
                raise AssertionError("no TypeError")

    result = growth(action, [jobs, not_a_string, not_a_float])
    assert result.is_flat(), result


# --- coroutines -----------------------------------------------------------------------------------------


def test_coroutine_created_and_completed() -> None:
    parent = Parent()
    jobs = AsyncJobsClient(parent)
    job_id = "-".join(["job", "leak"])
    urls: list[str] = []

    def action() -> None:
        coro = jobs.get_url(job_id)
        try:
            coro.send(None)
        except StopIteration as stop:
            urls.append(stop.value)
        urls.clear()

    action()
    result = growth(action, [parent, jobs, job_id])
    assert result.is_flat(), result


def drive(coro: Any, *steps: Any) -> Any:
    """Sends each step; returns the StopIteration value or the exception that ended it."""
    try:
        for step in steps:
            coro.send(step)
    except StopIteration as stop:
        return stop.value
    except BaseException as error:  # noqa: B036
        return error
    return coro


@pytest.mark.parametrize(
    "path",
    [
        "suspends-and-returns",
        "returns-at-once",
        "list-raises",
        "stop-iteration",
        "thrown-while-suspended",
        "closed-while-suspended",
        "closed-before-start",
        "thrown-before-start",
        "dropped-while-suspended",
        "dropped-unstarted",
        "under-asyncio",
    ],
)
def test_get_latest_on_every_path(path: str) -> None:
    behaviour = {"returns-at-once": "immediate", "list-raises": "raises", "stop-iteration": "stop-iteration"}.get(
        path, "suspends"
    )
    jobs = ScriptedJobs(behaviour)
    code_type = "".join(["py", "thon"])
    listing = jobs.listing

    async def many() -> None:
        for _ in range(100):
            assert await jobs.get_latest(code_type) == "job-a"

    def action() -> None:
        if path == "under-asyncio":
            asyncio.run(many())
            return
        coro = jobs.get_latest(code_type)
        if path == "suspends-and-returns":
            assert drive(coro, None, listing) == "job-a"
        elif path in ("returns-at-once", "list-raises", "stop-iteration"):
            drive(coro, None)
        elif path == "thrown-while-suspended":
            coro.send(None)
            try:
                coro.throw(ValueError("thrown"))
            except ValueError:
                pass
        elif path == "closed-while-suspended":
            coro.send(None)
            coro.close()
        elif path == "closed-before-start":
            coro.close()
        elif path == "thrown-before-start":
            try:
                coro.throw(KeyError)
            except KeyError:
                pass
        elif path == "dropped-while-suspended":
            coro.send(None)

    if path == "under-asyncio":
        jobs.behaviour = "immediate"
        # Batches of 100 awaits, each batch in a fresh event loop.
        result = growth(action, [jobs, code_type, listing], iterations=20, warmup=3)
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # "never awaited", for dropped-unstarted
            result = growth(action, [jobs, code_type, listing, listing[0]])
    assert result.is_flat(), result


def test_await_stage_created_and_closed() -> None:
    jobs = AsyncJobsClient(Parent())
    job_id = "-".join(["job", "stage"])
    timeout = float("5.0")

    def action() -> None:
        jobs.await_stage(job_id, timeout).close()

    result = growth(action, [jobs, job_id, timeout])
    assert result.is_flat(), result


# --- the async generator -----------------------------------------------------------------------------------

STREAM_LINES = 2_000


def ndjson(count: int) -> list[bytes]:
    data = b"".join(json.dumps({"text": f"line {number}"}).encode() + b"\n" for number in range(count))
    return [data[start : start + 8192] for start in range(0, len(data), 8192)]


@pytest.mark.parametrize("ending", ["exhausted", "closed-halfway"])
def test_stream_output_over_many_lines(recorder: RecordingServer, ending: str) -> None:
    recorder.set_default(200, chunks=ndjson(STREAM_LINES))
    connections = ConnectionLog(recorder)
    jobs = AsyncJobsClient(Parent(recorder.base_url))
    job_id = "-".join(["job", "stream"])
    read_timeout = float("30.0")
    counts: list[int] = []

    async def consume() -> None:
        gen = jobs.stream_output(job_id, read_timeout=read_timeout)
        count = 0
        async for _output in gen:
            count += 1
            if ending == "closed-halfway" and count == STREAM_LINES // 2:
                break
        await gen.aclose()
        counts.append(count)

    def action() -> None:
        asyncio.run(consume())
        # A stream ended half-way leaves the server's thread still sending
        # (and its buffers alive) for a while: none of that is ours.
        assert connections.settle()
        recorder.reset()  # the recorder keeps every request; its growth is not ours

    # Each iteration streams STREAM_LINES lines: a leak per line would show thousands of times.
    result = growth(action, [jobs, job_id, read_timeout], iterations=5, warmup=2)
    expected = STREAM_LINES if ending == "exhausted" else STREAM_LINES // 2
    assert len(counts) >= 7 and set(counts) == {expected}
    assert result.memory < 64 * 1024 and abs(result.objects) <= 100 and not any(result.refcounts), result


# --- the synchronous jobs client ----------------------------------------------------------------------------

SYNC_JOB = {"job_id": "j1", "job_type": "run", "job_status": "started", "job_stage": "running"}


class RequestParent(Parent):
    """A parent as vexa.Client is one: one TLS context for the clients its
    requests open, or one pooled httpx.Client that they all go through."""

    def __init__(self, base_url: str, shared: bool) -> None:
        super().__init__(base_url)
        self._ssl_context = httpx.create_ssl_context()
        self._http_client = httpx.Client(verify=self._ssl_context) if shared else None


# What the compiled calls keep: the twins' allocations are the interpreter's
# own, and their small caches made this window's memory move (4 bytes a round).
@pytest.mark.native_only
@pytest.mark.parametrize("shared", [False, True], ids=["own-client", "shared-client"])
def test_sync_requests_results_and_errors(recorder: RecordingServer, shared: bool) -> None:
    parent = RequestParent(recorder.base_url, shared)
    connections = ConnectionLog(recorder)
    jobs = JobsClient(parent)
    job_id = "-".join(["job", "sync"])
    wrong = 10**30
    outcomes: set[str] = set()  # a list would grow with every round, and be counted

    def answer(status: int, body: Any) -> None:
        recorder.reset()  # the recorder keeps every request; its growth is not ours
        recorder.set_default(status, body)  # (and every scripted answer: one default is replaced)

    def action() -> None:
        answer(200, SYNC_JOB)
        jobs.get(job_id)
        answer(200, '"running"')
        jobs.get_stage(job_id)
        answer(404, {"detail": "gone"})
        try:
            jobs.get_error(job_id)
        except RuntimeError:
            outcomes.add("mapped")
        answer(200, [SYNC_JOB])
        jobs.get_latest()
        try:
            jobs.get(wrong)
        except TypeError:
            outcomes.add("refused")
        if not shared:
            # The server's threads done with the closed connections: what
            # they hold meanwhile is theirs, not the calls'.
            assert connections.settle()

    try:
        # httpx and the server thread keep a few small blocks per request in
        # their caches and free lists: only what the native calls allocate
        # themselves is counted (a leaked object they made would also show
        # in the object count).
        result = growth(action, [jobs, job_id, wrong, parent], iterations=300, warmup=50, allocated_in=__file__)
    finally:
        if parent._http_client is not None:
            parent._http_client.close()
    assert outcomes == {"mapped", "refused"}
    # 1,500 calls in the window: a leak of one object per call would be 1,500;
    # the server's and httpx's own threads and pools move the count by a few dozen.
    assert result.memory < MEMORY_BOUND and abs(result.objects) <= 100 and not any(result.refcounts), result


@pytest.mark.parametrize("ending", ["exhausted", "closed-halfway", "dropped-halfway"])
def test_sync_stream_output_over_many_lines(recorder: RecordingServer, ending: str) -> None:
    recorder.set_default(200, chunks=ndjson(STREAM_LINES))
    connections = ConnectionLog(recorder)
    jobs = JobsClient(Parent(recorder.base_url))
    job_id = "-".join(["job", "stream"])
    read_timeout = float("30.0")
    counts: list[int] = []

    def action() -> None:
        gen = jobs.stream_output(job_id, read_timeout=read_timeout)
        count = 0
        for _output in gen:
            count += 1
            if ending != "exhausted" and count == STREAM_LINES // 2:
                break
        if ending != "dropped-halfway":
            gen.close()
        del gen
        counts.append(count)
        assert connections.settle()  # the server's thread done with the stream (see above)
        recorder.reset()

    result = growth(action, [jobs, job_id, read_timeout], iterations=5, warmup=2)
    expected = STREAM_LINES if ending == "exhausted" else STREAM_LINES // 2
    assert len(counts) >= 7 and set(counts) == {expected}
    assert result.memory < 64 * 1024 and abs(result.objects) <= 100 and not any(result.refcounts), result


# --- the measurement itself -------------------------------------------------------------------------------------


@pytest.mark.parametrize("allocated_in", [None, __file__], ids=["all", "this-file"])
def test_the_measurement_sees_a_leak_of_one_small_object_per_call(allocated_in: str | None) -> None:
    kept: list[Any] = []
    watched = object()

    def leaking() -> None:
        kept.append([watched])

    result = growth(leaking, [watched], allocated_in=allocated_in)
    assert result.memory >= ITERATIONS * 40
    assert result.objects >= ITERATIONS - 10  # unrelated objects may die meanwhile
    assert result.refcounts[0] >= ITERATIONS  # two windows when the first one kept memory
    assert not result.is_flat()


# --- names the frame looks up internally -------------------------------------------------------------


# These names are shared interned strings: other code may take or drop a
# reference meanwhile, but a leak would add one per call.
def assert_name_not_leaked(result: Growth) -> None:
    assert abs(result.refcounts[0]) < ITERATIONS // 20, result
    assert result.memory < MEMORY_BOUND and abs(result.objects) <= OBJECT_BOUND, result


@pytest.mark.parametrize("shortcut, member", [("list_queued", "QUEUED"), ("list_post_running", "POST_RUNNING")])
def test_listing_shortcuts_keep_the_member_name_flat(shortcut: str, member: str) -> None:
    jobs = ScriptedJobs("immediate")
    name = sys.intern(member)  # the object the shortcut looks up on JobStatus/JobStage
    assert_name_not_leaked(growth(lambda: drive(getattr(jobs, shortcut)(), None), [name]))


def test_closing_a_suspended_coroutine_keeps_the_close_name_flat() -> None:
    jobs = ScriptedJobs("suspends")

    def action() -> None:
        coro = jobs.get_latest()
        coro.send(None)
        coro.close()  # looks up `close` on what the body awaits

    assert_name_not_leaked(growth(action, [sys.intern("close")]))
