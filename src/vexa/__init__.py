"""Python client for the Vexa code and jobs service.

>>> import vexa
>>> client = vexa.Client("http://127.0.0.1:8000", api_key="...")
>>> client.code.list_info()
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from vexa._version import __version__
from vexa.types import (
    APIException,
    CodeInfo,
    CodeType,
    CodeZip,
    HTTPException,
    Job,
    JobResult,
    JobStage,
    JobStatus,
    JobType,
    JsonData,
    StreamOutput,
    VexaError,
    VexaException,
)

if TYPE_CHECKING:
    from vexa.client import AsyncClient, Client

__all__ = [
    "APIException",
    "AsyncClient",
    "Client",
    "CodeInfo",
    "CodeType",
    "CodeZip",
    "HTTPException",
    "Job",
    "JobResult",
    "JobStage",
    "JobStatus",
    "JobType",
    "JsonData",
    "StreamOutput",
    "VexaError",
    "VexaException",
    "__version__",
]

if not TYPE_CHECKING:
    # The clients load the compiled modules; importing them on first use keeps
    # `vexa.types` and the local service importable without a native build.
    # Type checkers see the import above instead, so that a misspelt name is
    # an error rather than an `object`.

    def __getattr__(name: str) -> object:
        if name in ("Client", "AsyncClient"):
            import vexa.client

            return getattr(vexa.client, name)
        raise AttributeError(f"module 'vexa' has no attribute {name!r}")
