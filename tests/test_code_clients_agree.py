"""`Client.code` (native, blocking) and `AsyncClient.code` (Python, awaitable)
give the same result or the same error for the same server answer.

Each case scripts one answer on the recording server, runs the operation on
both clients and compares what they produced (the model's fields, or the
exception's type and message) and what they sent.
"""

from __future__ import annotations

import asyncio
import json
from typing import Any

import pytest
from pydantic import BaseModel
from recording_server import RecordingServer, ScriptedResponse

from vexa.client._async import AsyncClient
from vexa.client._sync import Client
from vexa.types import CodeType, CodeZip

API_KEY = "agree-key"
ZIP = CodeZip(zip_bytes=b"PK\x05\x06" + b"\x00" * 18)
INFO = {"code_id": "c1", "code_name": "n", "code_type": "python"}
JOB = {"job_id": "j1", "job_status": "queued", "job_stage": "pre_running"}

# Operation name -> positional arguments.
OPERATIONS: dict[str, tuple[Any, ...]] = {
    "get_info": ("c1",),
    "list_info": (),
    "get_metadata": ("c1",),
    "delete": ("c1",),
    "upload": (ZIP, "name", CodeType.PYTHON),
    "ingest": (ZIP, "name", CodeType.PYTHON),
}

# JSON bodies of every shape, including those where an object is expected.
BODIES: dict[str, Any] = {
    "null": None,
    "object": INFO,
    "job-object": JOB,
    "pairs": [["code_id", "c2"], ["code_name", "p"]],
    "job-pairs": [["job_id", "j2"]],
    "list-of-objects": [INFO, {**INFO, "code_id": "c3"}],
    "list-with-null": [INFO, None],
    "list-of-pair-lists": [[["code_id", "c4"]]],
    "list-of-strings": ["ab", "cd"],
    "string": "  c5 \n",
    "empty-string": "",
    "number": 42,
    "float": 1.5,
    "bool": True,
    "empty-list": [],
    "empty-object": {},
    "nested": [[1, 2, 3]],
}


def observe(outcome: Any) -> Any:
    """What an operation produced, comparable across the two clients."""
    if isinstance(outcome, BaseException):
        return ("raised", type(outcome), str(outcome))
    if isinstance(outcome, list):
        return ("list", [observe(item) for item in outcome])
    if isinstance(outcome, BaseModel):
        return (type(outcome), outcome.model_dump(mode="json"))
    return (type(outcome), outcome)


def run_both(recorder: RecordingServer, operation: str, response: ScriptedResponse) -> tuple[Any, Any]:
    """The outcome of `operation` on the sync and the async client, each facing `response`."""
    outcomes = []
    requests = []
    for make in (
        lambda: getattr(Client(recorder.base_url, api_key=API_KEY).code, operation)(*OPERATIONS[operation]),
        lambda: asyncio.run(
            getattr(AsyncClient(recorder.base_url, api_key=API_KEY).code, operation)(*OPERATIONS[operation])
        ),
    ):
        recorder.reset()
        recorder.script_response(ScriptedResponse(status=response.status, body=response.body, headers=response.headers))
        try:
            outcomes.append(observe(make()))
        except Exception as error:  # noqa: BLE001 - the error is the observation
            outcomes.append(observe(error))
        sent = recorder.wait_for_requests(1)[0]
        requests.append((sent.method, sent.target, sent.header("X-API-Key")))
    assert requests[0] == requests[1]
    return outcomes[0], outcomes[1]


@pytest.mark.parametrize("body", BODIES.values(), ids=BODIES.keys())
@pytest.mark.parametrize("operation", OPERATIONS)
def test_same_result_for_every_body_shape(recorder: RecordingServer, operation: str, body: Any) -> None:
    native, python = run_both(recorder, operation, ScriptedResponse(200, body=json.dumps(body).encode()))
    assert native == python


@pytest.mark.parametrize(
    "operation, body, expected",
    [
        ("get_info", BODIES["pairs"], "model"),
        ("ingest", BODIES["job-pairs"], "model"),
        ("get_info", None, "argument after ** must be a mapping, not NoneType"),
        ("ingest", None, "argument after ** must be a mapping, not NoneType"),
        ("list_info", [INFO, None], "argument after ** must be a mapping, not NoneType"),
        ("upload", 42, "42"),
        ("upload", "  c5 \n", "c5"),
    ],
)
def test_odd_bodies_give_the_documented_outcome(
    recorder: RecordingServer, operation: str, body: Any, expected: str
) -> None:
    """Anchors the shared behaviour, so that both clients cannot agree on a wrong answer."""
    native, python = run_both(recorder, operation, ScriptedResponse(200, body=json.dumps(body).encode()))
    assert native == python
    if expected == "model":
        assert dict(body).items() <= native[1].items()
    elif native[0] == "raised":
        assert (native[1], native[2]) == (TypeError, expected)
    else:
        assert native == (str, expected)


@pytest.mark.parametrize(
    "response",
    [
        ScriptedResponse(404, body=b'{"detail": "no such code"}', headers={"Content-Type": "application/json"}),
        ScriptedResponse(500, body=b"<html><body>Internal error</body></html>", headers={"Content-Type": "text/html"}),
        ScriptedResponse(302, body=b"", headers={"Location": "/elsewhere"}),
        ScriptedResponse(200, body=b"{not json"),
        ScriptedResponse(200, body=b""),
    ],
    ids=["404-json", "500-html", "302", "bad-json", "empty-body"],
)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_same_error_for_error_answers(recorder: RecordingServer, operation: str, response: ScriptedResponse) -> None:
    native, python = run_both(recorder, operation, response)
    assert native == python
    if operation != "delete" or response.status >= 300:  # delete reads no body
        assert native[0] == "raised"
