"""JobsClient.stream_output: a native generator that behaves as a Python one.

The protocol test drives the native generator and a Python generator function
with the same body (open the stream, skip blank lines, yield one StreamOutput
per line) through the same random sequences of next/send/throw/close, over
real HTTP, and compares every outcome and state. The interruption tests end a
stream early in each way a program can (close, break, an exception in the
loop body, dropping the generator) and check that no connection, socket or
warning is left behind.
"""

from __future__ import annotations

import gc
import inspect
import os
import sys
import threading
import time
import warnings
from typing import Any, Callable, Iterator

import httpx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from recording_server import ConnectionLog, RecordingServer

import vexa.client._sync._jobs as sync_jobs
from vexa.client._sync import Client
from vexa.types import StreamOutput

API_KEY = "sk-stream-3"


class Hooked:
    """Stands for StreamOutput in both bodies: runs the hook of a line's text first."""

    hooks: dict[str, Callable[[], Any]] = {}

    @classmethod
    def model_validate_json(cls, line: str) -> StreamOutput:
        output = StreamOutput.model_validate_json(line)
        hook = cls.hooks.get(output.text)
        if hook is not None:
            hook()
        return output


def python_stream_output(client: Client, job_id: str) -> Iterator[StreamOutput]:
    """The Python twin of the native body, with the same statements."""
    url = client.base_url + "/jobs/" + job_id + "/stream"
    timeout = httpx.Timeout(connect=5.0, read=60.0, write=5.0, pool=5.0)
    with httpx.stream("GET", url, timeout=timeout, headers=client.api_key_header) as response:
        for line in response.iter_lines():
            if not line.strip():
                continue
            yield Hooked.model_validate_json(line)


@pytest.fixture(scope="module")
def server() -> Iterator[RecordingServer]:
    with RecordingServer() as recorder:
        yield recorder


@pytest.fixture
def hooked(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    monkeypatch.setitem(sync_jobs.__dict__, "StreamOutput", Hooked)
    yield
    Hooked.hooks = {}


def body(lines: list[str]) -> bytes:
    return b"".join(b'{"text": "%s"}\n\n' % text.encode() for text in lines)


def step(gen: Any, operation: tuple[str, Any]) -> tuple[Any, ...]:
    kind, argument = operation
    try:
        if kind == "next":
            result = next(gen)
        elif kind == "send":
            result = gen.send(argument)
        elif kind == "throw":
            result = gen.throw(argument)
        else:
            result = gen.close()
    except BaseException as error:  # noqa: BLE001 - the outcome is what is compared
        return ("raised", type(error), str(error), type(error.__cause__), type(error.__context__))
    return ("returned", result.text if isinstance(result, StreamOutput) else result)


def state(gen: Any) -> tuple[Any, ...]:
    return (inspect.getgeneratorstate(gen), gen.gi_running, gen.gi_yieldfrom)


OPERATIONS = st.sampled_from(
    [
        ("next", None),
        ("send", None),
        ("send", 1),
        ("throw", ValueError("thrown")),
        ("throw", KeyError),
        ("throw", GeneratorExit),
        ("throw", StopIteration),
        ("close", None),
    ]
)
# What a line's hook does while the body is building its item.
HOOKS = st.sampled_from(["none", "raise-key-error", "raise-stop-iteration", "re-enter", "close-self"])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    lines=st.lists(st.sampled_from(["a", "b", "c"]), max_size=4),
    hook=HOOKS,
    hook_line=st.integers(0, 3),
    operations=st.lists(OPERATIONS, min_size=1, max_size=7),
)
def test_protocol_matches_a_python_generator(
    server: RecordingServer, hooked: None, lines: list[str], hook: str, hook_line: int, operations: list[Any]
) -> None:
    lines = [f"{text}{number}" for number, text in enumerate(lines)]
    server.set_default(200, body(lines))
    client = Client(server.base_url, api_key=API_KEY)
    traces = []
    for make in (lambda: client.jobs.stream_output("j1"), lambda: python_stream_output(client, "j1")):
        gen = make()
        current = [gen]

        def run_hook() -> None:
            if hook == "raise-key-error":
                raise KeyError("hooked")
            if hook == "raise-stop-iteration":
                raise StopIteration("hooked")
            if hook == "re-enter":
                next(current[0])  # noqa: F821 - called before the loop deletes it
            if hook == "close-self":
                current[0].close()  # noqa: F821 - called before the loop deletes it

        Hooked.hooks = {lines[hook_line]: run_hook} if hook != "none" and hook_line < len(lines) else {}
        trace = [state(gen)]
        for operation in operations:
            trace.append(step(gen, operation))
            trace.append(state(gen))
        gen.close()
        traces.append(trace)
        del gen, current
    native, python = traces
    assert native == python


@pytest.mark.parametrize("name", ["send", "throw", "close", "__next__", "__iter__"])
def test_the_generator_offers_what_a_generator_does(name: str) -> None:
    gen = Client("http://127.0.0.1:9").jobs.stream_output("j1")
    assert callable(getattr(gen, name))
    assert iter(gen) is gen
    assert gen.gi_code is type(Client("http://127.0.0.1:9").jobs).stream_output.__code__
    assert repr(gen).startswith("<generator object JobsClient.stream_output at ")
    gen.close()


# --- interruption ---------------------------------------------------------------------------------


def open_sockets() -> set[str]:
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:
            continue
        if target.startswith("socket:"):
            found.add(fd)
    return found


def stop_in_loop(gen: Any) -> None:
    for output in gen:
        if output.text == "line 1":
            raise LookupError("stop here")


def break_and_drop(gen: Any) -> None:
    for output in gen:
        if output.text == "line 1":
            break


def close_mid_stream(gen: Any) -> None:
    next(gen)
    next(gen)
    gen.close()


def collect_mid_stream(gen: Any) -> None:
    next(gen)
    next(gen)
    # A reference cycle through the generator: only the collector frees it.
    holder: dict[str, Any] = {"gen": gen}
    holder["self"] = holder


def throw_mid_stream(gen: Any) -> None:
    next(gen)
    gen.throw(ValueError("given up"))


ENDINGS = {
    "close": close_mid_stream,
    "exception-in-loop-body": stop_in_loop,
    "break": break_and_drop,
    "garbage-collected": collect_mid_stream,
    "throw": throw_mid_stream,
}


def interrupted(ending: Callable[[Any], None], shared: bool) -> tuple[bool, int, list[str], set[str]]:
    """Ends a stream that is still open with `ending`; returns whether every
    connection was closed, how many there were, the warnings and unraisable
    errors seen, and the sockets left open."""
    gate = threading.Event()
    kept: list[Any] = []
    with RecordingServer() as recorder:
        connections = ConnectionLog(recorder)
        # Two lines, then the server waits: the stream is open when it is ended.
        first = b'{"text": "line 0"}\n{"text": "line 1"}\n'
        recorder.set_default(200, chunks=[first, gate, b'{"text": "line 2"}\n'])
        gc.collect()
        sockets_before = open_sockets()
        problems: list[str] = []
        hook = sys.unraisablehook
        sys.unraisablehook = lambda unraisable: problems.append(repr(unraisable.exc_value))
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", ResourceWarning)
                client = Client(recorder.base_url, api_key=API_KEY)
                if shared:
                    client.__enter__()
                try:
                    ending(client.jobs.stream_output("j1"), *([kept] if ending is keep_open else []))
                except (LookupError, ValueError):
                    pass
                gc.collect()
                if shared:
                    client.close()
                # The server finishes its answer; a connection the client
                # still held would then wait for its next request.
                gate.set()
                # A stream kept open stays so: a short look tells as much as a long one.
                closed = connections.all_closed(timeout=0.5 if kept else 10)
                gc.collect()
                # The server's end of a closed connection goes a moment later, on its own thread.
                deadline = time.monotonic() + (0.5 if kept else 5)
                while (leaked := open_sockets() - sockets_before) and time.monotonic() < deadline:
                    time.sleep(0.01)
        finally:
            sys.unraisablehook = hook
            gate.set()
            for gen in kept:
                gen.close()
        problems += [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
        return closed, connections.count, problems, leaked


@pytest.mark.parametrize("shared", [False, True], ids=["own-client", "shared-client"])
@pytest.mark.parametrize("ending", list(ENDINGS))
def test_interrupted_stream_leaves_no_connection_open(ending: str, shared: bool) -> None:
    assert interrupted(ENDINGS[ending], shared) == (True, 1, [], set())


def keep_open(gen: Any, kept: list[Any]) -> None:
    next(gen)
    kept.append(gen)


def test_the_check_sees_a_stream_left_open() -> None:
    closed, count, _, leaked = interrupted(keep_open, shared=False)
    assert (closed, count) == (False, 1)
    assert len(leaked) >= 1
