"""Load on one AsyncClient: many concurrent operations against the local service.

    .venv/bin/python bench/load.py [--runs 3] [--mode default] [--await-stage 1000 --get 1000 --stream 200]

Starts the local service in a subprocess (simulated jobs), creates a few jobs,
then runs all operations at once on one `AsyncClient`: `await_stage` until each
job has ended, `get`, and `stream_output` of a whole job's output. Each run is
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
from contextlib import AbstractAsyncContextManager, asynccontextmanager, contextmanager
from typing import AsyncIterator, Callable, Iterator

from vexa import AsyncClient
from vexa.types import CodeType, CodeZip, JobStage

API_KEY = "load-key"
JOBS = 20  # the operations are spread over this many jobs
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


@contextmanager
def local_service(data_dir: str) -> Iterator[str]:
    """The local service in a subprocess with simulated jobs; yields its base URL."""
    command = [sys.executable, "-m", "vexa.devservice", "--port", "0", "--data-dir", data_dir, "--api-key", API_KEY,
               "--queue-seconds", "0.2", "--run-seconds", "1.0", "--output-lines", "5", "--keepalive-seconds", "0.5"]
    help_text = subprocess.run([sys.executable, "-m", "vexa.devservice", "--help"], capture_output=True, text=True).stdout
    if "--simulate" in help_text:  # once the service runs code for real, keep the simulated runner
        command.append("--simulate")
    service = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
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


async def load(client: AsyncClient, await_stages: int, gets: int, streams: int) -> float:
    """Creates the jobs, then runs every operation at once; returns the wall time of the operations."""
    code_zip = small_zip()
    jobs = [await client.code.ingest(code_zip, f"load-{index}", CodeType.PYTHON) for index in range(JOBS)]
    job_ids = [job.job_id for job in jobs]

    async def stream(job_id: str) -> int:
        return sum([1 async for _ in client.jobs.stream_output(job_id)])

    started = time.perf_counter()
    operations = [client.jobs.await_stage(job_ids[index % JOBS], timeout=120) for index in range(await_stages)]
    operations += [client.jobs.get(job_ids[index % JOBS]) for index in range(gets)]
    operations += [stream(job_ids[index % JOBS]) for index in range(streams)]
    results = await asyncio.gather(*operations)
    elapsed = time.perf_counter() - started
    ended = results[:await_stages]
    assert all(job.job_stage == JobStage.POST_RUNNING for job in ended), "a wait ended before its job did"
    return elapsed


def child(base_url: str, mode: str, await_stages: int, gets: int, streams: int) -> None:
    async def main() -> float:
        async with MODES[mode](base_url) as client:
            return await load(client, await_stages, gets, streams)

    elapsed = asyncio.run(main())
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"wall_s": elapsed, "peak_rss_mb": peak_mb}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", choices=sorted(MODES), action="append", help="default: every mode")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--await-stage", type=int, default=1000)
    parser.add_argument("--get", type=int, default=1000)
    parser.add_argument("--stream", type=int, default=200)
    parser.add_argument("--child", metavar="BASE_URL", help=argparse.SUPPRESS)
    args = parser.parse_args()
    counts = (args.await_stage, args.get, args.stream)
    if args.child:
        child(args.child, args.mode[0], *counts)
        return

    # Thousands of concurrent connections: raise the open-file limit as far as allowed.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    print(f"{args.await_stage} await_stage + {args.get} get + {args.stream} stream_output on one AsyncClient, "
          f"{args.runs} runs, CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    with tempfile.TemporaryDirectory() as data_dir, local_service(data_dir) as base_url:
        for mode in args.mode or sorted(MODES):
            runs = []
            for _ in range(args.runs):
                output = subprocess.run(
                    [sys.executable, __file__, "--child", base_url, "--mode", mode, "--await-stage", str(counts[0]),
                     "--get", str(counts[1]), "--stream", str(counts[2])],
                    capture_output=True, text=True, check=True,
                ).stdout
                runs.append(json.loads(output.strip().splitlines()[-1]))
                print(f"  {mode}: {runs[-1]['wall_s']:.1f} s, peak RSS {runs[-1]['peak_rss_mb']:.0f} MB", flush=True)
            print(f"{mode}: wall {min(run['wall_s'] for run in runs):.1f} s, "
                  f"client peak RSS {min(run['peak_rss_mb'] for run in runs):.0f} MB (min of {len(runs)})")


if __name__ == "__main__":
    main()
