"""Local development service for vexa: stores code and runs it as jobs over HTTP.

Built on starlette/uvicorn (the `service` extra). It shares the wire enums of
`vexa.types` with the client and imports nothing else of `vexa` but
the pure-Python browser token (`vexa._browser`), never the native clients.

The names below are imported on first use, so that `python -m vexa.devservice`
can say in one line which part of the extra is missing.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .app import create_app
    from .archive import ArchiveLimits
    from .codes import CodeStorage
    from .command import main
    from .jobs import JobRunner, JobTimings, RunStrategy
    from .lock import DataDirInUse
    from .process import JobLimits, ProcessRuns
    from .server import RunningService, start_in_thread
    from .simulated import SimulatedRuns

_MODULES = {
    "ArchiveLimits": ".archive",
    "CodeStorage": ".codes",
    "DataDirInUse": ".lock",
    "JobLimits": ".process",
    "JobRunner": ".jobs",
    "JobTimings": ".jobs",
    "ProcessRuns": ".process",
    "RunStrategy": ".jobs",
    "RunningService": ".server",
    "SimulatedRuns": ".simulated",
    "create_app": ".app",
    "main": ".command",
    "start_in_thread": ".server",
}

__all__ = [
    "ArchiveLimits",
    "CodeStorage",
    "DataDirInUse",
    "JobLimits",
    "JobRunner",
    "JobTimings",
    "ProcessRuns",
    "RunStrategy",
    "RunningService",
    "SimulatedRuns",
    "create_app",
    "main",
    "start_in_thread",
]


def __getattr__(name: str) -> Any:
    module = _MODULES.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(module, __name__), name)
