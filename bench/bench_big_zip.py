"""Upload and download a big zip through the dev service and report its memory.

Runs the service as a subprocess so its peak RSS (VmHWM) can be read from /proc.
The service should copy uploads and serve downloads in chunks, so its peak RSS
should grow far less than the zip's size.

    .venv/bin/python bench/bench_big_zip.py [--size-mb 100]
"""

from __future__ import annotations

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import httpx

REPO_ROOT = Path(__file__).resolve().parent.parent
API_KEY = "bench-key"
MIB = 1024 * 1024


def proc_memory_kib(pid: int) -> dict[str, int]:
    """VmHWM (peak RSS) and VmRSS of a process, in KiB."""
    values = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, rest = line.partition(":")
        if key in ("VmHWM", "VmRSS"):
            values[key] = int(rest.split()[0])
    return values


def make_big_zip(path: Path, size_mb: int) -> None:
    # Stored, random data: the zip is about as big as its content.
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        archive.writestr("main.py", "print('big')\n")
        with archive.open("blob.bin", "w", force_zip64=True) as blob:
            for _ in range(size_mb):
                blob.write(os.urandom(MIB))


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        while chunk := source.read(MIB):
            digest.update(chunk)
    return digest.hexdigest()


def start_service(data_dir: Path) -> tuple[subprocess.Popen[str], str]:
    env = dict(
        os.environ, PYTHONPATH=str(REPO_ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""), VEXA_API_KEY=API_KEY
    )
    process = subprocess.Popen(
        [sys.executable, "-m", "vexa.devservice", "--port", "0", "--data-dir", str(data_dir)],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
        cwd=REPO_ROOT,
    )
    assert process.stdout is not None
    banner = process.stdout.readline()  # "vexa devservice listening on http://host:port"
    if "listening on " not in banner:
        process.kill()
        raise SystemExit(f"service did not start: {banner!r}")
    return process, banner.rsplit(" ", 1)[-1].strip()


def print_memory(label: str, pid: int, baseline_hwm: int | None = None) -> int:
    memory = proc_memory_kib(pid)
    growth = "" if baseline_hwm is None else f"  peak growth {(memory['VmHWM'] - baseline_hwm) / 1024:7.1f} MiB"
    print(f"{label:<16} VmHWM {memory['VmHWM'] / 1024:7.1f} MiB  VmRSS {memory['VmRSS'] / 1024:7.1f} MiB{growth}")
    return memory["VmHWM"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=100)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vexa-bench-") as tmp:
        work = Path(tmp)
        source = work / "big.zip"
        started = time.perf_counter()
        make_big_zip(source, args.size_mb)
        size = source.stat().st_size
        print(f"zip              {size / MIB:7.1f} MiB generated in {time.perf_counter() - started:.2f} s")
        source_hash = sha256_of(source)

        process, base_url = start_service(work / "data")
        try:
            with httpx.Client(base_url=base_url, headers={"X-API-Key": API_KEY}, timeout=300) as client:
                client.get("/code/info").raise_for_status()  # warm up imports and first request
                baseline = print_memory("before", process.pid)

                started = time.perf_counter()
                with open(source, "rb") as stream:
                    response = client.post(
                        "/code/upload",
                        data={"code_name": "big", "code_type": "python"},
                        files={"code_zip": ("big.zip", stream, "application/zip")},
                    )
                response.raise_for_status()
                upload_seconds = time.perf_counter() - started
                code_id = response.json()
                print(f"upload           {upload_seconds:7.2f} s  {size / MIB / upload_seconds:7.1f} MiB/s")
                print_memory("after upload", process.pid, baseline)

                target = work / "downloaded.zip"
                started = time.perf_counter()
                with client.stream("GET", f"/code/{code_id}/download") as download, open(target, "wb") as out:
                    download.raise_for_status()
                    for chunk in download.iter_bytes(MIB):
                        out.write(chunk)
                download_seconds = time.perf_counter() - started
                print(f"download         {download_seconds:7.2f} s  {size / MIB / download_seconds:7.1f} MiB/s")
                final_hwm = print_memory("after download", process.pid, baseline)

                reported = client.get(f"/code/{code_id}/info").json()["size"]
            same = target.stat().st_size == size == reported and sha256_of(target) == source_hash
            print(
                f"round trip       size {target.stat().st_size} (reported {reported})  sha256 {'equal' if same else 'DIFFERENT'}"
            )
            print(f"peak RSS growth  {(final_hwm - baseline) / 1024:.1f} MiB for a {size / MIB:.1f} MiB zip")
        finally:
            process.terminate()
            process.wait(30)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
