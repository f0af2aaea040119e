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


# --- class attributes of globals (`JobStage.RUNNING`) ---------------------------------------------


class Descriptor:
    """A non-data descriptor: what it binds to is the value."""

    def __init__(self, value: str) -> None:
        self.value = value

    def __get__(self, instance: Any, owner: Any = None) -> str:
        return self.value


class DataDescriptor(Descriptor):
    def __set__(self, instance: Any, value: Any) -> None:
        raise AttributeError("read-only")


class FallbackMeta(type):
    """As enum's metaclass up to 3.11: a __getattr__ for what the class lacks."""

    def __getattr__(cls, name: str) -> str:
        if name == "RUNNING":
            return "from-meta-getattr"
        raise AttributeError(name)


class OwnLookupMeta(type):
    def __getattribute__(cls, name: str) -> Any:
        return "from-meta-getattribute" if name == "RUNNING" else super().__getattribute__(name)


class DataMeta(type):
    RUNNING = DataDescriptor("from-meta-data-descriptor")


class NonDataMeta(type):
    RUNNING = Descriptor("from-meta-non-data-descriptor")


class Base:
    RUNNING = "inherited"


STAGES: dict[str, Callable[[], type]] = {
    "plain": lambda: type("Stage", (), {"RUNNING": "plain"}),
    "inherited": lambda: type("Stage", (Base,), {}),
    "meta-getattr, attribute present": lambda: FallbackMeta("Stage", (), {"RUNNING": "present"}),
    "meta-getattr, attribute missing": lambda: FallbackMeta("Stage", (), {}),
    "meta-getattribute": lambda: OwnLookupMeta("Stage", (), {"RUNNING": "shadowed"}),
    "meta data descriptor": lambda: DataMeta("Stage", (), {"RUNNING": "shadowed"}),
    "meta non-data descriptor, class attribute": lambda: NonDataMeta("Stage", (), {"RUNNING": "class-wins"}),
    "meta non-data descriptor alone": lambda: NonDataMeta("Stage", (), {}),
    "class descriptor": lambda: type("Stage", (), {"RUNNING": Descriptor("bound")}),
}


@pytest.mark.parametrize("kind", STAGES)
def test_a_class_attribute_of_a_global_is_read_as_python_reads_it(
    recorder: RecordingServer, monkeypatch: pytest.MonkeyPatch, kind: str
) -> None:
    """`JobStage.RUNNING` (the filter of list_running) for stand-ins of every
    shape of class attribute lookup: the request carries what Python's own
    `getattr` gives, read again at every call."""
    namespace = dict(vars(jobs_module))
    recorder.set_default(200, body=[])
    stage = STAGES[kind]()
    monkeypatch.setattr(jobs_module, "JobStage", stage)
    client = AsyncClient(recorder.base_url)
    try:
        expected = [str(stage.RUNNING)]
        asyncio.run(client.jobs.list_running())
        if stage.RUNNING is vars(stage).get("RUNNING"):  # the class's own value is what is read
            type.__setattr__(stage, "RUNNING", "changed")  # as the class changes, so does the read
            expected.append(str(stage.RUNNING))
            asyncio.run(client.jobs.list_running())
        sent = [request.target for request in recorder.wait_for_requests(len(expected))]
        assert sent == [f"/jobs?job_stage={value}" for value in expected]
    finally:
        monkeypatch.undo()
        vars(jobs_module).clear()
        vars(jobs_module).update(namespace)
