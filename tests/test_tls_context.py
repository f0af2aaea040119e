"""`verify=` and the one TLS context a parent client makes for all its requests.

Every operation runs against the recording server speaking HTTPS with a
certificate from a certificate authority made for this test run: it must
succeed when the parent trusts that authority (as a CA file, a CA directory
or a ready `ssl.SSLContext`) or verifies nothing, and fail the certificate
check with the default, which trusts only the usual public authorities. So
every HTTP client that an operation opens, per request or shared, is seen to
get the parent's context.
"""

from __future__ import annotations

import asyncio
import dataclasses
import datetime
import ipaddress
import shutil
import ssl
import subprocess
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Iterator

import httpx
import pytest
from recording_server import ConnectionLog, RecordingServer
from test_shared_http_client import API_KEY, OPERATIONS, Operation, answer

from vexa.client import _base
from vexa.client._async import AsyncClient
from vexa.client._async._jobs import AsyncJobsClient
from vexa.client._async.code import AsyncCodeClient
from vexa.client._errors import get_http_exception
from vexa.client._files import prepare_files
from vexa.client._sync import Client
from vexa.client._sync._code import CodeClient

x509 = pytest.importorskip("cryptography.x509")
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID  # noqa: E402


@dataclass(frozen=True)
class Authority:
    ca_file: Path  # the authority's certificate, PEM
    ca_dir: Path  # a directory holding it under its hash name, as `capath` wants
    server_context: ssl.SSLContext  # serves a certificate for 127.0.0.1 that the authority signed


def _name(common_name: str) -> Any:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


@pytest.fixture(scope="module")
def authority(tmp_path_factory: pytest.TempPathFactory) -> Authority:
    """A CA and a server certificate signed by it, made now (valid for a day)."""
    folder = tmp_path_factory.mktemp("tls")
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_cert = (
        x509.CertificateBuilder()
        .subject_name(_name("vexa test authority"))
        .issuer_name(_name("vexa test authority"))
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=False,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=True,
                crl_sign=True,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    server_key = ec.generate_private_key(ec.SECP256R1())
    server_cert = (
        x509.CertificateBuilder()
        .subject_name(_name("127.0.0.1"))
        .issuer_name(ca_cert.subject)
        .public_key(server_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    ca_file = folder / "ca.pem"
    ca_file.write_bytes(ca_cert.public_bytes(serialization.Encoding.PEM))
    chain = folder / "server.pem"
    chain.write_bytes(
        server_key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        )
        + server_cert.public_bytes(serialization.Encoding.PEM)
    )
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(chain)
    ca_dir = folder / "ca-dir"
    ca_dir.mkdir()
    openssl = shutil.which("openssl")
    if openssl:  # `capath` finds certificates by subject hash, which openssl computes
        subject_hash = subprocess.run(
            [openssl, "x509", "-hash", "-noout", "-in", str(ca_file)], capture_output=True, text=True, check=True
        ).stdout.strip()
        shutil.copy(ca_file, ca_dir / f"{subject_hash}.0")
    return Authority(ca_file, ca_dir, server_context)


@pytest.fixture
def tls_recorder(authority: Authority) -> Iterator[RecordingServer]:
    with RecordingServer(tls=authority.server_context) as server:
        yield server


VERIFY_TRUSTING: dict[str, Callable[[Authority], Any]] = {
    "CA file": lambda a: str(a.ca_file),
    "CA directory": lambda a: str(a.ca_dir),
    "SSLContext": lambda a: ssl.create_default_context(cafile=str(a.ca_file)),
    "False": lambda a: False,
}


def run(operation: Operation, client: Any, shared: bool = False) -> Any:
    if operation.blocking:
        if not shared:
            return operation.run(client)
        with client:
            return operation.run(client)

    async def awaited() -> Any:
        if not shared:
            return await operation.run(client)
        async with client:
            return await operation.run(client)

    return asyncio.run(awaited())


def parent_for(operation: Operation, base_url: str, **options: Any) -> Client | AsyncClient:
    kind = Client if operation.blocking else AsyncClient
    return kind(base_url, api_key=API_KEY, **options)


def fails_certificate_check(error: BaseException) -> bool:
    while error is not None:
        if isinstance(error, ssl.SSLCertVerificationError):
            return True
        error = error.__cause__ or error.__context__  # type: ignore[assignment]
    return False


@pytest.mark.parametrize("shared", [False, True], ids=["per request", "shared"])
@pytest.mark.parametrize("verify", VERIFY_TRUSTING)
@pytest.mark.parametrize("name", OPERATIONS)
def test_operations_succeed_with_a_verify_that_trusts_the_server(
    tls_recorder: RecordingServer, authority: Authority, name: str, verify: str, shared: bool
) -> None:
    if verify == "CA directory" and not any(authority.ca_dir.iterdir()):
        pytest.skip("no openssl to name the CA directory's entry")
    operation = OPERATIONS[name]
    tls_recorder.script_response(answer(operation))
    client = parent_for(operation, tls_recorder.base_url, verify=VERIFY_TRUSTING[verify](authority))
    run(operation, client, shared)
    assert tls_recorder.wait_for_requests(1)[0].header("X-API-Key") == API_KEY


@pytest.mark.parametrize("shared", [False, True], ids=["per request", "shared"])
@pytest.mark.parametrize("name", [name for name, operation in OPERATIONS.items() if operation.refusal_raises])
def test_the_default_verify_refuses_a_server_of_an_unknown_authority(
    tls_recorder: RecordingServer, name: str, shared: bool
) -> None:
    operation = OPERATIONS[name]
    client = parent_for(operation, tls_recorder.base_url)
    with pytest.raises(httpx.ConnectError) as raised:
        run(operation, client, shared)
    assert fails_certificate_check(raised.value)
    assert tls_recorder.requests == []


@pytest.fixture
def made_contexts(monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    """The `verify` of every TLS context the parent clients make from now on."""
    made: list[Any] = []
    real = _base.create_ssl_context

    def counting(verify: Any) -> ssl.SSLContext:
        made.append(verify)
        return real(verify)

    monkeypatch.setattr(_base, "create_ssl_context", counting)
    return made


@pytest.mark.parametrize("blocking", [True, False], ids=["Client", "AsyncClient"])
def test_the_context_is_made_once_and_every_request_has_its_own_connection(
    tls_recorder: RecordingServer, authority: Authority, made_contexts: list[Any], blocking: bool
) -> None:
    connections = ConnectionLog(tls_recorder)
    operations = [operation for operation in OPERATIONS.values() if operation.blocking == blocking]
    kind = Client if blocking else AsyncClient
    client = kind(tls_recorder.base_url, api_key=API_KEY, verify=str(authority.ca_file))
    for operation in operations:
        for _ in range(2):
            tls_recorder.script_response(answer(operation))
            run(operation, client)
    requests = tls_recorder.wait_for_requests(2 * len(operations))
    assert len(requests) == 2 * len(operations)
    assert made_contexts == [str(authority.ca_file)]
    assert connections.count == len(requests)
    assert connections.all_closed()


@pytest.mark.parametrize("shared", [False, True], ids=["per request", "shared"])
@pytest.mark.parametrize("blocking", [True, False], ids=["Client", "AsyncClient"])
def test_plain_http_loads_no_authorities_and_never_passes_a_certificate_check(
    recorder: RecordingServer, tls_recorder: RecordingServer, made_contexts: list[Any], blocking: bool, shared: bool
) -> None:
    operation = next(operation for operation in OPERATIONS.values() if operation.blocking == blocking)
    client = parent_for(operation, recorder.base_url)
    recorder.script_response(answer(operation))
    run(operation, client)
    assert len(recorder.wait_for_requests(1)) == 1
    assert made_contexts == []  # nothing loaded for plain HTTP

    # Now the same parent speaks TLS to a server that no public authority
    # vouches for: per request it makes the default context, and a pooled
    # client opened while the URL was plain keeps a context that trusts
    # nobody. Either way the certificate check fails.
    def switched(parent: Any) -> Any:
        parent.base_url = tls_recorder.base_url
        return operation.run(parent)

    recorder.script_response(answer(operation))
    with pytest.raises(httpx.ConnectError) as raised:
        if not shared:
            run(dataclasses.replace(operation, run=switched), client)
        elif blocking:
            with client:
                operation.run(client)  # opens the pooled client on plain HTTP
                switched(client)
        else:

            async def pooled() -> Any:
                async with client:
                    await operation.run(client)
                    await switched(client)

            asyncio.run(pooled())
    assert fails_certificate_check(raised.value)
    assert tls_recorder.requests == []
    assert made_contexts == ([] if shared else [True])


def bare_parent(base_url: str, **members: Any) -> SimpleNamespace:
    return SimpleNamespace(
        base_url=base_url,
        api_key_header={"X-API-Key": API_KEY},
        _get_http_exception=lambda httpx_error: get_http_exception(httpx_error),
        _prepare_files=prepare_files,
        **members,
    )


SUB_CLIENTS: dict[str, Callable[[Any], Any]] = {
    "CodeClient.get_info": lambda parent: CodeClient(parent).get_info("c1"),
    "CodeClient.delete": lambda parent: CodeClient(parent).delete("c1"),
    "AsyncJobsClient.get": lambda parent: asyncio.run(AsyncJobsClient(parent).get("j1")),
    "AsyncCodeClient.get_info": lambda parent: asyncio.run(AsyncCodeClient(parent).get_info("c1")),
}


@pytest.mark.parametrize("members", ["none", "_ssl_context=None"])
@pytest.mark.parametrize("name", SUB_CLIENTS)
def test_a_parent_without_a_context_keeps_the_library_default(
    tls_recorder: RecordingServer, name: str, members: str
) -> None:
    extra = {} if members == "none" else {"_ssl_context": None}
    with pytest.raises(httpx.ConnectError) as raised:
        SUB_CLIENTS[name](bare_parent(tls_recorder.base_url, **extra))
    assert fails_certificate_check(raised.value)


@pytest.mark.parametrize("name", SUB_CLIENTS)
def test_a_parent_context_reaches_the_connection(
    tls_recorder: RecordingServer, authority: Authority, name: str
) -> None:
    tls_recorder.set_default(
        200,
        body={
            "job_id": "j1",
            "job_status": "queued",
            "job_stage": "pre_running",
            "code_id": "c1",
            "code_name": "n",
            "code_type": "python",
        },
    )
    context = ssl.create_default_context(cafile=str(authority.ca_file))
    SUB_CLIENTS[name](bare_parent(tls_recorder.base_url, _ssl_context=context))
    assert len(tls_recorder.wait_for_requests(1)) == 1


ENDED_JOB = {"job_id": "j1", "job_type": "run", "job_status": "finished", "job_stage": "post_running"}


@pytest.mark.parametrize(
    "command, answer",
    [(["code", "list"], []), (["jobs", "wait", "j1"], ENDED_JOB)],
    ids=["blocking", "asynchronous"],
)
def test_the_command_line_verifies_a_tls_service_and_speaks_plain_http_to_one_without(
    recorder: RecordingServer, tls_recorder: RecordingServer, command: list[str], answer: Any
) -> None:
    from test_cli import Vexa

    recorder.set_default(200, answer)
    plain = Vexa(recorder.base_url, API_KEY)(*command)
    assert (plain.exit_code, plain.stderr) == (0, "")
    assert len(recorder.requests) >= 1
    # The same command over TLS, with the default trust: the test authority is unknown.
    refused = Vexa(tls_recorder.base_url, API_KEY)(*command)
    assert refused.exit_code != 0
    assert "certificate" in refused.stderr.lower()
    assert tls_recorder.requests == []
