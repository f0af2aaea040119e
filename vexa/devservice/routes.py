"""HTTP routes of the development service (thin layer over storage and job runner)."""

from __future__ import annotations

import json
from typing import Any, AsyncIterator

from starlette.concurrency import run_in_threadpool
from starlette.datastructures import FormData, UploadFile
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from .jobs import JOB_STAGES, JOB_STATUSES, JOB_TYPES, Job, JobRunner, detect_hooks
from .storage import CODE_TYPES, CodeRecord, CodeStorage, StorageError

# Multipart text fields are small; files are spooled to disk by Starlette past 1 MiB.
MAX_TEXT_FIELD_BYTES = 1024 * 1024


def _storage(request: Request) -> CodeStorage:
    return request.app.state.storage


def _runner(request: Request) -> JobRunner:
    return request.app.state.runner


def _choice(request: Request, name: str, allowed: tuple[str, ...]) -> str | None:
    value = request.query_params.get(name)
    if value is None or value == "":
        return None
    if value not in allowed:
        raise HTTPException(422, f"{name} must be one of {', '.join(allowed)}, got {value!r}")
    return value


def _code_or_404(request: Request) -> CodeRecord:
    code_id = request.path_params["code_id"]
    record = _storage(request).get(code_id)
    if record is None:
        raise HTTPException(404, f"Code {code_id} not found")
    return record


def _job_or_404(request: Request) -> Job:
    job_id = request.path_params["job_id"]
    job = _runner(request).get(job_id)
    if job is None:
        raise HTTPException(404, f"Job {job_id} not found")
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


def _zip_part(form: FormData) -> UploadFile:
    part = form.get("code_zip")
    if part is None:
        raise HTTPException(422, "missing file part 'code_zip'")
    if not isinstance(part, UploadFile):
        raise HTTPException(422, "'code_zip' must be a file part")
    return part


async def _metadata_part(form: FormData) -> Any:
    part = form.get("metadata")
    if part is None:
        return None
    raw = await part.read() if isinstance(part, UploadFile) else part.encode("utf-8")
    if not raw.strip():
        return None
    try:
        return json.loads(raw)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise HTTPException(422, f"metadata is not valid JSON: {exc}") from None


def _parse_bool(value: str | None, name: str) -> bool:
    if value is None or value == "":
        return False
    lowered = value.lower()
    if lowered in ("true", "1", "yes"):
        return True
    if lowered in ("false", "0", "no"):
        return False
    raise HTTPException(422, f"{name} must be true or false, got {value!r}")


async def _read_form(request: Request) -> FormData:
    try:
        return await request.form(max_part_size=MAX_TEXT_FIELD_BYTES)
    except HTTPException as exc:
        # Starlette reports malformed multipart as 400; this API reports bad input as 422.
        raise HTTPException(422, str(exc.detail)) from None


async def _store_upload(request: Request, form: FormData, code_name: str, code_type: str) -> CodeRecord:
    upload = _zip_part(form)
    metadata = await _metadata_part(form)
    try:
        # Blocking chunked copy off the loop.
        return await run_in_threadpool(_storage(request).add_code, code_name, code_type, upload.file, metadata)
    except StorageError as exc:
        raise HTTPException(422, str(exc)) from None


def _web_code_name(upload: UploadFile) -> str:
    filename = (upload.filename or "").rsplit("/", 1)[-1]
    if filename.lower().endswith(".zip"):
        filename = filename[:-4]
    return filename or "web-app"


def _start_job(request: Request, job_type: str, record: CodeRecord, options: dict[str, Any] | None = None) -> Job:
    hooks = detect_hooks(record.code_name, _storage(request).zip_path(record.code_id))
    return _runner(request).submit(job_type, record.code_id, record.code_name, hooks, options)


# ----- code endpoints -----


async def upload_code(request: Request) -> Response:
    form = await _read_form(request)
    try:
        code_name = _text_field(form, "code_name")
        code_type = _text_field(form, "code_type")
        record = await _store_upload(request, form, code_name, code_type)
    finally:
        await form.close()  # removes the spooled temp files
    return JSONResponse(record.code_id)


async def list_code(request: Request) -> Response:
    code_type = _choice(request, "code_type", CODE_TYPES)
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
    path = _storage(request).zip_path(record.code_id)
    return FileResponse(path, media_type="application/zip", filename=f"{record.code_id}.zip")


# ----- job endpoints -----


async def ingest_code(request: Request) -> Response:
    form = await _read_form(request)
    try:
        code_name = _text_field(form, "code_name")
        code_type = _text_field(form, "code_type")
        build_pexenv = _parse_bool(_text_field(form, "build_pexenv", required=False), "build_pexenv")
        pexenv_python = _text_field(form, "pexenv_python", required=False) or None
        record = await _store_upload(request, form, code_name, code_type)
    finally:
        await form.close()
    job = _start_job(request, "ingest", record, {"build_pexenv": build_pexenv, "pexenv_python": pexenv_python})
    return JSONResponse(job.to_json())


async def run_web_upload(request: Request) -> Response:
    form = await _read_form(request)
    try:
        code_name = _web_code_name(_zip_part(form))
        record = await _store_upload(request, form, code_name, "web")
    finally:
        await form.close()
    return JSONResponse(_start_job(request, "web", record).to_json())


async def run_web_stored(request: Request) -> Response:
    return JSONResponse(_start_job(request, "web", _code_or_404(request)).to_json())


async def run_stored(request: Request) -> Response:
    return JSONResponse(_start_job(request, "run", _code_or_404(request)).to_json())


async def list_jobs(request: Request) -> Response:
    jobs = _runner(request).list(
        job_type=_choice(request, "job_type", JOB_TYPES),
        job_status=_choice(request, "job_status", JOB_STATUSES),
        job_stage=_choice(request, "job_stage", JOB_STAGES),
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
    return JSONResponse(_runner(request).terminate(job).to_json())


async def job_result(request: Request) -> Response:
    job = _job_or_404(request)
    if not job.ended:
        raise HTTPException(409, f"Job {job.job_id} has not ended yet (status {job.job_status})")
    path = _runner(request).result_path(job.job_id)
    return FileResponse(path, media_type="application/zip", filename=f"{job.job_id}-result.zip")


async def stream_job(request: Request) -> Response:
    job = _job_or_404(request)
    runner = _runner(request)

    async def ndjson() -> AsyncIterator[bytes]:
        async for line in runner.follow(job):
            if line is None:
                yield b"\n"  # keep-alive while idle
            else:
                yield (json.dumps(line.to_json()) + "\n").encode("utf-8")

    return StreamingResponse(ndjson(), media_type="application/x-ndjson")


async def ping_web_job(request: Request) -> Response:
    job = _job_or_404(request)
    if job.job_type != "web":
        raise HTTPException(404, f"Job {job.job_id} is not a web job")
    if job.ended:
        raise HTTPException(404, f"Job {job.job_id} has ended")
    if job.job_stage != "running":
        raise HTTPException(503, "not ready")
    return JSONResponse({"status": "ok"})


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
        Route("/jobs/{job_id}", job_info, methods=["GET"]),
        Route("/jobs/{job_id}/status", job_status, methods=["GET"]),
        Route("/jobs/{job_id}/stage", job_stage, methods=["GET"]),
        Route("/jobs/{job_id}/error", job_error, methods=["GET"]),
        Route("/jobs/{job_id}/code_id", job_code_id, methods=["GET"]),
        Route("/jobs/{job_id}/terminate", terminate_job, methods=["POST"]),
        Route("/jobs/{job_id}/result", job_result, methods=["GET"]),
        Route("/jobs/{job_id}/stream", stream_job, methods=["GET"]),
        # Catch-all shape: must stay last so it never shadows the routes above.
        Route("/{job_id}/ping", ping_web_job, methods=["GET"]),
    ]
