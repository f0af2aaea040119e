"""A compiled body awaiting another of its module's methods (`await self.list(...)`).

When the method found is still one of the module's own coroutine methods,
its body runs within the awaiting body's step, and a coroutine object is
made only once it suspends. These tests hold that to what awaiting the
method's coroutine object does: the shipped pure-Python twin of the caller,
given the same compiled client as `self`, awaits the compiled `list`'s
coroutine object. Whatever `list` meets on the way (answers at once,
suspends, fails, is thrown into or closed), and however `list` is reached
(replaced on the instance, the class or a subclass, mocked, looked up
through `__getattribute__`), both must show the same results, the same
traceback entries, the same awaited objects (`cr_await`) and make the same
calls.
"""

from __future__ import annotations

import contextlib
import traceback
import types
from typing import Any, Callable, Iterator
from unittest import mock

import httpx
import pytest

from vexa.client import _modules
from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._async._web import AsyncWebJobsClient
from vexa.types import JobStage

pytestmark = pytest.mark.native_only

TWIN: Any = _modules.load_twin("vexa.client._async._jobs").AsyncJobsClient
KINDS = ("native", "twin")
JOB = {"job_id": "j1", "job_type": "run", "job_status": "running", "job_stage": "running", "code_id": "c1"}


class Suspend:
    """Suspends once handing `tag` up; logs what it is sent or thrown."""

    def __init__(self, tag: str, log: list[Any]) -> None:
        self.tag, self.log = tag, log

    def __await__(self) -> Iterator[Any]:
        try:
            sent = yield self.tag
        except BaseException as error:
            self.log.append(("thrown in", self.tag, type(error).__name__))
            raise
        self.log.append(("resumed", self.tag, sent))


class Response:
    body: Any = None

    def __init__(self, status: int) -> None:
        self.status = status

    def raise_for_status(self) -> None:
        if self.status >= 400:
            request = httpx.Request("GET", "http://127.0.0.1:9/jobs")
            raise httpx.HTTPStatusError("error status", request=request, response=httpx.Response(self.status))

    def json(self) -> Any:
        return self.body


async def answer(url: str, steps: tuple[str, ...], log: list[Any]) -> Response:
    """What the shared HTTP client's `get` gives `list` to await, step by step."""
    for step in steps:
        if step == "suspend":
            await Suspend(f"suspension {len(log)}", log)
        elif step == "fail":
            raise ValueError("the request failed")
        elif step == "stop":
            raise StopIteration("leaks out")
    response = Response(500 if "500" in steps else 200)
    response.body = [JOB] if url.endswith("/jobs") else JOB
    return response


class HttpClient:
    """A parent's shared HTTP client, answering as the case says."""

    def __init__(self, steps: tuple[str, ...], log: list[Any]) -> None:
        self.steps, self.log = steps, log

    def get(self, url: str, **kwargs: Any) -> Any:
        self.log.append(("get", url, sorted(kwargs)))
        if "refuse" in self.steps:
            raise ValueError("refused before awaiting")
        return answer(url, self.steps, self.log)


class Parent:
    def __init__(self, steps: tuple[str, ...], log: list[Any]) -> None:
        self.base_url = "http://127.0.0.1:9"
        self.api_key_header: dict[str, str] = {"X-API-Key": "key"}
        self._http_client = HttpClient(steps, log)

    def _get_http_exception(self, httpx_error: httpx.HTTPStatusError) -> Exception:
        return RuntimeError(f"HTTP {httpx_error.response.status_code}")


WEB_TWIN: Any = _modules.load_twin("vexa.client._async._web").AsyncWebJobsClient


def client(kind: str, owner: str, steps: tuple[str, ...], log: list[Any]) -> Any:
    parent = Parent(steps, log)
    parent.jobs = AsyncJobsClient(parent)
    return parent.jobs if owner == "jobs" else AsyncWebJobsClient(parent)


def call(kind: str, owner: str, name: str, target: Any, args: tuple[Any, ...]) -> Any:
    """The awaiting method: the compiled one, or the twin's with the compiled client as self."""
    if kind == "native":
        return getattr(AsyncJobsClient if owner == "jobs" else AsyncWebJobsClient, name)(target, *args)
    return getattr(TWIN if owner == "jobs" else WEB_TWIN, name)(target, *args)


def outcome(step: Callable[[], Any], caller: str) -> tuple[Any, ...]:
    try:
        return ("returned", step())
    except StopIteration as stop:
        return ("stopped", repr(stop.value))
    except BaseException as error:  # noqa: B036 - every outcome is an observation
        context = type(error.__context__).__name__
        return ("raised", type(error).__name__, str(error), context, entries(error, caller))


def entries(error: BaseException, caller: str) -> list[tuple[str, int | None]]:
    """The traceback's entries below the test's own frame, with the lines of the
    compiled modules' entries but the caller's own (the twin's is in its file)."""
    found = traceback.extract_tb(error.__traceback__)[1:]
    return [(e.name, e.lineno if e.filename.startswith("vexa/") and e.name != caller else None) for e in found]


def awaited_chain(coroutine: Any) -> list[tuple[Any, ...]]:
    """What the suspended coroutine awaits, and what that awaits in turn."""
    chain = []
    awaited = coroutine.cr_await
    while awaited is not None:
        code = getattr(awaited, "cr_code", None) or getattr(awaited, "gi_code", None)
        chain.append((getattr(awaited, "__qualname__", None), code.co_name, code.co_firstlineno))
        awaited = getattr(awaited, "cr_await", None) or getattr(awaited, "gi_yieldfrom", None)
    return chain


STEPS = {
    "at once": (),
    "one suspension": ("suspend",),
    "two suspensions": ("suspend", "suspend"),
    "fails at once": ("fail",),
    "fails after a suspension": ("suspend", "fail"),
    "refuses the call": ("refuse",),
    "answers 500": ("500",),
    "answers 500 after a suspension": ("suspend", "500"),
    "StopIteration": ("stop",),
}
CALLERS = [("jobs", "get_latest", ()), ("jobs", "get_latest", ("python",)), ("jobs", "list_running", ())]
CALLERS += [("web", "list_failed", ()), ("web", "get_latest", ())]


def drive(kind: str, owner: str, name: str, args: tuple[Any, ...], steps: tuple[str, ...], how: str) -> Any:
    """Steps the caller's coroutine by hand: `how` it is continued after a suspension."""
    log: list[Any] = []
    coroutine = call(kind, owner, name, client(kind, owner, steps, log), args)
    seen = [outcome(lambda: coroutine.send(None), name)]
    while seen[-1][0] == "returned":
        seen.append((awaited_chain(coroutine), coroutine.cr_running))
        if how == "close":
            seen.append(outcome(coroutine.close, name))
            break
        step = (lambda: coroutine.throw(KeyError("thrown in"))) if how == "throw" else (lambda: coroutine.send(None))
        seen.append(outcome(step, name))
    return seen, log


@pytest.mark.parametrize("how", ["send", "throw", "close"])
@pytest.mark.parametrize("steps", list(STEPS.values()), ids=list(STEPS))
@pytest.mark.parametrize("owner, name, args", CALLERS, ids=[f"{o}.{n}{a}" for o, n, a in CALLERS])
def test_an_awaited_native_method_behaves_as_its_coroutine_object(
    owner: str, name: str, args: tuple[Any, ...], steps: tuple[str, ...], how: str
) -> None:
    native, twin = (drive(kind, owner, name, args, steps, how) for kind in KINDS)
    assert native == twin


def test_the_case_table_reaches_every_outcome() -> None:
    """The cases above are worth something only if they suspend, return and fail as meant."""
    outcomes = {
        label: drive("native", "jobs", "get_latest", (), steps, "send")[0][-1][0] for label, steps in STEPS.items()
    }
    assert outcomes == {
        "at once": "stopped",
        "one suspension": "stopped",
        "two suspensions": "stopped",
        "fails at once": "raised",
        "fails after a suspension": "raised",
        "refuses the call": "raised",
        "answers 500": "raised",
        "answers 500 after a suspension": "raised",
        "StopIteration": "raised",
    }


# --- however the awaited method is reached ---------------------------------------------------


def logged_read(self: Any, name: str) -> Any:
    """A `__getattribute__` that reports every attribute read."""
    if not name.startswith("__") and name != "log":
        object.__getattribute__(self, "log").append(("read", name))
    return object.__getattribute__(self, name)


def reached(how: str, target: str, log: list[Any], cls: Any = AsyncJobsClient) -> Iterator[Any]:
    """A jobs client of `cls` (compiled unless a twin is given) whose `target`
    method is reached `how`, inside a context that undoes it."""

    async def replacement(*args: Any, **kwargs: Any) -> Any:
        log.append(("replacement", len(args), sorted(kwargs.items())))
        return ["replaced"] if target == "list" else types.SimpleNamespace(job_stage=JobStage.RUNNING)

    parent = Parent((), log)
    if how == "subclass":
        jobs: Any = type("Sub", (cls,), {target: replacement})(parent)
    elif how == "data descriptor":
        jobs = type("Sub", (cls,), {target: property(lambda self: replacement)})(parent)
    elif how == "another native method":
        jobs = type("Sub", (cls,), {target: cls.get_url})(parent)
    elif how == "__getattribute__":
        jobs = type("Logged", (cls,), {"__getattribute__": logged_read})(parent)
        jobs.log = log
    else:
        jobs = cls(parent)
    if how == "instance attribute":
        setattr(jobs, target, replacement)
    elif how == "another native method, bound, on the instance":
        setattr(jobs, target, jobs.get_url)
    elif how == "the class's own __getattribute__":
        jobs.log = log
    parent.jobs = jobs
    with contextlib.ExitStack() as undo:
        if how == "class attribute":
            undo.enter_context(mock.patch.object(cls, target, replacement))
        elif how == "the class's own __getattribute__":
            # Set on the class itself and deleted again: the class's other names keep their order.
            cls.__getattribute__ = logged_read
            undo.callback(delattr, cls, "__getattribute__")
        elif how == "mock":
            mocked = undo.enter_context(mock.patch.object(cls, target, new_callable=mock.AsyncMock))
            mocked.return_value = ["mocked"]
            undo.callback(lambda: log.append(("mock calls", [sorted(c.kwargs.items()) for c in mocked.call_args_list])))
        yield jobs


HOW = [
    "untouched",
    "instance attribute",
    "class attribute",
    "subclass",
    "mock",
    "__getattribute__",
    "data descriptor",
    "another native method",
    "another native method, bound, on the instance",
    "the class's own __getattribute__",
]
AWAITING = [
    ("get_latest", "list", ()),
    ("list_running", "list", ()),
    ("await_stage", "get", ("j1", None, JobStage.RUNNING)),
]


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("name, target, args", AWAITING, ids=[f"{n}-{t}" for n, t, _ in AWAITING])
def test_the_awaited_method_is_the_one_attribute_lookup_finds(
    name: str, target: str, args: tuple[Any, ...], how: str
) -> None:
    def scenario(kind: str) -> Any:
        log: list[Any] = []
        with contextlib.contextmanager(reached)(how, target, log) as jobs:
            coroutine = call(kind, "jobs", name, jobs, args)
            result = outcome(lambda: coroutine.send(None), name)
        return result[:4] if result[0] == "raised" else (result[0], str(result[1])), log

    native, twin = (scenario(kind) for kind in KINDS)
    assert native == twin


TWIN_AWAITING = [*AWAITING, ("await_healthy", "is_healthy", ("j1",))]


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("name, target, args", TWIN_AWAITING, ids=[f"{n}-{t}" for n, t, _ in TWIN_AWAITING])
def test_a_twin_awaiting_its_own_method_reaches_what_the_compiled_module_reaches(
    name: str, target: str, args: tuple[Any, ...], how: str
) -> None:
    """The twins' bodies run an awaited method of their own class directly
    when the call would reach it, and call it otherwise: with twin clients
    throughout, every way of reaching it gives what the compiled clients give
    (results, errors, calls made, attributes read)."""

    def scenario(cls: Any) -> Any:
        log: list[Any] = []
        with contextlib.contextmanager(reached)(how, target, log, cls) as jobs:
            coroutine = getattr(cls, name)(jobs, *args)
            result = outcome(lambda: coroutine.send(None), name)
        return result[:4] if result[0] == "raised" else (result[0], str(result[1])), log

    assert scenario(TWIN) == scenario(AsyncJobsClient)
