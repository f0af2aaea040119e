"""Coroutines whose body awaits nothing (`get_url`), and the StopIteration of send().

Such a body is run whole by the coroutine's first step, with no coroutine
frame behind the object. Whatever the parent's `get_proxy_url` does, and
however the coroutine is driven (sent to, thrown into, closed or dropped
before it starts, reused, awaited from a task, driven while an exception is
being handled), the compiled method must show what its pure-Python twin, an
`async def`, shows: the same values, errors, contexts, warnings and
traceback entries. The StopIteration that send() raises for a returned
value is held to the twin's as well, for values that a (type, value) pair
would mistake for arguments or for the error itself (tuples, exceptions).
"""

from __future__ import annotations

import asyncio
import gc
import sys
import traceback
import warnings
from typing import Any, Callable

import pytest

from vexa.client import _modules
from vexa.client._async._jobs import AsyncJobsClient

pytestmark = pytest.mark.native_only

TWIN: Any = _modules.load_twin("vexa.client._async._jobs").AsyncJobsClient


class Parent:
    def __init__(self, answer: Callable[[str], Any], log: list[Any]) -> None:
        self._answer, self.log = answer, log

    def get_proxy_url(self, job_id: str) -> Any:
        # What the body sees of the exception being handled, as sys.exc_info() shows it.
        self.log.append(("called", job_id, type(sys.exc_info()[1]).__name__))
        return self._answer(job_id)


def fail(job_id: str) -> Any:
    raise ValueError(f"no page for {job_id}")


def stop(job_id: str) -> Any:
    raise StopIteration(job_id)


ANSWERS: dict[str, Callable[[str], Any]] = {
    "url": "http://127.0.0.1:9/jobs/".__add__,
    "none": lambda job_id: None,
    "not-a-str": lambda job_id: (job_id, 1),
    "fails": fail,
    "stop-iteration": stop,
}


def observe(step: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("returned", repr(step()))
    except StopIteration as done:
        return ("stopped", repr(done.value), done.args, type(done.__context__).__name__, done.__traceback__ is None)
    except BaseException as error:  # noqa: B036 - every outcome is an observation
        names = [entry.name for entry in traceback.extract_tb(error.__traceback__)[1:]]
        return ("raised", type(error).__name__, str(error), type(error.__context__).__name__, names)


def while_handling(step: Callable[[], Any]) -> Callable[[], Any]:
    def run() -> Any:
        try:
            raise KeyError("handled")
        except KeyError:
            return step()

    return run


def drive(make: Callable[[], Any], how: str) -> list[Any]:
    """The observations of one way of driving a fresh coroutine, made here so
    that nothing else holds it (dropping it must be its end)."""
    coroutine = make()
    seen: list[Any] = []
    if how == "send":
        seen.append(observe(lambda: coroutine.send(None)))
    elif how == "send-while-handling":
        seen.append(observe(while_handling(lambda: coroutine.send(None))))
    elif how == "send-value-first":
        seen.append(observe(lambda: coroutine.send(7)))
        seen.append(observe(lambda: coroutine.send(None)))
    elif how == "throw-first":
        seen.append(observe(lambda: coroutine.throw(OSError("thrown"))))
    elif how == "close-first":
        seen.append(observe(coroutine.close))
    elif how == "reuse":
        seen.append(observe(lambda: coroutine.send(None)))
        seen.append(observe(lambda: coroutine.send(None)))
        seen.append(observe(coroutine.close))
    elif how == "task":

        async def main() -> Any:
            return await coroutine

        seen.append(observe(lambda: asyncio.run(main())))
    elif how == "dropped":
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del coroutine
            gc.collect()
        seen.append([(w.category.__name__, str(w.message)) for w in caught])
    seen.append(("running", getattr(coroutine, "cr_running", None) if how != "dropped" else None))
    return seen


HOWS = ["send", "send-while-handling", "send-value-first", "throw-first", "close-first", "reuse", "task", "dropped"]


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("answer", list(ANSWERS))
def test_a_body_that_awaits_nothing_behaves_as_its_async_def(answer: str, how: str) -> None:
    results = {}
    for kind, method in (("native", AsyncJobsClient.get_url), ("twin", TWIN.get_url)):
        log: list[Any] = []
        jobs = AsyncJobsClient(Parent(ANSWERS[answer], log))
        results[kind] = (drive(lambda: method(jobs, "j1"), how), log)
    assert results["native"] == results["twin"]


@pytest.mark.parametrize("job_id", [1, None, b"j1"], ids=repr)
def test_a_binding_failure_makes_no_coroutine(job_id: Any) -> None:
    for method in (AsyncJobsClient.get_url, TWIN.get_url):
        with pytest.raises(TypeError, match="Argument 'job_id' has incorrect type"):
            method(AsyncJobsClient(Parent(ANSWERS["url"], [])), job_id)


class Listing:
    """A `list` replaced on the instance: get_latest returns its first item as it is."""

    def __init__(self, first: Any) -> None:
        self.first = first

    async def __call__(self, **filters: Any) -> list[Any]:
        return [self.first]


VALUES = [(), (1, 2), ((),), ValueError("as a value"), StopIteration("inner"), ValueError, None, "text", 0]


@pytest.mark.parametrize("value", VALUES, ids=repr)
@pytest.mark.parametrize("handling", [False, True], ids=["plain", "while-handling"])
def test_send_raises_stop_iteration_carrying_the_returned_value(value: Any, handling: bool) -> None:
    results = {}
    for kind, method in (("native", AsyncJobsClient.get_latest), ("twin", TWIN.get_latest)):
        jobs = AsyncJobsClient(Parent(ANSWERS["url"], []))
        jobs.list = Listing(value)
        coroutine = method(jobs)
        step = while_handling(lambda: coroutine.send(None)) if handling else (lambda: coroutine.send(None))
        try:
            step()
        except StopIteration as done:
            assert done.value is value
            results[kind] = (done.args, type(done.__context__).__name__, done.__cause__, done.__traceback__ is None)
        else:
            pytest.fail("the coroutine did not return")
    # A returned None stops the iteration with no arguments at all.
    assert results["native"][0] == results["twin"][0] == (() if value is None else (value,))
    assert results["native"][1:] == results["twin"][1:]
