"""The token that lets a browser in where the service asks for an API key.

A browser cannot send the X-API-Key header, so the service also accepts
`?token=` once, derived from the key (never the key itself, which would
stay in the browser's history and in server logs).
"""

from __future__ import annotations

import hashlib
import hmac

__all__ = ["browser_token"]


def browser_token(api_key: str) -> str:
    """The browser token of a service whose API key is `api_key`."""
    return hmac.new(api_key.encode("utf-8"), b"vexa browser session", hashlib.sha256).hexdigest()
