"""The API key never appears in any text the package produces.

Keys that an HTTP header cannot carry are refused when the parent client is
built (or the key is set later), without quoting the key. A sweep then drives
every failure path with a recognisable key, one the server even echoes back,
and searches exception messages, reprs, chained causes and contexts, log
records and the output of the `vexa` command for it.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import socket
import subprocess
import sys
import traceback
from typing import Any, Callable, Iterator

import httpx
import pytest
from fault_server import FaultServer, running_fault_server
from recording_server import RecordingServer

from vexa.client._async import AsyncClient
from vexa.client._base import BaseClient
from vexa.client._config import API_KEY_ENV, BASE_URL_ENV
from vexa.client._sync import Client
from vexa.types import CodeType, CodeZip

KEY = "sk-live-SWEEP-4c1d9e7a"
ECHO_BODIES = {
    "json-detail": (404, json.dumps({"detail": f"unknown key {KEY}"}).encode(), "application/json"),
    "html-page": (
        500,
        f"<html><body><pre>X-API-Key: {KEY}</pre>{'<p>x</p>' * 200}</body></html>".encode(),
        "text/html",
    ),
}


@pytest.fixture(params=[Client, AsyncClient], ids=["Client", "AsyncClient"])
def client_class(request: pytest.FixtureRequest) -> type[BaseClient]:
    return request.param


@pytest.fixture
def clean_env(monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    monkeypatch.delenv(API_KEY_ENV, raising=False)
    monkeypatch.delenv(BASE_URL_ENV, raising=False)
    return monkeypatch


# --- refusal of keys a header cannot carry -----------------------------------------------------


@pytest.mark.parametrize(
    "bad_key, problem",
    [
        (KEY + "\n", "control character (U+000A"),
        (KEY + "\r\n", "control character (U+000D"),
        ("sk-live\r\nX-Injected: 1", "control character (U+000D"),
        ("sk\x00live", "control character (U+0000"),
        ("sk\tlive", "control character (U+0009"),
        ("sk-live\x7f", "control character (U+007F"),
        ("sk-live\x85", "control character (U+0085"),
        ("sk-livé", "non-ASCII character"),
        (" " + KEY, "starts or ends with a space"),
        (KEY + " ", "starts or ends with a space"),
    ],
    ids=repr,
)
@pytest.mark.parametrize("source", ["argument", "environment", "assignment"])
def test_key_a_header_cannot_carry_is_refused_without_quoting_it(
    clean_env: pytest.MonkeyPatch, client_class: type[BaseClient], source: str, bad_key: str, problem: str
) -> None:
    if source == "environment" and "\x00" in bad_key:
        pytest.skip("an environment variable cannot hold a NUL")
    with pytest.raises(ValueError) as caught:
        if source == "argument":
            client_class("http://127.0.0.1:9", api_key=bad_key)
        elif source == "environment":
            clean_env.setenv(API_KEY_ENV, bad_key)
            client_class("http://127.0.0.1:9")
        else:
            client = client_class("http://127.0.0.1:9", api_key=KEY)
            try:
                client.api_key = bad_key
            finally:
                assert client.api_key == KEY  # the refused key was not taken
    assert problem in str(caught.value)
    text = "".join(traceback.format_exception(caught.type, caught.value, caught.tb))
    assert bad_key.strip() not in text and repr(bad_key)[1:-1] not in text


@pytest.mark.parametrize("good_key", [KEY, "with inner space", "!#$%&'*+-.^_`|~0123456789"])
def test_keys_a_header_can_carry_are_kept_and_sent(
    client_class: type[BaseClient], recorder: RecordingServer, good_key: str
) -> None:
    client = client_class(recorder.base_url, api_key=good_key)
    assert client.api_key_header == {"X-API-Key": good_key}
    recorder.script(200, body=[])
    result = client.code.list_info()
    if asyncio.iscoroutine(result):
        asyncio.run(result)
    assert recorder.wait_for_requests(1)[0].header("X-API-Key") == good_key


# --- the sweep ------------------------------------------------------------------------------------


def texts_of(error: BaseException) -> Iterator[str]:
    """Every text an exception carries: the formatted chain, and each link's str, repr and args."""
    yield "".join(traceback.format_exception(type(error), error, error.__traceback__))
    seen: set[int] = set()
    pending: list[BaseException | None] = [error]
    while pending:
        link = pending.pop()
        if link is None or id(link) in seen:
            continue
        seen.add(id(link))
        yield str(link)
        yield repr(link)
        yield from (repr(arg) for arg in link.args)
        yield from (repr(value) for value in vars(link).values() if isinstance(value, (str, int, dict, list)))
        if isinstance(link, httpx.HTTPStatusError):  # what a caller may read of the chained error
            yield from http_texts(link.request, link.response)
        pending += [link.__cause__, link.__context__]


def http_texts(request: httpx.Request, response: httpx.Response) -> Iterator[str]:
    yield str(request.url)
    yield from (f"{name}: {value}" for message in (request, response) for name, value in message.headers.multi_items())
    try:
        yield response.text
    except httpx.ResponseNotRead:
        pass


def sweep(run: Callable[[], Any], caplog: pytest.LogCaptureFixture, level: int = logging.DEBUG) -> BaseException | None:
    """Runs an operation with every logger at `level`; returns its error (None if it
    succeeded) after checking that no text it left contains the key."""
    caplog.clear()
    error: BaseException | None = None
    with caplog.at_level(level):
        try:
            run()
        except Exception as raised:  # noqa: BLE001 - the error is what is searched
            error = raised
    texts = list(texts_of(error)) if error is not None else []
    texts += [record.getMessage() for record in caplog.records]
    texts += [caplog.text]
    leaks = [text for text in texts if KEY in text]
    assert leaks == []
    return error


def on_both(make_call: Callable[[Any], Any], base_url: str) -> list[Callable[[], Any]]:
    """The call on a `Client` (when it has one) and on an `AsyncClient`, ready to run."""
    return [
        lambda: make_call(Client(base_url, api_key=KEY)),
        lambda: asyncio.run(make_call(AsyncClient(base_url, api_key=KEY))),
    ]


ZIP = CodeZip(zip_bytes=b"PK\x05\x06" + b"\x00" * 18)

# Operation name -> call on a parent client (both kinds have `code`).
CODE_CALLS: dict[str, Callable[[Any], Any]] = {
    "get_info": lambda client: client.code.get_info("c1"),
    "list_info": lambda client: client.code.list_info(CodeType.PYTHON),
    "download": lambda client: client.code.download("c1"),
    "upload": lambda client: client.code.upload(ZIP, "n", CodeType.PYTHON, {"k": 1}),
    "delete": lambda client: client.code.delete("c1"),
}
ASYNC_CALLS: dict[str, Callable[[AsyncClient], Any]] = {
    "jobs.get": lambda client: client.jobs.get("j1"),
    "jobs.get_result": lambda client: client.jobs.get_result("j1"),
    "jobs.terminate": lambda client: client.jobs.terminate("j1"),
    "jobs.stream_output": lambda client: anext(client.jobs.stream_output("j1", read_timeout=1.0)),
    "jobs.await_stage": lambda client: client.jobs.await_stage("j1", timeout=0.01),
    "web.run": lambda client: client.web.run(ZIP),
    "web.jobs.list_running": lambda client: client.web.jobs.list_running(),
}


def all_calls(base_url: str) -> dict[str, Callable[[], Any]]:
    calls = {}
    for name, make_call in CODE_CALLS.items():
        sync_call, async_call = on_both(make_call, base_url)
        calls[f"code.{name}"] = sync_call
        calls[f"async-code.{name}"] = async_call
    for name, make_call in ASYNC_CALLS.items():
        calls[name] = lambda make_call=make_call: asyncio.run(make_call(AsyncClient(base_url, api_key=KEY)))
    return calls


@pytest.fixture(scope="module")
def faults() -> Iterator[FaultServer]:
    yield from running_fault_server()


@pytest.mark.parametrize("echo", ECHO_BODIES)
def test_http_errors_whose_body_echoes_the_key(
    recorder: RecordingServer, caplog: pytest.LogCaptureFixture, echo: str
) -> None:
    status, body, content_type = ECHO_BODIES[echo]
    recorder.set_default(status, body=body, headers={"Content-Type": content_type})
    for name, call in all_calls(recorder.base_url).items():
        error = sweep(call, caplog)
        assert getattr(error, "status_code", None) == status, name
    assert all(request.header("X-API-Key") == KEY for request in recorder.requests)


REDIRECTS = {
    "location": {"Location": f"http://127.0.0.1:9/login?next=/code&key={KEY}"},
    "location-and-header": {"Location": f"/{KEY}/elsewhere", "X-Seen-Key": KEY, "Set-Cookie": f"k={KEY}"},
}


@pytest.mark.parametrize("body", [b"", f"moved; your key was {KEY}".encode()], ids=["no-body", "body-echo"])
@pytest.mark.parametrize("redirect", REDIRECTS)
def test_redirects_that_echo_the_key(
    recorder: RecordingServer, caplog: pytest.LogCaptureFixture, redirect: str, body: bytes
) -> None:
    recorder.set_default(302, body=body, headers={"Content-Type": "text/plain", **REDIRECTS[redirect]})
    for name, call in all_calls(recorder.base_url).items():
        # At INFO: httpcore's DEBUG trace lists response headers as they arrive, the echo included.
        error = sweep(call, caplog, logging.INFO)
        assert getattr(error, "status_code", None) == 302, name
        # The httpx error stays in the chain, its texts redacted, the rest intact.
        context = error.__context__ if error is not None else None
        assert isinstance(context, httpx.HTTPStatusError), name
        assert str(context).startswith("Redirect response '302 Found' for url "), name
        assert "Redirect location: " in str(context) and "[REDACTED]" in context.response.headers["Location"]
        assert context.request.headers["X-API-Key"] == "[REDACTED]"
        assert context.response.status_code == 302
    assert all(request.header("X-API-Key") == KEY for request in recorder.requests)


@pytest.mark.parametrize("fault", ["cut-headers", "cut-body", "reset", "malformed-json", "wrong-shape", "redirect"])
def test_transport_and_body_failures(faults: FaultServer, caplog: pytest.LogCaptureFixture, fault: str) -> None:
    errors = {name: sweep(call, caplog) for name, call in all_calls(faults.url(fault)).items()}
    # Only operations that decode no JSON (deletes, terminate, downloads) or take any
    # JSON value (upload) can get past a body fault.
    tolerant = {"delete", "terminate", "download", "get_result", "upload"}
    assert {
        name for name, error in errors.items() if error is None and name.rpartition(".")[2] not in tolerant
    } == set()


def test_connection_refused_and_time_outs(
    faults: FaultServer, caplog: pytest.LogCaptureFixture, fast_polls: list[Any]
) -> None:
    for call in all_calls(f"http://127.0.0.1:{closed_port()}").values():
        assert isinstance(sweep(call, caplog), httpx.ConnectError)
    stalled = AsyncClient(faults.url("stall"), api_key=KEY)
    assert isinstance(
        sweep(lambda: asyncio.run(anext(stalled.jobs.stream_output("j1", read_timeout=0.2))), caplog), httpx.ReadTimeout
    )


def test_waiting_loop_time_out(
    recorder: RecordingServer, caplog: pytest.LogCaptureFixture, fast_polls: list[Any]
) -> None:
    recorder.set_default(200, body={"job_id": "j1", "job_stage": "pre_running"})
    client = AsyncClient(recorder.base_url, api_key=KEY)
    error = sweep(lambda: asyncio.run(client.jobs.await_stage("j1", timeout=0.01)), caplog)
    assert isinstance(error, TimeoutError)


@pytest.mark.parametrize(
    "call",
    [
        lambda client: client.code.get_info(None),
        lambda client: client.code.download(b"c1"),
        lambda client: client.code.upload(ZIP, 5, CodeType.PYTHON),
        lambda client: client.code.get_info("c1", "extra"),
    ],
)
def test_binding_errors(caplog: pytest.LogCaptureFixture, call: Callable[[Client], Any]) -> None:
    error = sweep(lambda: call(Client("http://127.0.0.1:9", api_key=KEY)), caplog)
    assert isinstance(error, TypeError)


@pytest.mark.parametrize(
    "call",
    [
        lambda client: client.jobs.get(1),
        lambda client: client.jobs.await_stage("j1", timeout="5"),
        lambda client: client.jobs.stream_output(job_id=None),
        lambda client: client.web.get_url(),
    ],
)
def test_async_binding_errors(caplog: pytest.LogCaptureFixture, call: Callable[[AsyncClient], Any]) -> None:
    error = sweep(lambda: call(AsyncClient("http://127.0.0.1:9", api_key=KEY)), caplog)
    assert isinstance(error, TypeError)


def test_reprs_hide_the_key(client_class: type[BaseClient]) -> None:
    client = client_class("http://127.0.0.1:9", api_key=KEY)
    shown = [repr(client), str(client), repr(client.code), repr(vars(client.code))]
    assert [text for text in shown if KEY in text] == []


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# --- the command line -------------------------------------------------------------------------------


def run_cli(base_url: str, *args: str, api_key: str = KEY) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, BASE_URL_ENV: base_url, API_KEY_ENV: api_key}
    return subprocess.run(
        [sys.executable, "-m", "vexa.cli", *args], env=env, capture_output=True, text=True, timeout=60
    )


CLI_COMMANDS = [("code", "info", "SOME_ID"), ("jobs", "get", "SOME_ID")]


@pytest.mark.parametrize("command", CLI_COMMANDS, ids=" ".join)
@pytest.mark.parametrize("answer", ["json-detail", "html-page", "closed-port", "cut-body"])
def test_cli_error_output(
    recorder: RecordingServer, faults: FaultServer, command: tuple[str, ...], answer: str
) -> None:
    if answer == "closed-port":
        base_url = f"http://127.0.0.1:{closed_port()}"
    elif answer == "cut-body":
        base_url = faults.url("cut-body")
    else:
        status, body, content_type = ECHO_BODIES[answer]
        recorder.set_default(status, body=body, headers={"Content-Type": content_type})
        base_url = recorder.base_url
    result = run_cli(base_url, *command)
    assert result.returncode == 1, result.stderr
    assert result.stderr.strip() != ""  # the failure is reported
    assert KEY not in result.stdout + result.stderr


@pytest.mark.parametrize("bad_key", [KEY + "\n", "sk\r\nlive-" + KEY])
def test_cli_refuses_a_key_with_a_line_break(recorder: RecordingServer, bad_key: str) -> None:
    result = run_cli(recorder.base_url, "code", "info", "SOME_ID", api_key=bad_key)
    assert result.returncode != 0
    assert "control character" in result.stderr
    assert KEY not in result.stdout + result.stderr
    assert recorder.requests == []
