"""A small web app for the vexa local service, on the standard library only.

The service starts it with PORT, VEXA_JOB_ID and VEXA_OUTPUT_DIR set:
  GET /        an HTML page that counts its visits
  GET /hello   a JSON greeting (?name=...)
  POST /echo   answers with the body it was sent
Each request is logged on stdout (the service's health probes are not). Files in VEXA_OUTPUT_DIR become the job's
result: visits.json is rewritten after every request and once more on shutdown.
"""

from __future__ import annotations

import html
import json
import os
import signal
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import FrameType
from urllib.parse import parse_qs, urlsplit

PORT = int(os.environ.get("PORT", "8080"))
JOB_ID = os.environ.get("VEXA_JOB_ID", "local")
OUTPUT_DIR = Path(os.environ.get("VEXA_OUTPUT_DIR", "output"))

# The service's health probes say so; they are answered but neither counted nor logged.
HEALTH_PROBE = "vexa-health-probe"

visits: dict[str, int] = {}
visits_lock = threading.Lock()


def count_visit(path: str) -> int:
    with visits_lock:
        visits[path] = visits.get(path, 0) + 1
        OUTPUT_DIR.mkdir(parents=True, exist_ok=True)
        (OUTPUT_DIR / "visits.json").write_text(json.dumps(visits, indent=2, sort_keys=True) + "\n")
        return visits[path]


class Handler(BaseHTTPRequestHandler):
    server_version = "hello-web/1.0"

    def do_GET(self) -> None:
        url = urlsplit(self.path)
        if self.headers.get("User-Agent") == HEALTH_PROBE:
            self.answer(200, "text/plain", b"ok\n")
            return
        count = count_visit(url.path)
        if url.path == "/":
            page = (
                "<!doctype html><html><head><title>Hello from vexa</title></head><body>"
                f"<h1>Hello from vexa</h1><p>Served by job {html.escape(JOB_ID)}, visit {count}.</p>"
                # Relative: the page is seen under the job's path on the service.
                '<p><a href="hello?name=visitor">Say hello</a></p>'
                "</body></html>\n"
            )
            self.answer(200, "text/html; charset=utf-8", page.encode())
        elif url.path == "/hello":
            name = parse_qs(url.query).get("name", ["world"])[0]
            self.answer(200, "application/json", json.dumps({"hello": name, "job_id": JOB_ID}).encode())
        else:
            self.answer(404, "text/plain", b"not found\n")

    def do_POST(self) -> None:
        count_visit(urlsplit(self.path).path)
        self.answer(200, self.headers.get("Content-Type") or "application/octet-stream", self.read_body())

    def read_body(self) -> bytes:
        if "chunked" not in self.headers.get("Transfer-Encoding", "").lower():
            return self.rfile.read(int(self.headers.get("Content-Length") or 0))
        chunks = []
        while size := int(self.rfile.readline().split(b";")[0], 16):
            chunks.append(self.rfile.read(size))
            self.rfile.readline()  # the CRLF after each chunk
        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
            pass  # trailers
        return b"".join(chunks)

    def answer(self, status: int, content_type: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        if self.headers is not None and self.headers.get("User-Agent") == HEALTH_PROBE:
            return
        print(f"{self.command} {self.path} -> {args[1] if len(args) > 1 else '?'}", flush=True)


def main() -> None:
    server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)

    def stop(signum: int, frame: FrameType | None) -> None:
        print("Stopping: the service asked the app to end", flush=True)
        # shutdown() waits for serve_forever, so it must not run on the serving thread.
        threading.Thread(target=server.shutdown).start()

    signal.signal(signal.SIGTERM, stop)
    print(f"Serving on http://127.0.0.1:{PORT} for job {JOB_ID}", flush=True)
    server.serve_forever()
    server.server_close()
    with visits_lock:
        total = sum(visits.values())
    (OUTPUT_DIR / "summary.txt").write_text(f"{total} requests served by job {JOB_ID}\n")
    print(f"Served {total} requests", file=sys.stderr, flush=True)


if __name__ == "__main__":
    main()
