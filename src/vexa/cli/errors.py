"""The one-line text and the exit status of each failure the `vexa` command expects.

The texts are in plain words: what failed and, where it helps, what to do.
They never name a Python exception class.
"""

from __future__ import annotations

import json

import httpx
import pydantic

from vexa.cli.status import ExitStatus
from vexa.client import API_KEY_ENV, REDACTED
from vexa.types import HTTPException, VexaException

UNAUTHORIZED = 401
NO_KEY_HINT = f"the service wants an API key: set {API_KEY_ENV} or pass --api-key"
WRONG_KEY_HINT = f"the service refused the API key: check {API_KEY_ENV} or --api-key"
UNEXPECTED = "the command failed unexpectedly"


def describe(error: Exception, base_url: str, has_api_key: bool = False) -> tuple[str, ExitStatus]:
    """The message and exit status for a failure."""
    if isinstance(error, HTTPException) and error.status_code == UNAUTHORIZED:
        return f"{error}; {WRONG_KEY_HINT if has_api_key else NO_KEY_HINT}", ExitStatus.FAILED
    if isinstance(error, VexaException):  # HTTP errors already name status, method, URL and detail
        return str(error), ExitStatus.FAILED
    if isinstance(error, httpx.TimeoutException):
        return f"the service at {base_url} did not answer in time{_request_of(error)}", ExitStatus.FAILED
    if isinstance(error, httpx.TransportError):
        return f"cannot reach the service at {base_url}: {_reason(error)}{_request_of(error)}", ExitStatus.FAILED
    if isinstance(error, TimeoutError):  # before OSError, its base class
        return str(error), ExitStatus.NEGATIVE
    if isinstance(error, pydantic.ValidationError):
        first_line = str(error).splitlines()[0]
        return f"unexpected answer from the service at {base_url}: {first_line}", ExitStatus.FAILED
    if isinstance(error, json.JSONDecodeError):
        return f"unexpected answer from the service at {base_url}: not JSON ({error})", ExitStatus.FAILED
    if isinstance(error, OSError):
        where = f": {error.filename}" if error.filename else ""
        return f"{error.strerror or _reason(error)}{where}", ExitStatus.FAILED
    return _reason(error), ExitStatus.FAILED


def redact(text: str, secret: str | None) -> str:
    """`text` with every occurrence of `secret` replaced."""
    return text.replace(secret, REDACTED) if secret else text


def _reason(error: BaseException) -> str:
    """An error's own words; for one without any, the words of its cause."""
    link: BaseException | None = error
    while link is not None:
        text = str(link).strip()
        if text:
            return text
        link = link.__cause__ or link.__context__
    return UNEXPECTED


def _request_of(error: httpx.TransportError) -> str:
    try:
        request = error.request
    except RuntimeError:  # raised before a request existed
        return ""
    return f" ({request.method} {request.url})"
