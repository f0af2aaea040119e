"""Native coroutines behave like the interpreter's own.

Every scenario runs twice: on `AsyncJobsClient.get_latest` (a native coroutine
whose body is C++) and on the same method of the shipped pure-Python twin, a
real `async def` (tests/reference.py).
Both await the same scripted `list`, which the test controls: it awaits
suspension points, raises, catches, returns. The observations (outcomes,
messages, values, the order of events) must be equal, and equal to what the
scenario expects.
"""

from __future__ import annotations

import asyncio
import gc
import inspect
import re
import sys
import traceback
import warnings
from types import TracebackType
from typing import Any, Awaitable, Callable, Iterator

import httpx
import pytest
from recording_server import ConnectionLog, RecordingServer
from reference import get, get_latest

from vexa.client import _modules
from vexa.client._async._jobs import AsyncJobsClient
from vexa.types import CodeType, JobType

KINDS = ("native", "python")
NATIVE_FILENAME = "vexa/client/_async/_jobs"
QUALNAME = "AsyncJobsClient.get_latest"


# On PyPy the twins' coroutines are PyPy's own; where its coroutine machinery
# differs from CPython's in what a test pins down, the test says how and skips there.
PYPY = sys.implementation.name == "pypy"


def differs_on_pypy(how: str) -> None:
    if PYPY:
        pytest.skip(f"PyPy: {how}")


# --- the two implementations ------------------------------------------------------
# The second is the shipped pure-Python twin (tests/reference.py), called with
# the same jobs client as `self`.


class Parent:
    """The least a parent client offers the jobs client."""

    def __init__(self, base_url: str = "http://127.0.0.1:9") -> None:
        self.base_url = base_url
        self.api_key_header: dict[str, str] = {}

    def get_proxy_url(self, job_id: str) -> str:
        return f"{self.base_url}/{job_id}"

    def _get_http_exception(self, httpx_error: httpx.HTTPStatusError) -> Exception:
        return RuntimeError(f"HTTP {httpx_error.response.status_code}")


class ScriptedJobs(AsyncJobsClient):
    """A jobs client whose `list` is scripted by the test; every call is logged."""

    def __init__(self, script: Callable[..., Any], parent: Any = None) -> None:
        super().__init__(parent if parent is not None else Parent())
        self.script = script
        self.log: list[Any] = []

    def list(self, job_type: Any = None, job_status: Any = None, job_stage: Any = None) -> Any:
        self.log.append(("list", job_type, job_status, job_stage))
        return self.script(self.log)


def make(kind: str, jobs: AsyncJobsClient, *args: Any, **kwargs: Any) -> Any:
    """A get_latest coroutine of the given kind, not started."""
    if kind == "native":
        return jobs.get_latest(*args, **kwargs)
    return get_latest(jobs, *args, **kwargs)


def make_get(kind: str, jobs: AsyncJobsClient, job_id: str) -> Any:
    return jobs.get(job_id) if kind == "native" else get(jobs, job_id)


# --- observing ------------------------------------------------------------------------


class Suspend:
    """Awaitable that suspends once, handing `tag` up; `await` gives what is sent back."""

    def __init__(self, tag: Any, log: list[Any] | None = None) -> None:
        self.tag = tag
        self.log = log

    def __await__(self) -> Iterator[Any]:
        if self.log is not None:
            self.log.append(("await", self.tag, exc_name()))
        try:
            sent = yield self.tag
        except BaseException as error:
            if self.log is not None:
                self.log.append(("thrown", self.tag, type(error).__name__, exc_name(), context_name(error)))
            raise
        if self.log is not None:
            self.log.append(("resumed", self.tag, sent, exc_name()))
        return sent


def exc_name() -> str | None:
    """Name of the exception `sys.exc_info()` reports, or None."""
    error = sys.exc_info()[1]
    return None if error is None else type(error).__name__


def context_name(error: BaseException) -> str | None:
    return None if error.__context__ is None else type(error.__context__).__name__


def frame_names(error: BaseException) -> list[str]:
    """Function names of the traceback entries, without the test's own frames."""
    names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
    return [name for name in names if not name.startswith(("attempt", "<lambda>", "drive", "scenario"))]


def raised(error: BaseException) -> tuple[Any, ...]:
    return ("raised", type(error), str(error), error.args)


def attempt(step: Callable[[], Any]) -> tuple[Any, ...]:
    """What one step does: ("returned", value) or ("raised", type, message, args)."""
    try:
        return ("returned", step())
    except BaseException as error:  # noqa: B036 - every outcome is an observation
        return raised(error)


async def attempt_async(awaitable: Awaitable[Any]) -> tuple[Any, ...]:
    try:
        return ("returned", await awaitable)
    except BaseException as error:  # noqa: B036
        return raised(error)


def both(scenario: Callable[[str], Any]) -> Any:
    """Runs the scenario on each kind; returns the common observation."""
    native, python = (scenario(kind) for kind in KINDS)
    assert native == python
    return native


def fresh_traceback() -> TracebackType:
    try:
        raise ZeroDivisionError("origin")
    except ZeroDivisionError as error:
        assert error.__traceback__ is not None
        return error.__traceback__


def traceback_chain(error: BaseException) -> list[TracebackType]:
    chain, tb = [], error.__traceback__
    while tb is not None:
        chain.append(tb)
        tb = tb.tb_next
    return chain


STOP_ITERATION = ("raised", StopIteration, "", ())
CANNOT_REUSE = (
    "raised",
    RuntimeError,
    "cannot reuse already awaited coroutine",
    ("cannot reuse already awaited coroutine",),
)


def stop(value: Any) -> tuple[Any, ...]:
    return ("raised", StopIteration, str(value), (value,))


# --- scripts for `list` -----------------------------------------------------------------


def two_suspensions(log: list[Any]) -> Any:
    async def list_script() -> list[Any]:
        first = await Suspend("first", log)
        second = await Suspend("second", log)
        return [first, second]

    return list_script()


def one_suspension(log: list[Any]) -> Any:
    """Suspends once; logs what is thrown in and lets it pass."""

    async def list_script() -> list[Any]:
        try:
            value = await Suspend("first", log)
        except BaseException as error:
            log.append(("list saw", type(error).__name__))
            raise
        finally:
            log.append("list finally")
        return [value]

    return list_script()


def recovering(log: list[Any]) -> Any:
    """Suspends once; an Exception thrown in is caught and the list returns normally."""

    async def list_script() -> list[Any]:
        try:
            value = await Suspend("first", log)
        except Exception as error:
            log.append(("list recovered", type(error).__name__))
            return ["recovered"]
        return [value]

    return list_script()


# --- completion ----------------------------------------------------------------------------


def sleeping_list(log: list[Any]) -> Any:
    async def list_script() -> list[str]:
        await asyncio.sleep(0)
        log.append("slept")
        return ["job-1", "job-2"]

    return list_script()


def empty_list(log: list[Any]) -> Any:
    async def list_script() -> list[str]:
        await asyncio.sleep(0)
        return []

    return list_script()


def finished_future(log: list[Any]) -> Any:
    future = asyncio.get_running_loop().create_future()
    future.set_result(["job-9"])
    return future


def later_future(log: list[Any]) -> Any:
    future = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(future.set_result, ("job-3", "job-4"))
    return future


class Immediate:
    """An awaitable whose iterator returns at once."""

    def __await__(self) -> Iterator[Any]:
        return iter(())


def immediate(log: list[Any]) -> Any:
    return Immediate()


def text_result(log: list[Any]) -> Any:
    async def list_script() -> str:
        return "xyz"

    return list_script()


@pytest.mark.parametrize(
    ("script", "args", "expected_result", "expected_job_type"),
    [
        (sleeping_list, (), "job-1", None),
        (empty_list, (), None, None),
        (finished_future, (), "job-9", None),
        (later_future, (), "job-3", None),
        (immediate, (), None, None),
        (text_result, (), "x", None),
        (sleeping_list, (CodeType.WEB,), "job-1", JobType.WEB),
        (sleeping_list, ("python",), "job-1", JobType.RUN),
        (sleeping_list, ("",), "job-1", None),
    ],
    ids=[
        "awaits-sleep",
        "empty",
        "finished-future",
        "pending-future",
        "no-suspension",
        "text",
        "web",
        "python-text",
        "empty-code-type",
    ],
)
def test_completes_under_asyncio_run(
    script: Any, args: tuple[Any, ...], expected_result: Any, expected_job_type: Any
) -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(script)
        result = asyncio.run(make(kind, jobs, *args))
        return result, jobs.log

    result, log = both(scenario)
    assert result == expected_result
    assert log[0] == ("list", expected_job_type, None, None)


def test_code_type_by_keyword_and_invalid_code_type() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(sleeping_list)
        by_keyword = asyncio.run(make(kind, jobs, code_type=CodeType.PYTHON))
        coro = make(kind, jobs, "cobol")
        return by_keyword, attempt(lambda: coro.send(None)), attempt(lambda: coro.send(None)), jobs.log

    by_keyword, invalid, after, log = both(scenario)
    assert by_keyword == "job-1"
    assert invalid[:3] == ("raised", ValueError, "'cobol' is not a valid CodeType")
    assert after == CANNOT_REUSE
    assert log == [("list", JobType.RUN, None, None), "slept"]


def test_manual_send_drives_to_stop_iteration() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(two_suspensions)
        coro = make(kind, jobs)
        steps = [attempt(lambda: coro.send(None)), attempt(lambda: coro.send("A")), attempt(lambda: coro.send("B"))]
        steps.append(attempt(lambda: coro.send(None)))
        return steps, jobs.log

    steps, log = both(scenario)
    assert steps == [("returned", "first"), ("returned", "second"), stop("A"), CANNOT_REUSE]
    assert log == [
        ("list", None, None, None),
        ("await", "first", None),
        ("resumed", "first", "A", None),
        ("await", "second", None),
        ("resumed", "second", "B", None),
    ]


def test_driven_through_await_iterator() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(two_suspensions)
        iterator = make(kind, jobs).__await__()
        return [attempt(lambda: next(iterator)), attempt(lambda: iterator.send("A")), attempt(lambda: next(iterator))]

    assert both(scenario) == [("returned", "first"), ("returned", "second"), stop("A")]


def test_none_result_stops_without_value() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(two_suspensions))
        coro.send(None)
        coro.send(None)
        try:
            coro.send(None)
        except StopIteration as error:
            return error.value, error.args
        return "no StopIteration"

    assert both(scenario) == (None, ())


# --- misuse: sending, reuse, re-entry, double await ---------------------------------------

JUST_STARTED = "can't send non-None value to a just-started coroutine"


@pytest.mark.parametrize("value", [1, "x", False, ()], ids=repr)
def test_send_non_none_to_just_started(value: Any) -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(two_suspensions)
        coro = make(kind, jobs)
        outcome = attempt(lambda: coro.send(value))
        coro.close()
        return outcome, jobs.log

    outcome, log = both(scenario)
    assert outcome == ("raised", TypeError, JUST_STARTED, (JUST_STARTED,))
    assert log == []


def test_refused_send_leaves_the_coroutine_unstarted() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(two_suspensions)
        coro = make(kind, jobs)
        try:
            coro.send(1)
        except TypeError as error:
            names = frame_names(error)
        steps = [attempt(lambda: coro.send(None)), attempt(lambda: coro.send("A"))]
        coro.close()
        return names, steps

    assert both(scenario) == ([], [("returned", "first"), ("returned", "second")])


def test_reuse_after_completion() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(text_result))
        first = attempt(lambda: coro.send(None))

        async def await_again() -> Any:
            return await coro

        return [
            first,
            attempt(lambda: coro.send(None)),
            attempt(lambda: coro.throw(KeyError)),
            attempt(coro.close),
            attempt(lambda: asyncio.run(await_again())),
            coro.cr_await,
            coro.cr_running,
        ]

    assert both(scenario) == [stop("x"), CANNOT_REUSE, CANNOT_REUSE, ("returned", None), CANNOT_REUSE, None, False]


def test_coroutine_already_executing() -> None:
    def scenario(kind: str) -> Any:
        holder: dict[str, Any] = {}

        def reentrant(log: list[Any]) -> Any:
            coro = holder["coro"]
            log.append(("running inside", coro.cr_running))
            log.append(("send", attempt(lambda: coro.send(None))))
            log.append(("throw", attempt(lambda: coro.throw(KeyError))))
            log.append(("close", attempt(coro.close)))
            return Suspend("after re-entry", log)

        jobs = ScriptedJobs(reentrant)
        coro = holder["coro"] = make(kind, jobs)
        steps = [attempt(lambda: coro.send(None)), coro.cr_running, attempt(lambda: coro.send(["job"]))]
        return steps, jobs.log

    steps, log = both(scenario)
    executing = ("raised", ValueError, "coroutine already executing", ("coroutine already executing",))
    assert steps == [("returned", "after re-entry"), False, stop("job")]
    assert log[1:5] == [("running inside", True), ("send", executing), ("throw", executing), ("close", executing)]


def test_two_tasks_awaiting_the_same_coroutine() -> None:
    def scenario(kind: str) -> Any:
        async def main() -> Any:
            future = asyncio.get_running_loop().create_future()
            jobs = ScriptedJobs(lambda log: future)
            coro = make(kind, jobs)

            async def waiter() -> Any:
                return await coro

            first = asyncio.create_task(waiter())
            await asyncio.sleep(0)
            second = asyncio.create_task(waiter())
            second_outcome = await attempt_async(second)
            future.set_result(["job-7"])
            return second_outcome, await attempt_async(first)

        return asyncio.run(main())

    message = "coroutine is being awaited already"
    assert both(scenario) == (("raised", RuntimeError, message, (message,)), ("returned", "job-7"))


def test_body_awaits_a_coroutine_awaited_elsewhere() -> None:
    def scenario(kind: str) -> Any:
        async def main() -> Any:
            future = asyncio.get_running_loop().create_future()

            async def shared() -> list[str]:
                return await future

            other = shared()

            async def holder() -> Any:
                return await other

            holding = asyncio.create_task(holder())
            await asyncio.sleep(0)
            outcome = await attempt_async(make(kind, ScriptedJobs(lambda log: other)))
            future.set_result(["job-8"])
            return outcome, await holding

        return asyncio.run(main())

    message = "coroutine is being awaited already"
    assert both(scenario) == (("raised", RuntimeError, message, (message,)), ["job-8"])


# --- throw() ------------------------------------------------------------------------------------


# Each form builds throw()'s arguments afresh for each run, given a traceback object.
THROW_FORMS = {
    "type": lambda tb: (ValueError,),
    "instance": lambda tb: (ValueError("boom"),),
    "type-value": lambda tb: (ValueError, "boom"),
    "type-tuple-value": lambda tb: (ValueError, ("a", "b")),
    "type-instance": lambda tb: (ValueError, ValueError("boom")),
    "type-value-traceback": lambda tb: (ValueError, "boom", tb),
    "instance-none-traceback": lambda tb: (ValueError("boom"), None, tb),
    "type-none-none": lambda tb: (ValueError, None, None),
    "bad-traceback": lambda tb: (ValueError, "boom", "not a traceback"),
    "instance-with-value": lambda tb: (ValueError("boom"), "separate"),
    "not-an-exception": lambda tb: (1,),
    "not-an-exception-class": lambda tb: (int,),
    "generator-exit": lambda tb: (GeneratorExit,),
    "stop-iteration": lambda tb: (StopIteration("inner"),),
    "keyboard-interrupt": lambda tb: (KeyboardInterrupt,),
}
THROW_ARGUMENT_ERRORS = ("bad-traceback", "instance-with-value", "not-an-exception", "not-an-exception-class")

BAD_FORMS = {
    "bad-traceback": (TypeError, "throw() third argument must be a traceback object"),
    "instance-with-value": (TypeError, "instance exception may not have a separate value"),
    "not-an-exception": (TypeError, "exceptions must be classes or instances deriving from BaseException, not int"),
    "not-an-exception-class": (
        TypeError,
        "exceptions must be classes or instances deriving from BaseException, not type",
    ),
}


def observe_throw(coro: Any, args: tuple[Any, ...], tb: TracebackType) -> tuple[Any, ...]:
    """throw()'s outcome, with whether the thrown instance and traceback came back out."""
    instances = [arg for arg in args if isinstance(arg, BaseException)]
    try:
        value = coro.throw(*args)
    except BaseException as error:  # noqa: B036
        chain = traceback_chain(error)
        return (
            *raised(error),
            bool(instances) and error is instances[0],
            tb in chain,
            frame_names(error),
            None if error.__cause__ is None else type(error.__cause__),
        )
    return ("returned", value)


@pytest.mark.parametrize("form", THROW_FORMS, ids=str)
@pytest.mark.parametrize("stage", ["unstarted", "suspended", "suspended-recovering", "finished"])
def test_throw(stage: str, form: str) -> None:
    if stage == "suspended-recovering" and form in THROW_ARGUMENT_ERRORS:
        differs_on_pypy("throw() checks its arguments before it resumes the body, which never sees the TypeError")

    def scenario(kind: str) -> Any:
        script = recovering if stage == "suspended-recovering" else one_suspension
        jobs = ScriptedJobs(script)
        coro = make(kind, jobs)
        before = []
        if stage.startswith("suspended"):
            before.append(attempt(lambda: coro.send(None)))
        elif stage == "finished":
            jobs.script = text_result
            before.append(attempt(lambda: coro.send(None)))
        tb = fresh_traceback()
        outcome = observe_throw(coro, THROW_FORMS[form](tb), tb)
        after = attempt(lambda: coro.send(None))
        coro.close()
        return before, outcome, after, jobs.log, coro.cr_await

    before, outcome, after, log, cr_await = both(scenario)
    assert before == {"unstarted": [], "finished": [stop("x")]}.get(stage, [("returned", "first")])
    if form in BAD_FORMS:
        # Refused by the first throw() that examines the arguments: while suspended that is
        # the innermost awaited generator's, and the error travels back up through the awaits.
        # From 3.15 on a finished coroutine refuses before the arguments are examined.
        error_type, message = BAD_FORMS[form]
        if stage == "finished" and sys.version_info >= (3, 15):
            assert outcome[:3] == CANNOT_REUSE[:3]
        elif stage == "suspended-recovering":
            assert (outcome[:4], log[-1]) == (stop("recovered"), ("list recovered", error_type.__name__))
        else:
            assert outcome[:3] == ("raised", error_type, message)
        return
    if stage == "finished":
        assert (outcome[:3], after) == (CANNOT_REUSE[:3], CANNOT_REUSE)
        return
    assert (after, cr_await) == (CANNOT_REUSE, None)
    # From 3.12 on a StopIteration thrown into an unstarted body passes through unchanged.
    passes_unchanged = stage == "unstarted" and form == "stop-iteration" and sys.version_info >= (3, 12)
    if stage == "unstarted":
        assert log == []
        assert ("get_latest" in outcome[6]) == (form != "stop-iteration" or passes_unchanged)
    if stage == "suspended-recovering" and form not in ("generator-exit", "keyboard-interrupt"):
        assert outcome[:4] == stop("recovered")
    elif passes_unchanged:
        assert outcome[1] is StopIteration
    elif form == "stop-iteration":
        # Into the body it is the body's own StopIteration; while suspended it reaches the
        # innermost awaited generator first, which converts it.
        converted_by = "coroutine" if stage == "unstarted" else "generator"
        assert outcome[:3] == ("raised", RuntimeError, f"{converted_by} raised StopIteration")
        assert outcome[7] is StopIteration
    elif form == "generator-exit":
        assert outcome[1] is GeneratorExit
    elif form == "keyboard-interrupt":
        assert outcome[1] is KeyboardInterrupt
    else:
        message = {"type": "", "type-none-none": "", "type-tuple-value": "('a', 'b')"}.get(form, "boom")
        assert outcome[1:3] == (ValueError, message)
        assert outcome[4] is (form in ("instance", "type-instance", "instance-none-traceback"))
        assert outcome[5] is form.endswith("traceback")


def test_throw_while_suspended_reaches_the_awaited_object_first() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(one_suspension)
        coro = make(kind, jobs)
        coro.send(None)
        attempt(lambda: coro.throw(ValueError("boom")))
        return jobs.log

    assert both(scenario) == [
        ("list", None, None, None),
        ("await", "first", None),
        ("thrown", "first", "ValueError", "ValueError", None),
        ("list saw", "ValueError"),
        "list finally",
    ]


def test_throw_generator_exit_closes_the_delegate_first() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(one_suspension)
        coro = make(kind, jobs)
        coro.send(None)
        return attempt(lambda: coro.throw(GeneratorExit)), jobs.log

    outcome, log = both(scenario)
    assert outcome == ("raised", GeneratorExit, "", ())
    assert log[2:] == [
        ("thrown", "first", "GeneratorExit", "GeneratorExit", None),
        ("list saw", "GeneratorExit"),
        "list finally",
    ]


# --- close() ------------------------------------------------------------------------------------


def closing_script(behaviour: str) -> Callable[[list[Any]], Any]:
    def script(log: list[Any]) -> Any:
        async def list_script() -> list[str]:
            try:
                await Suspend("first", log)
            except GeneratorExit:
                log.append("GeneratorExit")
                if behaviour == "raises":
                    raise ValueError("clean-up failed")
                if behaviour == "returns":
                    return ["late"]
                if behaviour == "awaits":
                    await Suspend("again", log)
                raise
            finally:
                log.append("finally")
            return ["never"]

        return list_script()

    return script


@pytest.mark.parametrize(
    ("behaviour", "expected"),
    [
        ("reraises", ("returned", None)),
        ("returns", ("returned", None)),
        ("raises", ("raised", ValueError, "clean-up failed", ("clean-up failed",))),
        ("awaits", ("raised", RuntimeError, "coroutine ignored GeneratorExit", ("coroutine ignored GeneratorExit",))),
    ],
)
def test_close_while_suspended(behaviour: str, expected: tuple[Any, ...]) -> None:
    if behaviour == "awaits":
        differs_on_pypy("an await in the body's GeneratorExit handler gets GeneratorExit too; its finally is not last")

    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(closing_script(behaviour))
        coro = make(kind, jobs)
        coro.send(None)
        outcome = attempt(coro.close)
        return outcome, jobs.log, attempt(lambda: coro.send(None)), attempt(coro.close), coro.cr_await

    outcome, log, after, second_close, cr_await = both(scenario)
    assert outcome == expected
    assert log[1:4] == [
        ("await", "first", None),
        ("thrown", "first", "GeneratorExit", "GeneratorExit", None),
        "GeneratorExit",
    ]
    assert log[-1] == "finally"
    assert (after, second_close, cr_await) == (CANNOT_REUSE, ("returned", None), None)


def test_close_before_start_never_runs_the_body_and_never_warns() -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(one_suspension)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coro = make(kind, jobs)
            outcome = attempt(coro.close)
            after = attempt(lambda: coro.send(None))
            del coro
            gc.collect()
        return outcome, after, jobs.log, [str(warning.message) for warning in caught]

    assert both(scenario) == (("returned", None), CANNOT_REUSE, [], [])


def test_close_after_completion() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(text_result))
        return attempt(lambda: coro.send(None)), attempt(coro.close), attempt(coro.close)

    assert both(scenario) == (stop("x"), ("returned", None), ("returned", None))


@pytest.fixture
def connections(recorder: RecordingServer) -> ConnectionLog:
    return ConnectionLog(recorder)


def open_http_clients() -> list[httpx.AsyncClient]:
    return [obj for obj in gc.get_objects() if isinstance(obj, httpx.AsyncClient) and not obj.is_closed]


def test_close_while_a_request_is_in_flight_runs_async_clean_up(
    recorder: RecordingServer, connections: ConnectionLog
) -> None:
    """get's body catches the GeneratorExit and awaits the HTTP client's exit, which suspends:
    close() reports "coroutine ignored GeneratorExit"; later steps finish the clean-up."""
    differs_on_pypy("the 'coroutine ignored GeneratorExit' traceback also holds the awaited coroutine's frame")

    def scenario(kind: str) -> Any:
        held = recorder.script(200, {"job_id": "j1"}, hold=True)
        jobs = AsyncJobsClient(Parent(recorder.base_url))

        async def main() -> Any:
            coro = make_get(kind, jobs, "j1")

            async def waiter() -> Any:
                return await coro

            task = asyncio.create_task(waiter())
            await asyncio.to_thread(recorder.wait_for_requests, len(recorder.requests) + 1)
            try:
                coro.close()
            except RuntimeError as error:
                # Raised by close() itself (no entries from the body): the body is suspended
                # again, at the await of its clean-up.
                closing = (str(error), frame_names(error), coro.cr_await is not None)
            resumed = attempt(lambda: coro.send(None))
            task.cancel()
            return closing, resumed[:3], await attempt_async(task)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            observed = asyncio.run(main())
            held.release()
            gc.collect()
        return observed

    closing, resumed, task_outcome = both(scenario)
    assert closing == ("coroutine ignored GeneratorExit", ["main"], True)
    assert resumed[:2] == ("raised", RuntimeError)
    assert task_outcome == CANNOT_REUSE


# --- finalisation and the "never awaited" warning -------------------------------------------------


@pytest.mark.parametrize(
    ("stage", "expected_warnings", "expected_log_tail"),
    [
        ("unstarted", [(RuntimeWarning, f"coroutine '{QUALNAME}' was never awaited")], []),
        ("closed", [], []),
        (
            "suspended",
            [],
            [
                ("thrown", "first", "GeneratorExit", "GeneratorExit", None),
                ("list saw", "GeneratorExit"),
                "list finally",
            ],
        ),
        ("finished", [], []),
    ],
)
def test_dropping_a_coroutine(stage: str, expected_warnings: list[Any], expected_log_tail: list[Any]) -> None:
    if stage == "suspended":
        differs_on_pypy(
            "its GC finalises a dropped suspended coroutine without GeneratorExit reaching the one it awaits"
        )

    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(text_result if stage == "finished" else one_suspension)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coro = make(kind, jobs)
            if stage == "closed":
                coro.close()
            elif stage in ("suspended", "finished"):
                attempt(lambda: coro.send(None))
            log_before = list(jobs.log)
            del coro
            gc.collect()
        return [(warning.category, str(warning.message)) for warning in caught], jobs.log[len(log_before) :]

    found_warnings, log_tail = both(scenario)
    assert found_warnings == expected_warnings
    assert log_tail == expected_log_tail


def test_never_awaited_warning_names_the_method_qualname() -> None:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ScriptedJobs(one_suspension).get_latest(CodeType.WEB)
        gc.collect()
    assert [str(warning.message) for warning in caught] == ["coroutine 'AsyncJobsClient.get_latest' was never awaited"]


# --- StopIteration from a body ---------------------------------------------------------------------


@pytest.mark.parametrize("args", [(), (7,), ("text", 2)], ids=["empty", "value", "two-args"])
def test_stop_iteration_in_body_becomes_runtime_error(args: tuple[Any, ...]) -> None:
    def scenario(kind: str) -> Any:
        thrown = StopIteration(*args)

        def script(log: list[Any]) -> Any:
            raise thrown

        coro = make(kind, ScriptedJobs(script))
        try:
            coro.send(None)
        except RuntimeError as error:
            return (
                str(error),
                error.__cause__ is thrown,
                error.__context__ is thrown,
                error.__suppress_context__,
                attempt(lambda: coro.send(None)),
            )
        return "no RuntimeError"

    assert both(scenario) == ("coroutine raised StopIteration", True, True, True, CANNOT_REUSE)


class PlainIterator:
    """An await iterator with only __next__: no send, throw or close."""

    def __init__(self, log: list[Any]) -> None:
        self.log = log

    def __iter__(self) -> PlainIterator:
        return self

    def __next__(self) -> Any:
        self.log.append(("next", exc_name()))
        if len(self.log) < 3:
            return "first"
        raise StopIteration(["done"])


class PlainAwaitable:
    def __init__(self, log: list[Any]) -> None:
        self.log = log

    def __await__(self) -> PlainIterator:
        return PlainIterator(self.log)


def test_delegate_without_send_throw_or_close() -> None:
    def scenario(kind: str) -> Any:
        steps = []
        for action in ("next", "send", "throw", "close"):
            jobs = ScriptedJobs(PlainAwaitable)
            coro = make(kind, jobs)
            steps.append(attempt(lambda: coro.send(None)))
            if action == "next":
                steps.append(attempt(lambda: coro.send(None)))
            elif action == "send":
                steps.append(attempt(lambda: coro.send("value"))[:3])
            elif action == "throw":
                steps.append(attempt(lambda: coro.throw(KeyError("k"))))
            else:
                steps.append(attempt(coro.close))
            steps.append(attempt(lambda: coro.send(None)))
            steps.append(jobs.log[1:])
        return steps

    assert both(scenario) == [
        ("returned", "first"),
        stop("done"),
        CANNOT_REUSE,
        [("next", None), ("next", None)],
        ("returned", "first"),
        ("raised", AttributeError, "'PlainIterator' object has no attribute 'send'"),
        CANNOT_REUSE,
        [("next", None)],
        ("returned", "first"),
        ("raised", KeyError, "'k'", ("k",)),
        CANNOT_REUSE,
        [("next", None)],
        ("returned", "first"),
        ("returned", None),
        CANNOT_REUSE,
        [("next", None)],
    ]


def test_stop_iteration_after_a_suspension() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(PlainAwaitable))
        coro.send(None)
        try:
            coro.throw(StopIteration("late"))
        except RuntimeError as error:
            return str(error), type(error.__cause__), error.__cause__.args
        except StopIteration as stop:
            return "returned", stop.value
        return "no RuntimeError"

    # Up to 3.11 the StopIteration is raised in the body; from 3.12 on the
    # await whose delegate has no throw() produces its value ("late"), and
    # the body returns the first job of it.
    expected = ("coroutine raised StopIteration", StopIteration, ("late",))
    # PyPy 3.11 does as CPython 3.12.
    assert both(scenario) == (expected if sys.version_info < (3, 12) and not PYPY else ("returned", "l"))


# --- cancellation -------------------------------------------------------------------------------------


def waiting_forever(behaviour: str) -> Callable[[list[Any]], Any]:
    def script(log: list[Any]) -> Any:
        async def list_script() -> list[str]:
            try:
                await asyncio.get_running_loop().create_future()
            except asyncio.CancelledError as error:
                log.append(("cancelled", error.args, exc_name()))
                if behaviour == "swallows":
                    return ["swallowed"]
                if behaviour == "replaces":
                    raise KeyError("instead") from None
                raise
            return ["never"]

        return list_script()

    return script


@pytest.mark.parametrize(
    ("behaviour", "message", "expected_outcome"),
    [
        ("propagates", None, ("raised", asyncio.CancelledError, "", ())),
        ("propagates", "stop now", ("raised", asyncio.CancelledError, "", ())),
        ("swallows", None, ("returned", "swallowed")),
        ("replaces", None, ("raised", KeyError, "'instead'", ("instead",))),
    ],
)
def test_cancelling_the_awaiting_task(behaviour: str, message: str | None, expected_outcome: tuple[Any, ...]) -> None:
    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(waiting_forever(behaviour))

        async def main() -> Any:
            task = asyncio.create_task(make(kind, jobs))
            await asyncio.sleep(0)
            suspended = task.get_coro().cr_await is not None
            task.cancel(message)
            outcome = await attempt_async(task)
            return suspended, outcome, task.cancelled(), asyncio.all_tasks() == {asyncio.current_task()}

        return (*asyncio.run(main()), jobs.log)

    suspended, outcome, cancelled, no_tasks_left, log = both(scenario)
    if behaviour == "propagates" and message and sys.version_info >= (3, 11):
        # asyncio passes the cancel message on to the awaiting task from 3.11 on.
        expected_outcome = ("raised", asyncio.CancelledError, message, (message,))
    assert (suspended, outcome, no_tasks_left) == (True, expected_outcome, True)
    assert cancelled == (behaviour == "propagates")
    expected_args = () if message is None else (message,)
    assert log[1:] == [("cancelled", expected_args, "CancelledError")]


def test_cancelling_while_a_request_is_in_flight(recorder: RecordingServer, connections: ConnectionLog) -> None:
    def scenario(kind: str) -> Any:
        held = recorder.script(200, {"job_id": "j1"}, hold=True)
        jobs = AsyncJobsClient(Parent(recorder.base_url))
        unraisable: list[Any] = []
        previous_hook = sys.unraisablehook
        sys.unraisablehook = unraisable.append

        async def main() -> Any:
            elsewhere = open_http_clients()
            task = asyncio.create_task(make_get(kind, jobs, "j1"))
            await asyncio.to_thread(recorder.wait_for_requests, len(recorder.requests) + 1)
            in_flight = [client for client in open_http_clients() if client not in elsewhere]
            open_while_waiting = connections.open_count()
            task.cancel()
            outcome = await attempt_async(task)
            closed_clients = [client.is_closed for client in in_flight]
            return outcome, open_while_waiting, closed_clients, asyncio.all_tasks() == {asyncio.current_task()}

        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                observed = asyncio.run(main())
                held.release()
                gc.collect()
        finally:
            sys.unraisablehook = previous_hook
        return (*observed, connections.all_closed(), [str(hook.exc_value) for hook in unraisable])

    outcome, open_while_waiting, closed_clients, no_tasks_left, connection_closed, unraisable = both(scenario)
    assert outcome == ("raised", asyncio.CancelledError, "", ())
    assert (open_while_waiting, closed_clients, no_tasks_left, connection_closed, unraisable) == (
        1,
        [True],
        True,
        True,
        [],
    )
    assert [request.target for request in recorder.requests] == ["/jobs/j1", "/jobs/j1"]


# --- exception state -------------------------------------------------------------------------------------


def test_exc_info_inside_the_awaited_object() -> None:
    def scenario(kind: str) -> Any:
        def script(log: list[Any]) -> Any:
            log.append(("list called", exc_name()))
            return two_suspensions(log)

        jobs = ScriptedJobs(script)
        coro = make(kind, jobs)
        try:
            raise KeyError("caller")
        except KeyError:
            first = attempt(lambda: coro.send(None))
        second = attempt(lambda: coro.send("A"))
        try:
            raise IndexError("caller")
        except IndexError:
            third = attempt(lambda: coro.send("B"))
        return [first, second, third], jobs.log

    steps, log = both(scenario)
    assert steps == [("returned", "first"), ("returned", "second"), stop("A")]
    assert log[1:] == [
        ("list called", "KeyError"),
        ("await", "first", "KeyError"),
        ("resumed", "first", "A", None),
        ("await", "second", None),
        ("resumed", "second", "B", "IndexError"),
    ]


def test_exc_info_and_context_of_a_thrown_exception() -> None:
    differs_on_pypy("a thrown exception's __context__ is the one the body was handling where it suspended")

    def scenario(kind: str) -> Any:
        jobs = ScriptedJobs(one_suspension)
        coro = make(kind, jobs)
        coro.send(None)
        try:
            raise IndexError("caller")
        except IndexError:
            try:
                coro.throw(ValueError("thrown"))
            except ValueError as error:
                context = error.__context__
        return jobs.log, type(context), exc_name()

    log, context, after = both(scenario)
    assert log[2] == ("thrown", "first", "ValueError", "ValueError", None)
    assert (context, after) == (type(None), None)


def test_context_of_an_error_raised_while_the_caller_handles_one() -> None:
    def scenario(kind: str) -> Any:
        def script(log: list[Any]) -> Any:
            raise LookupError("from list")

        coro = make(kind, ScriptedJobs(script))
        try:
            raise KeyError("caller")
        except KeyError as handled:
            try:
                coro.send(None)
            except LookupError as error:
                return type(error.__context__), error.__context__ is handled, frame_names(error)
        return "no LookupError"

    assert both(scenario) == (KeyError, True, ["get_latest", "list", "script"])


# --- attributes --------------------------------------------------------------------------------------------


def test_attributes_through_the_life_cycle() -> None:
    def scenario(kind: str) -> Any:
        holder: dict[str, Any] = {}
        seen: list[Any] = []

        def script(log: list[Any]) -> Any:
            coro = holder["coro"]
            seen.append(("inside", coro.cr_running, coro.cr_await))
            inner = one_suspension(log)
            holder["inner"] = inner
            return inner

        coro = holder["coro"] = make(kind, ScriptedJobs(script))
        seen.append(("created", coro.cr_running, coro.cr_await))
        coro.send(None)
        seen.append(("suspended", coro.cr_running, coro.cr_await is holder["inner"]))
        attempt(lambda: coro.send("value"))
        seen.append(("finished", coro.cr_running, coro.cr_await))
        return seen, coro.__name__, coro.__qualname__, coro.cr_origin

    assert both(scenario) == (
        [("created", False, None), ("inside", True, None), ("suspended", False, True), ("finished", False, None)],
        "get_latest",
        QUALNAME,
        None,
    )


def test_await_object_of_a_custom_awaitable_is_its_iterator() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(lambda log: Suspend("tag")))
        coro.send(None)
        awaited = coro.cr_await
        result = (type(awaited).__name__, awaited.gi_code.co_name, attempt(lambda: coro.send(["x"])))
        return result

    assert both(scenario) == ("generator", "__await__", stop("x"))


@pytest.mark.native_only
def test_code_name_and_type_checks() -> None:
    coro = ScriptedJobs(one_suspension).get_latest()
    try:
        assert coro.cr_code is AsyncJobsClient.get_latest.__code__
        assert coro.cr_code.co_name == "get_latest"
        assert coro.cr_code.co_filename == NATIVE_FILENAME
        assert (coro.__name__, coro.__qualname__) == ("get_latest", QUALNAME)
        assert asyncio.iscoroutine(coro) is True
        assert type(coro).__name__ == "coroutine"
        assert inspect.iscoroutinefunction(AsyncJobsClient.get_latest) is True
        assert asyncio.iscoroutinefunction(AsyncJobsClient.get_latest) is True
    finally:
        coro.close()


def test_names_are_writable_strings_only() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(one_suspension))
        steps = [
            attempt(lambda: setattr(coro, "__name__", "renamed")),
            attempt(lambda: setattr(coro, "__qualname__", "Other.renamed")),
            attempt(lambda: setattr(coro, "__name__", 1)),
            attempt(lambda: setattr(coro, "__qualname__", None)),
            attempt(lambda: delattr(coro, "__name__")),
            coro.__name__,
            coro.__qualname__,
            re.sub(r"0x[0-9a-f]+", "ADDRESS", repr(coro)),
        ]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del coro
            gc.collect()
        return steps, [str(warning.message) for warning in caught]

    steps, found_warnings = both(scenario)
    assert steps[2][:3] == ("raised", TypeError, "__name__ must be set to a string object")
    assert steps[3][:3] == ("raised", TypeError, "__qualname__ must be set to a string object")
    assert steps[5:] == ["renamed", "Other.renamed", "<coroutine object Other.renamed at ADDRESS>"]
    assert found_warnings == ["coroutine 'Other.renamed' was never awaited"]


def test_inspect_coroutine_state() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(one_suspension))
        states = [inspect.getcoroutinestate(coro)]
        coro.send(None)
        states.append(inspect.getcoroutinestate(coro))
        coro.close()
        states.append(inspect.getcoroutinestate(coro))
        return states

    assert both(scenario) == ["CORO_CREATED", "CORO_SUSPENDED", "CORO_CLOSED"]


@pytest.mark.native_only
@pytest.mark.parametrize(
    ("script", "expected_names"),
    [
        (one_suspension, ["get_latest", "list_script", "__await__"]),
        (lambda log: (_ for _ in ()).throw(ValueError("sync")), ["get_latest", "list", "<lambda>", "<genexpr>"]),
    ],
    ids=["async-list", "sync-list"],
)
def test_traceback_of_an_error_leaving_the_body(script: Any, expected_names: list[str]) -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(script))
        try:
            coro.send(None)
            coro.throw(ValueError("boom"))
        except ValueError as error:
            names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
            entries = [(entry.name, entry.filename) for entry in traceback.extract_tb(error.__traceback__)]
            body_entries = [entry for entry in entries if entry[0] == "get_latest"]
            return names[1:], len(body_entries), body_entries[0][1] if kind == "native" else NATIVE_FILENAME
        return "no ValueError"

    names, body_entries, filename = both(scenario)
    assert (names, body_entries, filename) == (expected_names, 1, NATIVE_FILENAME)


def test_dunder_await_on_a_suspended_coroutine() -> None:
    """Calling __await__() is not an await: no "being awaited already" check."""

    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(one_suspension))
        coro.send(None)
        return attempt(lambda: coro.__await__().send("x"))

    assert both(scenario) == stop("x")


# --- where the native coroutine differs from the interpreter's ------------------------------------------


@pytest.mark.xfail(
    _modules.is_native(sys.modules[AsyncJobsClient.__module__]),
    strict=True,
    reason="next() still drives a native coroutine (its type fills tp_iternext, only the __next__ "
    "attribute is hidden); the interpreter's coroutines are not iterators: TypeError",
)
def test_is_not_an_iterator() -> None:
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(one_suspension))
        outcome = attempt(lambda: next(coro))
        coro.close()
        return outcome[:3], hasattr(coro, "__next__")

    assert both(scenario) == (("raised", TypeError, "'coroutine' object is not an iterator"), False)


def test_suspended_flag_follows_the_interpreter() -> None:
    # cr_suspended exists from 3.11 on; where it does, it tells a suspended body.
    def scenario(kind: str) -> Any:
        coro = make(kind, ScriptedJobs(PlainAwaitable))
        before = getattr(coro, "cr_suspended", "absent")
        coro.send(None)
        during = getattr(coro, "cr_suspended", "absent")
        coro.close()
        return before, during, getattr(coro, "cr_suspended", "absent"), inspect.getcoroutinestate(coro)

    expected = ("absent", "absent", "absent") if sys.version_info < (3, 11) else (False, True, False)
    assert both(scenario) == (*expected, inspect.CORO_CLOSED)
