"""Smoke test of an installed vexa wheel against the local service.

Run by scripts/build-wheels.sh with the python of a fresh virtual environment
into which only the wheel (with its `service` extra) was installed:

    python scripts/smoke_wheel.py           # a native wheel: the compiled modules must be in use
    python scripts/smoke_wheel.py --pure    # the universal wheel: the pure-Python twins must be
    python scripts/smoke_wheel.py --slow    # under emulation (qemu): requests may take a minute

Starts `python -m vexa.devservice` on a free port, stores, lists, reads,
downloads and deletes code with `vexa.Client`, then ingests it with
`vexa.AsyncClient` and with `vexa.Client` and follows each job's output to its end. Exits non-zero on
the first failure.
"""

from __future__ import annotations

import asyncio
import importlib.metadata
import io
import os
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path
from typing import TYPE_CHECKING

# The client side's own imports (vexa, httpx and theirs) are made in the
# functions, after the service was started: under emulation each side's
# imports take half a minute, and so the two processes make them at once.
if TYPE_CHECKING:
    from vexa.types import CodeZip

API_KEY = "smoke-key"
# --slow: the clients share an HTTP client whose timeout allows for a service
# that compiles and runs everything under emulation (httpx's default is 5 s).
SLOW = "--slow" in sys.argv[1:]


def client_options(asynchronous: bool = False) -> dict[str, object]:
    import httpx

    if not SLOW:
        return {}
    return {"http_client": (httpx.AsyncClient if asynchronous else httpx.Client)(timeout=120)}


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"smoke test failed: {what}")


def start_service(data_dir: Path) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "vexa.devservice", "--port", "0", "--data-dir", str(data_dir)],
        stdout=subprocess.PIPE,
        text=True,
        env=dict(os.environ, VEXA_API_KEY=API_KEY),
    )


def service_url(process: subprocess.Popen[str]) -> str:
    assert process.stdout is not None
    first_line = process.stdout.readline()
    found = re.search(r"http://\S+", first_line)
    if found is None:
        process.kill()
        raise SystemExit(f"smoke test failed: the service printed {first_line!r}, no URL")
    return found.group(0).rstrip("/")


def check_installation(pure: bool) -> None:
    import vexa
    import vexa.client

    package = Path(vexa.__file__).parent
    check(vexa.client.NATIVE is not pure, f"vexa.client.NATIVE is {vexa.client.NATIVE}")
    check("site-packages" in package.parts, f"vexa imported from {package}, not an installed wheel")
    check(vexa.__version__ == importlib.metadata.version("vexa"), "vexa.__version__ differs from the metadata")
    stubs = ("_sync/_code.pyi", "_sync/_jobs.pyi", "_sync/_web.pyi", "_async/_jobs.pyi", "_async/_web.pyi")
    for stub in ("py.typed", *(f"client/{name}" for name in stubs)):
        check((package / stub).is_file(), f"{stub} not installed")


def use_sync_client(base_url: str, code_zip: CodeZip, workdir: Path) -> str:
    import vexa
    from vexa.types import CodeType, NotFoundError

    client = vexa.Client(base_url, api_key=API_KEY, **client_options())
    code_id = client.code.upload(code_zip, "smoke", CodeType.PYTHON, {"smoke": True})
    check(code_id in [info.code_id for info in client.code.list_info(CodeType.PYTHON)], "upload not listed")
    check(client.code.get_info(code_id).code_name == "smoke", "get_info name")
    check(client.code.get_metadata(code_id).root == {"smoke": True}, "get_metadata")
    downloaded = client.code.download(code_id, workdir / "smoke.zip")
    check(downloaded.zip_bytes == code_zip.zip_bytes == (workdir / "smoke.zip").read_bytes(), "download")
    client.code.delete(code_id)
    try:
        client.code.get_info(code_id)
    except NotFoundError:
        pass
    else:
        check(False, "deleted code still found")
    return code_id


def use_sync_jobs(base_url: str, code_zip: CodeZip) -> int:
    import vexa
    from vexa.types import CodeType, JobStage

    client = vexa.Client(base_url, api_key=API_KEY, **client_options())
    job = client.code.ingest(code_zip, "smoke-sync-job", CodeType.PYTHON)
    lines = [output.text for output in client.jobs.stream_output(job.job_id, read_timeout=60)]
    ended = client.jobs.await_stage(job.job_id, timeout=60)
    check(ended.job_stage is JobStage.POST_RUNNING, f"sync job ended in {ended.job_stage}")
    check(len(lines) > 0, "no output streamed to the sync client")
    return len(lines)


async def use_async_client(base_url: str, code_zip: CodeZip) -> int:
    import vexa
    from vexa.types import CodeType, JobStage

    client = vexa.AsyncClient(base_url, api_key=API_KEY, **client_options(asynchronous=True))
    job = await client.code.ingest(code_zip, "smoke-job", CodeType.PYTHON)
    lines = [output.text async for output in client.jobs.stream_output(job.job_id, read_timeout=60)]
    ended = await client.jobs.await_stage(job.job_id, timeout=60)
    check(ended.job_stage is JobStage.POST_RUNNING, f"job ended in {ended.job_stage}")
    check(len(lines) > 0, "no output streamed")
    return len(lines)


def main() -> None:
    pure = "--pure" in sys.argv[1:]
    with tempfile.TemporaryDirectory() as scratch:
        workdir = Path(scratch)
        process = start_service(workdir / "data")
        try:
            check_installation(pure)
            from vexa.types import CodeZip

            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w") as archive:
                archive.writestr("main.py", 'print("smoke")\n')
            code_zip = CodeZip(zip_bytes=buffer.getvalue())
            base_url = service_url(process)
            use_sync_client(base_url, code_zip, workdir)
            line_count = asyncio.run(use_async_client(base_url, code_zip))
            sync_line_count = use_sync_jobs(base_url, code_zip)
            check(
                sync_line_count == line_count,
                f"{sync_line_count} lines streamed to the sync client, {line_count} async",
            )
        finally:
            process.terminate()
            process.wait(timeout=30)
    modules = "pure-Python" if pure else "compiled"
    print(
        f"smoke test passed: vexa {importlib.metadata.version('vexa')} ({modules} client modules) on Python "
        f"{sys.version.split()[0]}, {line_count} output lines"
    )


if __name__ == "__main__":
    main()
