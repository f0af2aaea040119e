"""The pure-Python twins of the compiled client modules behave as the compiled modules do.

- Selection: which implementation an import gets (environment variable,
  missing or unloadable compiled module), and `vexa.client.NATIVE`.
- Introspection: every class and method of both shows the same names,
  docstrings, defaults, annotations, signatures and coroutine markers.
- Binding: hypothesis calls every method of both with random argument
  shapes; the outcome (the exception's type and text, or the kind of object
  returned) must be equal.
- Requests: every public method of both runs against one recording server
  facing the same answers; the requests (byte for byte, multipart boundary
  aside), results and errors must be equal.

The comparisons need the compiled modules, so they run only where those are
in use; the selection tests run everywhere.
"""

from __future__ import annotations

import asyncio
import copy
import importlib
import inspect
import json
import os
import pickle
import re
import shutil
import ssl
import subprocess
import sys
import types
from decimal import Decimal
from fractions import Fraction
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest
from fuzzing import scaled
from hypothesis import given
from hypothesis import strategies as st
from pydantic import BaseModel
from recording_server import RecordedRequest, RecordingServer

import vexa
import vexa.client
from vexa.client import _modules
from vexa.client._async import AsyncClient
from vexa.client._sync import Client
from vexa.types import CodeType, CodeZip, JobStage, JobStatus, JobType

MODULES = _modules.MODULES
TWINS = {name: _modules.load_twin(name) for name in MODULES}
PACKAGE_DIR = Path(vexa.__file__).parent


def compiled(name: str) -> types.ModuleType:
    return importlib.import_module(name)


def classes(module: types.ModuleType) -> dict[str, type]:
    return {
        name: value
        for name, value in vars(module).items()
        if isinstance(value, type) and value.__module__ == module.__name__
    }


def methods(cls: type) -> dict[str, Any]:
    return {name: value for name, value in vars(cls).items() if callable(value)}


ALL_METHODS = [
    (module, class_name, method_name)
    for module in MODULES
    for class_name, cls in classes(TWINS[module]).items()
    for method_name in methods(cls)
]


# --- selection ---------------------------------------------------------------------------

PROBE = """
import importlib, json, sys, vexa.client
from vexa.client._async import _jobs, _web
from vexa.client._sync import _code, _jobs as sync_jobs, _web as sync_web
import vexa.client._async._jobs as jobs_again
import vexa.client._sync._jobs as sync_jobs_again
modules = [importlib.import_module(name) for name in sys.argv[1:]]
print(json.dumps({
    "native": vexa.client.NATIVE,
    "files": {m.__name__: m.__file__.rsplit("/vexa/", 1)[1] for m in modules},
    "modules": [next(v for v in vars(m).values() if isinstance(v, type) and v.__module__ == m.__name__).__module__
                for m in modules],
    "same": jobs_again is _jobs is sys.modules["vexa.client._async._jobs"]
            and sync_jobs_again is sync_jobs is sys.modules["vexa.client._sync._jobs"]
            and (_code, sync_web, _web) == tuple(sys.modules[n] for n in
                ("vexa.client._sync._code", "vexa.client._sync._web", "vexa.client._async._web")),
}))
"""


def probe(env: dict[str, str], path: Path | None = None) -> dict[str, Any]:
    environment = {key: value for key, value in os.environ.items() if key != _modules.NO_EXTENSIONS_ENV}
    environment.update(env)
    if path is not None:
        environment["PYTHONPATH"] = str(path)
    result = subprocess.run(
        [sys.executable, "-c", PROBE, *MODULES],
        env=environment,
        capture_output=True,
        text=True,
        check=True,
        cwd=path or "/",
    )
    return json.loads(result.stdout)  # type: ignore[no-any-return]


def compiled_library(name: str) -> bool:
    """True when the installed package holds the compiled module `name`."""
    path = PACKAGE_DIR.parent / name.replace(".", "/")
    return any(path.parent.glob(f"{path.name}.*.so"))


def installed_compiled() -> bool:
    """True when the installed package holds every compiled module."""
    return all(compiled_library(name) for name in MODULES)


PURE_FILES = {name: f"client/_pure/{file}" for name, file in _modules.TWIN_FILES.items()}


@pytest.mark.parametrize("value, forced", [("1", True), ("yes", True), ("0", False), ("", False)])
def test_the_environment_variable_forces_the_twins(value: str, forced: bool) -> None:
    seen = probe({_modules.NO_EXTENSIONS_ENV: value})
    assert seen["native"] is (installed_compiled() and not forced)
    assert seen["modules"] == list(MODULES)
    assert seen["same"] is True
    # Each module on its own: compiled where its library is installed, unless forced.
    assert list(seen["files"]) == list(MODULES)
    for name, file in seen["files"].items():
        native = compiled_library(name) and not forced
        assert (file == PURE_FILES[name]) is not native, name
        assert file.endswith(".so") is native, name


@pytest.mark.native_only
def test_a_compiled_module_that_does_not_load_leaves_its_place_to_the_twin(tmp_path: Path) -> None:
    # A copy of the installed package whose _jobs library is not a loadable library.
    shutil.copytree(PACKAGE_DIR, tmp_path / "vexa")
    (library,) = (tmp_path / "vexa/client/_async").glob("_jobs.*.so")
    library.write_bytes(b"not an ELF file")
    seen = probe({}, tmp_path)
    assert seen["native"] is False
    assert seen["files"]["vexa.client._async._jobs"] == PURE_FILES["vexa.client._async._jobs"]
    for name in MODULES:
        if name != "vexa.client._async._jobs":
            assert seen["files"][name].endswith(".so"), name
    assert seen["modules"] == list(MODULES)


def test_native_flag_matches_the_modules_in_use() -> None:
    in_use = [importlib.import_module(name) for name in MODULES]
    assert vexa.client.NATIVE is all(_modules.is_native(module) for module in in_use)
    forced = _modules.extensions_disabled()
    assert [_modules.is_native(module) for module in in_use] == [
        compiled_library(name) and not forced for name in MODULES
    ]


# --- introspection ----------------------------------------------------------------------------

native_only = pytest.mark.native_only


def coroutine_markers(function: Any) -> tuple[bool, ...]:
    return (
        inspect.iscoroutinefunction(function),
        inspect.isasyncgenfunction(function),
        asyncio.iscoroutinefunction(function),
        getattr(function, "_is_coroutine", None) is getattr(asyncio.coroutines, "_is_coroutine", True),
    )


CLASS_STATEMENT_KEYS = {"__firstlineno__", "__static_attributes__"}


@native_only
@pytest.mark.parametrize("module", MODULES)
def test_same_classes_and_public_namespace(module: str) -> None:
    native, twin = compiled(module), TWINS[module]
    public = [name for name in vars(native) if not name.startswith("_")]
    assert [name for name in vars(twin) if not name.startswith("_")] == public
    for name in public:
        if not isinstance(vars(native)[name], type) or vars(native)[name].__module__ != module:
            assert vars(twin)[name] is vars(native)[name], name
    for name, cls in classes(native).items():
        twin_class = classes(twin)[name]
        assert (twin_class.__qualname__, twin_class.__bases__) == (cls.__qualname__, cls.__bases__)
        # A class statement also records where it stands (3.13 and later): not
        # something the twins can leave out, nor the compiled modules have.
        written = [key for key in vars(twin_class) if key not in CLASS_STATEMENT_KEYS]
        assert written == list(vars(cls))


@native_only
@pytest.mark.parametrize("module, class_name, method_name", ALL_METHODS)
def test_same_method_introspection(module: str, class_name: str, method_name: str) -> None:
    native = vars(classes(compiled(module))[class_name])[method_name]
    twin = vars(classes(TWINS[module])[class_name])[method_name]
    attributes = (
        "__name__",
        "__qualname__",
        "__module__",
        "__doc__",
        "__defaults__",
        "__kwdefaults__",
        "__annotations__",
        "__closure__",
    )
    assert [getattr(twin, name) for name in attributes] == [getattr(native, name) for name in attributes]
    assert inspect.signature(twin) == inspect.signature(native)
    assert coroutine_markers(twin) == coroutine_markers(native)
    assert coroutine_markers(twin.__get__(object())) == coroutine_markers(native.__get__(object()))
    code, native_code = twin.__code__, native.__code__
    assert code.co_varnames[: code.co_argcount] == native_code.co_varnames[: native_code.co_argcount]
    assert repr(twin).split(" at ")[0] == repr(native).split(" at ")[0]
    # Nothing of what a twin's method object is made of shows (it is a partial, for its C-level call).
    assert [hasattr(twin, name) for name in ("args", "keywords")] == [
        hasattr(native, name) for name in ("args", "keywords")
    ]
    assert [outcome(lambda: duplicate(twin))[:2] for duplicate in (copy.copy, pickle.dumps)] == [
        ("raised", TypeError)
    ] * 2
    assert [outcome(lambda: duplicate(native))[:2] for duplicate in (copy.copy, pickle.dumps)] == [
        ("raised", TypeError)
    ] * 2


# --- binding ----------------------------------------------------------------------------------


class Stopped(Exception):
    """Raised by the probe object on any attribute read: a body started."""


class Probe:
    """Stands for `self`: the body's first attribute read stops it."""

    def __getattr__(self, name: str) -> Any:
        raise Stopped(name)


class TruthFails:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("no truth here")


class FloatLike:
    def __float__(self) -> float:
        return 2.5


class IndexLike:
    def __index__(self) -> int:
        return 7


class BadFloat:
    def __float__(self) -> Any:
        return "not a float"


class StrSub(str):
    pass


class FloatSub(float):
    def __float__(self) -> float:
        return -1.0


VALUES = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.just(10**400),
    st.floats(allow_nan=False),
    st.text(max_size=5),
    st.builds(StrSub, st.text(max_size=3)),
    st.builds(FloatSub, st.floats(allow_nan=False)),
    st.sampled_from([Decimal("1.5"), Fraction(1, 3), b"x", [], {}, (), 1j, JobStage.RUNNING, CodeType.WEB]),
    st.builds(TruthFails),
    st.builds(FloatLike),
    st.builds(IndexLike),
    st.builds(BadFloat),
)


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        result = call()
    except Stopped as stop:
        return ("body started", str(stop))
    except Exception as error:  # noqa: BLE001 - the error is the observation
        return ("raised", type(error), str(error))
    # Coroutine or asynchronous generator (native or not): closed unstarted.
    kind = "asyncgen" if hasattr(result, "aclose") else "coroutine" if hasattr(result, "send") else repr(result)
    if hasattr(result, "aclose"):
        asyncio.run(result.aclose())
    elif hasattr(result, "send"):
        result.close()
    return ("returned", kind)


@st.composite
def call_shapes(draw: st.DrawFn, names: tuple[str, ...]) -> tuple[list[Any], dict[str, Any]]:
    positional = draw(st.lists(VALUES, max_size=len(names) + 1))
    keywords = draw(st.lists(st.sampled_from([*names, "bogus", "self"]), max_size=3, unique=True))
    return positional, {keyword: draw(VALUES) for keyword in keywords}


@native_only
@pytest.mark.parametrize("module, class_name, method_name", ALL_METHODS)
def test_binding_agrees_on_random_calls(module: str, class_name: str, method_name: str) -> None:
    native = vars(classes(compiled(module))[class_name])[method_name]
    twin = vars(classes(TWINS[module])[class_name])[method_name]
    names = tuple(inspect.signature(native).parameters)[1:]

    @scaled(0.3)
    @given(call_shapes(names))
    def check(shape: tuple[list[Any], dict[str, Any]]) -> None:
        args, kwargs = shape
        # As a plain function (self given by position or keyword) and bound to an instance.
        for with_self in ((Probe(), *args), tuple(args)):
            assert outcome(lambda: twin(*with_self, **kwargs)) == outcome(lambda: native(*with_self, **kwargs))
        instance = Probe()
        assert outcome(lambda: twin.__get__(instance)(*args, **kwargs)) == outcome(
            lambda: native.__get__(instance)(*args, **kwargs)
        )

    check()


@native_only
def test_a_refused_argument_is_named_by_its_type_as_it_is_called_now() -> None:
    """The type shown in a refusal is the argument's type's name at that call:
    the interpreter's own types (which the twins remember) and a class of the
    caller's that is renamed between two calls."""
    twin = classes(TWINS["vexa.client._sync._code"])["CodeClient"].get_info
    native = classes(compiled("vexa.client._sync._code"))["CodeClient"].get_info
    Renamed = type("Before", (), {})
    seen = []
    for name in ("Before", "After"):
        Renamed.__name__ = name
        for value in (1, None, Decimal("1"), Renamed()):
            seen.append(outcome(lambda: twin(Probe(), value)))
            assert seen[-1] == outcome(lambda: native(Probe(), value))
    assert [text.rsplit("got ", 1)[1] for _, _, text in seen] == [
        *("int)", "NoneType)", "decimal.Decimal)", "Before)"),
        *("int)", "NoneType)", "decimal.Decimal)", "After)"),
    ]


# --- requests ---------------------------------------------------------------------------------

API_KEY = "twin-key"
ZIP = CodeZip(zip_bytes=b"PK\x05\x06" + b"\x00" * 18)
JOB = {"job_id": "j1", "job_type": "run", "job_status": "finished", "job_stage": "pre_running", "code_id": "c1"}
INFO = {"code_id": "c1", "code_name": "n", "code_type": "web"}

# Every answer every method faces: what it expects, and what it does not.
ANSWERS: dict[str, tuple[int, Any]] = {
    "job": (200, JOB),
    "info": (200, INFO),
    "list": (200, [JOB, {**JOB, "job_id": "j2"}]),
    "infos": (200, [INFO]),
    "text": (200, "  c9 \n"),
    "lines": (200, b'{"text": "a"}\n\n{"text": "b"}\n'),
    "null": (200, None),
    "not-found": (404, {"detail": "no such thing"}),
    "server-error": (500, "broken"),
    "redirect": (302, ""),
}

# (module, attribute path from the world's root client, method, args, kwargs)
CALLS: list[tuple[str, str, tuple[Any, ...], dict[str, Any]]] = [
    ("code", "get_info", ("c1",), {}),
    ("code", "list_info", (), {}),
    ("code", "list_info", (CodeType.PYTHON,), {}),
    ("code", "get_metadata", ("a/b?c",), {}),
    ("code", "delete", ("c1",), {}),
    ("code", "upload", (ZIP, "name", CodeType.PYTHON, {"meta": 1}), {}),
    ("code", "ingest", (ZIP, "name", CodeType.WEB), {"build_pexenv": 1, "pexenv_python": "3.11"}),
    ("code", "download", ("c1",), {}),
    ("jobs", "get", ("j1",), {}),
    ("jobs", "list", (), {"job_type": JobType.WEB, "job_stage": JobStage.RUNNING}),
    ("jobs", "list", (), {}),
    ("jobs", "get_url", ("j1",), {}),
    ("jobs", "get_status", ("j1",), {}),
    ("jobs", "get_stage", ("j1",), {}),
    ("jobs", "get_error", ("j1",), {}),
    ("jobs", "get_code_id", ("j1",), {}),
    ("jobs", "get_result", ("j1",), {}),
    ("jobs", "terminate", ("j1",), {}),
    ("jobs", "stream_output", ("j1",), {"read_timeout": 5}),
    ("jobs", "await_stage", ("j1",), {"timeout": 0}),
    ("jobs", "await_stage", ("j1", 0, JobStage.RUNNING), {}),
    ("jobs", "is_healthy", ("j1",), {}),
    ("jobs", "await_healthy", ("j1", 0), {}),
    ("jobs", "get_latest", (CodeType.WEB,), {}),
    ("jobs", "list_failed", (), {}),
    ("jobs", "list_post_running", (CodeType.PYTHON,), {}),
    ("web", "run", (ZIP,), {}),
    ("web", "get_url", ("j1",), {}),
    ("web", "upload", (ZIP, "name"), {"metadata": {"m": True}}),
    ("web", "is_healthy", ("j1",), {}),
    ("web", "await_healthy", ("j1",), {"timeout": 0}),
    ("web", "ingest", (ZIP, "name"), {"build_pexenv": True}),
    ("web.stored", "run", ("c1",), {}),
    ("web.stored", "list_info", (), {}),
    ("web.stored", "delete", ("c1",), {}),
    ("web.jobs", "list", (JobStatus.FAILED,), {}),
    ("web.jobs", "get_latest", (), {}),
    ("web.jobs", "list_timed_out", (), {}),
]
# The synchronous jobs and web clients make the calls of their asynchronous twins.
CALLS += [(f"sync.{target}", *call) for target, *call in CALLS if target != "code"]


def world(
    kind: str, base_url: str, parents: tuple[type[Client], type[AsyncClient]] = (Client, AsyncClient)
) -> tuple[Client, AsyncClient]:
    """Parent clients whose sub-clients all come from the compiled modules or all from the twins."""
    module = {name: compiled(name) if kind == "native" else TWINS[name] for name in MODULES}
    client = parents[0](base_url, api_key=API_KEY)
    client.code = module["vexa.client._sync._code"].CodeClient(client)
    client.jobs = module["vexa.client._sync._jobs"].JobsClient(client)
    client.web = module["vexa.client._sync._web"].WebClient(client)
    async_client = parents[1](base_url, api_key=API_KEY)
    async_client.jobs = module["vexa.client._async._jobs"].AsyncJobsClient(async_client)
    async_client.web = module["vexa.client._async._web"].AsyncWebClient(async_client)
    return client, async_client


def observe(result: Any) -> Any:
    if isinstance(result, BaseException):
        context = result.__context__
        return ("raised", type(result), str(result), type(context) if context else None)
    if isinstance(result, list):
        return ("list", [observe(item) for item in result])
    if isinstance(result, BaseModel):
        return (type(result), result.model_dump(mode="json"))
    return (type(result), result)


def normalised(request: RecordedRequest) -> tuple[Any, ...]:
    """The request as sent, with the random multipart boundary replaced."""
    headers, body = list(request.headers), request.body
    boundary = re.search(r"boundary=([\w-]+)", request.header("content-type") or "")
    if boundary:
        body = body.replace(boundary.group(1).encode(), b"BOUNDARY")
        headers = [(name, value.replace(boundary.group(1), "BOUNDARY")) for name, value in headers]
    return (request.method, request.target, headers, body)


def run(kind: str, recorder: RecordingServer, target: str, method: str, args: Any, kwargs: Any) -> tuple[Any, Any]:
    client, async_client = world(kind, recorder.base_url)
    recorder.reset()

    async def call_async() -> Any:
        sub_client: Any = async_client
        for name in target.split("."):
            sub_client = getattr(sub_client, name)
        result = getattr(sub_client, method)(*args, **kwargs)
        if hasattr(result, "__anext__"):
            return [item async for item in result]
        return await result if inspect.isawaitable(result) else result

    def call_sync() -> Any:
        sub_client: Any = client
        for name in target.split(".")[1:]:
            sub_client = getattr(sub_client, name)
        result = getattr(sub_client, method)(*args, **kwargs)
        return list(result) if inspect.isgenerator(result) or hasattr(result, "__next__") else result

    try:
        if target == "code":
            result = getattr(client.code, method)(*args, **kwargs)
        elif target.startswith("sync."):
            result = call_sync()
        else:
            result = asyncio.run(call_async())
    except Exception as error:  # noqa: BLE001 - the error is the observation
        result = error
    return observe(result), [normalised(request) for request in recorder.requests]


@native_only
@pytest.mark.parametrize("answer", list(ANSWERS))
@pytest.mark.parametrize("target, method, args, kwargs", CALLS, ids=lambda value: str(value)[:30])
def test_every_method_sends_and_returns_the_same(
    recorder: RecordingServer, target: str, method: str, args: Any, kwargs: Any, answer: str
) -> None:
    status, body = ANSWERS[answer]
    recorder.set_default(status, body)
    native = run("native", recorder, target, method, args, kwargs)
    twin = run("twin", recorder, target, method, args, kwargs)
    assert twin == native


@pytest.mark.parametrize("answer", list(ANSWERS))
@pytest.mark.parametrize(
    "target, method, args, kwargs",
    [call for call in CALLS if call[0].startswith("sync.")],
    ids=lambda value: str(value)[:30],
)
def test_each_synchronous_twin_sends_and_returns_as_its_asynchronous_twin(
    recorder: RecordingServer, target: str, method: str, args: Any, kwargs: Any, answer: str
) -> None:
    status, body = ANSWERS[answer]
    recorder.set_default(status, body)
    blocking = run("twin", recorder, target, method, args, kwargs)
    awaited = run("twin", recorder, target.removeprefix("sync."), method, args, kwargs)
    assert blocking == awaited


# --- the parent's shared client and TLS context -------------------------------------------------


class RecordingHttpx(types.SimpleNamespace):
    """The real httpx, with the keyword arguments of each client or function call noted."""

    def __init__(self) -> None:
        super().__init__()
        self.calls: list[tuple[str, dict[str, Any]]] = []

    def __getattr__(self, name: str) -> Any:
        real = getattr(httpx, name)
        if name not in ("AsyncClient", "get", "post", "delete", "stream"):
            return real

        def call(*args: Any, **kwargs: Any) -> Any:
            self.calls.append((name, {key: value for key, value in kwargs.items() if key == "verify"}))
            return real(*args, **kwargs)

        return call


def _no_ssl_context(parent: object) -> Any:
    raise AttributeError("_ssl_context")


@pytest.mark.parametrize("context", [None, "context"], ids=["no-context", "context"])
@pytest.mark.parametrize("has_attribute", [False, True], ids=["plain-parent", "parent-with-attribute"])
def test_a_tls_context_of_the_parent_reaches_every_http_client_of_its_own(
    recorder: RecordingServer, monkeypatch: pytest.MonkeyPatch, context: str | None, has_attribute: bool
) -> None:
    tls = ssl.create_default_context() if context else None
    recorded = RecordingHttpx()
    for module in TWINS.values():
        monkeypatch.setattr(module, "httpx", recorded)
    # The package's parents always have the member: these have it as given, or not at all.
    member = tls if has_attribute else property(_no_ssl_context)
    parents = (
        type("Parent", (Client,), {"_ssl_context": member}),
        type("AsyncParent", (AsyncClient,), {"_ssl_context": member}),
    )
    client, async_client = world("twin", recorder.base_url, parents)
    recorder.set_default(200, JOB)
    client.code.get_info("c1")
    client.code.download("c1")
    client.jobs.get("j1")
    client.jobs.get_result("j1")
    client.web.stored.run("c1")
    asyncio.run(async_client.jobs.get("j1"))
    asyncio.run(async_client.web.stored.run("c1"))
    expected = {"verify": tls} if has_attribute and tls is not None else {}
    assert recorded.calls == [
        ("get", expected),
        ("stream", expected),
        ("get", expected),
        ("stream", expected),
        ("post", expected),
        ("AsyncClient", expected),
        ("AsyncClient", expected),
    ]
    # A shared client wins: nothing of the module's own is opened.
    recorded.calls.clear()
    with httpx.Client() as shared:
        client._http_client = shared
        client.code.get_info("c1")
        client.jobs.get("j1")
    assert recorded.calls == []
    assert len(recorder.requests) == 9


# --- the parent's optional members, read as getattr(parent, name, None) reads them ------------------


class SlotParentClient(Client):
    __slots__ = ("_ssl_context",)  # a slot never set: reading it raises AttributeError


def _parent_member_kinds() -> dict[str, dict[str, Any]]:
    def raising(error: Exception) -> property:
        def read(parent: object) -> Any:
            raise error

        return property(read, lambda parent, value: None)  # the parent's __init__ may set it

    return {
        "missing": {"_ssl_context": raising(AttributeError("_ssl_context"))},
        "none": {"_ssl_context": None},
        "from-getattr": {
            "_ssl_context": raising(AttributeError("_ssl_context")),
            "__getattr__": lambda parent, name: None,
        },
        "getattr-refuses": {
            "_ssl_context": raising(AttributeError("_ssl_context")),
            "__getattr__": lambda parent, name: (_ for _ in ()).throw(AttributeError(name)),
        },
        "read-fails": {"_ssl_context": raising(LookupError("no context here"))},
        "shared-read-fails": {"_http_client": raising(LookupError("no client here"))},
    }


@native_only
@pytest.mark.parametrize("member_kind", list(_parent_member_kinds()))
def test_optional_parent_members_are_read_as_python_reads_them(recorder: RecordingServer, member_kind: str) -> None:
    """A missing member means none; any other failure of the read is the caller's."""
    members = _parent_member_kinds()[member_kind]
    parents = (type("Parent", (Client,), dict(members)), type("AsyncParent", (AsyncClient,), dict(members)))
    seen = {}
    for kind in ("native", "twin"):
        client, async_client = world(kind, recorder.base_url, parents)
        recorder.set_default(200, JOB)
        results = []
        for call in (lambda: client.code.get_info("c1"), lambda: asyncio.run(async_client.jobs.get("j1"))):
            try:
                results.append(observe(call()))
            except Exception as error:  # noqa: BLE001 - the error is the observation
                results.append(observe(error))
        seen[kind] = results
    assert seen["native"] == seen["twin"]
    failing = member_kind.endswith("read-fails")
    assert all((result[0] == "raised" and result[1] is LookupError) == failing for result in seen["native"])


@native_only
def test_an_unset_slot_is_a_missing_member(recorder: RecordingServer) -> None:
    recorder.set_default(200, INFO)
    for kind in ("native", "twin"):
        client, _ = world(kind, recorder.base_url, (SlotParentClient, AsyncClient))
        assert client.code.get_info("c1").code_id == "c1"
