from vexa.client._modules import load

# Compiled or pure, before anything imports them.
load("vexa.client._async._jobs")
load("vexa.client._async._web")

from vexa.client._async.client import AsyncClient  # noqa: E402
from vexa.client._async.code import AsyncCodeClient  # noqa: E402

__all__ = ["AsyncClient", "AsyncCodeClient"]
