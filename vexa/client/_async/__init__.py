from vexa.client._async.client import AsyncClient
from vexa.client._async.code import AsyncCodeClient

__all__ = ["AsyncClient", "AsyncCodeClient"]
