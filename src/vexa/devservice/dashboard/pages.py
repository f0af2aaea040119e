"""The dashboard's pages: server-rendered HTML, every value escaped on the way in.

Output never passes through here: a job's page fetches it from the service's
own stream and adds each line as text, so nothing a job prints becomes markup.
"""

from __future__ import annotations

import hmac
import json
from datetime import datetime
from html import escape
from importlib import resources
from typing import Any, Iterable
from urllib.parse import quote

from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from vexa.types import ENDED_STATUSES, JobStage

from .access import is_cross_origin
from .source import CodeView, JobView, Source

ASSETS = ("dashboard.css", "dashboard.js")
# What the page's script needs to tell that a job has ended (`vexa.types.job_has_ended`):
# the statuses, space-separated, and the stage.
ENDED_WHEN = (" ".join(sorted(status.value for status in ENDED_STATUSES)), JobStage.POST_RUNNING.value)
FORM_FIELD = "form_token"
METADATA_SHOWN_CHARS = 64 * 1024
SECURITY_HEADERS = {
    # Scripts and styles come only from the service itself: no inline script runs,
    # whatever a value on the page contains.
    "content-security-policy": (
        "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
        "form-action 'self'; base-uri 'none'; frame-ancestors 'none'"
    ),
    "x-content-type-options": "nosniff",
    # Not "no-referrer": with it a browser sends "Origin: null" with the page's own
    # forms, which then look like forgeries.
    "referrer-policy": "same-origin",
    "cache-control": "no-store",
}
STATUS_TONES = {
    "finished": "good",
    "failed": "bad",
    "timeout": "bad",
    "canceled": "muted",
    "stopped": "muted",
    "started": "busy",
}


def e(value: Any) -> str:
    """Any value as HTML text or attribute content."""
    return escape("" if value is None else str(value), quote=True)


def url(*parts: str) -> str:
    """A path of escaped segments (ids are the service's, but need not be trusted here)."""
    return "/" + "/".join(quote(part, safe="") for part in parts)


def when(stamp: str | None) -> str:
    """An ISO time as "2026-01-02 03:04:05" (UTC, as the service writes it)."""
    if not stamp:
        return ""
    try:
        return datetime.fromisoformat(stamp).strftime("%Y-%m-%d %H:%M:%S")
    except ValueError:
        return stamp


def duration(job: JobView) -> str:
    try:
        start = datetime.fromisoformat(job.started_at or "")
        end = datetime.fromisoformat(job.ended_at or "")
    except ValueError:
        return ""
    seconds = max(0.0, (end - start).total_seconds())
    return f"{seconds:.1f} s" if seconds < 60 else f"{int(seconds // 60)} min {int(seconds % 60)} s"


def size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    value = float(n)
    for unit in ("KiB", "MiB"):  # noqa: B007 - the unit reached is the one shown
        value /= 1024
        if value < 1024:
            break
    return f"{value:.1f} {unit}"


def page(title: str, body: str, status_code: int = 200) -> Response:
    document = (
        '<!doctype html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{e(title)} · vexa dev service</title>"
        '<link rel="stylesheet" href="/ui/assets/dashboard.css">'
        '<script src="/ui/assets/dashboard.js" defer></script></head>'
        '<body><header><a class="brand" href="/">vexa dev service</a></header>'
        f"<main>{body}</main></body></html>\n"
    )
    # Replaced, not refused: a lone surrogate in a stored name must not break the page.
    return Response(
        document.encode("utf-8", "replace"),
        status_code=status_code,
        media_type="text/html; charset=utf-8",
        headers=SECURITY_HEADERS,
    )


def status_badge(job: JobView) -> str:
    tone = STATUS_TONES.get(job.job_status, "waiting")
    return f'<span class="status {tone}" data-field="job_status">{e(job.job_status)}</span>'


def job_links(job: JobView) -> str:
    links = [f'<a href="{url("ui", "jobs", job.job_id)}">output</a>']
    if job.serving:
        links.append(f'<a href="{url(job.job_id)}/">web page</a>')
    if job.ended:
        links.append(f'<a href="{url("jobs", job.job_id, "result")}">result</a>')
    return " · ".join(links)


def jobs_table(jobs: Iterable[JobView], refresh: bool = False) -> str:
    """The jobs as a table; with `refresh` the page keeps it current."""
    attributes = ' id="jobs" data-refresh="/ui/fragments/jobs"' if refresh else ""
    rows = [
        "<tr>"
        f'<td><a class="id" href="{url("ui", "jobs", job.job_id)}">{e(job.job_id)}</a></td>'
        f"<td>{e(job.code_name)}</td><td>{e(job.job_type)}</td><td>{status_badge(job)}</td>"
        f"<td>{e(job.job_stage)}</td><td>{e(when(job.created_at))}</td><td>{e(duration(job))}</td>"
        f"<td>{job_links(job)}</td></tr>"
        for job in jobs
    ]
    if not rows:
        return f'<p class="empty"{attributes}>No jobs yet.</p>'
    return (
        f"<table{attributes}><thead><tr><th>Job</th><th>Code</th><th>Type</th>"
        "<th>Status</th><th>Stage</th><th>Created (UTC)</th><th>Ran</th><th>Links</th></tr></thead>"
        f"<tbody>{''.join(rows)}</tbody></table>"
    )


def code_table(records: list[CodeView]) -> str:
    if not records:
        return '<p class="empty">No code stored yet.</p>'
    rows = "".join(
        "<tr>"
        f'<td><a href="{url("ui", "code", record.code_id)}">{e(record.code_name)}</a></td>'
        f'<td class="id">{e(record.code_id)}</td><td>{e(record.code_type)}</td>'
        f"<td>{e(size(record.size))}</td><td>{e(when(record.created_at))}</td>"
        f'<td><a href="{url("code", record.code_id, "download")}">zip</a></td></tr>'
        for record in records
    )
    return (
        '<table id="code"><thead><tr><th>Name</th><th>Code ID</th><th>Type</th><th>Size</th>'
        f"<th>Stored (UTC)</th><th>Download</th></tr></thead><tbody>{rows}</tbody></table>"
    )


def form(request: Request, action: str, label: str, confirm: str) -> str:
    token = request.app.state.dashboard_form_token
    return (
        f'<form method="post" action="{e(action)}" data-confirm="{e(confirm)}">'
        f'<input type="hidden" name="{FORM_FIELD}" value="{e(token)}">'
        f'<button type="submit" class="danger">{e(label)}</button></form>'
    )


def metadata_text(metadata: Any) -> str:
    try:
        shown = json.dumps(metadata, indent=2, ensure_ascii=False)
    except (ValueError, RecursionError):
        return "(this metadata cannot be shown)"
    if len(shown) > METADATA_SHOWN_CHARS:
        return shown[:METADATA_SHOWN_CHARS] + "\n… (cut here; download the metadata from the API for all of it)"
    return shown


def not_found(what: str) -> Response:
    return page("Not found", f'<h1>Not found</h1><p>{e(what)}</p><p><a href="/">Back to the dashboard</a></p>', 404)


# ----- routes -----


async def index(request: Request) -> Response:
    source = Source(request)
    body = f"<h1>Jobs</h1>{jobs_table(source.jobs(), refresh=True)}<h1>Stored code</h1>{code_table(source.code_list())}"
    return page("Dashboard", body)


async def jobs_fragment(request: Request) -> Response:
    """The jobs table alone, which the dashboard swaps in to stay current."""
    return Response(
        jobs_table(Source(request).jobs(), refresh=True).encode("utf-8", "replace"),
        media_type="text/html; charset=utf-8",
        headers=SECURITY_HEADERS,
    )


async def job_page(request: Request) -> Response:
    job_id = request.path_params["job_id"]
    job = Source(request).job(job_id)
    if job is None:
        return not_found(f"There is no job {job_id}.")
    code = (
        f'<a href="{url("ui", "code", job.code_id)}">{e(job.code_name or job.code_id)}</a>'
        if job.code_id
        else e(job.code_name)
    )
    body = f"""
<article id="job" data-job-id="{e(job.job_id)}" data-ended="{"true" if job.ended else "false"}"
 data-ended-statuses="{ENDED_WHEN[0]}" data-ended-stage="{ENDED_WHEN[1]}">
<h1>Job <span class="id">{e(job.job_id)}</span></h1>
<dl class="facts">
<dt>Status</dt><dd>{status_badge(job)}</dd>
<dt>Stage</dt><dd data-field="job_stage">{e(job.job_stage)}</dd>
<dt>Type</dt><dd>{e(job.job_type)}</dd>
<dt>Code</dt><dd>{code}</dd>
<dt>Created</dt><dd data-field="created_at">{e(when(job.created_at))}</dd>
<dt>Started</dt><dd data-field="started_at">{e(when(job.started_at))}</dd>
<dt>Ended</dt><dd data-field="ended_at">{e(when(job.ended_at))}</dd>
</dl>
<p class="error" data-field="error"{"" if job.error else " hidden"}>{e(job.error)}</p>
<div class="actions">
<a class="button" data-show="serving" href="{url(job.job_id)}/"{"" if job.serving else " hidden"}>Open the web page</a>
<a class="button" data-show="ended" href="{url("jobs", job.job_id, "result")}"{"" if job.ended else " hidden"}>Download the result</a>
<div data-show="running"{" hidden" if job.ended else ""}>{form(request, url("ui", "jobs", job.job_id, "terminate"), "Terminate", "Terminate this job?")}</div>
</div>
<h2>Output <small id="output-state" aria-live="polite">{"" if job.ended else "following…"}</small></h2>
<pre id="output" data-stream="{url("jobs", job.job_id, "stream")}" data-info="{url("jobs", job.job_id)}"></pre>
<noscript><p>The output appears here with JavaScript on; the result zip holds all of it.</p></noscript>
</article>"""
    return page(f"Job {job.job_id}", body)


async def code_page(request: Request) -> Response:
    source = Source(request)
    code_id = request.path_params["code_id"]
    record = source.code(code_id)
    if record is None:
        return not_found(f"There is no stored code {code_id}.")
    jobs = [job for job in source.jobs() if job.code_id == record.code_id]
    body = f"""
<h1>{e(record.code_name)}</h1>
<dl class="facts">
<dt>Code ID</dt><dd class="id">{e(record.code_id)}</dd>
<dt>Type</dt><dd>{e(record.code_type)}</dd>
<dt>Size</dt><dd>{e(size(record.size))}</dd>
<dt>Stored</dt><dd>{e(when(record.created_at))}</dd>
</dl>
<div class="actions"><a class="button" href="{url("code", record.code_id, "download")}">Download the zip</a>
{form(request, url("ui", "code", record.code_id, "delete"), "Delete", "Delete this code?")}</div>
<h2>Metadata</h2><pre class="metadata">{e(metadata_text(record.metadata))}</pre>
<h2>Jobs of this code</h2>{jobs_table(jobs)}"""
    return page(record.code_name, body)


async def _checked_form(request: Request) -> Response | None:
    """A refusal unless the POST comes from one of the dashboard's own pages."""
    if is_cross_origin(request.scope):
        return page("Refused", "<h1>Refused</h1><p>This request comes from a page of another origin.</p>", 403)
    form_data = await request.form(max_files=0, max_fields=4)
    given = form_data.get(FORM_FIELD)
    expected: str = request.app.state.dashboard_form_token
    if not isinstance(given, str) or not hmac.compare_digest(given.encode("utf-8"), expected.encode("ascii")):
        return page(
            "Refused",
            '<h1>Refused</h1><p>This form is out of date (the service restarted?). <a href="/">Reload the dashboard</a>.</p>',
            403,
        )
    return None


async def terminate(request: Request) -> Response:
    job_id = request.path_params["job_id"]
    refused = await _checked_form(request)
    if refused is not None:
        return refused
    if await Source(request).terminate(job_id) is None:
        return not_found(f"There is no job {job_id}.")
    return RedirectResponse(url("ui", "jobs", job_id), status_code=303)


async def delete_code(request: Request) -> Response:
    code_id = request.path_params["code_id"]
    refused = await _checked_form(request)
    if refused is not None:
        return refused
    if not await Source(request).delete_code(code_id):
        return not_found(f"There is no stored code {code_id}.")
    return RedirectResponse("/", status_code=303)


async def asset(request: Request) -> Response:
    name = request.path_params["name"]
    if name not in ASSETS:
        return Response("Not found", 404)
    content = resources.files(__package__).joinpath(name).read_bytes()
    media_type = "text/css" if name.endswith(".css") else "text/javascript"
    return Response(content, media_type=f"{media_type}; charset=utf-8", headers={"x-content-type-options": "nosniff"})


async def no_icon(request: Request) -> Response:
    return Response(status_code=204)


def dashboard_routes() -> list[BaseRoute]:
    return [
        Route("/", index, methods=["GET"]),
        Route("/favicon.ico", no_icon, methods=["GET"]),
        Route("/ui/fragments/jobs", jobs_fragment, methods=["GET"]),
        Route("/ui/jobs/{job_id}", job_page, methods=["GET"]),
        Route("/ui/jobs/{job_id}/terminate", terminate, methods=["POST"]),
        Route("/ui/code/{code_id}", code_page, methods=["GET"]),
        Route("/ui/code/{code_id}/delete", delete_code, methods=["POST"]),
        Route("/ui/assets/{name}", asset, methods=["GET"]),
    ]
