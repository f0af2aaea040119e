"""The module frame as `CodeClient` shows it: namespace, class, method objects,
argument binding, tracebacks and module initialisation."""

from __future__ import annotations

import _imp
import asyncio
import builtins
import contextlib
import importlib
import inspect
import io
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import traceback
import warnings
from email import policy
from email.parser import BytesParser
from pathlib import Path
from typing import Any, Callable, Iterator

import httpx
import pytest
from recording_server import RecordingServer

import vexa
import vexa.types
from vexa.client._sync import Client, _code
from vexa.client._sync._code import CodeClient
from vexa.types import CodeType, CodeZip, NotFoundError

MODULE_NAME = "vexa.client._sync._code"
SOURCE = "vexa/client/_sync/_code"
PROJECT_ROOT = Path(vexa.__file__).resolve().parent.parent
SO_PATH = Path(_code.__file__)
API_KEY = "test-key"
ZIP = CodeZip(zip_bytes=b"PK\x05\x06" + b"\0" * 18)

METHOD_ORDER = ["__init__", "upload", "download", "delete", "get_info", "list_info", "get_metadata", "ingest"]
UPLOAD_PARAMS = ("self", "code_zip", "code_name", "code_type", "metadata")
UPLOAD_ANNOTATIONS = {
    "code_zip": "CodeZip",
    "code_name": "str",
    "code_type": "CodeType",
    "metadata": "JsonData | dict | None",
}

# name: (definition line, co_varnames, __defaults__, __annotations__)
METHODS: dict[str, tuple[int, tuple[str, ...], tuple | None, dict[str, str]]] = {
    "__init__": (15, ("self", "client"), None, {"client": "Client"}),
    "upload": (
        18,
        UPLOAD_PARAMS + ("url", "files", "data", "response", "e"),
        (None,),
        {**UPLOAD_ANNOTATIONS, "return": "str"},
    ),
    "download": (
        53,
        ("self", "code_id", "zip_path", "url", "response", "zip_bytes", "e"),
        (None,),
        {"code_id": "str", "zip_path": "Path | str | None", "return": "CodeZip"},
    ),
    "delete": (78, ("self", "code_id", "url", "response", "e"), None, {"code_id": "str", "return": "str"}),
    "get_info": (98, ("self", "code_id", "url", "response", "e"), None, {"code_id": "str", "return": "CodeInfo"}),
    "list_info": (
        118,
        ("self", "code_type", "url", "params", "response", "e", "item"),
        (None,),
        {"code_type": "CodeType | None", "return": "list[CodeInfo]"},
    ),
    "get_metadata": (
        141,
        ("self", "code_id", "url", "response", "e"),
        None,
        {"code_id": "str", "return": "JsonData"},
    ),
    "ingest": (
        161,
        UPLOAD_PARAMS + ("build_pexenv", "pexenv_python", "url", "files", "data", "response", "e"),
        (None, False, None),
        {**UPLOAD_ANNOTATIONS, "build_pexenv": "bool", "pexenv_python": "str | None", "return": "Job"},
    ),
}
ARGCOUNTS = {
    "__init__": 2,
    "upload": 5,
    "download": 3,
    "delete": 2,
    "get_info": 2,
    "list_info": 2,
    "get_metadata": 2,
    "ingest": 7,
}

UPLOAD_ARGS = [
    "code_zip (CodeZip): The code zip.",
    "code_name (str): The name of the code.",
    "code_type (CodeType): The type of the code.",
    "metadata (JsonData | dict | None): The JSON metadata of the code.",
]


def docstring(signature: str, summary: str, args: list[str], returns: str) -> str:
    lines = [signature, "", summary, "", "Args:"]
    lines += ["    " + entry for entry in args]
    lines += ["", "Returns:", "    " + returns, "", "Raises:", "    HTTPException: If the request fails."]
    return "\n".join(lines)


DOCS = {
    "__init__": "CodeClient.__init__(self, client: Client)",
    "get_info": docstring(
        "CodeClient.get_info(self, str code_id: str) -> CodeInfo",
        "Gets the code info.",
        ["code_id (str): The code ID."],
        "CodeInfo: The code info.",
    ),
    "list_info": docstring(
        "CodeClient.list_info(self, code_type: CodeType | None = None) -> list[CodeInfo]",
        "Gets list of code infos.",
        ["code_type (CodeType | None): The type of code to list."],
        "list[CodeInfo]: The list of code infos.",
    ),
    "get_metadata": docstring(
        "CodeClient.get_metadata(self, str code_id: str) -> JsonData",
        "Gets code metadata.",
        ["code_id (str): The ID of the code."],
        "JsonData: The metadata.",
    ),
    "delete": docstring(
        "CodeClient.delete(self, str code_id: str) -> str",
        "Deletes code by code_id.",
        ["code_id (str): The code ID."],
        "str: Confirmation message.",
    ),
    "upload": docstring(
        "CodeClient.upload(self, code_zip: CodeZip, str code_name: str, code_type: CodeType, "
        "metadata: JsonData | dict | None = None) -> str",
        "Upload code.",
        UPLOAD_ARGS,
        "str: The code ID.",
    ),
    "ingest": docstring(
        "CodeClient.ingest(self, code_zip: CodeZip, str code_name: str, code_type: CodeType, "
        "metadata: JsonData | dict | None = None, bool build_pexenv: bool = False, "
        "str pexenv_python: str | None = None) -> Job",
        "Starts a code ingestion job.",
        UPLOAD_ARGS
        + [
            "build_pexenv (bool): Whether to build the pex venv.",
            "pexenv_python: (str | None): Python interpreter for the pex venv.",
        ],
        "Job: The code ingestion job.",
    ),
    "download": docstring(
        "CodeClient.download(self, str code_id: str, zip_path: Path | str | None = None) -> CodeZip",
        "Download code and optionally saves it to a file.",
        ["code_id (str): The code ID.", "zip_path (Path | str | None): The path to save the code zip file to."],
        "CodeZip: The downloaded code zip.",
    ),
}

SIGNATURES = {
    "__init__": "(self, client: 'Client')",
    "upload": "(self, code_zip: 'CodeZip', code_name: 'str', code_type: 'CodeType', "
    "metadata: 'JsonData | dict | None' = None) -> 'str'",
    "download": "(self, code_id: 'str', zip_path: 'Path | str | None' = None) -> 'CodeZip'",
    "delete": "(self, code_id: 'str') -> 'str'",
    "get_info": "(self, code_id: 'str') -> 'CodeInfo'",
    "list_info": "(self, code_type: 'CodeType | None' = None) -> 'list[CodeInfo]'",
    "get_metadata": "(self, code_id: 'str') -> 'JsonData'",
    "ingest": "(self, code_zip: 'CodeZip', code_name: 'str', code_type: 'CodeType', "
    "metadata: 'JsonData | dict | None' = None, build_pexenv: 'bool' = False, "
    "pexenv_python: 'str | None' = None) -> 'Job'",
}


@pytest.fixture
def client(recorder: RecordingServer) -> CodeClient:
    return Client(recorder.base_url, api_key=API_KEY).code


@pytest.fixture
def keep_method_attributes() -> Iterator[Callable[[str], Any]]:
    """Hands out a method and restores its writable attributes afterwards."""
    saved: list[tuple[Any, dict[str, Any]]] = []

    def take(name: str) -> Any:
        method = vars(CodeClient)[name]
        names = ("__name__", "__qualname__", "__doc__", "__defaults__", "__kwdefaults__", "__annotations__")
        saved.append((method, {attr: getattr(method, attr) for attr in names} | {"__dict__": dict(method.__dict__)}))
        return method

    yield take
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for method, attributes in saved:
            method.__dict__.clear()
            method.__dict__.update(attributes.pop("__dict__"))
            for attr, value in attributes.items():
                setattr(method, attr, value)


def multipart_fields(request: Any) -> list[tuple[str, bytes]]:
    message = BytesParser(policy=policy.HTTP).parsebytes(
        b"Content-Type: " + request.header("Content-Type").encode() + b"\r\n\r\n" + request.body
    )
    return [
        (part.get_param("name", header="content-disposition"), part.get_payload(decode=True))
        for part in message.iter_parts()
    ]


# --- module namespace ----------------------------------------------------------


@pytest.mark.native_only
def test_module_namespace_names_in_binding_order() -> None:
    names = list(vars(_code))
    position = names.index("__builtins__")
    assert names[position + 1 :] == [
        "Path",
        "TYPE_CHECKING",
        "httpx",
        "CodeInfo",
        "CodeType",
        "CodeZip",
        "Job",
        "JsonData",
        "CodeClient",
    ]
    assert [name for name in names[:position] if not (name.startswith("__") and name.endswith("__"))] == []


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        # A module executed by the import system has the builtins' dict there.
        pytest.param("__builtins__", builtins, marks=pytest.mark.native_only),
        ("Path", pathlib.Path),
        ("TYPE_CHECKING", False),
        ("httpx", httpx),
        ("CodeInfo", vexa.types.CodeInfo),
        ("CodeType", vexa.types.CodeType),
        ("CodeZip", vexa.types.CodeZip),
        ("Job", vexa.types.Job),
        ("JsonData", vexa.types.JsonData),
    ],
)
def test_module_namespace_values(name: str, expected: Any) -> None:
    assert vars(_code)[name] is expected


@pytest.mark.native_only
def test_module_attributes_come_from_the_import_system() -> None:
    assert (_code.__name__, _code.__package__, _code.__file__) == (
        MODULE_NAME,
        "vexa.client._sync",
        _code.__spec__.origin,
    )
    assert _code.__loader__ is _code.__spec__.loader
    assert "__path__" not in vars(_code) and "Client" not in vars(_code)
    assert _code.__doc__ is None


# --- the class -----------------------------------------------------------------


def test_class_is_a_plain_class_without_docstring() -> None:
    assert type(CodeClient) is type
    assert CodeClient.__bases__ == (object,)
    assert (CodeClient.__module__, CodeClient.__qualname__, CodeClient.__name__) == (
        MODULE_NAME,
        "CodeClient",
        "CodeClient",
    )
    assert CodeClient.__doc__ is None


def test_class_namespace_holds_the_methods_in_definition_order() -> None:
    # From 3.13 on, a class statement (the twin's) also records where it
    # stands and what its methods set on self: not part of the class's surface.
    names = [name for name in vars(CodeClient) if name not in ("__firstlineno__", "__static_attributes__")]
    assert names == ["__module__", *METHOD_ORDER, "__dict__", "__weakref__", "__doc__"]


def test_constructor_stores_the_parent_unchecked() -> None:
    parent = object()
    assert vars(CodeClient(parent)) == {"_client": parent}


# --- method attributes ----------------------------------------------------------


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_names(name: str) -> None:
    method = vars(CodeClient)[name]
    assert type(method) is not type(test_method_names)
    assert (method.__name__, method.__qualname__, method.__module__) == (name, f"CodeClient.{name}", MODULE_NAME)


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_docstrings(name: str) -> None:
    assert getattr(CodeClient, name).__doc__ == DOCS[name]


def test_init_docstring_is_the_signature_line_only() -> None:
    assert CodeClient.__init__.__doc__ == "CodeClient.__init__(self, client: Client)"


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_defaults_and_annotations(name: str) -> None:
    _, _, defaults, annotations = METHODS[name]
    method = getattr(CodeClient, name)
    assert method.__defaults__ == defaults
    assert method.__kwdefaults__ is None
    assert method.__annotations__ == annotations
    assert list(method.__annotations__) == list(annotations)


@pytest.mark.native_only
@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_code_objects(name: str) -> None:
    line, varnames, _, _ = METHODS[name]
    code = getattr(CodeClient, name).__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, SOURCE, line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (ARGCOUNTS[name], 0, 0)
    assert code.co_varnames == varnames
    assert code.co_flags & (inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR | inspect.CO_GENERATOR) == 0


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_globals_closure_dict_and_coroutine_marker(name: str) -> None:
    method = getattr(CodeClient, name)
    assert method.__globals__ is vars(_code)
    assert method.__closure__ is None
    assert {
        key: value for key, value in method.__dict__.items() if key not in ("__module__", "__qualname__")
    } == {}  # the twin's
    assert method._is_coroutine is False
    assert asyncio.iscoroutinefunction(method) is False
    assert inspect.iscoroutinefunction(method) is False


def test_method_dict_takes_attributes(keep_method_attributes: Callable[[str], Any]) -> None:
    method = keep_method_attributes("delete")
    method.marker = "set"
    assert {key: value for key, value in method.__dict__.items() if key not in ("__module__", "__qualname__")} == {
        "marker": "set"
    }
    assert CodeClient.delete.marker == "set"


@pytest.mark.parametrize(("attribute", "value"), [("__name__", "renamed"), ("__qualname__", "Other.renamed")])
def test_name_and_qualname_are_writable(
    keep_method_attributes: Callable[[str], Any], attribute: str, value: str
) -> None:
    method = keep_method_attributes("get_info")
    setattr(method, attribute, value)
    assert getattr(CodeClient.get_info, attribute) == value


@pytest.mark.parametrize("value", [1, None, b"get_info"], ids=["int", "None", "bytes"])
@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_name_and_qualname_refuse_non_str(
    keep_method_attributes: Callable[[str], Any], attribute: str, value: Any
) -> None:
    method = keep_method_attributes("get_info")
    with pytest.raises(TypeError) as info:
        setattr(method, attribute, value)
    assert str(info.value) == f"{attribute} must be set to a string object"
    assert getattr(method, attribute) == {"__name__": "get_info", "__qualname__": "CodeClient.get_info"}[attribute]


@pytest.mark.parametrize(
    ("attribute", "value", "message"),
    [
        ("__defaults__", [None], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", [("a", 1)], "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [("a", "b")], "__annotations__ must be set to a dict object"),
    ],
)
def test_replacing_defaults_kwdefaults_annotations_checks_the_type(
    keep_method_attributes: Callable[[str], Any], attribute: str, value: Any, message: str
) -> None:
    method = keep_method_attributes("list_info")
    with pytest.raises(TypeError) as info:
        setattr(method, attribute, value)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("attribute", "value"), [("__kwdefaults__", {"code_type": None}), ("__annotations__", {"code_type": "int"})]
)
def test_kwdefaults_and_annotations_can_be_replaced(
    keep_method_attributes: Callable[[str], Any], attribute: str, value: dict
) -> None:
    method = keep_method_attributes("list_info")
    setattr(method, attribute, value)
    assert getattr(CodeClient.list_info, attribute) == value


def test_replacing_defaults_warns_and_calls_keep_the_original_defaults(
    keep_method_attributes: Callable[[str], Any], client: CodeClient, recorder: RecordingServer
) -> None:
    method = keep_method_attributes("list_info")
    with pytest.warns(RuntimeWarning) as warned:
        method.__defaults__ = (CodeType.WEB,)
    assert [str(w.message) for w in warned] == [
        "changes to __defaults__ do not affect the values used in calls of this method"
    ]
    assert CodeClient.list_info.__defaults__ == (CodeType.WEB,)
    recorder.script(200, body=[])
    assert client.list_info() == []
    assert [request.target for request in recorder.requests] == ["/code/info"]


# --- lookup and introspection ---------------------------------------------------


def test_lookup_on_the_class_is_unbound_and_on_an_instance_is_bound() -> None:
    instance = CodeClient(object())
    function = vars(CodeClient)["get_info"]
    assert CodeClient.get_info is function
    bound = instance.get_info
    assert (bound.__self__, bound.__func__) == (instance, function)
    assert function.__get__(None, CodeClient) is function


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_inspect_signature(name: str) -> None:
    assert str(inspect.signature(getattr(CodeClient, name))) == SIGNATURES[name]
    bound = getattr(CodeClient(object()), name)
    assert str(inspect.signature(bound)) == SIGNATURES[name].replace("(self, ", "(", 1)


def unwrapped_signatures(lines: list[str]) -> list[str]:
    """pydoc's lines with wrapped signatures (3.13 and later: one parameter a line) joined."""
    joined: list[str] = []
    params: list[str] | None = None
    for line in lines:
        if params is None and line.endswith("("):
            joined.append(line)
            params = []
        elif params is not None and line.startswith(")"):
            joined[-1] += ", ".join(params) + line
            params = None
        elif params is not None:
            params.append(line.strip().rstrip(","))
        else:
            joined.append(line)
    return joined


def help_lines(obj: object) -> list[str]:
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        help(obj)
    return output.getvalue().splitlines()


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_help_shows_signature_and_docstring(name: str) -> None:
    lines = help_lines(getattr(CodeClient, name))
    # pydoc shows the signature as it shows a `def` with the same one (from 3.14
    # on, string annotations without their quotes).
    namespace: dict[str, Any] = {}
    exec(compile(f"def {name}{SIGNATURES[name]}:\n    pass", "<reference>", "exec", dont_inherit=True), namespace)
    expected = next(line for line in unwrapped_signatures(help_lines(namespace[name])) if line.startswith(f"{name}("))
    if sys.version_info < (3, 14):
        assert expected == f"{name}{SIGNATURES[name]}"
    assert expected in unwrapped_signatures(lines)
    doc_lines = ["    " + line if line else "" for line in DOCS[name].splitlines()]
    start = lines.index(doc_lines[0])
    assert [line.rstrip() for line in lines[start : start + len(doc_lines)]] == doc_lines


# --- argument binding -------------------------------------------------------------


class StrSubclass(str):
    pass


class FailingTruth:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("no truth value here")


BINDING_FAILURES = [
    # too many / missing positionals
    ("get_info", (), {}, "get_info() takes exactly 2 positional arguments (1 given)"),
    ("get_info", ("a", "b"), {}, "get_info() takes exactly 2 positional arguments (3 given)"),
    ("delete", ("a", "b", "c"), {}, "delete() takes exactly 2 positional arguments (4 given)"),
    ("list_info", (None, None), {}, "list_info() takes at most 2 positional arguments (3 given)"),
    ("download", ("a", None, None), {}, "download() takes at most 3 positional arguments (4 given)"),
    (
        "ingest",
        (ZIP, "n", CodeType.WEB, None, False, None, None),
        {},
        "ingest() takes at most 7 positional arguments (8 given)",
    ),
    ("upload", (), {}, "upload() takes at least 4 positional arguments (1 given)"),
    ("upload", (ZIP,), {}, "upload() takes at least 4 positional arguments (2 given)"),
    ("upload", (ZIP,), {"code_type": CodeType.WEB}, "upload() takes at least 4 positional arguments (2 given)"),
    (
        "upload",
        (),
        {"code_name": "n", "code_type": CodeType.WEB},
        "upload() takes at least 4 positional arguments (1 given)",
    ),
    ("upload", (ZIP, "n"), {"metadata": None}, "upload() takes at least 4 positional arguments (3 given)"),
    ("download", (), {"zip_path": None}, "download() takes at least 2 positional arguments (1 given)"),
    ("ingest", (ZIP, "n"), {"build_pexenv": True}, "ingest() takes at least 4 positional arguments (3 given)"),
    # keywords
    ("get_info", (), {"code": "a"}, "get_info() got an unexpected keyword argument 'code'"),
    ("get_info", ("a",), {"code_id": "b"}, "get_info() got multiple values for keyword argument 'code_id'"),
    ("get_info", (1,), {"code_id": 2}, "get_info() got multiple values for keyword argument 'code_id'"),
    ("get_info", (), {"self": None, "code_id": "a"}, "get_info() got multiple values for keyword argument 'self'"),
    (
        "list_info",
        (),
        {"code_type": None, "zip_path": None},
        "list_info() got an unexpected keyword argument 'zip_path'",
    ),
    # str parameters
    ("get_info", (123,), {}, "Argument 'code_id' has incorrect type (expected str, got int)"),
    ("get_info", (None,), {}, "Argument 'code_id' has incorrect type (expected str, got NoneType)"),
    ("get_info", (StrSubclass("a"),), {}, "Argument 'code_id' has incorrect type (expected str, got StrSubclass)"),
    ("get_metadata", (), {"code_id": b"a"}, "Argument 'code_id' has incorrect type (expected str, got bytes)"),
    ("delete", (1.5,), {}, "Argument 'code_id' has incorrect type (expected str, got float)"),
    ("download", (None,), {}, "Argument 'code_id' has incorrect type (expected str, got NoneType)"),
    ("upload", (ZIP, 7, CodeType.WEB), {}, "Argument 'code_name' has incorrect type (expected str, got int)"),
    ("ingest", (ZIP, None, CodeType.WEB), {}, "Argument 'code_name' has incorrect type (expected str, got NoneType)"),
    (
        "ingest",
        (ZIP, "n", CodeType.WEB),
        {"pexenv_python": 3},
        "Argument 'pexenv_python' has incorrect type (expected str, got int)",
    ),
    (
        "ingest",
        (ZIP, "n", CodeType.WEB),
        {"pexenv_python": StrSubclass("3.10")},
        "Argument 'pexenv_python' has incorrect type (expected str, got StrSubclass)",
    ),
    # type tests in parameter order
    (
        "ingest",
        (ZIP, 1, CodeType.WEB),
        {"pexenv_python": 2},
        "Argument 'code_name' has incorrect type (expected str, got int)",
    ),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), BINDING_FAILURES)
def test_binding_failures_raise_exact_messages_and_make_no_request(
    client: CodeClient, recorder: RecordingServer, name: str, args: tuple, kwargs: dict, message: str
) -> None:
    with pytest.raises(TypeError) as info:
        getattr(client, name)(*args, **kwargs)
    assert str(info.value) == message
    assert recorder.requests == []


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: CodeClient.get_info(), "get_info() takes exactly 2 positional arguments (0 given)"),
        (lambda: CodeClient(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: CodeClient(1, 2), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: CodeClient(parent=1), "__init__() got an unexpected keyword argument 'parent'"),
    ],
    ids=["unbound", "init-missing", "init-extra", "init-keyword"],
)
def test_binding_counts_self_as_a_positional_parameter(call: Callable[[], Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # The method object's own call slot names the method (a Python __call__ never sees such keywords).
        pytest.param(
            lambda c: type(CodeClient.get_info).__call__(CodeClient.get_info, c, **{1: 2}),
            "get_info() keywords must be strings",
            marks=pytest.mark.native_only,
        ),
        pytest.param(
            lambda c: CodeClient.get_info.__call__(c, **{1: 2, "code_id": "a"}),
            "get_info() keywords must be strings",
            marks=pytest.mark.native_only,
        ),
        # Call syntax: the interpreter unpacks the mapping first (and PyPy words it its own way).
        pytest.param(
            lambda c: c.get_info(**{1: 2}),
            "keywords must be strings",
            marks=pytest.mark.skipif(sys.implementation.name != "cpython", reason="the interpreter's own text"),
        ),
    ],
    ids=["call-slot", "call-slot-mixed", "call-syntax"],
)
def test_non_str_keywords_are_refused(
    client: CodeClient, recorder: RecordingServer, call: Callable[[CodeClient], Any], message: str
) -> None:
    with pytest.raises(TypeError) as info:
        call(client)
    assert str(info.value) == message
    assert recorder.requests == []


def test_keywords_bind_by_name_through_the_call_slot(client: CodeClient, recorder: RecordingServer) -> None:
    recorder.script(200, body={"code_id": "x"})
    info = CodeClient.get_info.__call__(client, **{"code_id": "x"})
    assert info.code_id == "x"
    assert [request.target for request in recorder.requests] == ["/code/x/info"]


def test_failing_truth_test_of_build_pexenv_propagates_without_request(
    client: CodeClient, recorder: RecordingServer
) -> None:
    calls: list[str] = []
    client._client._prepare_files = lambda **kwargs: calls.append("prepare") or []
    with pytest.raises(ZeroDivisionError) as info:
        client.ingest(ZIP, "n", CodeType.WEB, build_pexenv=FailingTruth())
    assert str(info.value) == "no truth value here"
    assert (calls, recorder.requests) == ([], [])


def test_conversions_come_before_type_tests(client: CodeClient, recorder: RecordingServer) -> None:
    with pytest.raises(ZeroDivisionError):
        client.ingest(ZIP, 123, CodeType.WEB, None, FailingTruth())
    assert recorder.requests == []


@pytest.mark.parametrize(
    ("build_pexenv", "sent"),
    [
        (True, b"true"),
        (False, b"false"),
        (None, b"false"),
        (1, b"true"),
        (0, b"false"),
        ("no", b"true"),
        ("", b"false"),
        ([0], b"true"),
        ([], b"false"),
    ],
    ids=["True", "False", "None", "1", "0", "text", "empty-text", "list", "empty-list"],
)
def test_bool_parameter_is_reduced_to_true_or_false(
    client: CodeClient, recorder: RecordingServer, build_pexenv: Any, sent: bytes
) -> None:
    recorder.script(200, body={"job_id": "j1"})
    client.ingest(ZIP, "n", CodeType.WEB, build_pexenv=build_pexenv)
    fields = dict(multipart_fields(recorder.requests[0]))
    assert fields["build_pexenv"] == sent


@pytest.mark.parametrize(("pexenv_python", "sent"), [(None, b""), ("3.10", b"3.10"), ("", b"")])
def test_optional_str_parameter_accepts_none_and_str(
    client: CodeClient, recorder: RecordingServer, pexenv_python: str | None, sent: bytes
) -> None:
    recorder.script(200, body={"job_id": "j1"})
    job = client.ingest(ZIP, "n", CodeType.WEB, pexenv_python=pexenv_python)
    assert job.job_id == "j1"
    assert dict(multipart_fields(recorder.requests[0]))["pexenv_python"] == sent


# --- tracebacks -------------------------------------------------------------------


def source_entries(error: BaseException) -> list[tuple[str, str, int]]:
    return [
        (entry.name, entry.filename, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename == SOURCE
    ]


@pytest.mark.native_only
@pytest.mark.parametrize(
    ("name", "args", "line"),
    [
        ("get_info", (None,), 98),
        ("list_info", (1, 2), 118),
        ("ingest", (ZIP, "n", CodeType.WEB, None, FailingTruth()), 161),
    ],
)
def test_binding_failure_traceback_entry(client: CodeClient, name: str, args: tuple, line: int) -> None:
    with pytest.raises(Exception) as info:
        getattr(client, name)(*args)
    assert source_entries(info.value) == [(f"{MODULE_NAME}.CodeClient.{name}", SOURCE, line)]


@pytest.mark.native_only
def test_body_failure_traceback_entry(client: CodeClient, recorder: RecordingServer) -> None:
    recorder.script(404, body={"detail": "Code nope not found"})
    with pytest.raises(NotFoundError) as info:
        client.get_info("nope")
    [(name, _, raise_line)] = source_entries(info.value)
    [(context_name, _, status_line)] = source_entries(info.value.__context__)
    assert name == context_name == f"{MODULE_NAME}.CodeClient.get_info"
    # The status check and the handler's raise are distinct statements of the body.
    assert 98 < status_line < raise_line


def native_entries(error: BaseException) -> list[Any]:
    """The entries in the module's source of an error and of the error it arose in."""
    entries = []
    for exc in (error, error.__context__):
        tb = exc.__traceback__ if exc is not None else None
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == SOURCE:
                entries.append(tb)
            tb = tb.tb_next
    assert entries, "no entry in the module's source"
    return entries


def entry_state(error: BaseException) -> list[tuple[Any, ...]]:
    """What the traceback entries and their frames show."""
    return [
        (
            tb.tb_lineno,
            tb.tb_frame.f_lineno,
            tb.tb_frame.f_code.co_name,
            tb.tb_frame.f_globals is vars(_code),
            tb.tb_frame.f_trace,
            tb.tb_frame.f_trace_lines,
            tb.tb_frame.f_trace_opcodes,
            sorted(tb.tb_frame.f_locals),
            tb.tb_frame.f_back.f_code.co_name if tb.tb_frame.f_back is not None else None,
        )
        for tb in native_entries(error)
    ]


# Whatever a caller may do to the frame of an entry it holds.
FRAME_CHANGES: dict[str, Callable[[Any], Any]] = {
    "untouched": lambda frame: None,
    "traced": lambda frame: setattr(frame, "f_trace", lambda *args: None),
    "lines-untraced": lambda frame: setattr(frame, "f_trace_lines", False),
    "opcodes-traced": lambda frame: setattr(frame, "f_trace_opcodes", True),
    "namespace-read": lambda frame: frame.f_locals,
    "namespace-written": lambda frame: frame.f_locals.__setitem__("vexa_test_marker", 1),
    "cleared": lambda frame: frame.clear(),
}


@pytest.mark.native_only
@pytest.mark.parametrize("failure", ["binding", "body"])
@pytest.mark.parametrize("change", list(FRAME_CHANGES))
def test_an_entry_frame_shows_nothing_of_earlier_failures(
    client: CodeClient, recorder: RecordingServer, failure: str, change: str
) -> None:
    recorder.set_default(404, {"detail": "Code nope not found"})

    def fail() -> BaseException:
        try:
            client.get_info(1 if failure == "binding" else "nope")  # type: ignore[arg-type]
        except Exception as error:  # noqa: BLE001 - the error is the observation
            return error
        raise AssertionError("the call succeeded")

    try:
        first = fail()
        for tb in native_entries(first):
            FRAME_CHANGES[change](tb.tb_frame)
        del first, tb  # their frames are now held by nothing but the module
        again = fail()
        fresh = fail()  # made while `again` is held: frames of its own
        frames = [tb.tb_frame for error in (again, fresh) for tb in native_entries(error)]
        assert len({id(frame) for frame in frames}) == len(frames)
        assert entry_state(again) == entry_state(fresh)
        expected = entry_state(fresh)
        del again, fresh, frames
        held = [fail() for _ in range(3)]
        frames = [tb.tb_frame for error in held for tb in native_entries(error)]
        assert len({id(frame) for frame in frames}) == len(frames)
        assert [entry_state(error) for error in held] == [expected] * 3
    finally:
        vars(_code).pop("vexa_test_marker", None)  # up to 3.10 the entry's namespace is the module's


# --- module initialisation -----------------------------------------------------------


def test_importing_twice_gives_the_same_module() -> None:
    assert importlib.import_module(MODULE_NAME) is _code
    assert sys.modules[MODULE_NAME] is _code


@pytest.mark.native_only
def test_creating_and_executing_again_after_import_reuses_the_module() -> None:
    classes = _code.CodeClient
    assert _imp.create_dynamic(_code.__spec__) is _code
    assert _imp.exec_dynamic(_code) == 0
    assert _code.CodeClient is classes


def run_python(script: str, *args: str, cwd: Path | None = None, pythonpath: Path = PROJECT_ROOT) -> Any:
    env = {**os.environ, "PYTHONPATH": str(pythonpath)}
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd or PROJECT_ROOT,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.native_only
def test_executing_a_second_module_object_fails() -> None:
    outcome = run_python(
        """
        import _imp, importlib.util, json, sys
        found = importlib.util.spec_from_file_location("vexa.client._sync._code", sys.argv[1])
        first = _imp.create_dynamic(found)
        second = _imp.create_dynamic(found)
        distinct = first is not second
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except BaseException as error:
            result = [type(error).__name__, str(error)]
        else:
            result = ["no error", ""]
        print(json.dumps([distinct, hasattr(first, "CodeClient"), hasattr(second, "CodeClient"), result]))
        """,
        str(SO_PATH),
    )
    assert outcome == [
        True,
        True,
        False,
        ["RuntimeError", "Module '_code' has already been imported. Re-initialisation is not supported."],
    ]


@pytest.mark.native_only
def test_loading_into_a_second_interpreter_fails(tmp_path: Path) -> None:
    result_file = tmp_path / "result.txt"
    outcome = run_python(
        """
        import json, sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # renamed in 3.13
            import _interpreters as interpreters
        import vexa.client._sync._code
        code = f'''
        import importlib.util
        found = importlib.util.spec_from_file_location("vexa.client._sync._code", {sys.argv[1]!r})
        try:
            importlib.util.module_from_spec(found)
        except BaseException as error:
            result = type(error).__name__ + ": " + str(error)
        else:
            result = "no error"
        with open({sys.argv[2]!r}, "w") as file:
            file.write(result)
        '''
        # From 3.12 on the default subinterpreter refuses modules that do not
        # declare isolation support before they run; the legacy kind loads them.
        if sys.version_info >= (3, 13):
            interpreter = interpreters.create("legacy")
        elif sys.version_info >= (3, 12):
            interpreter = interpreters.create(isolated=False)
        else:
            interpreter = interpreters.create()
        interpreters.run_string(interpreter, code)
        interpreters.destroy(interpreter)
        print(json.dumps(open(sys.argv[2]).read()))
        """,
        str(SO_PATH),
        str(result_file),
    )
    assert outcome == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


BROKEN_TYPES = "raise RuntimeError('types module is broken')\n"
WORKING_TYPES = "CodeInfo = CodeType = CodeZip = Job = JsonData = object\n"


@pytest.mark.native_only
@pytest.mark.parametrize("how", ["import", "loader"])
@pytest.mark.parametrize(
    ("types_source", "block_httpx", "error"),
    [
        (BROKEN_TYPES, False, ["RuntimeError", "types module is broken"]),
        (WORKING_TYPES, True, ["ModuleNotFoundError", "import of httpx halted; None in sys.modules"]),
        (
            "CodeInfo = CodeType = CodeZip = Job = object\n",
            False,
            ["ImportError", "cannot import name 'JsonData' from 'vexa.types'"],
        ),
    ],
    ids=["types-raises", "httpx-blocked", "types-missing-name"],
)
def test_failing_collaborator_import_fails_the_module_import(
    tmp_path: Path, types_source: str, block_httpx: bool, error: list[str], how: str
) -> None:
    package = tmp_path / "vexa" / "client" / "_sync"
    package.mkdir(parents=True)
    for init in (tmp_path / "vexa", tmp_path / "vexa" / "client", package):
        (init / "__init__.py").write_text("")
    (tmp_path / "vexa" / "types.py").write_text(types_source)
    (package / SO_PATH.name).symlink_to(SO_PATH)
    outcome = run_python(
        """
        import importlib.util, json, sys, traceback, types
        if sys.argv[1] == "block":
            sys.modules["httpx"] = None
        try:
            if sys.argv[3] == "import":
                import vexa.client._sync._code
            else:
                # Executed by hand, outside the import system's own clean-up.
                found = importlib.util.find_spec("vexa.client._sync._code")
                found.loader.exec_module(importlib.util.module_from_spec(found))
        except BaseException as error:
            failure = [type(error).__name__, str(error)]
            entries = [[entry.name, entry.filename] for entry in traceback.extract_tb(error.__traceback__)]
        left = "vexa.client._sync._code" in sys.modules
        # Repair the collaborator: a later import starts afresh and succeeds.
        sys.modules.pop("httpx", None)
        fixed = types.ModuleType("vexa.types")
        for name in ("CodeInfo", "CodeType", "CodeZip", "Job", "JsonData"):
            setattr(fixed, name, object)
        sys.modules["vexa.types"] = fixed
        import vexa.client._sync._code as module
        print(json.dumps([failure, entries, left, module.CodeClient.__module__, module.__file__ == sys.argv[2]]))
        """,
        "block" if block_httpx else "",
        str(package / SO_PATH.name),
        how,
        cwd=tmp_path,
        pythonpath=tmp_path,
    )
    failure, entries, left, class_module, same_file = outcome
    assert failure[0] == error[0] and failure[1].startswith(error[1])
    assert ["init vexa.client._sync._code", SOURCE] in entries
    assert (left, class_module, same_file) == (False, MODULE_NAME, True)
