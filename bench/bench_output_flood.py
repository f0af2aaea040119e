"""A job that prints a flood of output, and the dev service's memory meanwhile.

Runs the service as a subprocess and reads its peak RSS (VmHWM) from /proc:
after start, once the flooding job has ended, after its output was streamed
and its result downloaded, and after a restart on the same data dir. The
service keeps output on disk and moves it in pieces, so none of these should
grow with the flood's size.

    .venv/bin/python bench/bench_output_flood.py [--flood-mb 256] [--line-bytes 4096] [--service-option=--max-output-mb=0]

`--pythonpath DIR` runs the service from another source tree (an export of an
older commit, say) to compare.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
import zipfile
from io import BytesIO
from pathlib import Path

import httpx

REPO_ROOT = Path(__file__).resolve().parent.parent
API_KEY = "bench-key"
MIB = 1024 * 1024

FLOOD = """
import sys
line = "x" * {line_bytes} + "\\n"
for _ in range({count}):
    sys.stdout.write(line)
"""


def peak_and_now_mb(pid: int) -> tuple[float, float]:
    values = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, rest = line.partition(":")
        if key in ("VmHWM", "VmRSS"):
            values[key] = int(rest.split()[0]) / 1024
    return values["VmHWM"], values["VmRSS"]


def start_service(data_dir: Path, pythonpath: str, options: list[str]) -> tuple[subprocess.Popen[str], str]:
    env = dict(os.environ, PYTHONPATH=pythonpath, VEXA_API_KEY=API_KEY)
    # --api-key too, for services older than the environment variable.
    command = [
        sys.executable,
        "-m",
        "vexa.devservice",
        "--port",
        "0",
        "--data-dir",
        str(data_dir),
        "--api-key",
        API_KEY,
        *options,
    ]
    # Started outside any source tree: `-m` puts the working directory first on sys.path.
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env, cwd=data_dir.parent
    )
    assert process.stdout is not None
    banner = process.stdout.readline()  # "vexa devservice listening on http://host:port"
    return process, banner.split()[-1]


def stop(process: subprocess.Popen[str]) -> None:
    process.terminate()
    try:
        process.wait(30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--flood-mb", type=int, default=256, help="MiB the job prints (default 256)")
    parser.add_argument("--line-bytes", type=int, default=4095, help="bytes per line before its newline (default 4095)")
    parser.add_argument(
        "--pythonpath", default=str(REPO_ROOT), help="source tree to run the service from (default: this one)"
    )
    parser.add_argument(
        "--service-option", action="append", default=[], help="extra option for the service (repeatable)"
    )
    args = parser.parse_args()

    count = args.flood_mb * MIB // (args.line_bytes + 1)
    code = BytesIO()
    with zipfile.ZipFile(code, "w") as archive:
        archive.writestr("main.py", FLOOD.format(line_bytes=args.line_bytes, count=count))

    rows: list[tuple[str, float, float]] = []
    with tempfile.TemporaryDirectory(prefix="vexa-flood-") as scratch:
        data_dir = Path(scratch) / "data"
        process, base_url = start_service(data_dir, args.pythonpath, args.service_option)
        try:
            with httpx.Client(base_url=base_url, headers={"X-API-Key": API_KEY}, timeout=600) as client:
                rows.append(("started", *peak_and_now_mb(process.pid)))
                code_id = client.post(
                    "/code/upload",
                    data={"code_name": "flood", "code_type": "python"},
                    files={"code_zip": ("flood.zip", code.getvalue(), "application/zip")},
                ).json()
                job_id = client.post(f"/jobs/code/{code_id}/run").json()["job_id"]
                began = time.monotonic()
                while client.get(f"/jobs/{job_id}/status").json() in ("queued", "started"):
                    time.sleep(0.2)
                took = time.monotonic() - began
                ended = client.get(f"/jobs/{job_id}").json()
                rows.append((f"job {ended['job_status']} ({took:.1f} s)", *peak_and_now_mb(process.pid)))
                streamed = lines = 0
                with client.stream("GET", f"/jobs/{job_id}/stream") as response:
                    for piece in response.iter_bytes():
                        streamed += len(piece)
                        lines += piece.count(b"\n")
                downloaded = 0
                with client.stream("GET", f"/jobs/{job_id}/result") as response:
                    response.raise_for_status()
                    for piece in response.iter_bytes():
                        downloaded += len(piece)
                rows.append(
                    (
                        f"streamed {lines} lines, {streamed / MIB:.0f} MiB; result {downloaded / MIB:.1f} MiB",
                        *peak_and_now_mb(process.pid),
                    )
                )
        finally:
            stop(process)
        process, base_url = start_service(data_dir, args.pythonpath, args.service_option)
        try:
            httpx.get(base_url + "/jobs", headers={"X-API-Key": API_KEY}, timeout=600)
            rows.append(("restarted on the same data dir", *peak_and_now_mb(process.pid)))
        finally:
            stop(process)

    print(
        f"job printing {args.flood_mb} MiB in lines of {args.line_bytes + 1} bytes; service options {args.service_option or 'default'}"
    )
    print(f"{'after':<45} {'peak RSS MB':>12} {'RSS MB':>8}")
    for label, peak, now in rows:
        print(f"{label:<45} {peak:>12.0f} {now:>8.0f}")


if __name__ == "__main__":
    main()
