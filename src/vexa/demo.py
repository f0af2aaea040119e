"""A guided tour of the vexa clients against the local development service.

    python -m vexa.demo

Starts the service in this process on a free port, with a temporary data
directory and an API key, then walks through the clients, printing what each
call sends and gets back: code storage, a job that runs, and the web app of
examples/hello_web (`--app FOLDER` picks another) served through the job's
URL. Every step checks its result: the demo exits with status 0 only if all
of them held.
"""

from __future__ import annotations

import io
import json
import sys
import tempfile
import zipfile
from pathlib import Path
from typing import TYPE_CHECKING, Any, Sequence

from vexa.types import CodeInfo, CodeType, CodeZip, NotFoundError

if TYPE_CHECKING:
    from vexa import AsyncClient
    from vexa.client import Client

API_KEY = "demo-key"
LABEL_WIDTH = 12


class DemoError(Exception):
    """A step of the demo did not give the expected result."""


# --- Output -----------------------------------------------------------------


def section(title: str) -> None:
    print()
    print(f"== {title} ==")


def step(label: str, text: str) -> None:
    """One line of output: a left-aligned label, then what happened."""
    lines = text.splitlines() or [""]
    print(f"  {label:<{LABEL_WIDTH}} {lines[0]}")
    for line in lines[1:]:
        print(f"  {'':<{LABEL_WIDTH}} {line}")


def describe(info: CodeInfo) -> str:
    code_type = info.code_type.value if info.code_type else "?"
    return f"{info.code_id}  {info.code_name!s:<8} {code_type:<7} {info.size} bytes"


def check(condition: bool, message: str) -> None:
    if not condition:
        raise DemoError(message)


# --- Sample code --------------------------------------------------------------


def make_code_zip(files: dict[str, str]) -> CodeZip:
    """A zip archive built in memory from {name: text}."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, text in files.items():
            archive.writestr(name, text)
    return CodeZip(zip_bytes=buffer.getvalue())


PYTHON_FILES = {
    "main.py": 'print("Hello from vexa")\n',
    "requirements.txt": "",
}
WEB_FILES = {
    "index.html": "<!doctype html><title>vexa</title><p>Hello from vexa</p>\n",
}
METADATA: dict[str, Any] = {"owner": "demo", "version": 1, "tags": ["hello", "example"]}


# --- Synchronous client: code ---------------------------------------------------


def sync_code_demo(base_url: str, api_key: str, workdir: Path) -> None:
    """Upload, list, inspect, download and delete code with `vexa.Client`."""
    from vexa import Client

    section("Synchronous client: code (vexa.Client)")
    client = Client(base_url, api_key=api_key)
    step("client", repr(client))

    hello_zip = make_code_zip(PYTHON_FILES)
    site_zip = make_code_zip(WEB_FILES)
    hello_id = client.code.upload(hello_zip, "hello", CodeType.PYTHON, METADATA)
    step("upload", f"hello ({len(hello_zip.zip_bytes)} bytes, python, with metadata) -> {hello_id}")
    site_id = client.code.upload(site_zip, "site", CodeType.WEB)
    step("upload", f"site ({len(site_zip.zip_bytes)} bytes, web) -> {site_id}")

    show_listing(client, hello_id, site_id)
    show_details(client, hello_id, len(hello_zip.zip_bytes))
    show_download(client, hello_id, hello_zip, workdir)
    show_delete(client, hello_id, site_id)


def show_listing(client: Client, python_id: str, web_id: str) -> None:
    everything = client.code.list_info()
    step("list", f"{len(everything)} stored:\n" + "\n".join(describe(info) for info in everything))
    check({info.code_id for info in everything} == {python_id, web_id}, "listing misses an upload")

    python_only = client.code.list_info(CodeType.PYTHON)
    step(
        "list python",
        f"{len(python_only)} stored:\n" + "\n".join(describe(info) for info in python_only),
    )
    check([info.code_id for info in python_only] == [python_id], "filter by type failed")


def show_details(client: Client, code_id: str, size: int) -> None:
    info = client.code.get_info(code_id)
    created = info.created_at.isoformat(timespec="seconds") if info.created_at else "?"
    step("info", f"{describe(info)}, created {created}")
    check(info.code_name == "hello" and info.size == size, "info does not match the upload")

    metadata = client.code.get_metadata(code_id)
    step("metadata", json.dumps(metadata.root))
    check(metadata.root == METADATA, "metadata does not match the upload")


def show_download(client: Client, code_id: str, uploaded: CodeZip, workdir: Path) -> None:
    target = workdir / "hello-downloaded.zip"
    downloaded = client.code.download(code_id, target)
    on_disk = target.read_bytes()
    same = downloaded.zip_bytes == uploaded.zip_bytes == on_disk
    step(
        "download",
        f"{target} ({len(on_disk)} bytes, {'identical to' if same else 'DIFFERENT FROM'} the upload)",
    )
    check(same, "downloaded bytes differ from the uploaded ones")
    with zipfile.ZipFile(target) as archive:
        step("contents", ", ".join(archive.namelist()))


def show_delete(client: Client, code_id: str, other_id: str) -> None:
    step("delete", client.code.delete(code_id))
    step("delete", client.code.delete(other_id))
    try:
        client.code.get_info(code_id)
    except NotFoundError as error:
        step("lookup", f"{type(error).__name__} (status {error.status_code}): {error}")
    else:
        raise DemoError("a deleted code could still be looked up")
    check(client.code.list_info() == [], "the store is not empty after deleting everything")
    step("list", "0 stored")


# --- Asynchronous clients: a job that runs, and a web app ---------------------------

JOB_MAIN = """\
import json, os, time
squares = {}
for n in range(1, 4):
    squares[n] = n * n
    print(f"{n} squared is {n * n}", flush=True)
    time.sleep(0.1)
with open(os.path.join(os.environ["VEXA_OUTPUT_DIR"], "squares.json"), "w") as out:
    json.dump(squares, out)
print("wrote squares.json")
"""


def zip_folder(folder: Path) -> CodeZip:
    """A zip of every file under `folder`, at its relative path."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for path in sorted(folder.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                archive.write(path, path.relative_to(folder).as_posix())
    return CodeZip(zip_bytes=buffer.getvalue())


def result_listing(zip_bytes: bytes) -> str:
    with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
        return ", ".join(f"{info.filename} ({info.file_size} B)" for info in archive.infolist())


async def async_jobs_demo(base_url: str, api_key: str, workdir: Path) -> None:
    from vexa import AsyncClient
    from vexa.types import JobStage, JobStatus

    section("A job that runs main.py (AsyncClient.code.ingest, AsyncClient.jobs)")
    client = AsyncClient(base_url, api_key)
    code_zip = make_code_zip({"main.py": JOB_MAIN})
    job = await client.code.ingest(code_zip, "squares", CodeType.PYTHON)
    step("ingest", f"job {job.job_id}: {job.job_status}/{job.job_stage}")
    lines = 0
    async for output in client.jobs.stream_output(job.job_id, read_timeout=30):
        lines += 1
        step(output.stream, output.text)
    check(lines > 0, "the job's output stream was empty")
    job = await client.jobs.await_stage(job.job_id, timeout=30)
    step("await_stage", f"{job.job_status}/{job.job_stage}")
    check(job.job_stage == JobStage.POST_RUNNING, "the job did not finish")
    check(job.job_status == JobStatus.FINISHED, f"the job ended {job.job_status}: {job.error}")
    result_path = workdir / "squares-result.zip"
    result = await client.jobs.get_result(job.job_id, result_path)
    step("get_result", f"{len(result.zip_bytes)} bytes -> {result_path}\n{result_listing(result.zip_bytes)}")
    with zipfile.ZipFile(io.BytesIO(result.zip_bytes)) as archive:
        squares = json.loads(archive.read("squares.json"))
    step("squares.json", json.dumps(squares))
    check(squares == {"1": 1, "2": 4, "3": 9}, "the job's result file is wrong")


async def follow_output(client: AsyncClient, job_id: str) -> int:
    """Print the job's output as it comes; returns the number of lines."""
    count = 0
    async for output in client.jobs.stream_output(job_id, read_timeout=60):
        count += 1
        step(f"app {output.stream}", output.text)
    return count


async def async_web_demo(base_url: str, api_key: str, app_dir: Path, workdir: Path) -> None:
    import asyncio

    import httpx

    from vexa import AsyncClient
    from vexa.types import JobStatus

    section(f"A web app from {app_dir} (AsyncClient.web)")
    client = AsyncClient(base_url, api_key)
    code_zip = zip_folder(app_dir)
    code_id = await client.web.upload(code_zip, "hello-web")
    step("upload", f"hello-web ({len(code_zip.zip_bytes)} bytes) -> {code_id}")
    job = await client.web.stored.run(code_id)
    step("run", f"web job {job.job_id}: {job.job_status}/{job.job_stage}")
    follower = asyncio.create_task(follow_output(client, job.job_id))

    job = await client.web.await_healthy(job.job_id, timeout=60)
    step("healthy", f"{job.job_status}/{job.job_stage}")
    url = client.web.get_url(job.job_id)
    check(isinstance(url, str), "the web job has no URL")
    async with httpx.AsyncClient(headers={"X-API-Key": api_key}, timeout=10) as http:
        page = await http.get(str(url))
        step("GET", f"{url} -> {page.status_code}\n{page.text.strip()}")
        check(page.status_code == 200 and "Hello from vexa" in page.text, "the page did not come through")
        greeting = await http.get(f"{url}hello", params={"name": "demo"})
        step("GET", f"{greeting.url} -> {greeting.status_code} {greeting.text}")
        check(greeting.json().get("hello") == "demo", "the app's JSON answer is wrong")
    running = await client.web.jobs.list_running()
    step("running", f"{len(running)} web job(s): " + ", ".join(j.job_id for j in running))

    await client.jobs.terminate(job.job_id)
    job = await client.jobs.get(job.job_id)
    step("terminate", f"{job.job_status}/{job.job_stage}")
    check(job.job_status == JobStatus.STOPPED, f"the job ended {job.job_status}")
    lines = await asyncio.wait_for(follower, 30)  # the stream ends with the job
    step("output", f"{lines} lines, streamed while the app ran")
    check(not await client.web.is_healthy(job.job_id), "the terminated web app still answers")

    result_path = workdir / "hello-web-result.zip"
    result = await client.jobs.get_result(job.job_id, result_path)
    step("get_result", f"{len(result.zip_bytes)} bytes -> {result_path}\n{result_listing(result.zip_bytes)}")
    with zipfile.ZipFile(io.BytesIO(result.zip_bytes)) as archive:
        step("visits.json", archive.read("visits.json").decode().strip())

    step("clean up", await client.web.stored.delete(code_id))
    check(code_id not in [info.code_id for info in await client.web.stored.list_info()], "the code is still stored")


# --- Running it -------------------------------------------------------------------


def default_app_dir() -> Path:
    return Path(__file__).resolve().parents[1] / "examples" / "hello_web"


def run(base_url: str, api_key: str, workdir: Path, app_dir: Path) -> None:
    """Every part of the demo, in order, against a running service."""
    import asyncio

    sync_code_demo(base_url, api_key, workdir)

    async def asynchronous() -> None:
        await async_jobs_demo(base_url, api_key, workdir)
        await async_web_demo(base_url, api_key, app_dir, workdir)

    asyncio.run(asynchronous())


def main(argv: Sequence[str] | None = None) -> int:
    import argparse

    parser = argparse.ArgumentParser(prog="python -m vexa.demo", description="A guided tour of the vexa clients.")
    parser.add_argument(
        "--app", type=Path, default=default_app_dir(), help="folder of the web app to run (holds main.py)"
    )
    args = parser.parse_args(argv)
    if not (args.app / "main.py").is_file():
        print(f"demo: no web app at {args.app} (pass --app FOLDER holding main.py)", file=sys.stderr)
        return 2
    from vexa.devservice import start_in_thread

    with tempfile.TemporaryDirectory(prefix="vexa-demo-") as temp:
        workdir = Path(temp)
        with start_in_thread(workdir / "data", api_key=API_KEY) as service:
            print(f"Local vexa service at {service.base_url} (data in {service.data_dir})")
            print(f"Requests carry the API key {API_KEY!r} in the X-API-Key header.")
            print("The service runs uploaded code as the current user.")
            try:
                run(service.base_url, API_KEY, workdir, args.app)
            except DemoError as error:
                print(f"\ndemo failed: {error}", file=sys.stderr)
                return 1
    print("\nDemo finished: every step gave the expected result.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
