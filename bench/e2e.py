"""End to end against a local keep-alive server: time per request and memory of big transfers.

    .venv/bin/python bench/e2e.py [--quick] [--runs 5]

Time: `jobs.get` (and `code.get_info` on the blocking client), sequential and
1,000 at once, in four modes: "default" (`AsyncClient(...)`: a new HTTP
client per request), "shared" (`async with AsyncClient(...)`: one pooled HTTP
client), "raw httpx" (the same request, status check and model built by hand
on one shared httpx client) and "raw per request" (the same by hand with the
default mode's shape: a new httpx client per request, closed after it, all of
them given one TLS context made once). "default" is measured against "raw per
request", "shared" against "raw httpx". The figure is the minimum over the runs.

Memory: download and `get_result` of a 200 MB archive to a `zip_path`, an
upload of it, and streaming 100,000 output lines, each in its own child
process; the figure is the peak RSS above the child's RSS just before the
operation (after imports), as a multiple of the archive size where it has one.

The server is a small asyncio HTTP/1.1 server in its own process, so its work
is not counted in the client's memory. `collect(quick)` returns the rows for
a runner that prints one table.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import resource
import ssl
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Awaitable, Callable, Iterator

import httpx

from vexa import AsyncClient, Client
from vexa.types import CodeInfo, CodeType, CodeZip, Job

MB = 1024 * 1024
JOB = json.dumps({"job_id": "j1", "job_status": "started", "job_stage": "running"}).encode()
INFO = json.dumps({"code_id": "c1", "code_name": "bench", "code_type": "python"}).encode()
STREAM_LINE = json.dumps({"job_id": "j1", "stream": "stdout", "text": "x" * 60}).encode() + b"\n"
PIECE = bytes(range(256)) * 4096  # 1 MB that the server repeats for big bodies

Row = tuple[str, str, float]


# --- The server ------------------------------------------------------------------


async def serve_connection(
    reader: asyncio.StreamReader, writer: asyncio.StreamWriter, archive_mb: int, lines: int
) -> None:
    """One keep-alive connection: answers requests until the client closes it."""
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            request_line, *header_lines = head.decode("latin-1").split("\r\n")
            method, target, _ = request_line.split(" ", 2)
            headers = {
                name.lower(): value.strip() for name, _, value in (line.partition(":") for line in header_lines if line)
            }
            remaining = int(headers.get("content-length", "0"))
            while remaining:  # uploads are read and dropped
                remaining -= len(await reader.read(min(remaining, MB)))
            path = target.split("?", 1)[0]
            if path.endswith("/download") or path.endswith("/result"):
                await send(writer, archive_mb * MB, (PIECE for _ in range(archive_mb)), "application/zip")
            elif path.endswith("/stream"):
                batch = STREAM_LINE * 1000
                await send(writer, len(STREAM_LINE) * lines, (batch for _ in range(lines // 1000)), "text/plain")
            elif path.startswith("/code/upload"):
                await send(writer, 4, iter([b'"c1"']), "application/json")
            elif path.startswith("/code/"):
                await send(writer, len(INFO), iter([INFO]), "application/json")
            else:
                await send(writer, len(JOB), iter([JOB]), "application/json")
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()


async def send(writer: asyncio.StreamWriter, length: int, pieces: Iterator[bytes], content_type: str) -> None:
    writer.write(f"HTTP/1.1 200 OK\r\nContent-Type: {content_type}\r\nContent-Length: {length}\r\n\r\n".encode())
    for piece in pieces:
        writer.write(piece)
        await writer.drain()
    await writer.drain()


def run_server(archive_mb: int, lines: int) -> None:
    async def main() -> None:
        server = await asyncio.start_server(
            lambda r, w: serve_connection(r, w, archive_mb, lines), "127.0.0.1", 0, backlog=2048
        )
        print(server.sockets[0].getsockname()[1], flush=True)
        await server.serve_forever()

    asyncio.run(main())


@contextmanager
def local_server(archive_mb: int, lines: int) -> Iterator[str]:
    command = [sys.executable, __file__, "--serve", "--archive-mb", str(archive_mb), "--lines", str(lines)]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout is not None
        yield f"http://127.0.0.1:{server.stdout.readline().strip()}"
    finally:
        server.terminate()
        server.wait(timeout=10)


# --- Time ----------------------------------------------------------------------


async def raw_get(http: httpx.AsyncClient, base_url: str, job_id: str) -> Job:
    response = await http.get(f"{base_url}/jobs/{job_id}", headers={"X-API-Key": "k"})
    response.raise_for_status()
    return Job(**response.json())


async def time_async(base_url: str, mode: str, count: int, concurrent: bool) -> float:
    """Seconds per `get` (sequential) or for all of them (concurrent)."""

    async def timed(get: Callable[[], Awaitable[Job]]) -> float:
        await get()  # warm: connection made, caches filled
        started = time.perf_counter()
        if concurrent:
            await asyncio.gather(*(get() for _ in range(count)))
        else:
            for _ in range(count):
                await get()
        elapsed = time.perf_counter() - started
        return elapsed if concurrent else elapsed / count

    if mode == "raw httpx":
        async with httpx.AsyncClient() as http:
            return await timed(lambda: raw_get(http, base_url, "j1"))
    if mode == "raw per request":
        context = ssl.create_default_context()

        async def per_request() -> Job:
            async with httpx.AsyncClient(verify=context) as http:
                return await raw_get(http, base_url, "j1")

        return await timed(per_request)
    if mode == "shared":
        async with AsyncClient(base_url, api_key="k") as client:
            return await timed(lambda: client.jobs.get("j1"))
    default_client = AsyncClient(base_url, api_key="k")
    return await timed(lambda: default_client.jobs.get("j1"))


def time_sync(base_url: str, mode: str, count: int) -> float:
    """Seconds per blocking `code.get_info`."""

    def timed(get: Callable[[], CodeInfo]) -> float:
        get()
        started = time.perf_counter()
        for _ in range(count):
            get()
        return (time.perf_counter() - started) / count

    if mode == "raw httpx":
        with httpx.Client() as http:

            def raw() -> CodeInfo:
                response = http.get(f"{base_url}/code/c1/info", headers={"X-API-Key": "k"})
                response.raise_for_status()
                return CodeInfo(**response.json())

            return timed(raw)
    if mode == "raw per request":
        context = ssl.create_default_context()

        def per_request() -> CodeInfo:
            response = httpx.get(f"{base_url}/code/c1/info", headers={"X-API-Key": "k"}, verify=context)
            response.raise_for_status()
            return CodeInfo(**response.json())

        return timed(per_request)
    if mode == "shared":
        with Client(base_url, api_key="k") as client:
            return timed(lambda: client.code.get_info("c1"))
    default_client = Client(base_url, api_key="k")
    return timed(lambda: default_client.code.get_info("c1"))


MODES = ["default", "raw per request", "shared", "raw httpx"]


def collect_time(base_url: str, quick: bool, runs: int) -> list[Row]:
    rows: list[Row] = []
    sequential = (
        {"default": 20, "raw per request": 20, "shared": 300, "raw httpx": 300}
        if quick
        else {"default": 300, "raw per request": 300, "shared": 3000, "raw httpx": 3000}
    )
    concurrent = 100 if quick else 1000
    for mode in MODES:
        best = min(time_sync(base_url, mode, sequential[mode]) for _ in range(runs))
        rows.append((f"Client.code.get_info sequential, {mode}", "us/call", best * 1e6))
    for mode in MODES:
        best = min(asyncio.run(time_async(base_url, mode, sequential[mode], False)) for _ in range(runs))
        rows.append((f"AsyncClient.jobs.get sequential, {mode}", "us/call", best * 1e6))
    for mode in MODES:
        best = min(asyncio.run(time_async(base_url, mode, concurrent, True)) for _ in range(runs))
        rows.append((f"AsyncClient.jobs.get {concurrent} concurrent, {mode}", "s total", best))
    return rows


# --- Memory --------------------------------------------------------------------


def status_bytes(field: str) -> int:
    """A size from /proc/self/status, e.g. "VmRSS" or "VmHWM" (the peak RSS)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak_rss() -> None:
    # getrusage's ru_maxrss survives exec and so starts at the parent's peak;
    # VmHWM belongs to this process and can be reset.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def measure(base_url: str, what: str, scratch: str) -> dict[str, float]:
    """Runs one transfer in this (child) process; returns the peak RSS above the baseline."""
    target = Path(scratch) / "out.zip"
    source = Path(scratch) / "in.zip"
    shared = what.endswith("shared")
    kind = what.removesuffix(" shared")
    reset_peak_rss()
    baseline = status_bytes("VmRSS")

    async def with_async(operation: Callable[[AsyncClient], Awaitable[Any]]) -> Any:
        if shared:
            async with AsyncClient(base_url, api_key="k") as client:
                return await operation(client)
        return await operation(AsyncClient(base_url, api_key="k"))

    def with_sync(operation: Callable[[Client], Any]) -> Any:
        if shared:
            with Client(base_url, api_key="k") as client:
                return operation(client)
        return operation(Client(base_url, api_key="k"))

    size = 0
    if kind == "download":
        size = len(with_sync(lambda c: c.code.download("c1", zip_path=target)).zip_bytes)
    elif kind == "async download":
        size = len(asyncio.run(with_async(lambda c: c.code.download("c1", zip_path=target))).zip_bytes)
    elif kind == "get_result":
        size = len(asyncio.run(with_async(lambda c: c.jobs.get_result("j1", zip_path=target))).zip_bytes)
    elif kind == "upload":
        size = source.stat().st_size
        with_sync(lambda c: c.code.upload(CodeZip.from_path(source), "big", CodeType.PYTHON))
    elif kind == "stream":

        async def count_lines(client: AsyncClient) -> int:
            count = 0
            async for _ in client.jobs.stream_output("j1"):
                count += 1
            return count

        size = asyncio.run(with_async(count_lines))
    peak = status_bytes("VmHWM")
    return {"peak_above_baseline": peak - baseline, "size": size}


MEMORY = ["download", "async download", "get_result", "upload", "stream"]


def collect_memory(base_url: str, archive_mb: int, lines: int, runs: int) -> list[Row]:
    rows: list[Row] = []
    with tempfile.TemporaryDirectory() as scratch:
        with open(Path(scratch) / "in.zip", "wb") as source:
            for _ in range(archive_mb):
                source.write(PIECE)
        for what in MEMORY + [f"{kind} shared" for kind in MEMORY]:
            results = []
            for _ in range(runs):
                output = subprocess.run(
                    [sys.executable, __file__, "--measure", what, base_url, scratch],
                    capture_output=True,
                    text=True,
                    check=True,
                ).stdout
                results.append(json.loads(output.strip().splitlines()[-1]))
            peak = min(result["peak_above_baseline"] for result in results)
            if what.startswith("stream"):
                rows.append((f"{what}: {results[0]['size']:,} output lines, peak above baseline", "MB", peak / MB))
            else:
                rows.append((f"{what} of {archive_mb} MB, peak above baseline", "x size", peak / (archive_mb * MB)))
    return rows


def collect(quick: bool, runs: int | None = None, parts: tuple[str, ...] = ("time", "memory")) -> list[Row]:
    """The rows of this bench: (what, unit, value)."""
    runs = runs or (1 if quick else 5)
    archive_mb, lines = (20, 10_000) if quick else (200, 100_000)
    rows: list[Row] = []
    with local_server(archive_mb, lines) as base_url:
        if "time" in parts:
            rows += collect_time(base_url, quick, runs)
        if "memory" in parts:
            rows += collect_memory(base_url, archive_mb, lines, min(runs, 3))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small counts and a 20 MB archive (for CI)")
    parser.add_argument("--runs", type=int)
    parser.add_argument("--only", choices=["time", "memory"], help="one half of the bench")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--archive-mb", type=int, default=200, help=argparse.SUPPRESS)
    parser.add_argument("--lines", type=int, default=100_000, help=argparse.SUPPRESS)
    parser.add_argument("--measure", nargs=3, metavar=("WHAT", "BASE_URL", "SCRATCH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        run_server(args.archive_mb, args.lines)
        return
    if args.measure:
        print(json.dumps(measure(args.measure[1], args.measure[0], args.measure[2])))
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs, {time.strftime('%Y-%m-%d %H:%M')}")
    rows = collect(args.quick, args.runs, (args.only,) if args.only else ("time", "memory"))
    width = max(len(name) for name, _, _ in rows)
    for name, unit, value in rows:
        print(f"{name:<{width}}  {value:>10.3f} {unit}")
    times = {name: value for name, _, value in rows}
    for call in (
        []
        if args.only == "memory"
        else [
            "Client.code.get_info sequential",
            "AsyncClient.jobs.get sequential",
            f"AsyncClient.jobs.get {100 if args.quick else 1000} concurrent",
        ]
    ):
        shared, raw = times[f"{call}, shared"], times[f"{call}, raw httpx"]
        default, per_request = times[f"{call}, default"], times[f"{call}, raw per request"]
        print(
            f"{call}: shared / raw httpx = {shared / raw:.2f}, default / raw per request = {default / per_request:.2f}"
        )


if __name__ == "__main__":
    main()
