from vexa.client._sync.client import Client

__all__ = ["Client"]
