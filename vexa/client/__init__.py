from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vexa.client._async import AsyncClient
    from vexa.client._sync import Client

__all__ = ["AsyncClient", "Client"]


if not TYPE_CHECKING:
    # Imported on first use: each client needs its compiled modules. Type
    # checkers see the import above instead.

    def __getattr__(name: str) -> object:
        if name == "Client":
            from vexa.client._sync import Client

            return Client
        if name == "AsyncClient":
            from vexa.client._async import AsyncClient

            return AsyncClient
        raise AttributeError(f"module 'vexa.client' has no attribute {name!r}")
