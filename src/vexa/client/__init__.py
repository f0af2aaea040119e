from __future__ import annotations

from typing import TYPE_CHECKING

# What programs and the CLI read: where the settings come from, and what stands for a hidden key.
from vexa.client._config import API_KEY_ENV, BASE_URL_ENV, REDACTED

if TYPE_CHECKING:
    from vexa.client._async import AsyncClient
    from vexa.client._sync import Client

__all__ = ["API_KEY_ENV", "BASE_URL_ENV", "NATIVE", "REDACTED", "AsyncClient", "Client"]

# True when the compiled modules are in use, False when their pure-Python
# twins are (no compiled modules in this install, or VEXA_NO_EXTENSIONS=1).
NATIVE: bool


if not TYPE_CHECKING:
    # Imported on first use: each client loads its modules (compiled or pure). Type
    # checkers see the import above instead.

    def __getattr__(name: str) -> object:
        if name == "Client":
            from vexa.client._sync import Client

            return Client
        if name == "AsyncClient":
            from vexa.client._async import AsyncClient

            return AsyncClient
        if name == "NATIVE":
            from vexa.client._modules import native

            global NATIVE
            NATIVE = native()
            return NATIVE
        raise AttributeError(f"module 'vexa.client' has no attribute {name!r}")
