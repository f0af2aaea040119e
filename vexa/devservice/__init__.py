"""Local development service for vexa: stores code and runs it as jobs over HTTP.

Built on starlette/uvicorn (the `service` extra). It shares the wire enums of
`vexa.types` with the client and imports nothing else of `vexa`.
"""

from .app import create_app
from .archive import ArchiveLimits
from .codes import CodeStorage
from .jobs import JobRunner, JobTimings, RunStrategy
from .lock import DataDirInUse
from .process import JobLimits, ProcessJobRunner, ProcessRuns
from .server import RunningService, main, start_in_thread
from .simulated import SimulatedJobRunner, SimulatedRuns

__all__ = [
    "ArchiveLimits",
    "CodeStorage",
    "DataDirInUse",
    "JobLimits",
    "JobRunner",
    "JobTimings",
    "ProcessJobRunner",
    "ProcessRuns",
    "RunStrategy",
    "RunningService",
    "SimulatedJobRunner",
    "SimulatedRuns",
    "create_app",
    "main",
    "start_in_thread",
]
