"""Local development service for vexa: stores code and runs it as jobs over HTTP.

Standalone on starlette/uvicorn; of the rest of `vexa` it imports only pure
Python (`vexa._browser`), never the native clients.
"""

from .app import create_app
from .archive import ArchiveLimits
from .jobs import JobRunner, JobTimings, SimulatedJobRunner
from .process import JobLimits, ProcessJobRunner
from .server import RunningService, main, start_in_thread
from .storage import CodeStorage

__all__ = [
    "ArchiveLimits",
    "CodeStorage",
    "JobLimits",
    "JobRunner",
    "JobTimings",
    "ProcessJobRunner",
    "RunningService",
    "SimulatedJobRunner",
    "create_app",
    "main",
    "start_in_thread",
]
