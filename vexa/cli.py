"""The `vexa` command: run the local service, manage code and follow jobs.

    vexa serve --port 8000 --data-dir ./data [--api-key KEY]
    vexa code upload app.zip --name app --type web
    vexa jobs wait JOB_ID --timeout 60

Code and jobs commands take --base-url and --api-key, defaulting to the
VEXA_BASE_URL and VEXA_API_KEY environment variables. Results are printed as
JSON; errors go to stderr with exit status 1.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
from pathlib import Path
from typing import Any, Sequence

import httpx
from pydantic import BaseModel

from vexa.types import CodeType, CodeZip, JobStage, JobStatus, VexaException

_CODE_TYPES = [code_type.value for code_type in CodeType]
_JOB_STATUSES = [status.value for status in JobStatus]
_JOB_STAGES = [stage.value for stage in JobStage]


def main(argv: Sequence[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    if args.command == "serve":
        return _serve(args)
    try:
        if args.command == "code":
            _run_code_command(args)
        else:
            asyncio.run(_run_jobs_command(args))
    except httpx.TransportError as exc:
        print(f"error: {exc} ({exc.request.method} {exc.request.url})", file=sys.stderr)
        return 1
    except (VexaException, TimeoutError, httpx.HTTPError, ValueError, OSError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    return 0


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vexa", description="Vexa code and jobs service.")
    commands = parser.add_subparsers(dest="command", required=True)

    serve = commands.add_parser("serve", help="run the local service")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000, help="0 picks a free port")
    serve.add_argument("--data-dir", required=True)
    serve.add_argument("--api-key", help="require this key from clients")

    # Connection options sit on each command so that they can follow it.
    connection = argparse.ArgumentParser(add_help=False)
    connection.add_argument("--base-url", help="default: $VEXA_BASE_URL")
    connection.add_argument("--api-key", help="default: $VEXA_API_KEY")

    code = commands.add_parser("code", help="stored code").add_subparsers(
        dest="action", required=True
    )
    upload = code.add_parser("upload", parents=[connection], help="upload a code zip")
    upload.add_argument("path", type=Path)
    upload.add_argument("--name", required=True)
    upload.add_argument("--type", choices=_CODE_TYPES, default=CodeType.PYTHON.value)
    upload.add_argument("--metadata", type=json.loads, help="JSON metadata")
    listing = code.add_parser("list", parents=[connection], help="list stored code")
    listing.add_argument("--type", choices=_CODE_TYPES)
    for action in ("info", "metadata", "delete"):
        code.add_parser(action, parents=[connection]).add_argument("code_id")
    download = code.add_parser("download", parents=[connection], help="save a code zip")
    download.add_argument("code_id")
    download.add_argument("out", type=Path)

    jobs = commands.add_parser("jobs", help="jobs").add_subparsers(
        dest="action", required=True
    )
    job_list = jobs.add_parser("list", parents=[connection], help="list jobs")
    job_list.add_argument("--status", choices=_JOB_STATUSES)
    job_list.add_argument("--stage", choices=_JOB_STAGES)
    jobs.add_parser("get", parents=[connection]).add_argument("job_id")
    jobs.add_parser("stream", parents=[connection], help="follow output").add_argument(
        "job_id"
    )
    wait = jobs.add_parser("wait", parents=[connection], help="wait until it has run")
    wait.add_argument("job_id")
    wait.add_argument("--timeout", type=float, help="seconds; default: no limit")
    return parser


def _serve(args: argparse.Namespace) -> int:
    from vexa.devservice import main as serve_main

    serve_argv = ["--host", args.host, "--port", str(args.port), "--data-dir", args.data_dir]
    if args.api_key:
        serve_argv += ["--api-key", args.api_key]
    return serve_main(serve_argv) or 0


def _run_code_command(args: argparse.Namespace) -> None:
    from vexa.client import Client

    client = Client(base_url=args.base_url, api_key=args.api_key)
    if args.action == "upload":
        code_zip = CodeZip.from_path(args.path)
        print(client.code.upload(code_zip, args.name, CodeType(args.type), args.metadata))
    elif args.action == "list":
        code_type = CodeType(args.type) if args.type else None
        _print_json(client.code.list_info(code_type))
    elif args.action == "info":
        _print_json(client.code.get_info(args.code_id))
    elif args.action == "metadata":
        _print_json(client.code.get_metadata(args.code_id))
    elif args.action == "download":
        code_zip = client.code.download(args.code_id, args.out)
        print(f"Saved {len(code_zip.zip_bytes)} bytes to {args.out}")
    elif args.action == "delete":
        print(client.code.delete(args.code_id))


async def _run_jobs_command(args: argparse.Namespace) -> None:
    from vexa.client import AsyncClient

    client = AsyncClient(base_url=args.base_url, api_key=args.api_key)
    if args.action == "list":
        status = JobStatus(args.status) if args.status else None
        stage = JobStage(args.stage) if args.stage else None
        _print_json(await client.jobs.list(job_status=status, job_stage=stage))
    elif args.action == "get":
        _print_json(await client.jobs.get(args.job_id))
    elif args.action == "stream":
        async for output in client.jobs.stream_output(args.job_id):
            target = sys.stderr if output.stream == "stderr" else sys.stdout
            target.write(output.text if output.text.endswith("\n") else output.text + "\n")
            target.flush()
    elif args.action == "wait":
        _print_json(await client.jobs.await_stage(args.job_id, timeout=args.timeout))


def _print_json(value: Any) -> None:
    print(json.dumps(_to_json(value), indent=2))


def _to_json(value: Any) -> Any:
    if isinstance(value, BaseModel):
        return value.model_dump(mode="json")
    if isinstance(value, list):
        return [_to_json(item) for item in value]
    return value


if __name__ == "__main__":
    sys.exit(main())
