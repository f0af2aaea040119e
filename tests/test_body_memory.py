"""Coroutines and generators of the clients are made and dropped on every
call, and the memory of finished ones is given to the next ones. Nothing a
body object's life leaves in that memory may reach the next object made in
it: each must be finalized on its own (warn when dropped unawaited, close its
stream when dropped mid-way), whichever way the one before it ended.

A random sequence of bodies of several sizes and kinds, each ended in one of
the ways a program ends them, is checked against what each of them alone
must do.
"""

from __future__ import annotations

import gc
import sys
import threading
import warnings
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from recording_server import ConnectionLog, RecordingServer

from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._sync import Client


class Parent:
    base_url = "http://127.0.0.1:9"
    api_key_header = {"X-API-Key": "k"}


# Coroutine bodies of different frame sizes, never awaited.
COROUTINES = {
    "get": lambda jobs: jobs.get("j1"),
    "get_result": lambda jobs: jobs.get_result("j1"),
    "list_running": lambda jobs: jobs.list_running(),
    "await_stage": lambda jobs: jobs.await_stage("j1", 5.0),
}
# How a body object is let go.
ENDINGS = ["dropped", "collected", "closed"]


def let_go(body: Any, ending: str) -> None:
    if ending == "closed":
        body.close()
    elif ending == "collected":
        # A reference cycle through the body: only the collector frees it,
        # finalizing it first.
        holder: list[Any] = [body]
        holder.append(holder)
        del holder, body
        gc.collect()
    # Otherwise the last reference goes with this frame: the body is freed at
    # once, with no collection (one that it needed would be a leak, and the
    # warnings counted below would miss its own).


steps = st.lists(
    st.tuples(st.sampled_from([*COROUTINES, "stream"]), st.sampled_from(ENDINGS)),
    min_size=1,
    max_size=12,
)


@pytest.mark.skipif(
    sys.implementation.name == "pypy", reason="PyPy finalises a dropped body when its GC gets to it, not at del"
)
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=steps)
def test_every_body_is_finalized_whatever_ended_the_one_before(steps: list[tuple[str, str]]) -> None:
    jobs = AsyncJobsClient(Parent())
    gate = threading.Event()
    with RecordingServer() as recorder:
        connections = ConnectionLog(recorder)
        # One line, then the server waits: a started stream is still open.
        recorder.set_default(200, chunks=[b'{"text": "line 0"}\n', gate, b'{"text": "line 1"}\n'])
        client = Client(recorder.base_url, api_key="k")
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", RuntimeWarning)
                for kind, ending in steps:
                    if kind == "stream":
                        body = client.jobs.stream_output("j1")
                        assert next(body).text == "line 0"
                    else:
                        body = COROUTINES[kind](jobs)
                    let_go(body, ending)
                    del body
            # The server finishes its answers: a connection a stream let go
            # still held would then wait for its next request.
            gate.set()
            streams = sum(kind == "stream" for kind, _ in steps)
            assert connections.all_closed(timeout=10) and connections.count == streams
        finally:
            gate.set()
    unawaited = [str(w.message) for w in caught if "was never awaited" in str(w.message)]
    expected = [
        f"coroutine 'AsyncJobsClient.{kind}' was never awaited"
        for kind, ending in steps
        if kind != "stream" and ending != "closed"
    ]
    assert sorted(unawaited) == sorted(expected)
