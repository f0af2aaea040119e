"""The `vexa` command against the local service: code commands and their errors."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from conftest import TEST_API_KEY, make_zip


@pytest.fixture
def vexa_cli(service: Any, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch):
    """run("code", "list", ...) -> (exit status, stdout, stderr), connected to the session service."""
    from vexa.cli import main

    monkeypatch.delenv("VEXA_BASE_URL", raising=False)
    monkeypatch.delenv("VEXA_API_KEY", raising=False)

    def run(*args: str, api_key: str | None = TEST_API_KEY) -> tuple[int, str, str]:
        connection = ["--base-url", service.base_url]
        if api_key is not None:
            connection += ["--api-key", api_key]
        capsys.readouterr()
        status = main([*args, *connection])
        out, err = capsys.readouterr()
        return status, out, err

    return run


def _upload(vexa_cli: Any, tmp_path: Path, name: str, code_type: str, metadata: Any = None) -> tuple[str, bytes]:
    zip_bytes = make_zip({"main.py": f"print({name!r})\n"})
    path = tmp_path / f"{name}.zip"
    path.write_bytes(zip_bytes)
    args = ["code", "upload", str(path), "--name", name, "--type", code_type]
    if metadata is not None:
        args += ["--metadata", json.dumps(metadata)]
    status, out, err = vexa_cli(*args)
    assert (status, err) == (0, "")
    code_id = out.strip()
    assert code_id and "\n" not in code_id
    return code_id, zip_bytes


def test_code_round_trip(vexa_cli: Any, tmp_path: Path) -> None:
    metadata = {"owner": "cli", "n": [1, 2]}
    code_id, zip_bytes = _upload(vexa_cli, tmp_path, "cli-app", "python", metadata)

    status, out, _ = vexa_cli("code", "list")
    assert status == 0
    listed = {item["code_id"]: item for item in json.loads(out)}
    assert listed[code_id]["code_name"] == "cli-app"
    assert listed[code_id]["code_type"] == "python"

    status, out, _ = vexa_cli("code", "info", code_id)
    assert status == 0
    info = json.loads(out)
    assert (info["code_id"], info["code_name"], info["size"]) == (code_id, "cli-app", len(zip_bytes))

    status, out, _ = vexa_cli("code", "metadata", code_id)
    assert (status, json.loads(out)) == (0, metadata)

    target = tmp_path / "downloaded.zip"
    status, out, _ = vexa_cli("code", "download", code_id, str(target))
    assert status == 0
    assert out.strip() == f"Saved {len(zip_bytes)} bytes to {target}"
    assert target.read_bytes() == zip_bytes

    status, out, _ = vexa_cli("code", "delete", code_id)
    assert status == 0
    assert code_id in out and "deleted" in out

    status, out, _ = vexa_cli("code", "list")
    assert code_id not in {item["code_id"] for item in json.loads(out)}


def test_list_filters_by_type(vexa_cli: Any, tmp_path: Path) -> None:
    python_id, _ = _upload(vexa_cli, tmp_path, "cli-py", "python")
    web_id, _ = _upload(vexa_cli, tmp_path, "cli-web", "web")
    try:
        status, out, _ = vexa_cli("code", "list", "--type", "web")
        assert status == 0
        listed = json.loads(out)
        assert web_id in {item["code_id"] for item in listed}
        assert python_id not in {item["code_id"] for item in listed}
        assert {item["code_type"] for item in listed} == {"web"}
    finally:
        for code_id in (python_id, web_id):
            vexa_cli("code", "delete", code_id)


@pytest.mark.parametrize("action", ["info", "metadata", "delete"])
def test_missing_code_exits_1_with_the_error(vexa_cli: Any, action: str) -> None:
    status, out, err = vexa_cli("code", action, "no-such-code")
    assert status == 1
    assert out == ""
    assert err.startswith("error: 404 Not Found for ")
    assert "/code/no-such-code" in err
    assert "Code no-such-code not found" in err


def test_missing_code_download_leaves_no_file(vexa_cli: Any, tmp_path: Path) -> None:
    target = tmp_path / "missing.zip"
    status, _, err = vexa_cli("code", "download", "no-such-code", str(target))
    assert status == 1
    assert err.startswith("error: 404 Not Found for ")
    assert list(tmp_path.iterdir()) == []


def test_wrong_api_key_is_refused_and_not_printed(vexa_cli: Any) -> None:
    status, out, err = vexa_cli("code", "list", api_key="wrong-secret-key")
    assert status == 1
    assert out == ""
    assert err.startswith("error: 401 Unauthorized for GET ")
    assert "wrong-secret-key" not in err


def test_unreachable_service_exits_1(capsys: pytest.CaptureFixture[str]) -> None:
    from vexa.cli import main

    with socket.socket() as sock:  # a port that nothing listens on
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    status = main(["code", "list", "--base-url", f"http://127.0.0.1:{port}", "--api-key", "k"])
    out, err = capsys.readouterr()
    assert status == 1
    assert out == ""
    assert err.startswith("error: ")
    assert f"(GET http://127.0.0.1:{port}/code/info" in err


def test_command_line_reads_connection_from_environment(service: Any, tmp_path: Path) -> None:
    """The real entry point, as a subprocess, configured by VEXA_BASE_URL and VEXA_API_KEY."""
    zip_path = tmp_path / "env.zip"
    zip_path.write_bytes(make_zip({"main.py": "print('env')\n"}))
    import vexa

    # The subprocess imports the same vexa as this test: installed or source tree.
    package_root = str(Path(vexa.__file__).resolve().parent.parent)
    pythonpath = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    env = {
        **os.environ,
        "PYTHONPATH": pythonpath,
        "VEXA_BASE_URL": service.base_url,
        "VEXA_API_KEY": TEST_API_KEY,
    }

    def vexa(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "vexa.cli", *args],
            env=env,
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=60,
        )

    uploaded = vexa("code", "upload", str(zip_path), "--name", "env-app")
    assert uploaded.returncode == 0, uploaded.stderr
    code_id = uploaded.stdout.strip()

    info = vexa("code", "info", code_id)
    assert info.returncode == 0, info.stderr
    assert json.loads(info.stdout)["code_type"] == "python"  # the default --type

    deleted = vexa("code", "delete", code_id)
    assert deleted.returncode == 0, deleted.stderr

    missing = vexa("code", "info", code_id)
    assert missing.returncode == 1
    assert missing.stdout == ""
    assert f"Code {code_id} not found" in missing.stderr
