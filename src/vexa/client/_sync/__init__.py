from vexa.client._modules import load

# Compiled or pure, before anything imports them.
load("vexa.client._sync._code")
load("vexa.client._sync._jobs")
load("vexa.client._sync._web")

from vexa.client._sync.client import Client  # noqa: E402

__all__ = ["Client"]
