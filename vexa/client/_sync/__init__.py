from vexa.client._modules import load

load("vexa.client._sync._code")  # compiled or pure, before anything imports it

from vexa.client._sync.client import Client  # noqa: E402

__all__ = ["Client"]
