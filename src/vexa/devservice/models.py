"""The service's records: stored code, jobs and their output lines."""

from __future__ import annotations

import asyncio
from dataclasses import asdict, dataclass, field
from datetime import datetime, timezone
from typing import Any

from vexa.types import CodeType, JobStage, JobStatus, JobType, job_has_ended


def utc_now_iso() -> str:
    return datetime.now(timezone.utc).isoformat()


@dataclass
class CodeRecord:
    code_id: str
    code_name: str
    code_type: CodeType
    size: int
    created_at: str
    metadata: Any = None

    def to_json(self) -> dict[str, Any]:
        return asdict(self)


@dataclass
class OutputLine:
    job_id: str
    stream: str
    text: str
    timestamp: str

    def to_json(self) -> dict[str, str]:
        return {"job_id": self.job_id, "stream": self.stream, "text": self.text, "timestamp": self.timestamp}


@dataclass
class Job:
    """A job as the runner keeps it in memory.

    Its output lives in the database; only lines not yet committed (`pending`)
    are kept here, so a job's memory does not grow with what it prints.
    """

    job_id: str
    job_type: JobType
    code_id: str | None
    code_name: str
    code_type: CodeType = CodeType.PYTHON
    hooks: frozenset[str] = frozenset()
    options: dict[str, Any] = field(default_factory=dict)
    job_status: JobStatus = JobStatus.QUEUED
    job_stage: JobStage = JobStage.PRE_RUNNING
    created_at: str = field(default_factory=utc_now_iso)
    started_at: str | None = None
    ended_at: str | None = None
    error: str | None = None
    # Output: lines [0, saved_lines) are committed, the rest are `pending`.
    pending: list[OutputLine] = field(default_factory=list)
    saved_lines: int = 0
    submitted_lines: int = 0  # handed to the writer, committed or not
    pending_bytes: int = 0  # text held in `pending`
    # The job's own lines and their size, against its caps (the service's notes do not count).
    own_lines: int = 0
    output_bytes: int = 0
    output_cut: bool = False
    # Replaced on every change; waiters grab the current one before checking state.
    changed: asyncio.Event = field(default_factory=asyncio.Event)
    released: asyncio.Event = field(default_factory=asyncio.Event)
    stop_requested: asyncio.Event = field(default_factory=asyncio.Event)
    ending: asyncio.Lock = field(default_factory=asyncio.Lock)  # held while the end is written
    # Set when the job's output could not be saved: the job is stopped and ends failed with this error.
    unsaved: str | None = None
    # Set while the job's end waits for the disk (its status is not "ended" until its end is saved).
    end_waiting: asyncio.Event = field(default_factory=asyncio.Event)
    end_waiting_cause: BaseException | None = None
    task: asyncio.Task[None] | None = None
    port: int | None = None  # a running web job's app port
    pid: int | None = None  # its running process (also its process group id)

    @property
    def ended(self) -> bool:
        return job_has_ended(self.job_status, self.job_stage)

    def to_json(self) -> dict[str, Any]:
        return {
            "job_id": self.job_id,
            "job_type": self.job_type,
            "job_status": self.job_status,
            "job_stage": self.job_stage,
            "code_id": self.code_id,
            "created_at": self.created_at,
            "started_at": self.started_at,
            "ended_at": self.ended_at,
            "error": self.error,
        }

    def to_record(self) -> dict[str, Any]:
        return {
            **self.to_json(),
            "code_name": self.code_name,
            "code_type": self.code_type,
            "options": self.options,
            "pid": self.pid,
        }

    @classmethod
    def from_record(cls, record: dict[str, Any]) -> "Job":
        return cls(
            job_id=record["job_id"],
            job_type=JobType(record["job_type"]),
            code_id=record.get("code_id"),
            code_name=record.get("code_name", ""),
            code_type=CodeType(record.get("code_type", CodeType.PYTHON)),
            options=dict(record.get("options") or {}),
            job_status=JobStatus(record["job_status"]),
            job_stage=JobStage(record["job_stage"]),
            created_at=record["created_at"],
            started_at=record.get("started_at"),
            ended_at=record.get("ended_at"),
            error=record.get("error"),
            pid=record.get("pid"),
        )
