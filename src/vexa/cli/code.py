"""`vexa code`: stored code."""

from __future__ import annotations

from pathlib import Path

import click

from vexa.cli.app import CONTEXT_SETTINGS, Session, client_command
from vexa.cli.output import CODE_COLUMNS
from vexa.cli.params import (
    CODE_PATH,
    OUT_FILE,
    EnumChoice,
    checked_out_file,
    code_of,
    code_type_option,
    force_option,
    metadata_option,
    name_option,
    refuse_to_overwrite,
)
from vexa.types import CodeType, JsonData


@click.group(context_settings=CONTEXT_SETTINGS)
def code() -> None:
    """Stored code: upload, list, inspect, download, delete, ingest."""


@client_command(code, "upload", quiet=True)
@click.argument("path", type=CODE_PATH)
@name_option
@code_type_option
@metadata_option
def code_upload(session: Session, path: Path, name: str | None, code_type: CodeType, metadata: JsonData | None) -> None:
    """Upload code and print its code ID.

    PATH is a zip file or a folder, which is zipped without its __pycache__
    and .git folders and virtual environments.
    """
    code_zip, code_name = code_of(path, name)
    with session.transfer(f"Uploading {path.name or code_name}"), session.client() as client:
        code_id = client.code.upload(code_zip, code_name, code_type, metadata)
    session.output.value({"code_id": code_id}, code_id)


@client_command(code, "list", quiet=True)
@click.option("--type", "code_type", type=EnumChoice(CodeType), help="Only code of this type.")
def code_list(session: Session, code_type: CodeType | None) -> None:
    """List stored code."""
    with session.client() as client:
        found = client.code.list_info(code_type)
    session.output.listing(found, CODE_COLUMNS, "No code stored.")


@client_command(code, "info")
@click.argument("code_id")
def code_info(session: Session, code_id: str) -> None:
    """Show what the service knows about stored code."""
    with session.client() as client:
        session.output.record(client.code.get_info(code_id))


@client_command(code, "metadata")
@click.argument("code_id")
def code_metadata(session: Session, code_id: str) -> None:
    """Print the JSON metadata of stored code."""
    with session.client() as client:
        session.output.json(client.code.get_metadata(code_id))


@client_command(code, "download")
@click.argument("code_id")
@click.argument("out", type=OUT_FILE, required=False, callback=checked_out_file)
@force_option
def code_download(session: Session, code_id: str, out: Path | None, force: bool) -> None:
    """Save stored code to a zip file.

    Writes OUT, by default CODE_ID.zip; an existing file only with --force.
    """
    target = out or Path(f"{code_id}.zip")
    refuse_to_overwrite(target, force)
    with session.transfer(f"Downloading {target.name}"), session.client() as client:
        code_zip = client.code.download(code_id, target)
    session.output.saved({"code_id": code_id}, len(code_zip.zip_bytes), target)


@client_command(code, "delete")
@click.argument("code_id")
def code_delete(session: Session, code_id: str) -> None:
    """Delete stored code."""
    with session.client() as client:
        message = client.code.delete(code_id)
    session.output.value({"code_id": code_id, "deleted": True}, message)


@client_command(code, "ingest", quiet=True)
@click.argument("path", type=CODE_PATH)
@name_option
@code_type_option
@metadata_option
@click.option("--build-pexenv", is_flag=True, help="Build a virtual environment for the code.")
@click.option("--pexenv-python", metavar="VERSION", help='Python of that environment, e.g. "3.11".')
def code_ingest(
    session: Session,
    path: Path,
    name: str | None,
    code_type: CodeType,
    metadata: JsonData | None,
    build_pexenv: bool,
    pexenv_python: str | None,
) -> None:
    """Upload code and start its ingestion job.

    PATH is a zip file or a folder, zipped as by `vexa code upload`.
    """
    code_zip, code_name = code_of(path, name)
    with session.transfer(f"Uploading {path.name or code_name}"), session.client() as client:
        job = client.code.ingest(code_zip, code_name, code_type, metadata, build_pexenv, pexenv_python)
    session.output.record(job)
