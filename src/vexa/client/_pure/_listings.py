"""The listing shortcuts of the twins' jobs clients and web jobs clients, asynchronous and synchronous.

A row names the method, whether it filters by stage (`job_stage=JobStage.<member>`) or else by status
(`job_status=JobStatus.<member>`), the member, and its docstring's summary and "Returns:" entry. Each
twin makes the methods from these rows in its own module (`_listing`, `_shortcut`), so that their bodies
read that module's globals, as the compiled methods read their module's.
"""

from __future__ import annotations

from typing import NamedTuple


class Shortcut(NamedTuple):
    name: str
    by_stage: bool
    member: str
    summary: str
    returns: str


def _by_name(*rows: Shortcut) -> dict[str, Shortcut]:
    return {row.name: row for row in rows}


# `list_queued` ... `list_post_running` of AsyncJobsClient and JobsClient.
JOBS = _by_name(
    Shortcut("list_queued", False, "QUEUED", "Get all queued jobs.", "List[Job]: List of queued jobs."),
    Shortcut("list_scheduled", False, "SCHEDULED", "Get all scheduled jobs.", "List[Job]: List of scheduled jobs."),
    Shortcut("list_started", False, "STARTED", "Get all started jobs.", "List[Job]: List of started jobs."),
    Shortcut("list_deferred", False, "DEFERRED", "Get all deferred jobs.", "List[Job]: List of deferred jobs."),
    Shortcut("list_canceled", False, "CANCELED", "Get all canceled jobs.", "List[Job]: List of canceled jobs."),
    Shortcut("list_stopped", False, "STOPPED", "Get all stopped jobs.", "List[Job]: List of stopped jobs."),
    Shortcut("list_failed", False, "FAILED", "Get all failed jobs.", "List[Job]: List of failed jobs."),
    Shortcut("list_finished", False, "FINISHED", "Get all finished jobs.", "List[Job]: List of finished jobs."),
    Shortcut("list_timed_out", False, "TIMEOUT", "Get all timed out jobs.", "List[Job]: List of timed out jobs."),
    Shortcut(
        "list_pre_running", True, "PRE_RUNNING", "Get all pre-running jobs.", "List[Job]: List of pre-running jobs."
    ),
    Shortcut("list_running", True, "RUNNING", "Get all running jobs.", "List[Job]: List of running jobs."),
    Shortcut(
        "list_post_running", True, "POST_RUNNING", "Get all post-running jobs.", "List[Job]: List of post-running jobs."
    ),
)

# The same of AsyncWebJobsClient and WebJobsClient (their docstrings vary "List" and "list" as compiled).
WEB = _by_name(
    Shortcut("list_queued", False, "QUEUED", "Get all queued Web jobs.", "List[Job]: List of queued Web jobs."),
    Shortcut(
        "list_scheduled", False, "SCHEDULED", "Get all scheduled Web jobs.", "List[Job]: List of scheduled Web jobs."
    ),
    Shortcut("list_started", False, "STARTED", "Get all started Web jobs.", "list[Job]: List of started Web jobs."),
    Shortcut("list_deferred", False, "DEFERRED", "Get all deferred Web jobs.", "List[Job]: List of deferred Web jobs."),
    Shortcut("list_canceled", False, "CANCELED", "Get all canceled Web jobs.", "List[Job]: List of canceled Web jobs."),
    Shortcut("list_stopped", False, "STOPPED", "Get all stopped Web jobs.", "List[Job]: List of stopped Web jobs."),
    Shortcut("list_failed", False, "FAILED", "Get all failed Web jobs.", "list[Job]: List of failed Web jobs."),
    Shortcut("list_finished", False, "FINISHED", "Get all finished Web jobs.", "list[Job]: List of finished Web jobs."),
    Shortcut(
        "list_timed_out", False, "TIMEOUT", "Get all timed out Web jobs.", "List[Job]: List of timed out Web jobs."
    ),
    Shortcut(
        "list_pre_running",
        True,
        "PRE_RUNNING",
        "Get all pre-running Web jobs.",
        "List[Job]: List of pre-running Web jobs.",
    ),
    Shortcut("list_running", True, "RUNNING", "Get all running Web jobs.", "List[Job]: List of running Web jobs."),
    Shortcut(
        "list_post_running",
        True,
        "POST_RUNNING",
        "Get all post-running Web jobs.",
        "List[Job]: List of post-running Web jobs.",
    ),
)
