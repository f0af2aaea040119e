"""How fast the local service runs jobs: start-up, output streaming and the web proxy.

Runs the service in this process (real runner) and prints, as the minimum of
several runs:
  - batch job: from the POST that starts it to its end (main.py prints one line);
  - web job: from the POST to its app answering through the proxy (examples/hello_web);
  - output: a job printing N lines, from the start to the last line streamed, in lines/s;
  - proxy: one GET of the app's page through the service, and straight from the app;
  - proxy streaming: a big body downloaded through the service, in MiB/s.

    .venv/bin/python bench/bench_jobs.py [--quick]
"""

from __future__ import annotations

import argparse
import io
import statistics
import sys
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Callable

import httpx

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT))

from vexa.devservice import RunningService, start_in_thread  # noqa: E402

EXAMPLE_APP = REPO_ROOT / "examples" / "hello_web" / "main.py"
MIB = 1024 * 1024
ENDED = {"finished", "failed", "stopped", "timeout", "canceled"}

BIG_BODY_APP = """
import os
from http.server import BaseHTTPRequestHandler, HTTPServer
SIZE = 64 * 2**20
CHUNK = bytes(2**20)

class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(SIZE))
        self.end_headers()
        for _ in range(SIZE // len(CHUNK)):
            self.wfile.write(CHUNK)
    def log_message(self, *args):
        pass

HTTPServer(("127.0.0.1", int(os.environ["PORT"])), Handler).serve_forever()
"""


def zip_of(files: dict[str, str | bytes]) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, content in files.items():
            archive.writestr(name, content)
    return buffer.getvalue()


def poll(check: Callable[[], bool], timeout: float = 60.0) -> None:
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise TimeoutError("the service did not get there in time")
        time.sleep(0.002)


def status_of(client: httpx.Client, job_id: str) -> str:
    return str(client.get(f"/jobs/{job_id}/status").json())


def batch_job_seconds(client: httpx.Client, code_id: str) -> float:
    started = time.perf_counter()
    job_id = client.post(f"/jobs/code/{code_id}/run").json()["job_id"]
    poll(lambda: status_of(client, job_id) in ENDED)
    return time.perf_counter() - started


def web_job_seconds(client: httpx.Client, code_id: str) -> float:
    started = time.perf_counter()
    job_id = client.post(f"/jobs/code/{code_id}/run/web").json()["job_id"]
    poll(lambda: client.get(f"/{job_id}/").status_code == 200)
    elapsed = time.perf_counter() - started
    client.post(f"/jobs/{job_id}/terminate")
    return elapsed


def streamed_lines_per_second(client: httpx.Client, code_id: str) -> tuple[float, int]:
    started = time.perf_counter()
    job_id = client.post(f"/jobs/code/{code_id}/run").json()["job_id"]
    count = 0
    with client.stream("GET", f"/jobs/{job_id}/stream") as response:
        for raw in response.iter_lines():
            if raw.strip():
                count += 1
    return count / (time.perf_counter() - started), count


def upload(client: httpx.Client, name: str, zip_bytes: bytes, code_type: str = "python") -> str:
    files = {"code_zip": ("code.zip", zip_bytes, "application/zip")}
    return str(client.post("/code/upload", data={"code_name": name, "code_type": code_type}, files=files).json())


def report(label: str, values: list[float], unit: str, scale: float = 1.0) -> None:
    scaled = [value * scale for value in values]
    print(f"{label:<44} min {min(scaled):10.2f} {unit:<8} median {statistics.median(scaled):10.2f} {unit}")


def run(service: RunningService, runs: int, lines: int) -> None:
    with httpx.Client(base_url=service.base_url, headers=service.headers, timeout=60) as client:
        hello = upload(client, "hello", zip_of({"main.py": "print('hello')"}))
        report("batch job, start to end", [batch_job_seconds(client, hello) for _ in range(runs)], "ms", 1000)

        web = upload(client, "web", zip_of({"main.py": EXAMPLE_APP.read_bytes()}), "web")
        report("web job, start to page through proxy", [web_job_seconds(client, web) for _ in range(runs)], "ms", 1000)

        printer = upload(client, "printer", zip_of({"main.py": f"for i in range({lines}):\n    print('line', i)\n"}))
        rates = [streamed_lines_per_second(client, printer) for _ in range(runs)]
        assert all(count == lines + 1 for _, count in rates), rates  # plus the service's "Unpacking" line
        print(f"{f'output, {lines} lines streamed':<44} max {max(rate for rate, _ in rates):10.0f} lines/s")

        job_id = client.post(f"/jobs/code/{web}/run/web").json()["job_id"]
        poll(lambda: client.get(f"/{job_id}/").status_code == 200)
        web_job = service.runner.get(job_id)
        assert web_job is not None and web_job.port is not None
        port = web_job.port
        through = []
        for _ in range(runs * 40):
            started = time.perf_counter()
            client.get(f"/{job_id}/hello")
            through.append(time.perf_counter() - started)
        report("GET /hello through the service proxy", through, "ms", 1000)
        with httpx.Client(timeout=60) as direct_client:
            direct = []
            for _ in range(runs * 40):
                started = time.perf_counter()
                direct_client.get(f"http://127.0.0.1:{port}/hello")
                direct.append(time.perf_counter() - started)
        report("GET /hello straight from the app", direct, "ms", 1000)
        client.post(f"/jobs/{job_id}/terminate")

        big = upload(client, "big", zip_of({"main.py": BIG_BODY_APP}), "web")
        job_id = client.post(f"/jobs/code/{big}/run/web").json()["job_id"]
        poll(lambda: client.get(f"/{job_id}/ping").status_code == 200)
        speeds = []
        for _ in range(runs):
            started = time.perf_counter()
            received = 0
            with client.stream("GET", f"/{job_id}/") as response:
                for chunk in response.iter_raw(MIB):
                    received += len(chunk)
            speeds.append(received / MIB / (time.perf_counter() - started))
        print(f"{f'proxy streaming, {received // MIB} MiB body':<44} max {max(speeds):10.1f} MiB/s")
        client.post(f"/jobs/{job_id}/terminate")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs and smaller sizes")
    args = parser.parse_args()
    runs, lines = (3, 20_000) if args.quick else (7, 100_000)
    with (
        tempfile.TemporaryDirectory(prefix="vexa-bench-") as temp,
        start_in_thread(Path(temp) / "data", "bench") as service,
    ):
        run(service, runs, lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
