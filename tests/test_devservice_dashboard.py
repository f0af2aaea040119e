"""The dashboard and browser access over real HTTP: token, cookie, forms, escaping."""

from __future__ import annotations

import re
import subprocess
import sys
from http.cookies import SimpleCookie
from pathlib import Path
from typing import Any, Callable, Iterator

import httpx
import pytest
from conftest import TEST_API_KEY, make_zip
from test_devservice import upload, wait_for_status, wait_until

pytestmark = pytest.mark.apart_from_clients

BROWSER = {"Accept": "text/html,application/xhtml+xml", "Sec-Fetch-Mode": "navigate"}
HOSTILE = "<script>alert('x')</script>\"&"


def token_of(api_key: str) -> str:
    from vexa._browser import browser_token

    return browser_token(api_key)


def session_name(service: Any) -> str:
    return f"vexa_session_{service.port}"


@pytest.fixture
def keyed(service_factory: Callable[..., Any]) -> Any:
    return service_factory()


@pytest.fixture
def api(keyed: Any) -> Iterator[httpx.Client]:
    with httpx.Client(base_url=keyed.base_url, headers=keyed.headers, timeout=10) as client:
        yield client


@pytest.fixture
def browser(keyed: Any) -> Iterator[httpx.Client]:
    """A client that behaves as a browser with a session: the cookie, no key."""
    with httpx.Client(base_url=keyed.base_url, headers=BROWSER, timeout=10) as client:
        client.cookies.set(session_name(keyed), token_of(TEST_API_KEY))
        yield client


def held_job(api: httpx.Client, name: str = "hold") -> str:
    """A simulated job that stays queued until terminated."""
    code_id = upload(api, make_zip({"main.py": ""}), name=name)
    return str(api.post(f"/jobs/code/{code_id}/run").json()["job_id"])


def form_token_of(page: str) -> str:
    match = re.search(r'name="form_token" value="([0-9a-f]+)"', page)
    assert match is not None, "no form on the page"
    return match.group(1)


# ----- token -> cookie -> redirect -----


@pytest.mark.parametrize(
    ("path_and_query", "location"),
    [
        ("/?token={token}", "/"),
        ("/ui/jobs/j_x?a=1&token={token}&b=%20two", "/ui/jobs/j_x?a=1&b=+two"),
        ("/j_abc/deep/page?token={token}", "/j_abc/deep/page"),
        ("//evil.example/?token={token}", "/evil.example/"),  # stays a path on this service
    ],
)
def test_a_valid_token_sets_the_session_cookie_and_redirects_without_it(
    keyed: Any, path_and_query: str, location: str
) -> None:
    token = token_of(TEST_API_KEY)
    response = httpx.get(keyed.base_url + path_and_query.format(token=token), headers=BROWSER)
    assert response.status_code == 303
    assert response.headers["location"] == location
    set_cookie = response.headers.get_list("set-cookie")
    assert len(set_cookie) == 1
    cookie = SimpleCookie(set_cookie[0])[session_name(keyed)]
    assert cookie.value == token
    assert (cookie["httponly"], cookie["samesite"].lower(), cookie["path"]) == (True, "strict", "/")
    assert cookie["domain"] == "" and cookie["max-age"] == "" and cookie["secure"] == ""
    assert TEST_API_KEY not in str(response.headers)


def test_the_session_opens_the_dashboard_after_the_redirect(keyed: Any, api: httpx.Client) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="listed-code")
    job = api.post(f"/jobs/code/{code_id}/run").json()
    with httpx.Client(base_url=keyed.base_url, headers=BROWSER, follow_redirects=True) as fresh:
        page = fresh.get(f"/?token={token_of(TEST_API_KEY)}")
        assert (page.status_code, page.url.path, page.url.query) == (200, "/", b"")
        assert "listed-code" in page.text and code_id in page.text and job["job_id"] in page.text
        assert fresh.get("/jobs").json()[0]["job_id"] == job["job_id"]  # the page's scripts read the API


@pytest.mark.parametrize(
    ("cookies", "query", "reason"),
    [
        ({}, "", "no session"),
        ({"vexa_session_{port}": "0" * 64}, "", "no session"),
        ({"vexa_session_1": "{token}"}, "", "no session"),  # another port's session
        ({"vexa_session_{port}": TEST_API_KEY}, "", "no session"),  # the key is not the token
        ({}, "?token=" + "0" * 64, "not the one of this service's key"),
        ({}, "?token=" + TEST_API_KEY, "not the one of this service's key"),
    ],
)
@pytest.mark.parametrize("path", ["/", "/ui/jobs/{job_id}", "/ui/code/{code_id}", "/ui/fragments/jobs", "/{job_id}/"])
def test_without_a_session_a_browser_sees_no_job_and_no_code(
    keyed: Any, api: httpx.Client, cookies: dict[str, str], query: str, reason: str, path: str
) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="hidden-code")
    job_id = api.post(f"/jobs/code/{code_id}/run/web").json()["job_id"]
    with httpx.Client(base_url=keyed.base_url, headers=BROWSER) as stranger:
        for name, value in cookies.items():
            stranger.cookies.set(name.format(port=keyed.port), value.format(token=token_of(TEST_API_KEY)))
        response = stranger.get(path.format(job_id=job_id, code_id=code_id) + query)
    assert response.status_code == 401
    assert "This service needs its key" in response.text and (reason == "no session" or reason in response.text)
    assert "hidden-code" not in response.text and code_id not in response.text and job_id not in response.text
    assert "set-cookie" not in response.headers


def test_api_clients_keep_the_header_and_json(keyed: Any, api: httpx.Client) -> None:
    assert api.get("/jobs").status_code == 200
    bare = httpx.get(keyed.base_url + "/jobs")
    assert (bare.status_code, bare.json()) == (401, {"detail": "Invalid or missing API key"})
    wrong = httpx.get(keyed.base_url + "/", headers={**BROWSER, "X-API-Key": "wrong"})
    assert (wrong.status_code, wrong.json()) == (401, {"detail": "Invalid or missing API key"})  # the key check decides


# ----- state-changing actions -----

SAME_ORIGIN = "same-origin"


@pytest.mark.parametrize(
    ("headers", "field", "status"),
    [
        ({"Origin": "http://evil.example", "Sec-Fetch-Site": "cross-site"}, "right", 403),
        ({"Origin": "http://evil.example"}, "right", 403),
        ({"Sec-Fetch-Site": "cross-site"}, "right", 403),
        ({"Origin": "http://127.0.0.1:1", "Sec-Fetch-Site": "same-site"}, "right", 403),  # another port, same site
        ({"Origin": "null"}, "right", 403),
        ({"Origin": "{origin}", "Sec-Fetch-Site": SAME_ORIGIN}, "missing", 403),
        ({"Origin": "{origin}", "Sec-Fetch-Site": SAME_ORIGIN}, "wrong", 403),
        ({"Origin": "{origin}", "Sec-Fetch-Site": SAME_ORIGIN}, "right", 303),
        ({}, "right", 303),  # a program, not a page: no origin to check
    ],
)
def test_terminate_form_needs_the_page_origin_and_form_token(
    keyed: Any, api: httpx.Client, browser: httpx.Client, headers: dict[str, str], field: str, status: int
) -> None:
    job_id = held_job(api)
    token = form_token_of(browser.get(f"/ui/jobs/{job_id}").text)
    data = {"right": {"form_token": token}, "wrong": {"form_token": "f" * 64}, "missing": {}}[field]
    sent = {name: value.format(origin=keyed.base_url) for name, value in headers.items()}
    response = browser.post(f"/ui/jobs/{job_id}/terminate", data=data, headers=sent)
    assert response.status_code == status
    if status == 303:
        assert response.headers["location"] == f"/ui/jobs/{job_id}"
        assert api.get(f"/jobs/{job_id}").json()["job_status"] == "stopped"
    else:
        assert api.get(f"/jobs/{job_id}").json()["job_status"] == "queued"


@pytest.mark.parametrize("method_path", ["POST /jobs/{job_id}/terminate", "DELETE /code/{code_id}"])
def test_the_session_cannot_be_used_by_other_origins_on_the_api(
    api: httpx.Client, browser: httpx.Client, method_path: str
) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="hold-api")
    job_id = api.post(f"/jobs/code/{code_id}/run").json()["job_id"]
    method, path = method_path.split()
    refused = browser.request(
        method, path.format(job_id=job_id, code_id=code_id), headers={"Origin": "http://127.0.0.1:1"}
    )
    assert refused.status_code == 403
    assert (
        api.get(f"/jobs/{job_id}").json()["job_status"] == "queued"
        and api.get(f"/code/{code_id}/info").status_code == 200
    )
    allowed = browser.request(
        method, path.format(job_id=job_id, code_id=code_id), headers={"Sec-Fetch-Site": SAME_ORIGIN}
    )
    assert allowed.status_code == 200


def test_delete_form_removes_the_code(api: httpx.Client, browser: httpx.Client) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="to-delete")
    page = browser.get(f"/ui/code/{code_id}")
    assert page.status_code == 200 and "to-delete" in page.text
    response = browser.post(
        f"/ui/code/{code_id}/delete",
        data={"form_token": form_token_of(page.text)},
        headers={"Sec-Fetch-Site": SAME_ORIGIN},
    )
    assert (response.status_code, response.headers["location"]) == (303, "/")
    assert api.get(f"/code/{code_id}/info").status_code == 404
    again = browser.post(f"/ui/code/{code_id}/delete", data={"form_token": form_token_of(page.text)})
    assert again.status_code == 404


def test_a_service_without_a_key_opens_to_all_but_still_checks_forms(service_factory: Callable[..., Any]) -> None:
    service = service_factory(api_key=None)
    with httpx.Client(base_url=service.base_url, headers=BROWSER) as anyone:
        code_id = upload(anyone, make_zip({"main.py": ""}), name="hold-open")
        job_id = anyone.post(f"/jobs/code/{code_id}/run").json()["job_id"]
        page = anyone.get(f"/ui/jobs/{job_id}")
        assert page.status_code == 200 and "set-cookie" not in page.headers
        token = form_token_of(page.text)
        forged = anyone.post(
            f"/ui/jobs/{job_id}/terminate", data={"form_token": token}, headers={"Origin": "http://evil.example"}
        )
        assert forged.status_code == 403
        guessed = anyone.post(f"/ui/jobs/{job_id}/terminate", data={"form_token": token_of("")})
        assert guessed.status_code == 403
        assert anyone.get(f"/jobs/{job_id}").json()["job_status"] == "queued"
        assert anyone.get("/?token=whatever").status_code == 200  # nothing to enter, nothing taken away


# ----- with a key or without: programs in, pages of other origins and other names out -----


TAKEN, REFUSED, OPENED = [200] * 5, [403] * 5, [200] + [403] * 4  # OPENED: the page, nothing else
NAVIGATION = {"Sec-Fetch-Mode": "navigate", "Sec-Fetch-Dest": "document"}
CALLERS: dict[str, tuple[dict[str, str], list[int]]] = {
    # name: (headers, the statuses of a read and of four changes)
    "program": ({}, TAKEN),
    "same-origin-page": ({"Sec-Fetch-Site": "same-origin"}, TAKEN),
    "typed-address": ({"Sec-Fetch-Site": "none", **NAVIGATION}, TAKEN),
    "own-origin": ({"Origin": "{base_url}"}, TAKEN),
    "page-at-localhost": ({"Host": "localhost:{port}", "Origin": "http://localhost:{port}"}, TAKEN),
    "program-by-allowed-name": ({"Host": "devbox.example:{port}"}, TAKEN),
    "cross-site-page": ({"Sec-Fetch-Site": "cross-site"}, REFUSED),
    "same-site-page": ({"Sec-Fetch-Site": "same-site", "Origin": "http://127.0.0.1:1"}, REFUSED),
    "web-page": ({"Sec-Fetch-Site": "cross-site", "Origin": "http://127.9.9.9:{port}"}, REFUSED),
    "other-origin": ({"Origin": "http://evil.example"}, REFUSED),
    "opaque-origin": ({"Origin": "null"}, REFUSED),
    "link-from-a-site": ({"Sec-Fetch-Site": "cross-site", **NAVIGATION}, OPENED),
    "frame-in-a-site": ({"Sec-Fetch-Site": "cross-site", **NAVIGATION, "Sec-Fetch-Dest": "iframe"}, REFUSED),
    # DNS rebinding: a site's name made to point here, its own origin as seen by the browser.
    "rebound-name": ({"Host": "evil.example:{port}", "Origin": "http://evil.example:{port}"}, REFUSED),
    "rebound-name-reading": ({"Host": "evil.example:{port}", "Sec-Fetch-Site": "same-origin"}, REFUSED),
    "program-by-name": ({"Host": "devbox2.example:{port}"}, REFUSED),
    "page-address": ({"Host": "127.9.9.9:{port}"}, REFUSED),
    "no-name": ({"Host": ""}, REFUSED),
}


@pytest.mark.parametrize("key", [None, TEST_API_KEY], ids=["keyless", "keyed"])
@pytest.mark.parametrize("caller", list(CALLERS))
def test_the_service_takes_programs_and_its_own_pages_at_its_own_names_only(
    service_factory: Callable[..., Any], caller: str, key: str | None
) -> None:
    service = service_factory(api_key=key, allowed_hosts=["DevBox.example."])
    template, expected = CALLERS[caller]
    headers = {name: value.format(base_url=service.base_url, port=service.port) for name, value in template.items()}
    with httpx.Client(base_url=service.base_url, headers=service.headers, timeout=10) as program:
        code_id = upload(program, make_zip({"main.py": ""}), name="hold-callers")  # stays queued
        job_id = program.post(f"/jobs/code/{code_id}/run").json()["job_id"]
        jobs_before = program.get("/jobs").json()
        files = {"code_zip": ("code.zip", make_zip({"main.py": ""}), "application/zip")}
        answers = [
            program.get("/jobs", headers=headers),
            program.post("/code/upload", data={"code_name": "n", "code_type": "python"}, files=files, headers=headers),
            program.post(f"/jobs/code/{code_id}/run", headers=headers),
            program.post(f"/jobs/{job_id}/terminate", headers=headers),
            program.delete(f"/code/{code_id}", headers=headers),
        ]
        assert [answer.status_code for answer in answers] == expected
        assert all(answer.text.startswith("Refused: ") for answer in answers if answer.status_code == 403)
        if expected == TAKEN:
            assert program.get(f"/jobs/{job_id}").json()["job_status"] == "stopped"
            assert program.get(f"/code/{code_id}/info").status_code == 404
            return
        assert program.get("/jobs").json() == jobs_before
        assert program.get(f"/jobs/{job_id}").json()["job_status"] == "queued"
        assert program.get(f"/code/{code_id}/info").status_code == 200


# ----- what the pages show -----


def test_hostile_names_metadata_and_errors_are_escaped(keyed: Any, api: httpx.Client, browser: httpx.Client) -> None:
    metadata = {"note": "</pre><img src=x onerror=alert(1)>", HOSTILE: [1, 2]}
    code_id = upload(api, make_zip({"main.py": ""}), name=HOSTILE, metadata=metadata)
    job_id = api.post(f"/jobs/code/{code_id}/run").json()["job_id"]
    keyed.runner.force_state(job_id, error=f"boom {HOSTILE}")
    pages = [browser.get(path) for path in ("/", f"/ui/code/{code_id}", f"/ui/jobs/{job_id}", "/ui/fragments/jobs")]
    for page in pages:
        assert page.status_code == 200
        assert "<script>alert" not in page.text and "<img src=x" not in page.text
        assert page.headers["content-security-policy"].startswith("default-src 'none'; script-src 'self'")
    escaped = "&lt;script&gt;alert(&#x27;x&#x27;)&lt;/script&gt;&quot;&amp;"
    assert escaped in pages[0].text and escaped in pages[1].text
    assert "&lt;/pre&gt;&lt;img src=x onerror=alert(1)&gt;" in pages[1].text
    assert f"boom {escaped}" in pages[2].text


def test_a_job_page_links_what_the_job_has(keyed: Any, api: httpx.Client, browser: httpx.Client) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="web-demo", code_type="web")
    web = api.post(f"/jobs/code/{code_id}/run/web").json()["job_id"]
    wait_for_status(api, web, "started")
    wait_until(lambda: api.get(f"/jobs/{web}").json()["job_stage"] == "running", "the web job to serve")
    for page in (browser.get(f"/ui/jobs/{web}").text, browser.get(f"/ui/fragments/jobs/{web}").text):
        assert f'href="/{web}/">Open the web page' in page and "Download the result" not in page
        assert f'action="/ui/jobs/{web}/terminate"' in page and f'action="/ui/jobs/{web}/delete"' not in page
    assert f'data-stream="/jobs/{web}/stream"' in browser.get(f"/ui/jobs/{web}").text
    assert f'<a href="/{web}/">web page</a>' in browser.get("/").text
    api.post(f"/jobs/{web}/terminate")
    result_size = len(api.get(f"/jobs/{web}/result").content)
    for page in (browser.get(f"/ui/jobs/{web}").text, browser.get(f"/ui/fragments/jobs/{web}").text):
        assert f'href="/jobs/{web}/result">Download the result' in page and "Open the web page" not in page
        assert f'action="/ui/jobs/{web}/delete"' in page and f'action="/ui/jobs/{web}/terminate"' not in page
        assert f'href="/jobs/{web}/result">{result_size} B zip</a>' in page
    assert f'href="/{web}/"' not in browser.get("/").text
    assert browser.get("/ui/jobs/j_missing").status_code == 404
    assert browser.get("/ui/fragments/jobs/j_missing").status_code == 404
    assert browser.get("/ui/code/c_missing").status_code == 404
    assert browser.get("/ui/assets/dashboard.js").headers["content-type"].startswith("text/javascript")
    assert browser.get("/ui/assets/other.js").status_code == 404


@pytest.mark.parametrize("key", [TEST_API_KEY, None])
def test_an_empty_dashboard_says_how_to_start(service_factory: Callable[..., Any], key: str | None) -> None:
    service = service_factory(api_key=key)
    with httpx.Client(base_url=service.base_url, headers=BROWSER, timeout=10) as browser:
        if key is not None:
            browser.cookies.set(session_name(service), token_of(key))
        page = browser.get("/").text
    assert f"export VEXA_BASE_URL={service.base_url}\n" in page and "vexa web run ./my-app" in page
    assert ("export VEXA_API_KEY=" in page) is (key is not None) and TEST_API_KEY not in page
    assert "No code stored yet" in page


def test_no_link_leads_to_what_was_deleted(keyed: Any, api: httpx.Client, browser: httpx.Client) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="short-lived")
    job_id = api.post(f"/jobs/code/{code_id}/run").json()["job_id"]
    wait_for_status(api, job_id, "finished")
    assert f'href="/ui/code/{code_id}"' in browser.get(f"/ui/jobs/{job_id}").text
    api.delete(f"/code/{code_id}")
    page = browser.get(f"/ui/jobs/{job_id}").text
    assert f'href="/ui/code/{code_id}"' not in page and 'short-lived <span class="muted">(deleted)</span>' in page
    token = form_token_of(page)
    deleted = browser.post(
        f"/ui/jobs/{job_id}/delete", data={"form_token": token}, headers={"Sec-Fetch-Site": SAME_ORIGIN}
    )
    assert (deleted.status_code, deleted.headers["location"]) == (303, "/")
    assert job_id not in browser.get("/").text
    gone = browser.get(f"/ui/jobs/{job_id}")
    assert gone.status_code == 404 and 'href="/">' in gone.text  # a way back, not a dead end


def test_clearing_from_the_dashboard_keeps_running_jobs(keyed: Any, api: httpx.Client, browser: httpx.Client) -> None:
    held = held_job(api)
    code_id = upload(api, make_zip({"main.py": ""}), name="quick")
    ended = [api.post(f"/jobs/code/{code_id}/run").json()["job_id"] for _ in range(2)]
    for job_id in ended:
        wait_for_status(api, job_id, "finished")
    index = browser.get("/").text
    assert ">Clear 2 ended jobs</button>" in index
    cleared = browser.post(
        "/ui/jobs/clear", data={"form_token": form_token_of(index)}, headers={"Sec-Fetch-Site": SAME_ORIGIN}
    )
    assert cleared.status_code == 303
    assert [job["job_id"] for job in api.get("/jobs").json()] == [held]
    assert "Clear " not in browser.get("/").text  # nothing ended is left to clear
    refused = browser.post(f"/ui/jobs/{held}/delete", data={"form_token": form_token_of(index)})
    assert refused.status_code == 409 and api.get(f"/jobs/{held}").status_code == 200


@pytest.mark.parametrize(
    ("path", "status", "title"),
    [
        ("/{web}/", 404, "This web app has ended"),
        ("/{web}/deep/page", 404, "This web app has ended"),
        ("/jobs/{held}/result", 409, "Conflict"),
        ("/jobs/j_missing", 404, "Not Found"),
    ],
)
def test_browsers_get_pages_where_programs_get_json(
    keyed: Any, api: httpx.Client, browser: httpx.Client, path: str, status: int, title: str
) -> None:
    code_id = upload(api, make_zip({"main.py": ""}), name="site", code_type="web")
    web = api.post(f"/jobs/code/{code_id}/run/web").json()["job_id"]
    api.post(f"/jobs/{web}/terminate")
    held = held_job(api)
    target = path.format(web=web, held=held)
    as_program = api.get(target)
    as_browser = browser.get(target)
    assert as_program.status_code == as_browser.status_code == status
    assert as_program.headers["content-type"] == "application/json"
    assert as_browser.headers["content-type"] == "text/html; charset=utf-8"
    assert f"<h1>{title}</h1><p>{as_program.json()['detail']}</p>" in as_browser.text
    job_link = f'href="/ui/jobs/{web if "{web}" in path else held}"'
    assert (job_link in as_browser.text) is ("j_missing" not in path)
    assert as_browser.headers["content-security-policy"].startswith("default-src 'none'")


# ----- web jobs' pages -----


@pytest.fixture
def real_keyed(service_factory: Callable[..., Any]) -> Any:
    return service_factory(simulate=False)


PAGE_APP = """
import json, os
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

class Handler(BaseHTTPRequestHandler):
    def answer(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.path == "/hang-up":
            return  # no answer at all
        seen = {"method": self.command, "path": self.path, "headers": {k.lower(): v for k, v in self.headers.items()}}
        body = json.dumps(seen).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Set-Cookie", "vexa_session_1=from-the-app; Path=/; HttpOnly")
        self.send_header("Set-Cookie", "kept=1")
        self.send_header("Service-Worker-Allowed", "/")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = do_POST = answer

ThreadingHTTPServer(("127.0.0.1", int(os.environ["PORT"])), Handler).serve_forever()
"""


def refused(url: str) -> bool:
    """Whether nothing listens at `url` any more."""
    try:
        httpx.get(url, timeout=5)
    except httpx.ConnectError:
        return True
    return False


def test_each_web_page_has_an_origin_that_only_its_token_opens(real_keyed: Any) -> None:
    from vexa import Client
    from vexa._browser import web_job_address, web_job_token

    port, session = real_keyed.port, session_name(real_keyed)
    with httpx.Client(base_url=real_keyed.base_url, headers=real_keyed.headers, timeout=10) as api:
        files = {"code_zip": ("page.zip", make_zip({"main.py": PAGE_APP}), "application/zip")}
        first, second = (api.post("/jobs/code/run/web", files=files).json()["job_id"] for _ in range(2))
        for job_id in (first, second):
            wait_until(lambda: api.get(f"/{job_id}/ping").status_code == 200, "the app to answer", timeout=30)
        pages = {job_id: f"http://{web_job_address(job_id)}:{port}" for job_id in (first, second)}
        assert len({*pages.values(), real_keyed.base_url}) == 3
        # The service's own path for a page leads there, with the token of that page only.
        client = Client(real_keyed.base_url, api_key=TEST_API_KEY)
        led = api.get(f"/{second}/deep/x?q=1")
        assert led.status_code == 307
        assert (
            led.headers["location"]
            == f"{client.web.get_url(second)}deep/x?q=1&token={web_job_token(TEST_API_KEY, second)}"
        )
        with httpx.Client(base_url=pages[first], headers=BROWSER, timeout=10) as page:
            assert "no session for this web job's page" in page.get("/").text
            assert page.get(f"/?token={token_of(TEST_API_KEY)}").status_code == 401  # the dashboard's token
            assert page.get("/", headers={"Host": f"127.0.0.1:{port}"}).status_code == 403  # its own name only
            assert page.get("/", headers={"Host": f"evil.example:{port}"}).status_code == 403
            token = web_job_token(TEST_API_KEY, first)
            entered = page.get(f"/deep?token={token}&q=1")
            assert (entered.status_code, entered.headers["location"]) == (303, "/deep?q=1")
            cookie = SimpleCookie(entered.headers["set-cookie"])[session]
            assert (cookie.value, cookie["httponly"], cookie["samesite"]) == (token, True, "lax")
            # The dashboard's session and another service's reach the page's address: never the app.
            page.cookies.update({session: token_of(TEST_API_KEY), "vexa_session_1": "x", "theirs": "3"})
            answer = page.get(entered.headers["location"])
            seen = answer.json()
            assert (answer.status_code, seen["path"], seen["headers"]["cookie"]) == (200, "/deep?q=1", "theirs=3")
            assert (
                answer.headers.get_list("set-cookie") == ["kept=1"] and "service-worker-allowed" not in answer.headers
            )
            assert page.get("/reset?token=apps-own").json()["path"] == "/reset?token=apps-own"  # the app's own
            assert page.get("/worker.js", headers={"Service-Worker": "script"}).status_code == 403
            assert page.get("/hang-up").status_code == 502
            dashboard = {"Origin": real_keyed.base_url, "Sec-Fetch-Site": "cross-site"}
            assert page.post("/x", headers=dashboard).status_code == 403
            assert page.get("/x", headers={**dashboard, "Sec-Fetch-Mode": "navigate"}).status_code == 200
        # The first page's session opens neither the second page nor the service.
        with_first_session = {**BROWSER, "Cookie": f"{session}={token}"}
        assert httpx.get(pages[second] + "/", headers=with_first_session).status_code == 401
        assert httpx.get(f"{real_keyed.base_url}/jobs", headers=with_first_session).status_code == 401
        keyed_answer = httpx.get(pages[second] + "/k", headers=real_keyed.headers)
        assert keyed_answer.status_code == 200 and "x-api-key" not in keyed_answer.json()["headers"]
        api.post(f"/jobs/{first}/terminate")
        wait_until(lambda: refused(pages[first] + "/"), "the page to go with its job")
        assert httpx.get(pages[second] + "/", headers=real_keyed.headers).status_code == 200
        api.post(f"/jobs/{second}/terminate")


# ----- what the service prints -----


@pytest.mark.parametrize("key", [TEST_API_KEY, None])
def test_the_service_prints_the_dashboard_url_and_logs_no_secret(tmp_path: Path, key: str | None) -> None:
    from vexa._browser import web_job_address, web_job_token

    command = [sys.executable, "-m", "vexa.devservice", "--port", "0", "--data-dir", str(tmp_path), "--simulate"]
    if key is not None:
        command += ["--api-key", key]
    # At the most talkative log level, where uvicorn prints every request as it arrives.
    process = subprocess.Popen(
        [*command, "--log-level", "trace"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    secrets: list[str] = []
    try:
        assert process.stdout is not None
        lines = [process.stdout.readline()]
        while not lines[-1].startswith("Dashboard: ") and lines[-1] and len(lines) < 10:
            lines.append(process.stdout.readline())
        listening, dashboard = lines[0], lines[-1].strip()
        port = int(listening.rsplit(":", 1)[1])
        expected = f"http://127.0.0.1:{port}/" + (f"?token={token_of(key)}" if key else "")
        assert dashboard == f"Dashboard: {expected}"
        with httpx.Client(headers=BROWSER, follow_redirects=True, timeout=10) as browser:
            page = browser.get(expected)
            assert (page.status_code, str(page.url)) == (200, f"http://127.0.0.1:{port}/")
            assert "<h1>Jobs</h1>" in page.text
        if key is not None:
            api = {"X-API-Key": key}
            files = {"code_zip": ("page.zip", make_zip({"main.py": ""}), "application/zip")}
            job_id = httpx.post(f"http://127.0.0.1:{port}/jobs/code/run/web", files=files, headers=api).json()["job_id"]
            page_token = web_job_token(key, job_id)
            entered = httpx.get(f"http://{web_job_address(job_id)}:{port}/?token={page_token}", headers=BROWSER)
            assert entered.status_code == 303
            secrets = [key, token_of(key), page_token]
    finally:
        process.terminate()
        _, logged = process.communicate(timeout=10)
    assert "Application startup complete" in logged and "query_string" in logged  # the log was on, requests too
    assert [secret for secret in secrets if secret in logged] == []


def test_the_dashboard_modules_are_clean_under_mypy_strict(tmp_path: Path) -> None:
    from test_typing import run_mypy

    assert run_mypy(tmp_path, "-p", "vexa.devservice.dashboard", "-m", "vexa._browser") == []
