"""Load on one AsyncClient: many concurrent operations against the local service.

    .venv/bin/python bench/load.py [--runs 3] [--mode default] [--concurrency N]
                                   [--await-stage 1000 --get 1000 --stream 200]

Starts the local service in a subprocess (simulated jobs), creates a few jobs,
then runs all operations at once (or at most N at a time) on one
`AsyncClient`: `await_stage` until each job has ended, `get`, and
`stream_output` of a whole job's output. Failed operations are counted by
error type, not raised. Each run is
a fresh child process, so that its peak RSS is the client's alone; the script
prints wall time and peak RSS per run and the minimum over the runs.

Modes say how the client is made and used. "default" is the plain
`AsyncClient`, whose every request opens its own HTTP client; "shared" is
`async with AsyncClient(...)`, whose requests share one pooled HTTP client.
"""

from __future__ import annotations

import argparse
import asyncio
import io
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import zipfile
from collections import Counter
from contextlib import AbstractAsyncContextManager, asynccontextmanager, contextmanager
from dataclasses import dataclass
from functools import partial
from typing import Any, AsyncIterator, Awaitable, Callable, Iterator

from vexa import AsyncClient
from vexa.types import CodeType, CodeZip, JobStage

API_KEY = "load-key"
JOBS = 20  # the operations are spread over this many jobs


@dataclass(frozen=True)
class Counts:
    await_stage: int
    get: int
    stream: int

    @property
    def total(self) -> int:
        return self.await_stage + self.get + self.stream


# Builds the client for a base URL, and closes what it owns on the way out.
Mode = Callable[[str], AbstractAsyncContextManager[AsyncClient]]


@asynccontextmanager
async def default_mode(base_url: str) -> AsyncIterator[AsyncClient]:
    yield AsyncClient(base_url, api_key=API_KEY)


@asynccontextmanager
async def shared_mode(base_url: str) -> AsyncIterator[AsyncClient]:
    async with AsyncClient(base_url, api_key=API_KEY) as client:
        yield client


MODES: dict[str, Mode] = {"default": default_mode, "shared": shared_mode}


# Runs the service with a listen backlog that holds every connection of the load:
# its own (128) lets the kernel drop the excess connection attempts, which then
# retry after 1 s and 3 s and end as connect time-outs. What is measured here is
# the client, not the service's accept queue.
SERVICE_LAUNCHER = """
import runpy, socket
listen = socket.socket.listen
socket.socket.listen = lambda sock, backlog=0: listen(sock, 4096)
runpy.run_module("vexa.devservice", run_name="__main__", alter_sys=True)
"""


@contextmanager
def local_service(data_dir: str) -> Iterator[str]:
    """The local service in a subprocess with simulated jobs; yields its base URL."""
    options = [
        "--port",
        "0",
        "--data-dir",
        data_dir,
        "--queue-seconds",
        "0.2",
        "--run-seconds",
        "1.0",
        "--output-lines",
        "5",
        "--keepalive-seconds",
        "0.5",
    ]
    command = [sys.executable, "-c", SERVICE_LAUNCHER, *options]
    help_text = subprocess.run(
        [sys.executable, "-m", "vexa.devservice", "--help"], capture_output=True, text=True
    ).stdout
    if "--simulate" in help_text:  # once the service runs code for real, keep the simulated runner
        command.append("--simulate")
    if "VEXA_API_KEY" not in help_text:  # a service from before the key could come from the environment
        command += ["--api-key", API_KEY]
    env = dict(os.environ, VEXA_API_KEY=API_KEY)  # not on the command line, where every local user can read it
    service = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert service.stdout is not None
        first_line = service.stdout.readline()
        yield first_line.strip().rsplit(" ", 1)[-1]
    finally:
        service.terminate()
        service.wait(timeout=10)


def small_zip() -> CodeZip:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("main.py", 'print("hello")\n')
    return CodeZip(zip_bytes=buffer.getvalue())


async def load(client: AsyncClient, counts: Counts, concurrency: int | None) -> dict[str, Any]:
    """Creates the jobs, then runs the operations, at most `concurrency` at a time
    (None: all at once); returns the wall time of the operations and their failures."""
    code_zip = small_zip()
    jobs = [await client.code.ingest(code_zip, f"load-{index}", CodeType.PYTHON) for index in range(JOBS)]
    job_ids = [job.job_id for job in jobs]
    limit = asyncio.Semaphore(concurrency or counts.total)

    async def limited(operation: Awaitable[Any]) -> Any:
        async with limit:
            return await operation

    async def stream(job_id: str) -> int:
        return sum([1 async for _ in client.jobs.stream_output(job_id)])

    operations: list[Callable[[], Awaitable[Any]]] = []
    operations += [
        partial(client.jobs.await_stage, job_ids[index % JOBS], timeout=120) for index in range(counts.await_stage)
    ]
    operations += [partial(client.jobs.get, job_ids[index % JOBS]) for index in range(counts.get)]
    operations += [partial(stream, job_ids[index % JOBS]) for index in range(counts.stream)]
    started = time.perf_counter()
    # Each operation's coroutine is made when its turn comes, as a caller would.
    results = await asyncio.gather(*(limited(operation()) for operation in operations), return_exceptions=True)
    elapsed = time.perf_counter() - started
    failures = Counter(type(result).__name__ for result in results if isinstance(result, BaseException))
    waits = [result for result in results[: counts.await_stage] if not isinstance(result, BaseException)]
    assert all(job.job_stage == JobStage.POST_RUNNING for job in waits), "a wait ended before its job did"
    return {"wall_s": elapsed, "failures": dict(failures)}


def child(base_url: str, mode: str, counts: Counts, concurrency: int | None) -> None:
    async def main() -> dict[str, Any]:
        async with MODES[mode](base_url) as client:
            return await load(client, counts, concurrency)

    measured = asyncio.run(main())
    measured["peak_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(measured))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", choices=sorted(MODES), action="append", help="default: every mode")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--await-stage", type=int, default=1000)
    parser.add_argument("--get", type=int, default=1000)
    parser.add_argument("--stream", type=int, default=200)
    parser.add_argument("--concurrency", type=int, help="operations in flight at most (default: all at once)")
    parser.add_argument("--child", metavar="BASE_URL", help=argparse.SUPPRESS)
    args = parser.parse_args()
    counts = Counts(args.await_stage, args.get, args.stream)
    if args.child:
        child(args.child, args.mode[0], counts, args.concurrency)
        return

    # Thousands of concurrent connections: raise the open-file limit as far as allowed.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    in_flight = args.concurrency or "all"
    print(
        f"{counts.await_stage} await_stage + {counts.get} get + {counts.stream} stream_output on one AsyncClient, "
        f"{in_flight} in flight, {args.runs} runs, CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
        f"load average {os.getloadavg()[0]:.1f}"
    )
    child_options = ["--await-stage", str(counts.await_stage), "--get", str(counts.get), "--stream", str(counts.stream)]
    if args.concurrency:
        child_options += ["--concurrency", str(args.concurrency)]
    with tempfile.TemporaryDirectory() as data_dir, local_service(data_dir) as base_url:
        for mode in args.mode or sorted(MODES):
            runs = []
            for _ in range(args.runs):
                finished = subprocess.run(
                    [sys.executable, __file__, "--child", base_url, "--mode", mode, *child_options],
                    capture_output=True,
                    text=True,
                )
                if finished.returncode != 0:
                    sys.exit(f"{mode}: the run failed:\n{finished.stderr[-3000:]}")
                run = json.loads(finished.stdout.strip().splitlines()[-1])
                runs.append(run)
                failed = sum(run["failures"].values())
                print(
                    f"  {mode}: {run['wall_s']:.1f} s, peak RSS {run['peak_rss_mb']:.0f} MB, "
                    f"{failed} of {counts.total} failed {run['failures'] or ''}",
                    flush=True,
                )
            print(
                f"{mode}: wall {min(run['wall_s'] for run in runs):.1f} s, "
                f"client peak RSS {min(run['peak_rss_mb'] for run in runs):.0f} MB (min of {len(runs)})"
            )


if __name__ == "__main__":
    main()
