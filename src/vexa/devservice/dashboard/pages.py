"""The dashboard's pages: server-rendered HTML, every value escaped on the way in.

Output never passes through here: a job's page fetches it from the service's
own stream and adds each line as text, so nothing a job prints becomes markup.
What changes while a page is open (the jobs table, a job's state) comes as a
fragment of the same HTML, so that one function renders each thing.
"""

from __future__ import annotations

import hmac
import json
from datetime import datetime
from html import escape
from http import HTTPStatus
from importlib import resources
from typing import Any, Iterable
from urllib.parse import quote

from starlette.requests import HTTPConnection, Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from .access import is_cross_origin
from .source import CodeView, JobView, Source

ASSETS = ("dashboard.css", "dashboard.js")
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
# The stages as people say them; the wire names are for programs.
STAGE_WORDS = {
    "pre_running": "not started yet",
    "running": "running",
    "post_running": "ended",
    "unknown": "unknown",
}
BACK = '<nav class="back"><a href="/">← All jobs and code</a></nav>'


def e(value: Any) -> str:
    """Any value as HTML text or attribute content."""
    return escape("" if value is None else str(value), quote=True)


def url(*parts: str) -> str:
    """A path of escaped segments (ids are the service's, but need not be trusted here)."""
    return "/" + "/".join(quote(part, safe="") for part in parts)


def web_page_href(job: JobView) -> str:
    """Where a serving web job's pages are."""
    return url(job.job_id) + "/"


def when(stamp: str | None) -> str:
    """An ISO time as "2026-01-02 03:04:05" (UTC, as the service writes it)."""
    if not stamp:
        return ""
    try:
        return datetime.fromisoformat(stamp).strftime("%Y-%m-%d %H:%M:%S")
    except ValueError:
        return stamp


def seconds_text(seconds: float) -> str:
    """A length of time as people read it: "0.4 s", "12 s", "3 min 4 s", "2 h 5 min"."""
    if seconds < 10:
        return f"{seconds:.1f} s"
    whole = int(seconds)
    if whole < 60:
        return f"{whole} s"
    if whole < 3600:
        return f"{whole // 60} min {whole % 60} s"
    return f"{whole // 3600} h {whole % 3600 // 60} min"


def duration(job: JobView) -> str:
    """How long an ended job ran (nothing before its end: the page would change every second)."""
    try:
        start = datetime.fromisoformat(job.started_at or "")
        end = datetime.fromisoformat(job.ended_at or "")
    except ValueError:
        return ""
    return seconds_text(max(0.0, (end - start).total_seconds()))


def size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    value = float(n)
    for unit in ("KiB", "MiB", "GiB"):  # noqa: B007 - the unit reached is the one shown
        value /= 1024
        if value < 1024:
            break
    return f"{value:.1f} {unit}"


def page(title: str, body: str, status_code: int = 200, back: bool = True) -> Response:
    document = (
        '<!doctype html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{e(title)} · vexa dev service</title>"
        '<link rel="stylesheet" href="/ui/assets/dashboard.css">'
        '<script src="/ui/assets/dashboard.js" defer></script></head>'
        '<body><header><a class="brand" href="/">vexa dev service</a></header>'
        f"<main>{BACK if back else ''}{body}</main></body></html>\n"
    )
    return html(document, status_code)


def html(text: str, status_code: int = 200) -> Response:
    # Replaced, not refused: a lone surrogate in a stored name must not break the page.
    return Response(
        text.encode("utf-8", "replace"),
        status_code=status_code,
        media_type="text/html; charset=utf-8",
        headers=SECURITY_HEADERS,
    )


def status_badge(job: JobView) -> str:
    tone = STATUS_TONES.get(job.job_status, "waiting")
    return f'<span class="status {tone}" data-field="job_status">{e(job.job_status)}</span>'


def stage_words(job: JobView) -> str:
    return STAGE_WORDS.get(job.job_stage, job.job_stage)


def result_link(job: JobView) -> str:
    """An ended job's result zip, with its size; nothing before the end."""
    if not job.ended:
        return ""
    if job.result_size is None:
        return '<span class="muted">none</span>'
    return f'<a class="nowrap" href="{url("jobs", job.job_id, "result")}">{e(size(job.result_size))} zip</a>'


def code_name(job: JobView) -> str:
    """The job's code, linked while it is stored (a deleted one has no page)."""
    name = e(job.code_name or job.code_id or "")
    if job.code_id and job.code_stored:
        return f'<a href="{url("ui", "code", job.code_id)}">{name}</a>'
    return f'{name} <span class="muted">(deleted)</span>' if job.code_id else name


def cell(label: str, content: str, kind: str = "") -> str:
    """A table cell that names its column, for the narrow layout where rows become cards."""
    kind_attribute = f' class="{kind}"' if kind else ""
    return f'<td data-label="{e(label)}"{kind_attribute}>{content}</td>'


def start_hint(connection: HTTPConnection) -> str:
    """How to start a first job from a terminal, for this service."""
    base_url = str(connection.base_url).rstrip("/")
    key = "\nexport VEXA_API_KEY=…                  # the service's key" if connection.app.state.api_key else ""
    return (
        "<p>No jobs yet. Start one from a terminal:</p>"
        f'<pre class="hint">export VEXA_BASE_URL={e(base_url)}{e(key)}\n'
        "vexa web run ./my-app    # a folder whose main.py serves on $PORT\n"
        "vexa code ingest ./code  # or store code and prepare it</pre>"
    )


def jobs_table(request: Request, jobs: Iterable[JobView], refresh: bool = False) -> str:
    """The jobs as a table; with `refresh` the page keeps it current (and it
    carries the form that clears ended jobs, so that its count stays true)."""
    jobs = list(jobs)
    attributes = ' id="jobs" data-refresh="/ui/fragments/jobs"' if refresh else ""
    if not jobs:
        return f'<div class="empty"{attributes}>{start_hint(request) if refresh else "<p>No jobs.</p>"}</div>'
    rows = "".join(
        "<tr>"
        + cell("Job", f'<a href="{url("ui", "jobs", job.job_id)}">{e(job.job_id)}</a>', "id")
        + cell("Code", code_name(job), "name")
        + cell("Type", e(job.job_type))
        + cell("Status", status_badge(job))
        + cell("Stage", e(stage_words(job)), "nowrap")
        + cell("Created (UTC)", e(when(job.created_at)), "nowrap")
        + cell("Ran", e(duration(job)), "nowrap")
        + cell("Result", result_link(job))
        + cell("Page", f'<a href="{web_page_href(job)}">web page</a>' if job.serving else "", "nowrap")
        + "</tr>"
        for job in jobs
    )
    ended = sum(job.ended for job in jobs)
    clear = (
        form(
            request,
            url("ui", "jobs", "clear"),
            f"Clear {ended} ended job{'' if ended == 1 else 's'}",
            "Delete every ended job, with its output and result? Stored code stays.",
        )
        if refresh and ended
        else ""
    )
    return (
        f'<div{attributes}><table class="cards"><thead><tr><th>Job</th><th>Code</th><th>Type</th><th>Status</th>'
        "<th>Stage</th><th>Created (UTC)</th><th>Ran</th><th>Result</th><th>Page</th></tr></thead>"
        f'<tbody>{rows}</tbody></table><div class="actions">{clear}</div></div>'
    )


def code_table(records: list[CodeView]) -> str:
    if not records:
        return (
            '<div class="empty"><p>No code stored yet: <code>vexa code upload ./my-code</code> stores some.</p></div>'
        )
    rows = "".join(
        "<tr>"
        + cell("Name", f'<a href="{url("ui", "code", record.code_id)}">{e(record.code_name)}</a>', "name")
        + cell("Code ID", e(record.code_id), "id")
        + cell("Type", e(record.code_type))
        + cell("Size", e(size(record.size)), "nowrap")
        + cell("Stored (UTC)", e(when(record.created_at)), "nowrap")
        + cell("Download", f'<a href="{url("code", record.code_id, "download")}">zip</a>')
        + "</tr>"
        for record in records
    )
    return (
        '<table id="code" class="cards"><thead><tr><th>Name</th><th>Code ID</th><th>Type</th><th>Size</th>'
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


def message_page(title: str, text: str, status_code: int, links: str = "") -> Response:
    """A page that says one thing (not found, refused, ended), with a way on."""
    return page(title, f"<h1>{e(title)}</h1><p>{e(text)}</p>{links}", status_code)


def not_found(what: str) -> Response:
    return message_page("Not found", what, 404)


def job_state(request: Request, job: JobView) -> str:
    """What changes about a job while its page is open: its facts, error and actions."""
    facts = [
        ("Status", status_badge(job)),
        ("Stage", f'<span data-field="job_stage">{e(stage_words(job))}</span>'),
        ("Type", e(job.job_type)),
        ("Code", code_name(job)),
        ("Created", e(when(job.created_at))),
        ("Started", e(when(job.started_at))),
        ("Ended", e(when(job.ended_at))),
        ("Ran", e(duration(job))),
    ]
    if job.ended:
        facts.append(("Result", result_link(job)))
    actions = []
    if job.serving:
        actions.append(f'<a class="button" href="{web_page_href(job)}">Open the web page</a>')
    if job.ended:
        if job.result_size is not None:
            actions.append(f'<a class="button" href="{url("jobs", job.job_id, "result")}">Download the result</a>')
        actions.append(
            form(
                request,
                url("ui", "jobs", job.job_id, "delete"),
                "Delete",
                "Delete this job, its output and its result? Its code stays.",
            )
        )
    else:
        actions.append(form(request, url("ui", "jobs", job.job_id, "terminate"), "Terminate", "Terminate this job?"))
    error = f'<p class="error" data-field="error">{e(job.error)}</p>' if job.error else ""
    return (
        f'<div id="job-state" data-ended="{"true" if job.ended else "false"}">'
        f'<dl class="facts">{"".join(f"<dt>{name}</dt><dd>{value}</dd>" for name, value in facts if value)}</dl>'
        f'{error}<div class="actions">{"".join(actions)}</div></div>'
    )


# ----- routes -----


async def index(request: Request) -> Response:
    source = Source(request)
    body = (
        f"<h1>Jobs</h1>{jobs_table(request, source.jobs(), refresh=True)}"
        f"<h1>Stored code</h1>{code_table(source.code_list())}"
    )
    return page("Dashboard", body, back=False)


async def jobs_fragment(request: Request) -> Response:
    """The jobs table alone, which the dashboard swaps in to stay current."""
    return html(jobs_table(request, Source(request).jobs(), refresh=True))


async def job_state_fragment(request: Request) -> Response:
    """A job's state alone, which its page swaps in to stay current."""
    job_id = request.path_params["job_id"]
    job = Source(request).job(job_id)
    if job is None:
        return html('<div id="job-state" data-gone="true"><p>This job has been deleted.</p></div>', 404)
    return html(job_state(request, job))


async def job_page(request: Request) -> Response:
    job_id = request.path_params["job_id"]
    job = Source(request).job(job_id)
    if job is None:
        return not_found(f"There is no job {job_id}: it never was, or it was deleted.")
    body = f"""
<article id="job" data-job-id="{e(job.job_id)}" data-state="{url("ui", "fragments", "jobs", job.job_id)}">
<h1>Job <span class="id">{e(job.job_id)}</span></h1>
{job_state(request, job)}
<h2>Output <small id="output-state" aria-live="polite">{"" if job.ended else "following…"}</small></h2>
<pre id="output" data-stream="{url("jobs", job.job_id, "stream")}"></pre>
<noscript><p>The output appears here with JavaScript on; the result zip holds all of it.</p></noscript>
</article>"""
    return page(f"Job {job.job_id}", body)


async def code_page(request: Request) -> Response:
    source = Source(request)
    code_id = request.path_params["code_id"]
    record = source.code(code_id)
    if record is None:
        return not_found(f"There is no stored code {code_id}: it never was, or it was deleted.")
    jobs = [job for job in source.jobs() if job.code_id == record.code_id]
    metadata = (
        '<p class="muted">No metadata.</p>'
        if record.metadata is None
        else f'<pre class="metadata">{e(metadata_text(record.metadata))}</pre>'
    )
    body = f"""
<h1>{e(record.code_name)}</h1>
<dl class="facts">
<dt>Code ID</dt><dd class="id">{e(record.code_id)}</dd>
<dt>Type</dt><dd>{e(record.code_type)}</dd>
<dt>Size</dt><dd class="nowrap">{e(size(record.size))}</dd>
<dt>Stored</dt><dd>{e(when(record.created_at))}</dd>
</dl>
<div class="actions"><a class="button" href="{url("code", record.code_id, "download")}">Download the zip</a>
{form(request, url("ui", "code", record.code_id, "delete"), "Delete", "Delete this code? Its jobs stay.")}</div>
<h2>Metadata</h2>{metadata}
<h2>Jobs of this code</h2>{jobs_table(request, jobs)}"""
    return page(record.code_name, body)


async def _checked_form(request: Request) -> Response | None:
    """A refusal unless the POST comes from one of the dashboard's own pages."""
    if is_cross_origin(request.scope):
        return message_page("Refused", "This request comes from a page of another origin.", 403)
    form_data = await request.form(max_files=0, max_fields=4)
    given = form_data.get(FORM_FIELD)
    expected: str = request.app.state.dashboard_form_token
    if not isinstance(given, str) or not hmac.compare_digest(given.encode("utf-8"), expected.encode("ascii")):
        return message_page("Refused", "This form is out of date (the service restarted?): reload the page.", 403)
    return None


async def terminate(request: Request) -> Response:
    job_id = request.path_params["job_id"]
    refused = await _checked_form(request)
    if refused is not None:
        return refused
    if await Source(request).terminate(job_id) is None:
        return not_found(f"There is no job {job_id}.")
    return RedirectResponse(url("ui", "jobs", job_id), status_code=303)


async def delete_job(request: Request) -> Response:
    job_id = request.path_params["job_id"]
    refused = await _checked_form(request)
    if refused is not None:
        return refused
    forgotten = await Source(request).clear(job_id)
    if forgotten is None:
        return not_found(f"There is no job {job_id}.")
    if not forgotten:
        return message_page("Not deleted", f"Job {job_id} has not ended: terminate it first.", 409)
    return RedirectResponse("/", status_code=303)


async def clear_jobs(request: Request) -> Response:
    refused = await _checked_form(request)
    if refused is not None:
        return refused
    await Source(request).clear()
    return RedirectResponse("/", status_code=303)


async def delete_code(request: Request) -> Response:
    code_id = request.path_params["code_id"]
    refused = await _checked_form(request)
    if refused is not None:
        return refused
    if not await Source(request).delete_code(code_id):
        return not_found(f"There is no stored code {code_id}.")
    return RedirectResponse("/", status_code=303)


def error_page(connection: HTTPConnection, status_code: int, detail: str) -> Response:
    """An error of the API as a page, for a browser that opened its URL. A job's
    URL (a web job's pages, its result) leads on to the job's own page."""
    job_id = connection.path_params.get("job_id")
    job = Source(connection).job(job_id) if isinstance(job_id, str) else None
    links = (
        f'<p><a class="button" href="{url("ui", "jobs", job.job_id)}">Output and result of job {e(job.job_id)}</a></p>'
        if job
        else ""
    )
    if job is not None and job.ended and job.job_type == "web":
        title = "This web app has ended"
    else:
        try:
            title = HTTPStatus(status_code).phrase
        except ValueError:
            title = "Error"
    return message_page(title, detail, status_code, links)


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
        Route("/ui/fragments/jobs/{job_id}", job_state_fragment, methods=["GET"]),
        Route("/ui/jobs/clear", clear_jobs, methods=["POST"]),
        Route("/ui/jobs/{job_id}", job_page, methods=["GET"]),
        Route("/ui/jobs/{job_id}/terminate", terminate, methods=["POST"]),
        Route("/ui/jobs/{job_id}/delete", delete_job, methods=["POST"]),
        Route("/ui/code/{code_id}", code_page, methods=["GET"]),
        Route("/ui/code/{code_id}/delete", delete_code, methods=["POST"]),
        Route("/ui/assets/{name}", asset, methods=["GET"]),
    ]
