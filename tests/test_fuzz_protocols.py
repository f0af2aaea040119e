"""Random sequences of protocol operations on native coroutines and async
generators against their `async def` twins on the running interpreter.

Coroutines: `AsyncJobsClient.get_latest` and its twin await a scripted `list`
that suspends a few times and, at each suspension, lets a thrown exception
pass, swallows it or returns early. Hypothesis picks the script and a
sequence of `send`, `throw`, `close` and `__await__` steps (on the coroutine
or on its `__await__` iterator), or a cancellation of a task after some loop
iterations. Async generators: `stream_output` and its twin (tests/reference.py)
read the same stream of lines from a local server while a sequence of
`anext`, `asend`, `athrow` and `aclose` is awaited on them.

After every step both must agree: the outcome (value, or exception type,
text and args), the log of what the script saw, and the object's state.
Interpreter texts are not written down here, so the comparison holds on every
interpreter version the modules are built for.
"""

from __future__ import annotations

import asyncio
import gc
import json
import sys
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import pytest
from fuzzing import scaled
from hypothesis import given
from hypothesis import strategies as st
from recording_server import RecordingServer
from reference import stream_output
from test_asyncgen_protocol import Parent as StreamParent
from test_coroutine_protocol import ScriptedJobs, Suspend, get_latest, raised

from vexa.client._async._jobs import AsyncJobsClient
from vexa.types import StreamOutput

KINDS = ("native", "python")

# --- coroutines ------------------------------------------------------------------------------


@dataclass(frozen=True)
class Script:
    """What the awaited `list` does: one handling per suspension, then an ending."""

    handlings: tuple[str, ...]  # "pass", "swallow" or "return", for an Exception thrown in
    ending: str  # "jobs", "empty" or "raise"

    def __call__(self, log: list[Any]) -> Any:
        async def list_script() -> list[Any]:
            for index, handling in enumerate(self.handlings):
                try:
                    sent = await Suspend(index, log)
                except Exception as error:
                    log.append(("caught", index, type(error).__name__, handling))
                    if handling == "return":
                        return ["early"]
                    if handling == "pass":
                        raise
                    continue
                log.append(("sent", index, sent))
            if self.ending == "raise":
                raise LookupError("list failed")
            return ["job-1"] if self.ending == "jobs" else []

        return list_script()


scripts = st.builds(
    Script,
    handlings=st.lists(st.sampled_from(["pass", "swallow", "return"]), max_size=3).map(tuple),
    ending=st.sampled_from(["jobs", "empty", "raise"]),
)

# Exceptions to throw in, built afresh for each kind so that state never leaks between them.
THROWN: dict[str, Callable[[], Any]] = {
    "ValueError()": lambda: ValueError("thrown"),
    "ValueError": lambda: ValueError,
    "KeyError(args)": lambda: KeyError("k", 2),
    "GeneratorExit()": lambda: GeneratorExit(),
    "StopIteration()": lambda: StopIteration("stop"),
    "StopAsyncIteration": lambda: StopAsyncIteration,
    "CancelledError()": lambda: asyncio.CancelledError(),
    "KeyboardInterrupt()": lambda: KeyboardInterrupt(),
}
SENT = [None, None, 1, "x"]

steps = st.one_of(
    st.tuples(st.just("send"), st.sampled_from(range(len(SENT)))),
    st.tuples(st.just("throw"), st.sampled_from(sorted(THROWN))),
    st.tuples(st.just("close"), st.just(None)),
    st.tuples(st.just("__await__"), st.just(None)),
)


def coroutine_state(coro: Any) -> tuple[Any, ...]:
    return (coro.cr_running, coro.cr_frame is None, coro.cr_await is None)


def observe_step(coro: Any, target: Any, step: tuple[str, Any]) -> tuple[Any, Any]:
    """Runs one step on the target (the coroutine or its `__await__` iterator);
    returns (outcome, new target). `__await__` is asked of the coroutine itself:
    what its iterator offers besides the iterator protocol differs by design."""
    action, argument = step
    try:
        if action == "send":
            return ("returned", target.send(SENT[argument])), target
        if action == "throw":
            return ("returned", target.throw(THROWN[argument]())), target
        if action == "close":
            return ("returned", target.close()), target
        return ("iterator",), coro.__await__()
    except BaseException as error:  # noqa: B036 - every outcome is an observation
        return raised(error), target


def run_coroutine_steps(kind: str, script: Script, sequence: list[tuple[str, Any]]) -> list[Any]:
    jobs = ScriptedJobs(script)
    coro = jobs.get_latest() if kind == "native" else get_latest(jobs)
    target: Any = coro
    observed: list[Any] = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for step in sequence:
            outcome, target = observe_step(coro, target, step)
            observed.append((step, outcome, coroutine_state(coro)))
        unraisable: list[str] = []
        hook, sys.unraisablehook = (
            sys.unraisablehook,
            lambda info: unraisable.append(f"{info.exc_type.__name__}: {info.exc_value}"),
        )
        try:
            del coro, target
            gc.collect(0)  # the young generation holds any cycle made during the steps
        finally:
            sys.unraisablehook = hook
    observed.append(("log", jobs.log))
    observed.append(("warnings", [(warning.category, str(warning.message)) for warning in caught]))
    observed.append(("unraisable", unraisable))
    return observed


@scaled(2.0)
@given(script=scripts, sequence=st.lists(steps, max_size=8))
def test_coroutine_step_sequences(script: Script, sequence: list[tuple[str, Any]]) -> None:
    native, python = (run_coroutine_steps(kind, script, sequence) for kind in KINDS)
    assert native == python


async def cancelled_after(kind: str, script: Script, loop_turns: int) -> list[Any]:
    """Runs get_latest in a task whose `list` awaits the loop; cancels it after `loop_turns` turns."""
    log: list[Any] = []

    def script_on_the_loop(jobs_log: list[Any]) -> Any:
        async def list_script() -> list[Any]:
            for index, handling in enumerate(script.handlings):
                try:
                    await asyncio.sleep(0)
                except asyncio.CancelledError:
                    log.append(("cancelled", index, handling))
                    if handling == "return":
                        return ["early"]
                    if handling == "pass":
                        raise
            if script.ending == "raise":
                raise LookupError("list failed")
            return ["job-1"] if script.ending == "jobs" else []

        return list_script()

    jobs = ScriptedJobs(script_on_the_loop)
    task = asyncio.ensure_future(jobs.get_latest() if kind == "native" else get_latest(jobs))
    for _ in range(loop_turns):
        await asyncio.sleep(0)
    task.cancel()
    try:
        outcome: Any = ("returned", await task)
    except BaseException as error:  # noqa: B036
        outcome = raised(error)
    return [outcome, task.cancelled(), log]


@scaled(0.5)
@given(script=scripts, loop_turns=st.integers(0, 5))
def test_cancellation_at_any_point(script: Script, loop_turns: int) -> None:
    native, python = (asyncio.run(cancelled_after(kind, script, loop_turns)) for kind in KINDS)
    assert native == python


# --- async generators --------------------------------------------------------------------------

LINES = 3
generator_steps = st.lists(
    st.one_of(
        st.just(("anext", None)),
        st.tuples(st.just("asend"), st.sampled_from([None, 1])),
        st.tuples(
            st.just("athrow"),
            st.sampled_from(["ValueError()", "GeneratorExit()", "StopAsyncIteration", "StopIteration()"]),
        ),
        st.just(("aclose", None)),
    ),
    max_size=6,
)


@pytest.fixture(scope="module")
def line_server() -> Iterator[RecordingServer]:
    """Streams LINES output lines to every request."""
    with RecordingServer() as server:
        body = b"".join((json.dumps({"text": f"line {index}"}) + "\n").encode() for index in range(LINES))
        server.set_default(200, chunks=[body[: len(body) // 2], body[len(body) // 2 :]])
        yield server


def summary(value: Any) -> Any:
    return value.text if isinstance(value, StreamOutput) else value


async def run_generator_steps(kind: str, base_url: str, sequence: list[tuple[str, Any]]) -> list[Any]:
    jobs = AsyncJobsClient(StreamParent(base_url))
    generator = jobs.stream_output("j1") if kind == "native" else stream_output(jobs, "j1")
    observed: list[Any] = []
    for action, argument in sequence:
        try:
            if action == "anext":
                awaitable = generator.__anext__()
            elif action == "asend":
                awaitable = generator.asend(argument)
            elif action == "athrow":
                awaitable = generator.athrow(THROWN[argument]())
            else:
                awaitable = generator.aclose()
            outcome: Any = ("returned", summary(await awaitable))
        except BaseException as error:  # noqa: B036
            outcome = raised(error)
        observed.append(((action, argument), outcome, generator.ag_running, generator.ag_frame is None))
    try:
        await generator.aclose()
        observed.append(("final aclose", "returned"))
    except BaseException as error:  # noqa: B036
        observed.append(("final aclose", raised(error)))
    return observed


@scaled(0.3)  # two HTTP streams per example
@given(sequence=generator_steps)
def test_async_generator_step_sequences(line_server: RecordingServer, sequence: list[tuple[str, Any]]) -> None:
    native, python = (asyncio.run(run_generator_steps(kind, line_server.base_url, sequence)) for kind in KINDS)
    assert native == python
