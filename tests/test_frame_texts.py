"""Texts the frame assembles: request URLs and argument-type messages, for
one-byte and wider pieces and for the lengths where the interpreter's own
formatting cuts a name (200 bytes)."""

from __future__ import annotations

import ctypes

import httpx
import pytest
from recording_server import RecordingServer

from vexa.client._sync._code import CodeClient


class Parent:
    def __init__(self, base_url: str) -> None:
        self.base_url = base_url
        self.api_key_header = {"X-API-Key": "key"}

    def _get_http_exception(self, httpx_error: httpx.HTTPStatusError) -> Exception:
        return RuntimeError(str(httpx_error))


@pytest.mark.parametrize("code_id", ["c1", "", "a/b", "café", "ünï-代码", "😀" * 3, "x" * 500])
def test_url_is_the_joined_text(recorder: RecordingServer, code_id: str) -> None:
    recorder.set_default(200, b'{"code_id": "c1"}')
    CodeClient(Parent(recorder.base_url)).get_info(code_id)
    expected = httpx.URL(f"{recorder.base_url}/code/{code_id}/info").raw_path.decode("ascii")
    assert recorder.wait_for_requests(1)[0].target == expected


def interpreter_format_200s(text: str) -> str:
    format_ = ctypes.pythonapi.PyUnicode_FromFormat
    format_.restype = ctypes.py_object
    return format_(b"%.200s", ctypes.c_char_p(text.encode()))


@pytest.mark.parametrize(
    "type_name",
    ["T", "Café", "T" * 200, "T" * 201, "T" * 250, "Ü" * 100, "Ü" * 101, "Ü" * 150, "代" * 70],
)
@pytest.mark.skipif(
    not hasattr(ctypes, "pythonapi"),
    reason="the reference is CPython's own PyUnicode_FromFormat; PyPy has no C API to ask, and its messages "
    "do not cut type names",
)
def test_type_error_names_the_type_as_the_interpreter_cuts_it(type_name: str) -> None:
    value = type(type_name, (), {})()
    with pytest.raises(TypeError) as raised:
        CodeClient(Parent("http://127.0.0.1:9")).get_info(value)
    # "%.200s" keeps at most 200 bytes of the UTF-8 name; a character cut in two
    # becomes U+FFFD up to 3.13 and is left out from 3.14 on. The interpreter's
    # own formatting is the reference.
    shown = interpreter_format_200s(type_name)
    if len(type_name.encode()) <= 200:
        assert shown == type_name
    assert str(raised.value) == f"Argument 'code_id' has incorrect type (expected str, got {shown})"
    assert type(raised.value) is TypeError and raised.value.args == (str(raised.value),)
