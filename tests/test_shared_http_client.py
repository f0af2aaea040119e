"""Parent clients that share one HTTP client between requests.

Every operation runs in both modes against the recording server: the default
(a new HTTP client per request) and the shared one (`with`/`async with` or a
given `http_client=`). The shared mode must send the same requests, keep one
connection for all of them, and leave the shared client open and usable after
successes, error statuses, cancellation and early closes.
"""

from __future__ import annotations

import asyncio
import re
import threading
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Awaitable, Callable

import httpx
import pytest
from recording_server import ConnectionLog, RecordedRequest, RecordingServer, ScriptedResponse, make_zip

from vexa.client._async import AsyncClient
from vexa.client._async.code import AsyncCodeClient
from vexa.client._errors import get_http_exception
from vexa.client._files import prepare_files
from vexa.client._sync import Client
from vexa.types import CodeType, CodeZip, HTTPException, JobStatus, JobType

API_KEY = "shared-key"
ARCHIVE = make_zip({"main.py": "print('shared')"})
ZIP = CodeZip(zip_bytes=ARCHIVE)
INFO = {"code_id": "c1", "code_name": "n", "code_type": "python"}
JOB = {"job_id": "j1", "job_status": "queued", "job_stage": "pre_running"}


@dataclass(frozen=True)
class Operation:
    run: Callable[[Any], Any]  # given the parent client; returns an awaitable unless `blocking`
    answer: Any  # the JSON body, or bytes sent as they are
    blocking: bool = False
    refusal_raises: bool = True  # an error status raises (`is_healthy` answers False instead)


STREAM_BODY = b'{"text": "one"}\n\n{"text": "two", "stream": "stderr"}\n'
JOB_ENDED = {**JOB, "job_stage": "post_running"}


async def collected(generator: Any) -> list[Any]:
    return [item async for item in generator]


OPERATIONS: dict[str, Operation] = {
    "code.upload": Operation(lambda c: c.code.upload(ZIP, "name", CodeType.PYTHON, {"a": 1}), '"c9"', blocking=True),
    "code.ingest": Operation(
        lambda c: c.code.ingest(ZIP, "name", CodeType.PYTHON, None, True, "3.10"), JOB, blocking=True
    ),
    "code.download": Operation(lambda c: c.code.download("c1"), ARCHIVE, blocking=True),
    "code.delete": Operation(lambda c: c.code.delete("c1"), None, blocking=True),
    "code.get_info": Operation(lambda c: c.code.get_info("c1"), INFO, blocking=True),
    "code.list_info": Operation(lambda c: c.code.list_info(CodeType.PYTHON), [INFO], blocking=True),
    "code.get_metadata": Operation(lambda c: c.code.get_metadata("c1"), {"k": 1}, blocking=True),
    "jobs.get": Operation(lambda c: c.jobs.get("j1"), JOB),
    "jobs.list": Operation(lambda c: c.jobs.list(JobType.INGEST, JobStatus.QUEUED, None), [JOB]),
    "jobs.list_running": Operation(lambda c: c.jobs.list_running(), [JOB]),
    "jobs.get_latest": Operation(lambda c: c.jobs.get_latest(CodeType.PYTHON), [JOB]),
    "jobs.get_status": Operation(lambda c: c.jobs.get_status("j1"), '"queued"'),
    "jobs.get_stage": Operation(lambda c: c.jobs.get_stage("j1"), '"running"'),
    "jobs.get_error": Operation(lambda c: c.jobs.get_error("j1"), '"boom"'),
    "jobs.get_code_id": Operation(lambda c: c.jobs.get_code_id("j1"), '"c1"'),
    "jobs.get_result": Operation(lambda c: c.jobs.get_result("j1"), ARCHIVE),
    "jobs.terminate": Operation(lambda c: c.jobs.terminate("j1"), None),
    "jobs.stream_output": Operation(lambda c: collected(c.jobs.stream_output("j1", read_timeout=7)), STREAM_BODY),
    "jobs.await_stage": Operation(lambda c: c.jobs.await_stage("j1", timeout=5), JOB_ENDED),
    "jobs.is_healthy": Operation(lambda c: c.jobs.is_healthy("j1"), {}, refusal_raises=False),
    "web.run": Operation(lambda c: c.web.run(ZIP), JOB),
    "web.stored.run": Operation(lambda c: c.web.stored.run("c1"), JOB),
    "web.jobs.list_failed": Operation(lambda c: c.web.jobs.list_failed(), [JOB]),
    "async code.upload": Operation(lambda c: c.code.upload(ZIP, "name", CodeType.PYTHON, {"a": 1}), '"c9"'),
    "async code.ingest": Operation(lambda c: c.code.ingest(ZIP, "name", CodeType.PYTHON, build_pexenv=True), JOB),
    "async code.download": Operation(lambda c: c.code.download("c1"), ARCHIVE),
    "async code.delete": Operation(lambda c: c.code.delete("c1"), None),
    "async code.get_info": Operation(lambda c: c.code.get_info("c1"), INFO),
    "async code.list_info": Operation(lambda c: c.code.list_info(), [INFO]),
    "async code.list_info-typed": Operation(lambda c: c.code.list_info(code_type=CodeType.PYTHON), [INFO]),
    "async code.get_metadata": Operation(lambda c: c.code.get_metadata("c1"), {"k": [1, 2]}),
}
# The synchronous jobs and web clients: the same calls, blocking.
OPERATIONS.update(
    {
        f"sync {name}": Operation(
            (lambda c: list(c.jobs.stream_output("j1", read_timeout=7)))
            if name == "jobs.stream_output"
            else operation.run,
            operation.answer,
            blocking=True,
            refusal_raises=operation.refusal_raises,
        )
        for name, operation in OPERATIONS.items()
        if name.startswith(("jobs.", "web."))
    }
)
ASYNC_OPERATIONS = {name: operation for name, operation in OPERATIONS.items() if not operation.blocking}


def answer(operation: Operation, status: int = 200) -> ScriptedResponse:
    if status != 200:
        return ScriptedResponse(status, body={"detail": "refused"})
    if isinstance(operation.answer, bytes):
        return ScriptedResponse(200, body=operation.answer, headers={"Content-Type": "application/zip"})
    return ScriptedResponse(200, body=operation.answer)


def comparable(request: RecordedRequest) -> tuple[Any, ...]:
    """The request as sent, with the random multipart boundary made fixed."""
    content_type = request.header("Content-Type") or ""
    found = re.search(r"boundary=([0-9a-f]+)", content_type)
    body, headers = request.body, request.headers
    if found:
        boundary = found.group(1)
        body = body.replace(boundary.encode(), b"BOUNDARY")
        headers = [(name, value.replace(boundary, "BOUNDARY")) for name, value in headers]
    return (request.method, request.target, request.http_version, headers, body)


def outcome_of(run: Callable[[], Any]) -> Any:
    try:
        result = run()
    except HTTPException as error:
        return ("raised", type(error), str(error))
    return result.model_dump() if hasattr(result, "model_dump") else result


def run_in_mode(
    recorder: RecordingServer, operation: Operation, status: int, shared: bool
) -> tuple[Any, tuple[Any, ...]]:
    """What the operation gave and the request it sent, on a new parent client."""
    recorder.reset()
    recorder.script_response(answer(operation, status))

    def blocking() -> Any:
        client = Client(recorder.base_url, api_key=API_KEY)
        if not shared:
            return operation.run(client)
        with client:
            try:
                return operation.run(client)
            finally:
                assert client._http_client is not None and not client._http_client.is_closed

    async def awaited() -> Any:
        client = AsyncClient(recorder.base_url, api_key=API_KEY)
        if not shared:
            return await operation.run(client)
        async with client:
            try:
                return await operation.run(client)
            finally:
                assert client._http_client is not None and not client._http_client.is_closed

    outcome = outcome_of(blocking if operation.blocking else lambda: asyncio.run(awaited()))
    return outcome, comparable(recorder.wait_for_requests(1)[0])


@pytest.mark.parametrize("status", [200, 404, 500])
@pytest.mark.parametrize("name", OPERATIONS)
def test_shared_mode_sends_what_the_default_sends(recorder: RecordingServer, name: str, status: int) -> None:
    operation = OPERATIONS[name]
    default_outcome, default_request = run_in_mode(recorder, operation, status, shared=False)
    shared_outcome, shared_request = run_in_mode(recorder, operation, status, shared=True)
    assert shared_request == default_request
    assert shared_outcome == default_outcome


@pytest.mark.parametrize("blocking", [True, False], ids=["Client", "AsyncClient"])
def test_one_connection_serves_every_operation_and_failure(recorder: RecordingServer, blocking: bool) -> None:
    connections = ConnectionLog(recorder)
    operations = [operation for operation in OPERATIONS.values() if operation.blocking == blocking]
    rounds = [(operation, status) for operation in operations for status in (200, 500)]

    def should_raise(operation: Operation, status: int) -> bool:
        return status != 200 and operation.refusal_raises

    raised: list[bool] = []
    if blocking:
        with Client(recorder.base_url, api_key=API_KEY) as client:
            shared = client._http_client
            for operation, status in rounds:
                recorder.script_response(answer(operation, status))
                try:
                    operation.run(client)
                    raised.append(False)
                except HTTPException:
                    raised.append(True)
                assert client._http_client is shared and not shared.is_closed
    else:

        async def everything() -> httpx.AsyncClient:
            async with AsyncClient(recorder.base_url, api_key=API_KEY) as client:
                shared = client._http_client
                for operation, status in rounds:
                    recorder.script_response(answer(operation, status))
                    try:
                        await operation.run(client)
                        raised.append(False)
                    except HTTPException:
                        raised.append(True)
                    assert client._http_client is shared and not shared.is_closed
            return shared

        shared = asyncio.run(everything())
    assert raised == [should_raise(operation, status) for operation, status in rounds]
    assert shared.is_closed
    assert len(recorder.wait_for_requests(len(rounds))) == len(rounds)
    assert connections.count == 1
    assert connections.all_closed()


def test_default_mode_opens_a_connection_per_request(recorder: RecordingServer) -> None:
    connections = ConnectionLog(recorder)
    recorder.set_default(200, body=INFO)
    client = AsyncClient(recorder.base_url, api_key=API_KEY)

    async def three() -> None:
        for _ in range(3):
            await client.code.get_info("c1")

    asyncio.run(three())
    assert connections.count == 3
    assert connections.all_closed()


def one_connection_client(recorder: RecordingServer) -> httpx.AsyncClient:
    # With a pool of one, a response left open would make the next request
    # wait for the pool and fail with PoolTimeout.
    return httpx.AsyncClient(limits=httpx.Limits(max_connections=1), timeout=httpx.Timeout(5.0, pool=2.0))


async def first_then_close(generator: Any) -> None:
    await generator.__anext__()
    await generator.aclose()


# name -> (how the operation is interrupted, the operation, its held answer)
INTERRUPTIONS: dict[str, tuple[str, Callable[[AsyncClient], Awaitable[Any]], str]] = {
    "stream_output closed early": ("run", lambda c: first_then_close(c.jobs.stream_output("j1")), "gated-lines"),
    "stream_output cancelled": ("cancel", lambda c: collected(c.jobs.stream_output("j1")), "gated-lines"),
    "get_result cancelled": ("cancel", lambda c: c.jobs.get_result("j1"), "gated-archive"),
    "get cancelled": ("cancel", lambda c: c.jobs.get("j1"), "held"),
    "web.run cancelled": ("cancel", lambda c: c.web.run(ZIP), "held"),
    "async code.download cancelled": ("cancel", lambda c: c.code.download("c1"), "gated-archive"),
    "async code.download cut off": ("transport-error", lambda c: c.code.download("c1"), "truncated"),
    "get_result cut off": ("transport-error", lambda c: c.jobs.get_result("j1"), "truncated"),
}


@pytest.mark.parametrize("name", INTERRUPTIONS)
def test_interrupted_operations_leave_the_shared_client_usable(recorder: RecordingServer, name: str) -> None:
    how, run, held = INTERRUPTIONS[name]
    gate = threading.Event()
    if held == "gated-lines":
        first = recorder.script(200, chunks=[b'{"text": "one"}\n', gate])
    elif held == "gated-archive":
        first = recorder.script(200, chunks=[b"PK" * 1000, gate], headers={"Content-Type": "application/zip"})
    elif held == "held":
        first = recorder.script(200, body=JOB, hold=True)
    else:
        first = recorder.script(200, body=ARCHIVE, close_after=10, headers={"Content-Length": str(len(ARCHIVE))})
    recorder.script(200, body=JOB)

    async def interrupted() -> Any:
        async with one_connection_client(recorder) as http_client:
            client = AsyncClient(recorder.base_url, api_key=API_KEY, http_client=http_client)
            operation = asyncio.ensure_future(run(client))
            if how == "cancel":
                while not recorder.requests:
                    await asyncio.sleep(0.01)
                operation.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await operation
            elif how == "transport-error":
                with pytest.raises(httpx.TransportError):
                    await operation
            else:
                await operation
            job = await client.jobs.get("j1")
            assert not http_client.is_closed
            return job

    try:
        assert asyncio.run(interrupted()).job_id == "j1"
    finally:
        gate.set()
        first.release()


def test_download_to_a_path_on_the_shared_client(recorder: RecordingServer, tmp_path: Path) -> None:
    body = bytes(range(256)) * 4000
    recorder.script(200, chunks=[body[:300_000], body[300_000:]])
    target = tmp_path / "code.zip"

    async def download() -> CodeZip:
        async with AsyncClient(recorder.base_url, api_key=API_KEY) as client:
            return await client.code.download("c1", zip_path=target)

    assert asyncio.run(download()).zip_bytes == body
    assert target.read_bytes() == body


# --- Owning the HTTP client -------------------------------------------------------


def test_async_block_opens_one_pooled_client_and_closes_it(recorder: RecordingServer) -> None:
    recorder.set_default(200, body=INFO)

    async def lifecycle() -> None:
        client = AsyncClient(recorder.base_url, api_key=API_KEY)
        assert client._http_client is None
        async with client as entered:
            assert entered is client
            shared = client._http_client
            assert isinstance(shared, httpx.AsyncClient)
            async with client:  # nested: the same client, still open after the inner block
                assert client._http_client is shared
        assert shared.is_closed and client._http_client is None
        # Back to a new HTTP client per request.
        assert (await client.code.get_info("c1")).code_id == "c1"
        with pytest.raises(RuntimeError, match="stop"):
            async with client:
                raised_in = client._http_client
                raise RuntimeError("stop")
        assert raised_in is not None and raised_in.is_closed

    asyncio.run(lifecycle())


def test_given_clients_are_used_and_never_closed(recorder: RecordingServer) -> None:
    recorder.set_default(200, body=INFO)

    async def given_async() -> None:
        async with httpx.AsyncClient() as given:
            async with AsyncClient(recorder.base_url, api_key=API_KEY, http_client=given) as client:
                assert client._http_client is given
                await client.code.get_info("c1")
            assert client._http_client is given and not given.is_closed
            await client.aclose()
            assert not given.is_closed

    asyncio.run(given_async())
    with httpx.Client() as given_sync:
        with Client(recorder.base_url, api_key=API_KEY, http_client=given_sync) as client:
            assert client._http_client is given_sync
        client.close()
        assert not given_sync.is_closed and client._http_client is given_sync


def test_sync_block_opens_one_pooled_client_and_closes_it(recorder: RecordingServer) -> None:
    client = Client(recorder.base_url, api_key=API_KEY)
    with client as entered:
        assert entered is client
        shared = client._http_client
        assert isinstance(shared, httpx.Client) and not shared.is_closed
    assert shared.is_closed and client._http_client is None
    client.__enter__()
    reopened = client._http_client
    assert reopened is not None and reopened is not shared
    client.close()
    assert reopened.is_closed and client._http_client is None


def test_a_parent_without_a_shared_client_member_sends_on_a_fresh_client(recorder: RecordingServer) -> None:
    """Any object with the members the sub-clients always used still works."""
    connections = ConnectionLog(recorder)
    recorder.set_default(200, body=INFO)
    parent = SimpleNamespace(
        base_url=recorder.base_url,
        api_key_header={"X-API-Key": API_KEY},
        _get_http_exception=lambda httpx_error: get_http_exception(httpx_error),
        _prepare_files=prepare_files,
    )
    code = AsyncCodeClient(parent)  # type: ignore[arg-type]

    async def twice() -> None:
        await code.get_info("c1")
        await code.get_metadata("c1")

    asyncio.run(twice())
    assert [request.header("X-API-Key") for request in recorder.wait_for_requests(2)] == [API_KEY, API_KEY]
    assert connections.count == 2


# --- Uploads ---------------------------------------------------------------------


@pytest.mark.parametrize("client_kind", ["Client", "AsyncClient"])
def test_upload_sends_the_archive_with_its_length_in_one_body(recorder: RecordingServer, client_kind: str) -> None:
    """The archive is streamed from a reader, but the request still says how long it is."""
    archive = bytes(range(256)) * 2000  # larger than httpx's read size
    recorder.script(200, body='"c1"'.encode())
    if client_kind == "Client":
        Client(recorder.base_url, api_key=API_KEY).code.upload(CodeZip(zip_bytes=archive), "big", CodeType.PYTHON)
    else:
        asyncio.run(
            AsyncClient(recorder.base_url, api_key=API_KEY).code.upload(
                CodeZip(zip_bytes=archive), "big", CodeType.PYTHON
            )
        )
    sent = recorder.wait_for_requests(1)[0]
    assert not sent.chunked
    assert sent.header("Content-Length") == str(len(sent.body))
    assert archive in sent.body


# --- Redirects -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("follows", "status"), [(True, 302), (True, 307), (True, 308), (False, 307)], ids=["302", "307", "308", "default"]
)
@pytest.mark.parametrize("name", OPERATIONS)
def test_a_redirect_is_never_followed(recorder: RecordingServer, name: str, follows: bool, status: int) -> None:
    """Not even by a given client made to follow redirects: the key and the
    body would go with the request to wherever `Location` points."""
    operation = OPERATIONS[name]
    with RecordingServer() as elsewhere:
        recorder.set_default(status, headers={"Location": f"{elsewhere.base_url}/taken"})

        def blocking() -> Any:
            with httpx.Client(follow_redirects=follows) as given:
                return operation.run(Client(recorder.base_url, api_key=API_KEY, http_client=given))

        async def awaited() -> Any:
            async with httpx.AsyncClient(follow_redirects=follows) as given:
                return await operation.run(AsyncClient(recorder.base_url, api_key=API_KEY, http_client=given))

        outcome = outcome_of(blocking if operation.blocking else lambda: asyncio.run(awaited()))
        assert elsewhere.requests == []
    assert len(recorder.requests) == 1
    if operation.refusal_raises:
        assert outcome[0] == "raised" and str(status) in outcome[2]
    else:
        assert outcome is False
