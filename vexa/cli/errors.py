"""The one-line text and the exit status of each failure the `vexa` command expects."""

from __future__ import annotations

import json

import httpx
import pydantic

from vexa.cli.status import ExitStatus
from vexa.client._common import REDACTED
from vexa.types import VexaException


def describe(error: Exception, base_url: str) -> tuple[str, ExitStatus] | None:
    """The message and exit status for an expected failure; None for anything else."""
    if isinstance(error, VexaException):  # HTTP errors already name status, method, URL and detail
        return str(error), ExitStatus.FAILED
    if isinstance(error, httpx.TimeoutException):
        return f"the service at {base_url} did not answer in time{_request_of(error)}", ExitStatus.FAILED
    if isinstance(error, httpx.TransportError):
        return f"cannot reach the service at {base_url}: {error}{_request_of(error)}", ExitStatus.FAILED
    if isinstance(error, TimeoutError):  # before OSError, its base class
        return str(error), ExitStatus.NEGATIVE
    if isinstance(error, (pydantic.ValidationError, json.JSONDecodeError)):
        first_line = str(error).splitlines()[0]
        return f"unexpected answer from the service at {base_url}: {first_line}", ExitStatus.FAILED
    if isinstance(error, OSError):
        where = f": {error.filename}" if error.filename else ""
        return f"{error.strerror or error}{where}", ExitStatus.FAILED
    return None


def redact(text: str, secret: str | None) -> str:
    """`text` with every occurrence of `secret` replaced."""
    return text.replace(secret, REDACTED) if secret else text


def _request_of(error: httpx.TransportError) -> str:
    try:
        request = error.request
    except RuntimeError:  # raised before a request existed
        return ""
    return f" ({request.method} {request.url})"
