"""Local development service for vexa: stores code and simulates jobs over HTTP.

Standalone on starlette/uvicorn; it must not import the rest of `vexa`.
"""

from .app import create_app
from .jobs import JobRunner, JobTimings
from .server import RunningService, main, start_in_thread
from .storage import CodeStorage

__all__ = ["CodeStorage", "JobRunner", "JobTimings", "RunningService", "create_app", "main", "start_in_thread"]
