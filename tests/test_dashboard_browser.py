"""The dashboard in a real browser: Debian's chromium, headless, driven by selenium
through the system's chromedriver (nothing is downloaded at run time).

Without chromium these tests skip, unless CI is set: there they must run
(scripts/install-browser.sh installs the browser).

VEXA_DASHBOARD_SCREENSHOTS=DIR saves a screenshot of each page seen, to look at.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import httpx
import pytest
from conftest import TEST_API_KEY, make_zip

pytestmark = pytest.mark.apart_from_clients

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
DEADLINE_SECONDS = 30.0
MISSING_BROWSER = "Debian's chromium and chromium-driver are not installed (bash scripts/install-browser.sh)"


def _require_browser() -> Any:
    """The selenium webdriver module, or a skip (outside CI) when the browser is missing."""
    reason = None
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        reason = MISSING_BROWSER
    try:
        from selenium import webdriver
    except ImportError:
        reason = "selenium is not installed (the test extra has it)"
    if reason is not None:
        if os.environ.get("CI"):
            pytest.fail(f"{reason}; CI must run the browser tests")
        pytest.skip(reason)
    return webdriver


@pytest.fixture
def browser(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> Iterator[Any]:
    webdriver = _require_browser()
    from selenium.webdriver.chrome.service import Service

    monkeypatch.setenv("SE_OFFLINE", "true")  # never let Selenium Manager fetch a driver or browser
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--window-size=1280,900",
    ):
        options.add_argument(argument)
    options.add_argument(f"--user-data-dir={tmp_path / 'chromium-profile'}")
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(DEADLINE_SECONDS)
    try:
        yield driver
    finally:
        driver.quit()


def wait_for(check: Callable[[], Any], what: str) -> Any:
    deadline = time.monotonic() + DEADLINE_SECONDS
    while True:
        try:
            value = check()
        except Exception:  # the page may be between two states
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def screenshot(driver: Any, name: str) -> None:
    folder = os.environ.get("VEXA_DASHBOARD_SCREENSHOTS")
    if folder:
        Path(folder).mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(Path(folder, f"{name}.png")))


def text_of(driver: Any, selector: str) -> str:
    from selenium.webdriver.common.by import By

    return str(driver.find_element(By.CSS_SELECTOR, selector).text)


# Prints a line, waits for the test to let it go on, prints another and ends.
STEPPED_MAIN = """
import pathlib, time
print("first line <b>not bold</b>", flush=True)
gate = pathlib.Path({gate!r})
while not gate.exists():
    time.sleep(0.02)
print("second line", flush=True)
"""
SLEEPER_MAIN = "import time\nprint('sleeping', flush=True)\ntime.sleep(600)\n"


@pytest.fixture
def printed_url(tmp_path: Path) -> Iterator[str]:
    """A service started as a newcomer starts it; the dashboard URL it printed."""
    command = [
        sys.executable,
        "-m",
        "vexa.devservice",
        "--port",
        "0",
        "--data-dir",
        str(tmp_path / "data"),
        "--api-key",
        TEST_API_KEY,
    ]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout is not None
        lines = [process.stdout.readline()]
        while not lines[-1].startswith("Dashboard: ") and lines[-1] and len(lines) < 10:
            lines.append(process.stdout.readline())
        assert lines[-1].startswith("Dashboard: "), lines
        yield lines[-1].split()[1]
    finally:
        process.terminate()
        process.wait(15)


def test_a_newcomer_opens_the_printed_url_and_follows_jobs(browser: Any, printed_url: str, tmp_path: Path) -> None:
    from selenium.webdriver.common.by import By

    base_url = printed_url.split("/?token=")[0]
    gate = tmp_path / "gate"
    with httpx.Client(base_url=base_url, headers={"X-API-Key": TEST_API_KEY}, timeout=10) as api:

        def run(name: str, main: str) -> str:
            files = {"code_zip": ("code.zip", make_zip({"main.py": main}), "application/zip")}
            code_id = api.post("/code/upload", data={"code_name": name, "code_type": "python"}, files=files).json()
            return str(api.post(f"/jobs/code/{code_id}/run").json()["job_id"])

        stepped = run("stepped <i>printer</i>", STEPPED_MAIN.format(gate=str(gate)))
        sleeper = run("sleeper", SLEEPER_MAIN)

        assert "?token=" in printed_url
        browser.get(printed_url)
        assert browser.current_url == f"{base_url}/"  # the token left the address bar
        jobs = text_of(browser, "#jobs")
        assert stepped in jobs and sleeper in jobs
        code = text_of(browser, "#code")
        assert "stepped <i>printer</i>" in code and "sleeper" in code  # names as text, not markup
        screenshot(browser, "dashboard")

        browser.find_element(By.LINK_TEXT, stepped).click()
        wait_for(lambda: "first line <b>not bold</b>" in text_of(browser, "#output"), "the first line")
        assert browser.find_elements(By.CSS_SELECTOR, "#output b") == []
        browser.execute_script("window.stillTheSamePage = true")
        gate.touch()
        wait_for(lambda: "second line" in text_of(browser, "#output"), "the second line to arrive live")
        wait_for(lambda: text_of(browser, "[data-field=job_status]") == "finished", "the status to show finished")
        assert browser.execute_script("return window.stillTheSamePage") is True  # no reload
        assert text_of(browser, "#output").splitlines()[-2:] == ["first line <b>not bold</b>", "second line"]
        result_link = wait_for(
            lambda: browser.find_element(By.LINK_TEXT, "Download the result").get_attribute("href"), "the result link"
        )
        assert api.get(result_link).status_code == 200
        screenshot(browser, "finished-job")

        browser.get(f"{base_url}/ui/jobs/{sleeper}")
        wait_for(lambda: "sleeping" in text_of(browser, "#output"), "the sleeper's line")
        assert text_of(browser, "[data-field=job_status]") == "started"
        screenshot(browser, "running-job")
        browser.find_element(By.XPATH, "//button[text()='Terminate']").click()
        browser.switch_to.alert.accept()
        wait_for(lambda: text_of(browser, "[data-field=job_status]") == "stopped", "the job to show stopped")
        assert api.get(f"/jobs/{sleeper}").json()["job_status"] == "stopped"
        wait_for(lambda: not browser.find_elements(By.XPATH, "//button[text()='Terminate']"), "Terminate to go")
        assert browser.find_element(By.XPATH, "//button[text()='Delete']").is_displayed()
        screenshot(browser, "terminated-job")


def test_a_browser_without_the_token_sees_no_job(browser: Any, service_factory: Callable[..., Any]) -> None:
    service = service_factory()
    with httpx.Client(base_url=service.base_url, headers=service.headers, timeout=10) as api:
        files = {"code_zip": ("code.zip", make_zip({"main.py": "print(1)"}), "application/zip")}
        code_id = api.post(
            "/code/upload", data={"code_name": "private-name", "code_type": "python"}, files=files
        ).json()
    browser.get(f"{service.base_url}/")
    body = text_of(browser, "body")
    assert "This service needs its key" in body and "private-name" not in body and code_id not in body
    browser.get(f"{service.base_url}/?token={'0' * 64}")
    assert "not the one of this service's key" in text_of(browser, "body")
    assert browser.get_cookies() == []
    assert TEST_API_KEY not in browser.page_source


# ----- at a phone's width and a desktop's -----

WIDTHS = {"phone": 360, "desktop": 1280}
LONG_NAME = "customer-analytics-pipeline-with-a-name-longer-than-any-phone-screen"
# Elements whose text is read whole: IDs, sizes, times, durations, statuses.
WHOLE = ".id, .nowrap, .status"
# The texts in such elements that a line break cuts (a text on one line has one box).
BROKEN_TEXTS = """
const broken = [];
for (const element of document.querySelectorAll(arguments[0])) {
  const walker = document.createTreeWalker(element, NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    const range = document.createRange();
    range.selectNodeContents(node);
    if (node.textContent.trim() && range.getClientRects().length > 1) broken.push(node.textContent);
  }
}
return broken;
"""


@pytest.fixture
def busy_service(service_factory: Callable[..., Any]) -> Iterator[tuple[str, dict[str, str]]]:
    """A service without a key holding what a dashboard shows in use: finished,
    failed, queued and serving jobs, and stored code; its URL and the IDs."""
    service = service_factory(api_key=None)
    with httpx.Client(base_url=service.base_url, timeout=10) as api:

        def store(name: str, code_type: str = "python", size: int = 0, hook: str = "") -> str:
            # A file named after a hook of the simulated jobs steers them ("fail", "hold").
            files = {"main.py": "print('hello')\n", "data.bin": "x" * size, **({hook: ""} if hook else {})}
            code = make_zip(files)
            data = {"code_name": name, "code_type": code_type}
            return str(
                api.post("/code/upload", data=data, files={"code_zip": ("c.zip", code, "application/zip")}).json()
            )

        def run(code_id: str, web: bool = False) -> str:
            return str(api.post(f"/jobs/code/{code_id}/run{'/web' if web else ''}").json()["job_id"])

        ids = {
            "finished": run(store(LONG_NAME, size=300_000)),
            "failed": run(store("nightly-report", hook="fail")),
            "queued": run(store("orders-import", hook="hold")),
            "web": run(store("hello-web", "web"), web=True),
        }
        ids["code"] = store("metrics-dashboard", size=2_000_000)
        for name in ("finished", "failed"):
            wait_for(lambda: api.get(f"/jobs/{ids[name]}").json()["job_stage"] == "post_running", f"the {name} job")
        wait_for(lambda: api.get(f"/jobs/{ids['web']}").json()["job_stage"] == "running", "the web job to serve")
        yield service.base_url, ids


@pytest.mark.parametrize("width", list(WIDTHS))
def test_the_dashboard_reads_well_at_a_phones_width_and_a_desktops(
    browser: Any, busy_service: tuple[str, dict[str, str]], width: str
) -> None:
    from selenium.webdriver.common.by import By

    base_url, ids = busy_service
    pixels = WIDTHS[width]
    browser.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": pixels, "height": 900, "deviceScaleFactor": 1, "mobile": width == "phone"},
    )
    pages = {
        "dashboard": "/",
        "job": f"/ui/jobs/{ids['failed']}",
        "code": f"/ui/code/{ids['code']}",
        "ended-web-page": f"/{ids['web']}/",
    }
    for name, path in pages.items():
        if name == "ended-web-page":
            httpx.post(f"{base_url}/jobs/{ids['web']}/terminate", timeout=10)
        browser.get(base_url + path)
        if name == "job":
            wait_for(lambda: text_of(browser, "#output-state") == "complete", "the job's output")
        screenshot(browser, f"{name}-{pixels}px")
        assert browser.execute_script("return document.documentElement.scrollWidth") <= pixels, f"{name} scrolls"
        assert browser.execute_script(BROKEN_TEXTS, WHOLE) == [], name
        back = browser.find_elements(By.CSS_SELECTOR, "nav.back a")
        assert (name == "dashboard") is (back == []), name  # every other page leads back
    browser.get(base_url + "/")
    table = text_of(browser, "#jobs")
    assert "not started yet" in table and "post_running" not in table  # stages in words
    assert "ended" in table and re.search(r"\b\d+ B zip\b", table)  # result sizes


# ----- a hostile web app's page -----

# A web app whose page tries, with the browser's session, everything the service
# must not let a page do, and shows what each try gave in `window.results`. The
# app notes every request it receives in a file. Its settings come as JSON.
HOSTILE_APP = r"""
import json, os
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SETTINGS = json.loads(SETTINGS_JSON)
PAGE = '''<!doctype html><html><head><title>probing</title></head><body><script>
const s = JSON.parse(SETTINGS_JSON);
const results = {};
async function probe(name, run) {
  try { results[name] = await run(); } catch (error) { results[name] = "blocked"; }
}
async function read(url, init) {
  const answer = await fetch(url, Object.assign({credentials: "include"}, init || {}));
  return answer.type === "opaque" ? "opaque" : answer.status + " " + (await answer.text()).slice(0, 100);
}
function submit(action, fields) {
  const frame = document.createElement("iframe");
  frame.name = "sink" + Math.random();
  document.body.appendChild(frame);
  const form = document.createElement("form");
  form.action = action; form.method = "post"; form.target = frame.name;
  for (const [name, value] of Object.entries(fields)) {
    const input = document.createElement("input");
    input.name = name; input.value = value; form.appendChild(input);
  }
  document.body.appendChild(form);
  form.submit();
}
(async () => {
  await probe("code list", () => read(s.service + "/code/info"));
  await probe("other output", () => read(s.service + "/jobs/" + s.other_job + "/stream"));
  await probe("zip", () => read(s.service + "/code/" + s.code_id + "/download"));
  await probe("dashboard", () => read(s.service + "/"));
  await probe("other page", () => read(s.other_page));
  await probe("delete", () => read(s.service + "/code/" + s.code_id, {method: "DELETE"}));
  await probe("terminate", () => read(s.service + "/jobs/" + s.other_job + "/terminate", {method: "POST", mode: "no-cors"}));
  await probe("run", () => {
    const body = new FormData();
    body.append("code_zip", new Blob([Uint8Array.from(atob(s.zip), c => c.charCodeAt(0))]), "planted.zip");
    return read(s.service + "/jobs/code/run/web", {method: "POST", mode: "no-cors", body});
  });
  await probe("post to the other page", () => read(s.other_page + "posted", {method: "POST", mode: "no-cors", body: "x"}));
  submit(s.service + "/ui/jobs/" + s.other_job + "/terminate", {form_token: "guessed"});
  submit(s.service + "/ui/code/" + s.code_id + "/delete", {form_token: "guessed"});
  await probe("worker", async () => {
    await navigator.serviceWorker.register("/worker.js", {scope: "/"});
    return "registered";
  });
  document.cookie = s.cookie + "=from-the-page; path=/";
  await probe("app cookie", () => read("/set-cookie"));
  await new Promise(done => setTimeout(done, 1000));
  window.results = results;
  document.title = "done";
})();
</script></body></html>'''


class Handler(BaseHTTPRequestHandler):
    def note(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        with open(SETTINGS["seen"], "a") as seen:
            seen.write(json.dumps({"path": self.path, "headers": {k.lower(): v for k, v in self.headers.items()}}) + "\n")

    def send(self, content_type, body, *headers):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.note()
        if self.path == "/worker.js":
            worker = b"self.addEventListener('fetch', e => e.respondWith(new Response('the worker')));"
            self.send("text/javascript", worker, ("Service-Worker-Allowed", "/"))
        elif self.path == "/set-cookie":
            self.send("text/plain", b"set", ("Set-Cookie", SETTINGS["cookie"] + "=from-the-app; Path=/; HttpOnly"))
        else:
            self.send("text/html", PAGE.encode())

    def do_POST(self):
        self.note()
        self.send("text/plain", b"posted")

    def log_message(self, *args):
        pass


ThreadingHTTPServer(("127.0.0.1", int(os.environ["PORT"])), Handler).serve_forever()
"""


def hostile_app(**settings: str) -> bytes:
    import json

    return make_zip({"main.py": HOSTILE_APP.replace("SETTINGS_JSON", repr(json.dumps(settings)))})


def seen_by(path: Path) -> list[dict[str, Any]]:
    """What an app noted, health probes left out."""
    import json

    lines = path.read_text().splitlines() if path.exists() else []
    noted = [json.loads(line) for line in lines]
    return [request for request in noted if request["headers"].get("user-agent") != "vexa-health-probe"]


@pytest.mark.parametrize("key", [TEST_API_KEY, None], ids=["keyed", "keyless"])
def test_a_hostile_page_reaches_nothing_of_the_service_and_goes_with_its_job(
    browser: Any, service_factory: Callable[..., Any], tmp_path: Path, key: str | None
) -> None:
    import base64

    from vexa import Client
    from vexa._browser import browser_token
    from vexa.devservice.dashboard import dashboard_url
    from vexa.types import CodeType, CodeZip, JobStage

    service = service_factory(api_key=key, simulate=False)
    client = Client(service.base_url, api_key=key)
    victim = client.code.upload(CodeZip(zip_bytes=make_zip({"main.py": "print(1)"})), "victim", CodeType.PYTHON)
    cookie = f"vexa_session_{service.port}"
    settings = {"service": service.base_url, "code_id": victim, "cookie": cookie}
    settings["zip"] = base64.b64encode(make_zip({"main.py": "print('planted')"})).decode()
    other = client.web.run(CodeZip(zip_bytes=hostile_app(**settings, seen=str(tmp_path / "other.jsonl")))).job_id
    other_page = client.web.get_url(other)
    settings.update(other_job=other, other_page=other_page, seen=str(tmp_path / "hostile.jsonl"))
    hostile = client.web.run(CodeZip(zip_bytes=hostile_app(**settings))).job_id
    for job_id in (other, hostile):
        client.web.await_healthy(job_id, timeout=60)
    codes, jobs = sorted(c.code_id for c in client.code.list_info()), sorted(j.job_id for j in client.jobs.list())

    if key is not None:
        browser.get(dashboard_url("127.0.0.1", service.port, key))  # a session, as the user has one
        assert "<h1>Jobs</h1>" in browser.page_source
    browser.get(f"{service.base_url}/{hostile}/")  # the dashboard's link to the page
    assert browser.current_url == client.web.get_url(hostile)  # its own origin; the token left the address
    wait_for(lambda: browser.title == "done", "the page's probes")
    results = browser.execute_script("return window.results")
    screenshot(browser, f"hostile-page-{'keyed' if key else 'keyless'}")
    # A DELETE from another origin needs the service's leave first (a preflight), which it does not give.
    reads = ["code list", "other output", "zip", "dashboard", "other page", "worker", "delete"]
    assert {name: results[name] for name in reads} == dict.fromkeys(reads, "blocked")
    blind = ["terminate", "run", "post to the other page"]
    assert {name: results[name] for name in blind} == dict.fromkeys(blind, "opaque")  # sent; effects below
    assert results["app cookie"] == "200 set"

    # Nothing changed: no code gone or added, no job stopped or started.
    assert sorted(c.code_id for c in client.code.list_info()) == codes
    assert sorted(j.job_id for j in client.jobs.list()) == jobs
    assert client.jobs.get(other).job_stage == JobStage.RUNNING
    # The other app heard nothing from this page; this app saw no session, no key, no worker request.
    assert seen_by(tmp_path / "other.jsonl") == []
    noted = seen_by(tmp_path / "hostile.jsonl")
    assert [request["path"] for request in noted if request["path"] != "/favicon.ico"] == ["/", "/set-cookie"]
    assert all("vexa_session" not in request["headers"].get("cookie", "") for request in noted)
    assert all("x-api-key" not in request["headers"] for request in noted)

    # The page goes with its job: its address stops answering, and no worker of it is left.
    client.jobs.terminate(hostile)
    gone = "const done = arguments[0]; fetch(location.origin + '/').then(a => done(a.status), e => done('refused'));"
    wait_for(lambda: browser.execute_async_script(gone) == "refused", "the page's address to close")
    workers = "const done = arguments[0]; navigator.serviceWorker.getRegistrations().then(r => done(r.length));"
    assert browser.execute_async_script(workers) == 0

    # The dashboard's session is as it was: neither the page nor the app set or replaced it.
    browser.get(f"{service.base_url}/")
    assert "<h1>Jobs</h1>" in browser.page_source
    sessions = [(c["name"], c["value"]) for c in browser.get_cookies() if c["name"].startswith("vexa_session")]
    assert sessions == ([(cookie, browser_token(key))] if key is not None else [])
    client.jobs.terminate(other)
