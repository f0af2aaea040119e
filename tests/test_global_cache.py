"""Module globals are looked up at every use, as in Python code, though the
native modules keep what they found while the namespaces stay the same.

Each case replaces a global that a call uses, in the module's namespace and
then through builtins (where a name missing from the module is looked up),
and checks that the very next call uses what is there now, and that removing
it everywhere gives Python's NameError.
"""

from __future__ import annotations

import asyncio
import builtins
from types import ModuleType
from typing import Any, Callable

import pytest
from recording_server import RecordingServer

import vexa.client._async._jobs as jobs_module
import vexa.client._async._web as web_module
import vexa.client._sync._code as code_module
from vexa.client._async import AsyncClient
from vexa.client._sync import Client

INFO = {"code_id": "c1", "code_name": "n", "code_type": "python"}
JOB = {"job_id": "j1", "job_status": "queued", "job_stage": "pre_running"}


class Marker:
    """Stands for a model class: keeps the keyword arguments it was built from."""

    def __init__(self, **fields: Any) -> None:
        self.fields = fields


class OtherMarker(Marker):
    pass


# module, global name, the answer, a call that builds its result with that global
CASES: dict[str, tuple[ModuleType, str, Any, Callable[[str], Any]]] = {
    "CodeClient.get_info / CodeInfo": (
        code_module,
        "CodeInfo",
        INFO,
        lambda url: Client(url).code.get_info("c1"),
    ),
    "AsyncJobsClient.get / Job": (
        jobs_module,
        "Job",
        JOB,
        lambda url: asyncio.run(AsyncClient(url).jobs.get("j1")),
    ),
    "AsyncStoredWebClient.run / Job": (
        web_module,
        "Job",
        JOB,
        lambda url: asyncio.run(AsyncClient(url).web.stored.run("c1")),
    ),
}


@pytest.mark.parametrize("name", CASES)
def test_a_replaced_global_is_used_by_the_next_call(
    recorder: RecordingServer, monkeypatch: pytest.MonkeyPatch, name: str
) -> None:
    module, global_name, body, run = CASES[name]
    namespace = dict(vars(module))  # restored in its order at the end: other tests compare namespaces
    recorder.set_default(200, body=body)
    original = getattr(module, global_name)
    assert type(run(recorder.base_url)) is original  # the first calls fill the cache
    assert type(run(recorder.base_url)) is original

    monkeypatch.setattr(module, global_name, Marker)
    result = run(recorder.base_url)
    assert type(result) is Marker and result.fields == body

    # Gone from the module: found in builtins, and a change there is seen too.
    monkeypatch.delattr(module, global_name)
    monkeypatch.setattr(builtins, global_name, Marker, raising=False)
    assert type(run(recorder.base_url)) is Marker
    monkeypatch.setattr(builtins, global_name, OtherMarker)
    assert type(run(recorder.base_url)) is OtherMarker

    monkeypatch.delattr(builtins, global_name)
    with pytest.raises(NameError, match=f"^name '{global_name}' is not defined$"):
        run(recorder.base_url)

    monkeypatch.undo()
    vars(module).clear()
    vars(module).update(namespace)
    assert type(run(recorder.base_url)) is original


def test_a_replaced_module_is_used_by_the_next_call(recorder: RecordingServer, monkeypatch: pytest.MonkeyPatch) -> None:
    """The `httpx` global itself: a stand-in module answers the next request."""
    recorder.set_default(200, body=INFO)
    client = Client(recorder.base_url)
    client.code.get_info("c1")
    sent: list[str] = []

    class Response:
        def raise_for_status(self) -> None:
            pass

        def json(self) -> Any:
            return INFO

    stand_in = ModuleType("httpx")
    stand_in.get = lambda url, **kwargs: sent.append(url) or Response()  # type: ignore[attr-defined]
    monkeypatch.setattr(code_module, "httpx", stand_in)
    client.code.get_info("c2")
    assert sent == [f"{recorder.base_url}/code/c2/info"]
    monkeypatch.undo()
    client.code.get_info("c3")
    assert [request.path for request in recorder.wait_for_requests(2)] == ["/code/c1/info", "/code/c3/info"]
