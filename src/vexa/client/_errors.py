"""The errors of the client: an error status becomes an `HTTPException`, and the
API key is redacted from everything the exception and its context carry.
"""

from __future__ import annotations

import json

import httpx

from vexa.client._config import API_KEY_HEADER, REDACTED
from vexa.types import HTTPException, http_exception_class

# Longest service error text kept in an exception; error pages can be large.
MAX_DETAIL_LENGTH = 500


def get_http_exception(httpx_error: httpx.HTTPStatusError, api_key: str | None = None) -> HTTPException:
    """The `HTTPException` subclass instance that stands for an error response.

    The API key, whether given or found in the request's headers, is
    replaced in the URL and the detail; headers themselves are never kept.
    The new exception is raised while `httpx_error` is handled, so it becomes
    its context: `httpx_error` is redacted too (`redact_http_error`).
    """
    request = httpx_error.request
    response = httpx_error.response
    secrets = [api_key, request.headers.get(API_KEY_HEADER)]
    redact_http_error(httpx_error, secrets)
    exception_class = http_exception_class(response.status_code)
    return exception_class(
        status_code=response.status_code,
        method=request.method,
        url=_redact(str(request.url), secrets),
        detail=_redact(detail_from_body(_response_text(response)), secrets)[:MAX_DETAIL_LENGTH],
    )


def redact_http_error(httpx_error: httpx.HTTPStatusError, secrets: list[str | None]) -> None:
    """Replace each secret in the texts that `httpx_error` carries, in place.

    The error stays in the chain of the exception that replaces it (callers
    may look at its response), but a service can echo the key back, in a
    redirect's Location (which httpx quotes in the message) or in a body,
    and the request carries it in its headers. Redacted: the message
    (`args`), the request's URL and headers, the response's headers and,
    once read, its body.
    """
    if not any(secrets):
        return
    request = httpx_error.request
    response = httpx_error.response
    httpx_error.args = tuple(_redact(arg, secrets) if isinstance(arg, str) else arg for arg in httpx_error.args)
    request.url = httpx.URL(_redact(str(request.url), secrets))
    for headers in (request.headers, response.headers):
        _redact_headers(headers, secrets)
    try:
        content = response.content
    except httpx.ResponseNotRead:  # a streamed body never read holds no text
        return
    redacted = content
    for secret in secrets:
        if secret:
            redacted = redacted.replace(secret.encode("utf-8"), REDACTED.encode("ascii"))
    if redacted != content:
        # httpx keeps a read body as `_content` (and its decoded `_text`): the
        # response offers no public way to change them.
        response._content = redacted
        response.__dict__.pop("_text", None)


def _redact_headers(headers: httpx.Headers, secrets: list[str | None]) -> None:
    for name in set(headers.keys()):
        values = headers.get_list(name)
        redacted = [_redact(value, secrets) for value in values]
        if redacted != values:
            headers[name] = ", ".join(redacted)  # one header in place of repeated ones


def detail_from_body(text: str) -> str:
    """The `detail` member of a JSON object body, or else the body text."""
    try:
        document = json.loads(text)
    except ValueError:
        return text.strip()
    if not isinstance(document, dict) or "detail" not in document:
        return text.strip()
    detail = document["detail"]
    return detail if isinstance(detail, str) else json.dumps(detail)


def _response_text(response: httpx.Response) -> str:
    # A streamed response whose body was never read has no text to offer.
    try:
        return response.text
    except httpx.ResponseNotRead:
        return ""


def _redact(text: str, secrets: list[str | None]) -> str:
    for secret in secrets:
        if secret:
            text = text.replace(secret, REDACTED)
    return text
