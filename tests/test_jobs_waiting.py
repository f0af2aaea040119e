"""await_stage, is_healthy and await_healthy against scripted answers, on a fake clock."""

from __future__ import annotations

import asyncio
import threading
import time
from typing import Any

import pytest
from recording_server import RecordingServer

from vexa.client._async import AsyncClient
from vexa.client._async._jobs import AsyncJobsClient
from vexa.types import Job, JobStage, NotFoundError, ServerError, VexaError, VexaException

API_KEY = "sk-wait-7"
REAL_SLEEP = asyncio.sleep


def job(stage: str, **extra: Any) -> dict[str, Any]:
    return {"job_id": "j1", "job_type": "web", "job_status": "started", "job_stage": stage, **extra}


REAL_TIME = time.time


class FakeClock:
    """`time.time` and `asyncio.sleep` as the module sees them: sleeping advances the clock.

    Only calls from the test's thread are faked; other threads (a running service) keep the real ones.
    """

    def __init__(self) -> None:
        self.now = 1_700_000_000.0
        self.sleeps: list[Any] = []
        self.thread = threading.get_ident()

    def time(self) -> float:
        if threading.get_ident() != self.thread:
            return REAL_TIME()
        return self.now

    async def sleep(self, delay: Any, result: Any = None) -> Any:
        if threading.get_ident() != self.thread:
            return await REAL_SLEEP(delay, result)
        self.sleeps.append(delay)
        self.now += delay
        await REAL_SLEEP(0)
        return result


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> FakeClock:
    fake = FakeClock()
    monkeypatch.setattr(asyncio, "sleep", fake.sleep)
    monkeypatch.setattr(time, "time", fake.time)
    return fake


@pytest.fixture
def jobs(recorder: RecordingServer) -> AsyncJobsClient:
    return AsyncClient(base_url=recorder.base_url, api_key=API_KEY).jobs


def paths(recorder: RecordingServer) -> list[str]:
    return [request.target for request in recorder.requests]


def assert_one_second_sleeps(clock: FakeClock, count: int) -> None:
    assert clock.sleeps == [1] * count
    assert all(type(delay) is int for delay in clock.sleeps)


# --- await_stage ----------------------------------------------------------------------------


@pytest.mark.parametrize("timeout", [None, 0, 10.0])
async def test_already_post_running_returns_after_one_fetch(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, timeout: Any
) -> None:
    recorder.script(200, job("post_running", job_status="finished"))
    result = await jobs.await_stage("j1", timeout)
    assert type(result) is Job
    assert (result.job_id, result.job_stage) == ("j1", JobStage.POST_RUNNING)
    assert paths(recorder) == ["/jobs/j1"]
    assert recorder.requests[0].header_values("X-API-Key") == [API_KEY]
    assert clock.sleeps == []


@pytest.mark.parametrize("timeout", [None, 0])
async def test_waiting_for_running_on_post_running_raises(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, timeout: Any
) -> None:
    recorder.script(200, job("post_running"))
    with pytest.raises(VexaException) as caught:
        await jobs.await_stage("j1", timeout=timeout, stage=JobStage.RUNNING)
    assert caught.value.error is VexaError.JOB_POST_RUNNING
    assert caught.value.message == "Job j1 is in stage POST_RUNNING"
    assert str(caught.value) == "Job j1 is in stage POST_RUNNING"
    assert paths(recorder) == ["/jobs/j1"]
    assert clock.sleeps == []


async def test_waiting_for_running_after_some_rounds_then_post_running(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock
) -> None:
    for stage in ["pre_running", "pre_running", "post_running"]:
        recorder.script(200, job(stage))
    with pytest.raises(VexaException) as caught:
        await jobs.await_stage("a b", stage=JobStage.RUNNING)
    assert str(caught.value) == "Job a b is in stage POST_RUNNING"
    assert paths(recorder) == ["/jobs/a%20b"] * 3
    assert_one_second_sleeps(clock, 2)


@pytest.mark.parametrize(
    "wanted, stages",
    [
        (JobStage.RUNNING, ["pre_running", "pre_running", "running"]),
        (JobStage.PRE_RUNNING, ["running", "running", "post_running"]),
        (JobStage.POST_RUNNING, ["pre_running", "running", "running", "post_running"]),
        (JobStage.PRE_RUNNING, ["pre_running"]),
        (JobStage.RUNNING, ["pre_running", "unknown"]),
        (JobStage.POST_RUNNING, ["pre_running", "stage-from-the-future"]),
        (JobStage.UNKNOWN, ["running", "unknown"]),
        ("running", ["pre_running", "running"]),  # compared with ==
    ],
)
async def test_polls_until_a_stage_ends_the_wait(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, wanted: Any, stages: list[str]
) -> None:
    for number, stage in enumerate(stages, start=1):
        recorder.script(200, job(stage, round=number))
    recorder.set_default(500, "no more rounds expected")
    result = await jobs.await_stage("j1", None, wanted)
    assert result.round == len(stages)
    assert paths(recorder) == ["/jobs/j1"] * len(stages)
    assert_one_second_sleeps(clock, len(stages) - 1)


@pytest.mark.parametrize(
    "wanted, current, text",
    [
        (JobStage.RUNNING, "pre_running", "running"),
        (JobStage.POST_RUNNING, "running", "post_running"),
        (JobStage.PRE_RUNNING, "running", "pre_running"),
    ],
)
async def test_timeout_zero_raises_after_the_first_round(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, wanted: JobStage, current: str, text: str
) -> None:
    recorder.script(200, job(current))
    with pytest.raises(TimeoutError) as caught:
        await jobs.await_stage("j1", timeout=0, stage=wanted)
    assert type(caught.value) is TimeoutError
    assert str(caught.value) == f"Job j1 did not reach stage {text} within 0.0 seconds"
    assert paths(recorder) == ["/jobs/j1"]
    assert clock.sleeps == []


@pytest.mark.parametrize(
    "timeout, text, rounds",
    [
        (1, "1.0", 2),  # elapsed 1 >= 1 on the second round
        (2.5, "2.5", 4),
        (5, "5.0", 6),
        (0.25, "0.25", 2),
    ],
)
async def test_timeout_reached_on_the_fake_clock(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, timeout: Any, text: str, rounds: int
) -> None:
    recorder.set_default(200, job("pre_running"))
    with pytest.raises(TimeoutError) as caught:
        await jobs.await_stage("j1", timeout)
    assert str(caught.value) == f"Job j1 did not reach stage post_running within {text} seconds"
    assert len(recorder.requests) == rounds
    assert_one_second_sleeps(clock, rounds - 1)


async def test_no_timeout_keeps_polling(recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock) -> None:
    for _ in range(12):
        recorder.script(200, job("running"))
    recorder.script(200, job("post_running", round="last"))
    clock.now = 0.0
    result = await jobs.await_stage("j1")
    assert result.round == "last"
    assert len(recorder.requests) == 13
    assert_one_second_sleeps(clock, 12)


@pytest.mark.parametrize("status, error", [(404, NotFoundError), (500, ServerError)])
async def test_http_error_ends_the_wait(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, status: int, error: type
) -> None:
    recorder.script(200, job("pre_running"))
    recorder.script(status, {"detail": "Job j1 not found"})
    with pytest.raises(error) as caught:
        await jobs.await_stage("j1", timeout=100.0)
    assert caught.value.status_code == status
    assert len(recorder.requests) == 2
    assert_one_second_sleeps(clock, 1)


class GetRecordingJobs(AsyncJobsClient):
    def __init__(self, client: Any, answers: list[Job]) -> None:
        super().__init__(client)
        self.answers = answers
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    async def get(self, *args: Any, **kwargs: Any) -> Job:  # type: ignore[override]
        self.calls.append((args, kwargs))
        return self.answers.pop(0)


async def test_await_stage_fetches_through_self_get(clock: FakeClock) -> None:
    answers = [Job(**job("pre_running")), Job(**job("running", round=2))]
    jobs = GetRecordingJobs(AsyncClient(base_url="http://127.0.0.1:9"), answers)
    result = await jobs.await_stage("j1", stage=JobStage.RUNNING)
    assert result.round == 2
    assert jobs.calls == [(("j1",), {}), (("j1",), {})]
    assert_one_second_sleeps(clock, 1)


# --- is_healthy -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "status, body, headers, healthy",
    [
        (200, {"status": "ok"}, {}, True),
        (200, b"", {}, True),
        (204, b"", {}, False),
        (201, {"status": "ok"}, {}, False),
        (500, {"detail": "boom"}, {}, False),
        (503, "not ready", {}, False),
        (404, {"detail": "Job j1 has ended"}, {}, False),
        (302, b"", {"Location": "/elsewhere"}, False),
    ],
)
async def test_is_healthy_by_status(
    recorder: RecordingServer, jobs: AsyncJobsClient, status: int, body: Any, headers: dict[str, str], healthy: bool
) -> None:
    recorder.script(status, body, headers=headers)
    assert await jobs.is_healthy("j1") is healthy
    [request] = recorder.requests
    assert (request.method, request.target) == ("GET", "/j1/ping")
    assert request.header_values("X-API-Key") == [API_KEY]


async def test_is_healthy_dropped_connection(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    recorder.script(200, {"status": "ok"}, drop=True)
    assert await jobs.is_healthy("j1") is False
    assert len(recorder.requests) == 1


async def test_is_healthy_refused_connection() -> None:
    import socket

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        jobs = AsyncClient(base_url=f"http://127.0.0.1:{sock.getsockname()[1]}", api_key=API_KEY).jobs
        assert await jobs.is_healthy("j1") is False


async def test_is_healthy_does_not_swallow_cancellation(recorder: RecordingServer, jobs: AsyncJobsClient) -> None:
    held = recorder.script(200, {"status": "ok"}, hold=True)
    task = asyncio.ensure_future(jobs.is_healthy("j1"))
    await asyncio.to_thread(recorder.wait_for_requests, 1)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled()
    held.release()


# --- await_healthy --------------------------------------------------------------------------


async def test_await_healthy_first_probe_succeeds(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock
) -> None:
    recorder.script(200, {"status": "ok"})
    recorder.script(200, job("running", round="final"))
    result = await jobs.await_healthy("j1")
    assert type(result) is Job and result.round == "final"
    assert paths(recorder) == ["/j1/ping", "/jobs/j1"]
    assert clock.sleeps == []


async def test_await_healthy_returns_the_job_fetched_after_the_probe(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock
) -> None:
    recorder.script(503, "not ready")
    recorder.script(200, job("pre_running"))
    recorder.script(200, b"", drop=True)
    recorder.script(200, job("running"))
    recorder.script(200, {"status": "ok"})
    recorder.script(200, job("post_running", job_status="stopped", round="final"))
    result = await jobs.await_healthy("j1", timeout=30.0)
    assert result.round == "final"
    assert result.job_stage is JobStage.POST_RUNNING  # not checked after the probe succeeded
    assert paths(recorder) == ["/j1/ping", "/jobs/j1"] * 3
    assert_one_second_sleeps(clock, 2)


@pytest.mark.parametrize("timeout", [None, 0])
async def test_await_healthy_job_entered_post_running(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, timeout: Any
) -> None:
    recorder.script(503, "not ready")
    recorder.script(200, job("post_running", job_status="failed"))
    with pytest.raises(VexaException) as caught:
        await jobs.await_healthy("j1", timeout)
    assert caught.value.error is VexaError.JOB_POST_RUNNING
    assert str(caught.value) == "Job j1 unexpectedly entered stage POST_RUNNING"
    assert paths(recorder) == ["/j1/ping", "/jobs/j1"]
    assert clock.sleeps == []


@pytest.mark.parametrize("timeout, text, rounds", [(5, "5.0", 6), (0, "0.0", 1), (1.5, "1.5", 3)])
async def test_await_healthy_timeout(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock, timeout: Any, text: str, rounds: int
) -> None:
    for _ in range(rounds):
        recorder.script(503, "not ready")
        recorder.script(200, job("running"))
    recorder.set_default(500, "no more rounds expected")
    with pytest.raises(TimeoutError) as caught:
        await jobs.await_healthy("j1", timeout=timeout)
    assert str(caught.value) == f"Job j1 did not become healthy within {text} seconds"
    assert paths(recorder) == ["/j1/ping", "/jobs/j1"] * rounds
    assert_one_second_sleeps(clock, rounds - 1)


async def test_await_healthy_fetch_error_ends_the_wait(
    recorder: RecordingServer, jobs: AsyncJobsClient, clock: FakeClock
) -> None:
    recorder.script(503, "not ready")
    recorder.script(404, {"detail": "Job j1 not found"})
    with pytest.raises(NotFoundError) as caught:
        await jobs.await_healthy("j1")
    assert str(caught.value) == f"404 Not Found for GET {recorder.base_url}/jobs/j1: Job j1 not found"
    assert clock.sleeps == []


class ProbeRecordingJobs(AsyncJobsClient):
    def __init__(self, client: Any, probes: list[bool]) -> None:
        super().__init__(client)
        self.probes = probes
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    async def is_healthy(self, *args: Any, **kwargs: Any) -> bool:  # type: ignore[override]
        self.calls.append((args, kwargs))
        return self.probes.pop(0)


class ParentJobs:
    """Stands in for the parent's `jobs` attribute; records `get` calls."""

    def __init__(self, answers: list[Job]) -> None:
        self.answers = answers
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    async def get(self, *args: Any, **kwargs: Any) -> Job:
        self.calls.append((args, kwargs))
        return self.answers.pop(0)


async def test_await_healthy_uses_self_is_healthy_and_the_parents_jobs(clock: FakeClock) -> None:
    parent = AsyncClient(base_url="http://127.0.0.1:9")
    parent.jobs = ParentJobs([Job(**job("pre_running")), Job(**job("running", round="final"))])
    jobs = ProbeRecordingJobs(parent, [False, True])
    result = await jobs.await_healthy("j1")
    assert result.round == "final"
    assert jobs.calls == [((), {"job_id": "j1"}), ((), {"job_id": "j1"})]
    assert parent.jobs.calls == [(("j1",), {}), (("j1",), {})]
    assert_one_second_sleeps(clock, 1)
