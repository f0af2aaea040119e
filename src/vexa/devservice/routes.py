"""HTTP routes of the development service (thin layer over storage and job runner)."""

from __future__ import annotations

import enum
import json
import os
import re
from pathlib import Path
from typing import Any, AsyncIterator, Callable, TypeVar, cast

from starlette.concurrency import run_in_threadpool
from starlette.convertors import Convertor, register_url_convertor
from starlette.datastructures import FormData, UploadFile
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response, StreamingResponse
from starlette.routing import Route

from vexa._browser import web_job_address
from vexa.types import CodeType, JobStage, JobStatus, JobType

from .archive import ArchiveLimits
from .codes import CodeStorage, StorageError
from .constants import KIB, MIB
from .jobs import Job, JobRunner
from .metadata import MetadataError, parse_metadata
from .models import CodeRecord
from .origins import WebPages
from .simulated import detect_hooks

# Multipart text fields are small; files are spooled to disk by Starlette past 1 MiB.
MAX_TEXT_FIELD_BYTES = 64 * KIB
MAX_FORM_PARTS = 16
FILE_CHUNK_BYTES = 256 * KIB
PROXY_METHODS = ["GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"]
# Room for the multipart framing and text fields around the zip itself.
FORM_OVERHEAD_BYTES = MIB + 2 * 64 * KIB
# Where a DELETE forgets every ended job (a route of this service only, not of the API it stands in for).
CLEAR_ENDED_JOBS_PATH = "/jobs/ended"

FORM_ESCAPE = re.compile("%(22|[01][0-9A-F])")

E = TypeVar("E", bound=enum.Enum)
Found = TypeVar("Found")


def _storage(request: Request) -> CodeStorage:
    return cast(CodeStorage, request.app.state.storage)


def _limits(request: Request) -> ArchiveLimits:
    return _storage(request).limits


def _runner(request: Request) -> JobRunner:
    return cast(JobRunner, request.app.state.runner)


def _pages(request: Request) -> WebPages:
    return cast(WebPages, request.app.state.pages)


def _choice(request: Request, name: str, allowed: type[E]) -> E | None:
    value = request.query_params.get(name)
    if value is None or value == "":
        return None
    try:
        return allowed(value)
    except ValueError:
        choices = ", ".join(member.value for member in allowed)
        raise HTTPException(422, f"{name} must be one of {choices}, got {value!r}") from None


def _found_or_404(request: Request, key: str, what: str, lookup: Callable[[str], Found | None]) -> Found:
    """What `lookup` finds for the path parameter `key`, or a 404 naming it."""
    wanted = request.path_params[key]
    found = lookup(wanted)
    if found is None:
        raise HTTPException(404, f"{what} {wanted} not found")
    return found


def _code_or_404(request: Request) -> CodeRecord:
    return _found_or_404(request, "code_id", "Code", _storage(request).get)


def _job_or_404(request: Request) -> Job:
    return _found_or_404(request, "job_id", "Job", _runner(request).get)


def _web_job_or_404(request: Request) -> Job:
    """A web job that has not ended."""
    job = _job_or_404(request)
    if job.job_type != JobType.WEB:
        raise HTTPException(404, f"Job {job.job_id} is not a web job")
    if job.ended:
        raise HTTPException(404, f"Job {job.job_id} has ended")
    return job


# ----- multipart helpers -----


def _text_field(form: FormData, name: str, required: bool = True) -> str | None:
    value = form.get(name)
    if value is None:
        if required:
            raise HTTPException(422, f"missing form field {name!r}")
        return None
    if isinstance(value, UploadFile):
        raise HTTPException(422, f"form field {name!r} must be text, not a file")
    return value


def _required_field(form: FormData, name: str) -> str:
    value = _text_field(form, name)
    assert value is not None  # _text_field refuses a missing required field
    return value


def _zip_part(form: FormData) -> UploadFile:
    part = form.get("code_zip")
    if part is None:
        raise HTTPException(422, "missing file part 'code_zip'")
    if not isinstance(part, UploadFile):
        raise HTTPException(422, "'code_zip' must be a file part")
    return part


async def _metadata_part(form: FormData, max_bytes: int) -> Any:
    part = form.get("metadata")
    if part is None:
        return None
    raw = await part.read(max_bytes + 1) if isinstance(part, UploadFile) else part.encode("utf-8", "surrogatepass")
    if len(raw) > max_bytes:
        raise HTTPException(413, f"metadata is over the limit of {max_bytes} bytes")
    if not raw.strip():
        return None
    try:
        return parse_metadata(raw)
    except MetadataError as exc:
        raise HTTPException(422, str(exc)) from None


def _parse_bool(value: str | None, name: str) -> bool:
    if value is None or value == "":
        return False
    lowered = value.lower()
    if lowered in ("true", "1", "yes"):
        return True
    if lowered in ("false", "0", "no"):
        return False
    raise HTTPException(422, f"{name} must be true or false, got {value!r}")


def max_body_bytes(limits: ArchiveLimits) -> int:
    """The largest request body the service takes: an upload form at its caps."""
    return limits.max_archive_bytes + limits.max_metadata_bytes + FORM_OVERHEAD_BYTES


async def _read_form(request: Request) -> FormData:
    # Its size and its time are capped for every body (`bodies.BodyLimits`).
    try:
        return await request.form(
            max_files=MAX_FORM_PARTS, max_fields=MAX_FORM_PARTS, max_part_size=MAX_TEXT_FIELD_BYTES
        )
    except HTTPException as exc:
        if exc.status_code in (408, 413):
            raise
        # Starlette reports malformed multipart as 400; this API reports bad input as 422.
        raise HTTPException(422, str(exc.detail)) from None


async def _store_upload(request: Request, form: FormData, code_name: str, code_type: str) -> CodeRecord:
    upload = _zip_part(form)
    metadata = await _metadata_part(form, _limits(request).max_metadata_bytes)
    try:
        # Blocking chunked copy and archive checks off the loop.
        return await run_in_threadpool(_storage(request).add_code, code_name, code_type, upload.file, metadata)
    except StorageError as exc:
        raise HTTPException(exc.status_code, str(exc)) from None


def _web_code_name(upload: UploadFile) -> str:
    """The name of code run from an upload: its file's, without ".zip"."""
    filename = (upload.filename or "").rsplit("/", 1)[-1]
    if filename.lower().endswith(".zip"):
        filename = filename[:-4]
    # Browsers and httpx write '"' and control characters in a part's file name as
    # %XX (the HTML standard's multipart/form-data encoding): names keep them.
    return FORM_ESCAPE.sub(lambda match: chr(int(match.group(1), 16)), filename) or "web-app"


async def _start_job(
    request: Request, job_type: JobType, record: CodeRecord, options: dict[str, Any] | None = None
) -> Job:
    hooks = await run_in_threadpool(detect_hooks, record.code_name, _storage(request).zip_path(record.code_id))
    runner = _runner(request)
    job = runner.submit(job_type, record.code_id, record.code_name, hooks, options, code_type=record.code_type)
    if job_type == JobType.WEB:
        pages = _pages(request)
        try:
            pages.open(job.job_id)  # before the job's task first runs
        except OSError as exc:
            if job.task is not None:
                job.task.cancel()
            where = f"{web_job_address(job.job_id)}:{pages.port}"
            await runner.finish(job, JobStatus.FAILED, f"Its page cannot be served at {where}: {exc.strerror or exc}")
    return job


# ----- code endpoints -----


async def upload_code(request: Request) -> Response:
    form = await _read_form(request)
    try:
        code_name = _required_field(form, "code_name")
        code_type = _required_field(form, "code_type")
        record = await _store_upload(request, form, code_name, code_type)
    finally:
        await form.close()  # removes the spooled temp files
    return JSONResponse(record.code_id)


async def list_code(request: Request) -> Response:
    code_type = _choice(request, "code_type", CodeType)
    return JSONResponse([r.to_json() for r in _storage(request).list(code_type)])


async def code_info(request: Request) -> Response:
    return JSONResponse(_code_or_404(request).to_json())


async def code_metadata(request: Request) -> Response:
    return JSONResponse(_code_or_404(request).metadata)


async def delete_code(request: Request) -> Response:
    record = _code_or_404(request)
    await run_in_threadpool(_storage(request).delete, record.code_id)
    return JSONResponse({"detail": "deleted"})


async def download_code(request: Request) -> Response:
    record = _code_or_404(request)
    return await _file_response(
        _storage(request).zip_path(record.code_id), f"{record.code_id}.zip", f"Code {record.code_id} not found"
    )


# ----- job endpoints -----


async def ingest_code(request: Request) -> Response:
    form = await _read_form(request)
    try:
        code_name = _required_field(form, "code_name")
        code_type = _required_field(form, "code_type")
        build_pexenv = _parse_bool(_text_field(form, "build_pexenv", required=False), "build_pexenv")
        pexenv_python = _text_field(form, "pexenv_python", required=False) or None
        record = await _store_upload(request, form, code_name, code_type)
    finally:
        await form.close()
    job = await _start_job(
        request, JobType.INGEST, record, {"build_pexenv": build_pexenv, "pexenv_python": pexenv_python}
    )
    return JSONResponse(job.to_json())


async def run_web_upload(request: Request) -> Response:
    form = await _read_form(request)
    try:
        code_name = _web_code_name(_zip_part(form))
        record = await _store_upload(request, form, code_name, CodeType.WEB)
    finally:
        await form.close()
    return JSONResponse((await _start_job(request, JobType.WEB, record)).to_json())


async def run_web_stored(request: Request) -> Response:
    return JSONResponse((await _start_job(request, JobType.WEB, _code_or_404(request))).to_json())


async def run_stored(request: Request) -> Response:
    return JSONResponse((await _start_job(request, JobType.RUN, _code_or_404(request))).to_json())


async def list_jobs(request: Request) -> Response:
    jobs = _runner(request).list(
        job_type=_choice(request, "job_type", JobType),
        job_status=_choice(request, "job_status", JobStatus),
        job_stage=_choice(request, "job_stage", JobStage),
    )
    return JSONResponse([job.to_json() for job in jobs])


async def job_info(request: Request) -> Response:
    return JSONResponse(_job_or_404(request).to_json())


async def job_status(request: Request) -> Response:
    return JSONResponse(_job_or_404(request).job_status)


async def job_stage(request: Request) -> Response:
    return JSONResponse(_job_or_404(request).job_stage)


async def job_error(request: Request) -> Response:
    return JSONResponse(_job_or_404(request).error)


async def job_code_id(request: Request) -> Response:
    return JSONResponse(_job_or_404(request).code_id)


async def terminate_job(request: Request) -> Response:
    job = _job_or_404(request)
    return JSONResponse((await _runner(request).terminate(job)).to_json())


async def clear_ended_jobs(request: Request) -> Response:
    """Forget every ended job, with its output and result (this local service only)."""
    runner = _runner(request)
    job_ids, freed = await runner.clear(runner.list())
    return JSONResponse({"job_ids": job_ids, "result_bytes": freed})


async def job_result(request: Request) -> Response:
    job = _job_or_404(request)
    if not job.ended:
        raise HTTPException(409, f"Job {job.job_id} has not ended yet (status {job.job_status})")
    path = _runner(request).result_path(job.job_id)
    return await _file_response(path, f"{job.job_id}-result.zip", f"Job {job.job_id} has no result")


async def stream_job(request: Request) -> Response:
    job = _job_or_404(request)
    runner = _runner(request)

    async def ndjson() -> AsyncIterator[bytes]:
        async for batch in runner.follow(job):
            if batch is None:
                yield b"\n"  # keep-alive while idle
            else:
                yield "".join(json.dumps(line.to_json()) + "\n" for line in batch).encode("utf-8")

    return StreamingResponse(ndjson(), media_type="application/x-ndjson")


async def ping_web_job(request: Request) -> Response:
    job = _web_job_or_404(request)
    if not await _runner(request).is_healthy(job):
        raise HTTPException(503, "not ready")
    return JSONResponse({"status": "ok"})


async def redirect_to_web_page(request: Request) -> Response:
    """`/{job_id}/{path}` leads to the same path on the job page's own origin
    (with the page's token where the service has a key, which only a request
    let in here gets): a web page is never served on the service's origin."""
    job = _web_job_or_404(request)
    pages = _pages(request)
    if pages.port is None:
        raise HTTPException(503, "Web pages are served only once the service listens (vexa.devservice.server)")
    location = pages.page_url(job.job_id, request.path_params.get("path", ""), request.url.query)
    headers = {"cache-control": "no-store", "referrer-policy": "no-referrer"}
    return RedirectResponse(location, status_code=307, headers=headers)


async def _file_response(path: Path, filename: str, missing: str) -> Response:
    """Stream a file opened before answering: a later rename or delete cannot cut it short."""
    try:
        opened = await run_in_threadpool(open, path, "rb")
    except FileNotFoundError:
        raise HTTPException(404, missing) from None
    size = os.fstat(opened.fileno()).st_size

    async def chunks() -> AsyncIterator[bytes]:
        try:
            while chunk := await run_in_threadpool(opened.read, FILE_CHUNK_BYTES):
                yield chunk
        finally:
            opened.close()

    headers = {"content-length": str(size), "content-disposition": f'attachment; filename="{filename}"'}
    return StreamingResponse(chunks(), media_type="application/zip", headers=headers)


class JobIdConvertor(Convertor[str]):
    """A path segment shaped like a job id, so that other unknown paths stay plain 404s."""

    regex = "j_[^/]+"

    def convert(self, value: str) -> str:
        return value

    def to_string(self, value: str) -> str:
        return value


register_url_convertor("job_id", JobIdConvertor())


def build_routes() -> list[Route]:
    return [
        Route("/code/upload", upload_code, methods=["POST"]),
        Route("/code/info", list_code, methods=["GET"]),
        Route("/code/{code_id}/info", code_info, methods=["GET"]),
        Route("/code/{code_id}/metadata", code_metadata, methods=["GET"]),
        Route("/code/{code_id}/download", download_code, methods=["GET"]),
        Route("/code/{code_id}", delete_code, methods=["DELETE"]),
        Route("/jobs/code/ingest", ingest_code, methods=["POST"]),
        Route("/jobs/code/run/web", run_web_upload, methods=["POST"]),
        Route("/jobs/code/{code_id}/run/web", run_web_stored, methods=["POST"]),
        Route("/jobs/code/{code_id}/run", run_stored, methods=["POST"]),
        Route("/jobs", list_jobs, methods=["GET"]),
        Route(CLEAR_ENDED_JOBS_PATH, clear_ended_jobs, methods=["DELETE"]),
        Route("/jobs/{job_id}", job_info, methods=["GET"]),
        Route("/jobs/{job_id}/status", job_status, methods=["GET"]),
        Route("/jobs/{job_id}/stage", job_stage, methods=["GET"]),
        Route("/jobs/{job_id}/error", job_error, methods=["GET"]),
        Route("/jobs/{job_id}/code_id", job_code_id, methods=["GET"]),
        Route("/jobs/{job_id}/terminate", terminate_job, methods=["POST"]),
        Route("/jobs/{job_id}/result", job_result, methods=["GET"]),
        Route("/jobs/{job_id}/stream", stream_job, methods=["GET"]),
        # Catch-all shapes: must stay last so they never shadow the routes above.
        Route("/{job_id}/ping", ping_web_job, methods=["GET"]),
        Route("/{job_id:job_id}", redirect_to_web_page, methods=PROXY_METHODS),
        Route("/{job_id:job_id}/{path:path}", redirect_to_web_page, methods=PROXY_METHODS),
    ]
