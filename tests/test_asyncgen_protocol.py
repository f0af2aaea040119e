"""The native async generator behaves like the interpreter's own.

Every scenario runs twice against a recording server that streams NDJSON
lines: on `AsyncJobsClient.stream_output` (a native async generator whose body
is C++) and on the same body written as an `async def` generator in this file,
making the same httpx calls. The observations (items, outcomes, messages, the
order of events, what happens to the HTTP client and its connection) must be
equal, and equal to what the scenario expects.
"""

from __future__ import annotations

import asyncio
import gc
import inspect
import json
import logging
import re
import sys
import threading
import traceback
import warnings
import weakref
from typing import Any, Awaitable, Callable

import httpx
import pytest
from recording_server import ConnectionLog, RecordingServer, ScriptedResponse
from reference import stream_output

from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._errors import get_http_exception
from vexa.types import NotFoundError, StreamOutput

KINDS = ("native", "python")
QUALNAME = "AsyncJobsClient.stream_output"
API_KEY = "stream-key-5d2e"


# On PyPy the twins' coroutines are PyPy's own; where its coroutine machinery
# differs from CPython's in what a test pins down, the test says how and skips there.
PYPY = sys.implementation.name == "pypy"


def differs_on_pypy(how: str) -> None:
    if PYPY:
        pytest.skip(f"PyPy: {how}")


# --- the two implementations ------------------------------------------------------------


class Parent:
    """A parent client; reading `api_key_header` (done inside the body) runs `on_header`."""

    def __init__(self, base_url: str) -> None:
        self.base_url = base_url
        self.on_header: Callable[[], None] | None = None

    @property
    def api_key_header(self) -> dict[str, str]:
        if self.on_header is not None:
            self.on_header()
        return {"X-API-Key": API_KEY}

    def _get_http_exception(self, httpx_error: httpx.HTTPStatusError) -> Exception:
        return get_http_exception(httpx_error, api_key=API_KEY)


def make(kind: str, jobs: AsyncJobsClient, job_id: str = "j1", **kwargs: Any) -> Any:
    """A stream_output generator of the given kind, not started."""
    if kind == "native":
        return jobs.stream_output(job_id, **kwargs)
    return stream_output(jobs, job_id, **kwargs)


# --- the server side ---------------------------------------------------------------------


def line(text: str, **fields: Any) -> bytes:
    return (json.dumps({"text": text, **fields}) + "\n").encode()


class Harness:
    """One recorder and a jobs client on it; runs a scenario once per kind."""

    def __init__(self, recorder: RecordingServer) -> None:
        self.recorder = recorder
        self.connections = ConnectionLog(recorder)
        self.parent = Parent(recorder.base_url)
        self.jobs = AsyncJobsClient(self.parent)

    def stream(self, *chunks: bytes | threading.Event, status: int = 200) -> ScriptedResponse:
        return self.recorder.script(status, chunks=list(chunks))

    def run(self, scenario: Callable[[str], Awaitable[Any]], responses: Callable[[], Any] | None = None) -> Any:
        """Runs `scenario(kind)` under asyncio.run for each kind; the observations must be equal.

        Each observation ends with whether every connection was closed by the client.
        """
        observed = []
        for kind in KINDS:
            if responses is not None:
                responses()
            self.parent.on_header = None
            result = asyncio.run(scenario(kind))
            observed.append((result, self.connections.all_closed()))
        assert observed[0] == observed[1]
        return observed[0]


@pytest.fixture
def harness(recorder: RecordingServer) -> Harness:
    return Harness(recorder)


# --- observing -----------------------------------------------------------------------------


def summary(value: Any) -> Any:
    if isinstance(value, StreamOutput):
        return value.model_dump(mode="json")
    return value


def raised(error: BaseException) -> tuple[Any, ...]:
    return ("raised", type(error), str(error), error.args)


async def attempt(awaitable: Awaitable[Any]) -> tuple[Any, ...]:
    """What awaiting does: ("returned", value) or ("raised", type, message, args)."""
    try:
        return ("returned", summary(await awaitable))
    except BaseException as error:  # noqa: B036 - every outcome is an observation
        return raised(error)


def attempt_now(step: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("returned", summary(step()))
    except BaseException as error:  # noqa: B036
        return raised(error)


def item(text: str, stream: str = "stdout", job_id: str | None = None) -> tuple[str, Any]:
    return ("returned", {"job_id": job_id, "stream": stream, "text": text, "timestamp": None})


def open_http_clients() -> list[httpx.AsyncClient]:
    return [obj for obj in gc.get_objects() if isinstance(obj, httpx.AsyncClient) and not obj.is_closed]


class ClientWatch:
    """Notes the HTTP clients the body has open when it reads the API key header (inside its
    `async with` blocks); clients already open elsewhere when the watch starts do not count."""

    def __init__(self, parent: Parent) -> None:
        self.seen: list[httpx.AsyncClient] = []
        elsewhere = open_http_clients()

        def on_header() -> None:
            self.seen.extend(
                client for client in open_http_clients() if client not in elsewhere and client not in self.seen
            )

        parent.on_header = on_header

    def all_closed(self) -> bool:
        return bool(self.seen) and all(client.is_closed for client in self.seen)


STOP_ASYNC = ("raised", StopAsyncIteration, "", ())
ABC = (line("a"), line("b"), line("c"))


# --- iteration ----------------------------------------------------------------------------------


CHUNKINGS = {
    "line-per-chunk": ([line("a"), line("b"), line("c")], ["a", "b", "c"]),
    "blank-lines": ([line("a"), b"\n", b"   \n", line("b"), b"\t\n"], ["a", "b"]),
    "split-lines": (
        [(line("a") + line("b"))[:5], (line("a") + line("b"))[5:20], (line("a") + line("b"))[20:]],
        ["a", "b"],
    ),
    "crlf": ([line("a").replace(b"\n", b"\r\n"), line("b").replace(b"\n", b"\r\n")], ["a", "b"]),
    "no-final-newline": ([line("a"), b'{"text": "last"}'], ["a", "last"]),
    "all-in-one": ([b"".join(line(str(n)) for n in range(50))], [str(n) for n in range(50)]),
    "empty": ([], []),
}


@pytest.mark.parametrize("chunking", CHUNKINGS)
def test_async_for_over_all_items(harness: Harness, chunking: str) -> None:
    chunks, texts = CHUNKINGS[chunking]

    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        items = [summary(output) async for output in make(kind, harness.jobs)]
        return items, watch.all_closed()

    (items, clients_closed), connection_closed = harness.run(scenario, lambda: harness.stream(*chunks))
    assert [output["text"] for output in items] == texts
    assert (clients_closed, connection_closed) == (True, True)
    requests = harness.recorder.requests
    assert [(request.method, request.target, request.header("X-API-Key")) for request in requests] == [
        ("GET", "/jobs/j1/stream", API_KEY)
    ] * 2


def test_items_keep_every_field(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        return [summary(output) async for output in make(kind, harness.jobs, "job-7", read_timeout=3.5)]

    items, _ = harness.run(scenario, lambda: harness.stream(line("x", stream="stderr", job_id="job-7", extra=1)))
    assert items == [{"job_id": "job-7", "stream": "stderr", "text": "x", "timestamp": None, "extra": 1}]
    assert harness.recorder.requests[0].target == "/jobs/job-7/stream"


def test_error_status_is_the_parents_http_exception(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        try:
            await gen.__anext__()
        except NotFoundError as error:
            return type(error), str(error), type(error.__context__), watch.all_closed(), await attempt(gen.asend(None))
        return "no error"

    def responses() -> None:
        harness.recorder.script(404, {"detail": "no such job"})

    (error_type, message, context, clients_closed, after), connection_closed = harness.run(scenario, responses)
    assert (error_type, context, clients_closed, connection_closed, after) == (
        NotFoundError,
        httpx.HTTPStatusError,
        True,
        True,
        STOP_ASYNC,
    )
    assert "no such job" in message


def test_invalid_line_raises_out_of_the_generator(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        outcomes = [await attempt(gen.__anext__())]
        try:
            await gen.__anext__()
        except Exception as error:
            outcomes.append((type(error).__name__, error.errors()[0]["loc"], watch.all_closed()))
        return outcomes

    outcomes, connection_closed = harness.run(
        scenario, lambda: harness.stream(line("a"), b'{"detail": "x"}\n', line("b"))
    )
    assert outcomes == [item("a"), ("ValidationError", ("text",), True)]
    assert connection_closed is True


def test_aiter_returns_self(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        same = gen.__aiter__() is gen and aiter(gen) is gen
        await gen.aclose()
        return same

    assert harness.run(scenario) == (True, True)


def test_anext_asend_and_builtin_anext(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        return [
            await attempt(gen.__anext__()),
            await attempt(gen.asend(None)),
            await attempt(anext(gen)),
            await attempt(anext(gen, "default")),
            await attempt(gen.asend(None)),
        ]

    outcomes, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    assert outcomes == [item("a"), item("b"), item("c"), ("returned", "default"), STOP_ASYNC]
    assert connection_closed is True


def test_asend_value_at_a_yield_is_accepted(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        return [await attempt(gen.asend(None)), await attempt(gen.asend("ignored")), await attempt(gen.aclose())]

    outcomes, _ = harness.run(scenario, lambda: harness.stream(*ABC))
    assert outcomes == [item("a"), item("b"), ("returned", None)]


JUST_STARTED = "can't send non-None value to a just-started async generator"


@pytest.mark.parametrize("value", [1, "x", ()], ids=repr)
def test_asend_non_none_to_just_started(harness: Harness, value: Any) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        outcome = await attempt(gen.asend(value))
        await gen.aclose()
        return outcome

    outcome, _ = harness.run(scenario)
    assert outcome == ("raised", TypeError, JUST_STARTED, (JUST_STARTED,))
    assert harness.recorder.requests == []


def test_refused_asend_leaves_the_generator_unstarted(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        try:
            await gen.asend(1)
        except TypeError as error:
            names = [entry.name for entry in traceback.extract_tb(error.__traceback__)][1:]
        return names, [await attempt(gen.__anext__()), await attempt(gen.aclose())]

    assert harness.run(scenario, lambda: harness.stream(*ABC)) == (([], [item("a"), ("returned", None)]), True)


# --- concurrent use ----------------------------------------------------------------------------------


def test_second_operation_while_the_first_is_awaiting(harness: Harness) -> None:
    differs_on_pypy("a second __anext__() while the first awaits ends with StopAsyncIteration")
    gates: list[threading.Event] = []

    def responses() -> None:
        gate = threading.Event()
        gates.append(gate)
        harness.stream(line("a"), gate, line("b"), line("c"))

    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        first = await attempt(gen.__anext__())
        pending = asyncio.create_task(gen.__anext__())
        await asyncio.sleep(0)  # the task takes its first step: it now waits for the gated line
        state = (gen.ag_running, type(gen.ag_await).__name__)
        refused = [
            await attempt(gen.__anext__()),
            await attempt(gen.asend(None)),
            await attempt(gen.aclose()),
            await attempt(gen.athrow(ValueError("x"))),
        ]
        gates[-1].set()
        second = await attempt(pending)
        rest = [await attempt(gen.__anext__()), await attempt(gen.aclose())]
        return first, state, refused, second, rest

    (first, state, refused, second, rest), connection_closed = harness.run(scenario, responses)
    assert (first, state, second, rest) == (
        item("a"),
        (True, "async_generator_asend"),
        item("b"),
        [item("c"), ("returned", None)],
    )

    def refusal(message: str) -> tuple[Any, ...]:
        return ("raised", RuntimeError, message, (message,))

    assert refused == [
        refusal("anext(): asynchronous generator is already running"),
        refusal("anext(): asynchronous generator is already running"),
        refusal("aclose(): asynchronous generator is already running"),
        refusal("athrow(): asynchronous generator is already running"),
    ]
    assert connection_closed is True


@pytest.mark.skipif(sys.version_info < (3, 12), reason="inspect.getasyncgenstate() is new in 3.12")
def test_inspect_state_follows_the_interpreter(harness: Harness) -> None:
    # Up to 3.14 inspect reads ag_running first; from 3.15 on it reads ag_state, the
    # body's own state, which is suspended while the body waits inside asend().
    gates: list[threading.Event] = []

    def responses() -> None:
        gate = threading.Event()
        gates.append(gate)
        harness.stream(line("a"), gate, line("b"))

    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        states = [inspect.getasyncgenstate(gen)]
        await attempt(gen.__anext__())
        states.append(inspect.getasyncgenstate(gen))
        pending = asyncio.create_task(gen.__anext__())
        await asyncio.sleep(0)
        states.append(inspect.getasyncgenstate(gen))
        gates[-1].set()
        await attempt(pending)
        await attempt(gen.aclose())
        states.append(inspect.getasyncgenstate(gen))
        return states, getattr(gen, "ag_state", "absent")

    (states, final), connection_closed = harness.run(scenario, responses)
    awaiting = inspect.AGEN_SUSPENDED if sys.version_info >= (3, 15) else inspect.AGEN_RUNNING
    assert states == [inspect.AGEN_CREATED, inspect.AGEN_SUSPENDED, awaiting, inspect.AGEN_CLOSED]
    assert final == (inspect.AGEN_CLOSED if sys.version_info >= (3, 15) else "absent")
    assert connection_closed is True


def test_reentry_from_inside_the_body(harness: Harness) -> None:
    differs_on_pypy("its 'already running' error does not name the method")

    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        inside: list[Any] = []

        def on_header() -> None:
            inside.append(gen.ag_running)
            for awaitable in (gen.__anext__(), gen.aclose(), gen.athrow(KeyError)):
                inside.append(attempt_now(lambda: awaitable.send(None)))

        harness.parent.on_header = on_header
        outcome = await attempt(gen.__anext__())
        await gen.aclose()
        return inside, outcome

    (inside, outcome), _ = harness.run(scenario, lambda: harness.stream(*ABC))
    assert inside == [
        True,
        (
            "raised",
            RuntimeError,
            "anext(): asynchronous generator is already running",
            ("anext(): asynchronous generator is already running",),
        ),
        (
            "raised",
            RuntimeError,
            "aclose(): asynchronous generator is already running",
            ("aclose(): asynchronous generator is already running",),
        ),
        (
            "raised",
            RuntimeError,
            "athrow(): asynchronous generator is already running",
            ("athrow(): asynchronous generator is already running",),
        ),
    ]
    assert outcome == item("a")


# --- athrow() and aclose() --------------------------------------------------------------------------------

ATHROW_FORMS: dict[str, Callable[[], tuple[Any, ...]]] = {
    "type": lambda: (ValueError,),
    "instance": lambda: (ValueError("stop"),),
    "type-value": lambda: (ValueError, "stop"),
    "type-value-none": lambda: (ValueError, "stop", None),
    "keyboard-interrupt": lambda: (KeyboardInterrupt,),
    "generator-exit": lambda: (GeneratorExit,),
}


@pytest.mark.parametrize("form", ATHROW_FORMS)
def test_athrow_at_a_yield(harness: Harness, form: str) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        first = await attempt(gen.__anext__())
        args = ATHROW_FORMS[form]()
        try:
            await gen.athrow(*args)
        except BaseException as error:  # noqa: B036
            outcome = (*raised(error), isinstance(args[0], BaseException) and error is args[0])
            clients_closed = watch.all_closed()
        else:
            return "athrow returned"
        return first, outcome, clients_closed, gen.ag_running, gen.ag_await, await attempt(gen.aclose())

    (first, outcome, clients_closed, running, awaiting, closing), connection_closed = harness.run(
        scenario, lambda: harness.stream(*ABC)
    )
    thrown = ATHROW_FORMS[form]()[0]
    expected_type = type(thrown) if isinstance(thrown, BaseException) else thrown
    assert first == item("a")
    assert outcome[1] is expected_type
    assert outcome[4] is (form == "instance")
    assert (clients_closed, running, awaiting, closing, connection_closed) == (
        True,
        False,
        None,
        ("returned", None),
        True,
    )


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((ValueError, "stop", "not a traceback"), "throw() third argument must be a traceback object"),
        ((ValueError("stop"), "separate"), "instance exception may not have a separate value"),
        ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ],
    ids=["bad-traceback", "instance-with-value", "not-an-exception"],
)
def test_athrow_with_bad_arguments_at_a_yield(harness: Harness, args: tuple[Any, ...], message: str) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        return [
            await attempt(gen.__anext__()),
            await attempt(gen.athrow(*args)),
            await attempt(gen.__anext__()),
            await attempt(gen.aclose()),
        ]

    outcomes, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    assert outcomes[0] == item("a")
    assert outcomes[1][:3] == ("raised", TypeError, message)
    assert outcomes[2:] == [item("b"), ("returned", None)]
    assert connection_closed is True


def test_athrow_before_start(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        thrown = ValueError("early")
        try:
            await gen.athrow(thrown)
        except ValueError as error:
            return (
                error is thrown,
                [entry.name for entry in traceback.extract_tb(error.__traceback__)][1:],
                await attempt(gen.aclose()),
            )
        return "no error"

    assert harness.run(scenario) == ((True, ["stream_output"], ("returned", None)), True)
    assert harness.recorder.requests == []


@pytest.mark.parametrize("thrown", [StopAsyncIteration, StopIteration], ids=lambda error: error.__name__)
@pytest.mark.parametrize("stage", ["before-start", "at-a-yield"])
def test_athrow_of_stop_exceptions(harness: Harness, stage: str, thrown: type[BaseException]) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        steps = []
        if stage == "at-a-yield":
            steps.append(await attempt(gen.__anext__()))
        steps.extend([await attempt(gen.athrow(thrown)), await attempt(gen.asend(None))])
        return steps

    steps, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    message = f"async generator raised {thrown.__name__}"
    expected = [("raised", RuntimeError, message, (message,)), STOP_ASYNC]
    if stage == "before-start" and sys.version_info >= (3, 12):
        # From 3.12 on the exception passes an unstarted body unchanged; a
        # StopIteration out of athrow() ends the awaiting with None.
        passed = ("returned", None) if thrown is StopIteration else ("raised", thrown, "", ())
        expected = [passed, STOP_ASYNC]
    assert steps == ([item("a")] if stage == "at-a-yield" else []) + expected
    assert connection_closed is True


@pytest.mark.parametrize("where", ["before-start", "at-a-yield", "after-exhaustion", "twice-at-a-yield"])
def test_aclose(harness: Harness, where: str) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        steps = []
        if where != "before-start":
            steps.append(await attempt(gen.__anext__()))
        if where == "after-exhaustion":
            steps.extend([await attempt(gen.__anext__()) for _ in range(3)])
        steps.append(await attempt(gen.aclose()))
        if where == "twice-at-a-yield":
            steps.append(await attempt(gen.aclose()))
        steps.append(await attempt(gen.asend(None)))
        return steps, watch.all_closed() or watch.seen == [], gen.ag_await, gen.ag_running

    (steps, clients_closed, awaiting, running), connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    closed = ("returned", None)
    expected = {
        "before-start": [closed, STOP_ASYNC],
        "at-a-yield": [item("a"), closed, STOP_ASYNC],
        "after-exhaustion": [item("a"), item("b"), item("c"), STOP_ASYNC, closed, STOP_ASYNC],
        "twice-at-a-yield": [item("a"), closed, closed, STOP_ASYNC],
    }[where]
    assert steps == expected
    assert (clients_closed, awaiting, running, connection_closed) == (True, None, False, True)
    assert len(harness.recorder.requests) == (0 if where == "before-start" else 2)


@pytest.mark.parametrize(
    "ending", ["exhausted", "aclose-before-start", "aclose-at-a-yield", "athrow-at-a-yield", "athrow-before-start"]
)
def test_anext_on_a_finished_generator(harness: Harness, ending: str) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        if ending == "exhausted":
            [output async for output in gen]
        elif ending == "aclose-before-start":
            await gen.aclose()
        else:
            if ending.endswith("at-a-yield"):
                await gen.__anext__()
            if ending.startswith("athrow"):
                await attempt(gen.athrow(ValueError))
            else:
                await gen.aclose()
        return [await attempt(gen.__anext__()), await attempt(anext(gen, "default")), await attempt(gen.asend(None))]

    outcomes, _ = harness.run(scenario, lambda: harness.stream(*ABC))
    assert outcomes == [STOP_ASYNC, ("returned", "default"), STOP_ASYNC]


def test_reuse_of_an_awaited_asend_or_athrow(harness: Harness) -> None:
    differs_on_pypy("an awaited asend() raises 'cannot reuse already awaited aclose()/athrow()' when used again")

    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        asend = gen.asend(None)
        steps = [await attempt(asend), await attempt(asend)]
        athrow = gen.athrow(KeyError("k"))
        steps.extend([await attempt(athrow), await attempt(athrow)])
        steps.extend([attempt_now(lambda: athrow.send(None)), attempt_now(lambda: athrow.throw(KeyError))])
        aclose = gen.aclose()
        steps.extend([await attempt(aclose), await attempt(aclose)])
        return steps

    steps, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    reuse_asend = (
        "raised",
        RuntimeError,
        "cannot reuse already awaited __anext__()/asend()",
        ("cannot reuse already awaited __anext__()/asend()",),
    )
    reuse_athrow = (
        "raised",
        RuntimeError,
        "cannot reuse already awaited aclose()/athrow()",
        ("cannot reuse already awaited aclose()/athrow()",),
    )
    assert steps == [
        item("a"),
        reuse_asend,
        ("raised", KeyError, "'k'", ("k",)),
        ("returned", None),  # awaiting it again finds the generator finished
        reuse_athrow,
        reuse_athrow,
        ("returned", None),
        reuse_athrow,
    ]
    assert connection_closed is True


def test_throw_and_close_on_the_asend_object(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        first = await attempt(gen.__anext__())
        closed_asend = gen.__anext__()
        # 3.13's close() of an unstarted asend object fails; compared as an outcome.
        closing = attempt_now(closed_asend.close)
        after_close = (closing, await attempt(closed_asend))
        asend = gen.__anext__()
        # The exception enters the body at its yield; the body's clean-up suspends, and each
        # suspension comes back out of throw()/send() until the exception leaves the body.
        steps = [attempt_now(lambda: asend.throw(ValueError("via asend")))]
        while steps[-1] == ("returned", None):
            steps.append(attempt_now(lambda: asend.send(None)))
        return first, after_close, steps[0], steps[-1], watch.all_closed(), await attempt(gen.asend(None))

    (first, after_close, first_step, last_step, clients_closed, after), connection_closed = harness.run(
        scenario, lambda: harness.stream(*ABC)
    )
    reuse = "cannot reuse already awaited __anext__()/asend()"
    if sys.version_info >= (3, 13):
        # close() throws GeneratorExit in; the body's clean-up awaits, so the close is ignored.
        ignored = "coroutine ignored GeneratorExit"
        closing = (("raised", RuntimeError, ignored, (ignored,)), ("raised", GeneratorExit, "", ()))
    else:
        closing = (("returned", None), ("raised", RuntimeError, reuse, (reuse,)))
    assert (first, after_close) == (item("a"), closing)
    if sys.version_info < (3, 13):
        # Later, the failed close() has already run the clean-up; the steps are compared natively only.
        assert first_step == ("returned", None)
    assert last_step == ("raised", ValueError, "via asend", ("via asend",))
    assert (clients_closed, after, connection_closed) == (True, STOP_ASYNC, True)


def test_break_then_aclose(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        seen = []
        async for output in gen:
            seen.append(output.text)
            if output.text == "b":
                break
        open_after_break = not watch.all_closed()
        return seen, open_after_break, await attempt(gen.aclose()), watch.all_closed(), await attempt(gen.asend(None))

    observed, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC, line("d")))
    assert observed == (["a", "b"], True, ("returned", None), True, STOP_ASYNC)
    assert connection_closed is True


# --- the event loop's hooks ---------------------------------------------------------------------------------------


def test_asyncio_run_closes_a_suspended_generator(harness: Harness, caplog: pytest.LogCaptureFixture) -> None:
    """shutdown_asyncgens closes the generator left suspended at a yield, with its clean-up.

    asyncio closes every generator it tracks at once, httpx's own context-manager
    generator (AsyncClient.stream) included, so it may report that race through the
    loop's exception handler; the interpreter's generator gets the same reports.
    """
    differs_on_pypy("closing the generator at the loop's end meets anyio's cancel scope in another task")
    kept: list[Any] = []
    reports: list[dict[str, Any]] = []

    async def scenario(kind: str) -> Any:
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reports.append(context))
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        first = await attempt(gen.__anext__())
        kept.append((gen, watch))
        return first

    unraisable: list[Any] = []
    previous_hook = sys.unraisablehook
    sys.unraisablehook = unraisable.append
    try:
        with caplog.at_level(logging.WARNING, logger="asyncio"), warnings.catch_warnings():
            warnings.simplefilter("error")
            first, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
            states = [(watch.all_closed(), gen.ag_await, gen.ag_running) for gen, watch in kept]
            kept.clear()
            gc.collect()
    finally:
        sys.unraisablehook = previous_hook
    assert first == item("a")
    assert states == [(True, None, False)] * 2
    assert connection_closed is True
    assert [str(hook.exc_value) for hook in unraisable] == []
    assert [record.getMessage() for record in caplog.records] == []
    race = {
        "aclose(): asynchronous generator is already running",
        "athrow(): asynchronous generator is already running",
        "generator didn't stop after athrow()",
    }
    for context in reports:
        assert context["message"].startswith("an error occurred during closing of asynchronous generator")
        assert (type(context["exception"]), str(context["exception"])) in {(RuntimeError, message) for message in race}


def test_collecting_a_half_consumed_generator_in_a_running_loop(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        watch = ClientWatch(harness.parent)
        gen = make(kind, harness.jobs)
        first = await attempt(gen.__anext__())
        reference = weakref.ref(gen)
        tasks_before = asyncio.all_tasks()
        del gen
        gc.collect()
        collected = reference() is None
        await asyncio.sleep(0)  # runs the finaliser hook's callback, which creates the aclose() task
        closers = asyncio.all_tasks() - tasks_before
        open_before_closing = not watch.all_closed()
        await asyncio.gather(*closers)
        return first, collected, len(closers), open_before_closing, watch.all_closed()

    observed, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    assert observed == (item("a"), True, 1, True, True)
    assert connection_closed is True


def test_firstiter_hook_is_called_once_with_the_generator(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        calls: list[Any] = []
        loop_hooks = sys.get_asyncgen_hooks()

        def firstiter(gen: Any) -> None:
            if gen.__qualname__ == QUALNAME:
                calls.append(gen)
            loop_hooks.firstiter(gen)

        sys.set_asyncgen_hooks(firstiter=firstiter, finalizer=loop_hooks.finalizer)
        try:
            gen = make(kind, harness.jobs)
            counts = [len(calls)]
            awaitable = gen.__anext__()
            counts.append(len(calls))
            await awaitable
            await gen.__anext__()
            await gen.aclose()
            counts.append(len(calls))
            other = make(kind, harness.jobs)
            await other.aclose()
            counts.append(len(calls))
        finally:
            sys.set_asyncgen_hooks(*loop_hooks)
        # httpx's own async generators pass through the hook too; only ours are counted.
        return counts, calls[0] is gen, calls[1] is other

    observed, _ = harness.run(scenario, lambda: harness.stream(*ABC))
    assert observed == ([0, 1, 1, 2], True, True)


def test_finalizer_hook_receives_the_generator(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        finalized: list[Any] = []
        loop_hooks = sys.get_asyncgen_hooks()
        sys.set_asyncgen_hooks(firstiter=loop_hooks.firstiter, finalizer=finalized.append)
        try:
            gen = make(kind, harness.jobs)
            first = await attempt(gen.__anext__())
        finally:
            sys.set_asyncgen_hooks(*loop_hooks)
        name = gen.__qualname__
        del gen
        gc.collect()
        kept = [(type(gen).__name__, gen.__qualname__) for gen in finalized]
        for gen in finalized:
            await gen.aclose()
        finalized.clear()
        return first, name, kept

    observed, connection_closed = harness.run(scenario, lambda: harness.stream(*ABC))
    assert observed == (item("a"), QUALNAME, [("async_generator", QUALNAME)])
    assert connection_closed is True


def test_weak_references(harness: Harness) -> None:
    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        reference = weakref.ref(gen)
        weak_set = weakref.WeakSet([gen])
        alive = (reference() is gen, len(weak_set))
        del gen
        gc.collect()
        return alive, reference() is None, len(weak_set)

    assert harness.run(scenario) == (((True, 1), True, 0), True)


# --- attributes --------------------------------------------------------------------------------------------------------


def test_attributes_through_the_life_cycle(harness: Harness) -> None:
    differs_on_pypy("the repr says 'async generator', not 'async_generator'")
    gates: list[threading.Event] = []

    def responses() -> None:
        gate = threading.Event()
        gates.append(gate)
        harness.stream(line("a"), gate, line("b"))

    async def scenario(kind: str) -> Any:
        gen = make(kind, harness.jobs)
        states = [("created", gen.ag_running, gen.ag_await)]
        await gen.__anext__()
        states.append(("at a yield", gen.ag_running, gen.ag_await))
        pending = asyncio.create_task(gen.__anext__())
        await asyncio.sleep(0)  # the task takes its first step: it now waits for the gated line
        states.append(("awaiting", gen.ag_running, type(gen.ag_await).__name__))
        gates[-1].set()
        await pending
        await gen.aclose()
        states.append(("closed", gen.ag_running, gen.ag_await))
        return states, gen.__name__, gen.__qualname__, re.sub(r"0x[0-9a-f]+", "ADDRESS", repr(gen)), type(gen).__name__

    observed, _ = harness.run(scenario, responses)
    assert observed == (
        [
            ("created", False, None),
            ("at a yield", False, None),
            ("awaiting", True, "async_generator_asend"),
            ("closed", False, None),
        ],
        "stream_output",
        QUALNAME,
        f"<async_generator object {QUALNAME} at ADDRESS>",
        "async_generator",
    )


@pytest.mark.native_only
def test_code_and_names() -> None:
    jobs = AsyncJobsClient(Parent("http://127.0.0.1:9"))
    gen = jobs.stream_output("j1")
    assert gen.ag_code is AsyncJobsClient.stream_output.__code__
    assert (gen.ag_code.co_name, gen.ag_code.co_filename) == ("stream_output", "vexa/client/_async/_jobs")
    assert (gen.__name__, gen.__qualname__) == ("stream_output", QUALNAME)
    gen.__name__ = "renamed"
    assert gen.__name__ == "renamed"
    with pytest.raises(TypeError, match="^__qualname__ must be set to a string object$"):
        gen.__qualname__ = 5
    awaitable = gen.asend(None)
    assert (type(awaitable).__name__, type(gen.aclose()).__name__) == (
        "async_generator_asend",
        "async_generator_athrow",
    )
    awaitable.close()
