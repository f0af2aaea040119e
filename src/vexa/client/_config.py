"""The client's settings and the texts it shares with the CLI: where the base
URL and the API key come from, the header that carries the key, and the
marker that stands for a key in what errors show.
"""

from __future__ import annotations

import os
import unicodedata

BASE_URL_ENV = "VEXA_BASE_URL"
API_KEY_ENV = "VEXA_API_KEY"
API_KEY_HEADER = "X-API-Key"
# What stands in place of the API key wherever an error would show it.
REDACTED = "[REDACTED]"


def resolve_base_url(base_url: str | None) -> str:
    """The given base URL, else `VEXA_BASE_URL`; raise if neither is set."""
    resolved = base_url or os.environ.get(BASE_URL_ENV)
    if not resolved:
        raise ValueError(
            f"No base URL for the Vexa service: pass base_url=... or set the {BASE_URL_ENV} environment variable."
        )
    return resolved


def resolve_api_key(api_key: str | None) -> str | None:
    """The given API key, else `VEXA_API_KEY`, else None."""
    return api_key or os.environ.get(API_KEY_ENV) or None


def check_api_key(api_key: str | None) -> str | None:
    """The key unchanged if an HTTP header can carry it; else a `ValueError`.

    A key read from a file or a mounted secret often ends with a newline. Sent
    as it is, the HTTP library refuses it with an error that quotes the header
    value, so the key would end up in tracebacks and logs. The message here
    names the problem and never the key.
    """
    if api_key is None:
        return None
    if not isinstance(api_key, str):
        raise TypeError(f"The API key must be a str, not {type(api_key).__name__}")
    for position, character in enumerate(api_key):
        if unicodedata.category(character) == "Cc":
            raise ValueError(
                f"The API key contains a control character (U+{ord(character):04X} at "
                f"position {position}); remove line breaks and other control "
                f"characters, e.g. a trailing newline from a key file."
            )
        if not character.isascii():
            raise ValueError(
                f"The API key contains a non-ASCII character (at position {position}); "
                f"an HTTP header can carry only ASCII."
            )
    if api_key != api_key.strip(" "):
        raise ValueError("The API key starts or ends with a space; an HTTP header value cannot.")
    return api_key
