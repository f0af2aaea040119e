"""Stored code: one folder per code id under `<data_dir>/code/`, records in the database.

Every write blocks: call it from a worker thread.
"""

from __future__ import annotations

import os
import secrets
import shutil
import threading
from pathlib import Path
from typing import Any, BinaryIO

from vexa.types import CodeType

from .archive import ArchiveError, ArchiveLimits, check_archive
from .constants import COPY_CHUNK_BYTES
from .metadata import MetadataError, encode_metadata, parse_metadata
from .models import CodeRecord, utc_now_iso
from .storage import SQL, Database

ZIP_FILE = "code.zip"
VENV_DIR = "venv"
STAGING_PREFIX = ".staging-"
TRASH_PREFIX = ".trash-"
PRIVATE_DIR = 0o700
PRIVATE_FILE = 0o600


class StorageError(Exception):
    """Input the storage refuses; `status_code` is the HTTP status to answer with."""

    def __init__(self, detail: str, status_code: int = 422) -> None:
        super().__init__(detail)
        self.status_code = status_code


def private_dir(path: Path, *, tighten: bool = True) -> Path:
    """`path` (and missing parents) created for the owner only; one that exists
    (from an earlier version) made so too, unless `tighten` is false."""
    path.mkdir(mode=PRIVATE_DIR, parents=True, exist_ok=True)
    if tighten and path.stat().st_mode & 0o077:
        path.chmod(PRIVATE_DIR)
    return path


class CodeStorage:
    """Code zips under `<data_dir>/code/<code_id>/`, records in the database.

    Records are also kept in memory (read on the event loop without touching
    the database). A code folder appears by one rename once its zip is complete
    and is removed by a rename before its files go, so readers see either a
    whole archive or none.
    """

    def __init__(
        self, data_dir: str | os.PathLike[str], database: Database, limits: ArchiveLimits | None = None
    ) -> None:
        self.data_dir = Path(data_dir)
        self.code_dir = private_dir(self.data_dir / "code")
        for leftover in [*self.code_dir.glob(STAGING_PREFIX + "*"), *self.code_dir.glob(TRASH_PREFIX + "*")]:
            shutil.rmtree(leftover, ignore_errors=True)  # from an interrupted upload or delete
        self.database = database
        self.limits = limits or ArchiveLimits()
        self._lock = threading.Lock()
        self._records = self._load()

    def _load(self) -> dict[str, CodeRecord]:
        records = {}
        for code_id, code_name, code_type, size, created_at, metadata in self.database.query(SQL.SELECT_CODE):
            if self.zip_path(code_id).exists():  # skip records whose folder was removed by hand
                try:
                    value = parse_metadata(metadata.encode("utf-8", "surrogatepass"))
                except MetadataError:
                    value = None  # stored by hand or by another program: never let it break a listing
                records[code_id] = CodeRecord(code_id, code_name, CodeType(code_type), size, created_at, value)
        return records

    def zip_path(self, code_id: str) -> Path:
        return self.code_dir / code_id / ZIP_FILE

    def venv_path(self, code_id: str) -> Path:
        return self.code_dir / code_id / VENV_DIR

    def add_code(self, code_name: str, code_type: str, zip_file: BinaryIO, metadata: Any = None) -> CodeRecord:
        """Copy `zip_file` to disk chunk by chunk, check it, and record it."""
        if not code_name:
            raise StorageError("code_name must not be empty")
        try:
            kind = CodeType(code_type)
        except ValueError:
            choices = ", ".join(member.value for member in CodeType)
            raise StorageError(f"code_type must be one of {choices}, got {code_type!r}") from None
        try:
            stored_metadata = encode_metadata(metadata)
        except (ValueError, TypeError) as exc:
            raise StorageError(f"metadata is not strict JSON: {exc}") from None
        code_id = "c_" + secrets.token_hex(8)
        staging_dir = self.code_dir / (STAGING_PREFIX + code_id)
        staging_dir.mkdir(mode=PRIVATE_DIR)
        try:
            size = _copy_capped(zip_file, staging_dir / ZIP_FILE, self.limits.max_archive_bytes)
            check_archive(staging_dir / ZIP_FILE, self.limits)
            record = CodeRecord(code_id, code_name, kind, size, utc_now_iso(), metadata)
            os.replace(staging_dir, self.code_dir / code_id)
        except ArchiveError as exc:
            shutil.rmtree(staging_dir, ignore_errors=True)
            raise StorageError(exc.detail, exc.status_code) from None
        except BaseException:
            shutil.rmtree(staging_dir, ignore_errors=True)
            raise
        with self._lock:
            try:
                self.database.write(
                    [(SQL.INSERT_CODE, (code_id, code_name, kind.value, size, record.created_at, stored_metadata))]
                )
            except BaseException:  # not recorded (a full disk, say): nothing of it is kept
                shutil.rmtree(self.code_dir / code_id, ignore_errors=True)
                raise
            self._records[code_id] = record
        return record

    def get(self, code_id: str) -> CodeRecord | None:
        with self._lock:
            return self._records.get(code_id)

    def list(self, code_type: str | None = None) -> list[CodeRecord]:
        with self._lock:
            records = list(self._records.values())
        records.reverse()  # insertion order is creation order; newest first
        if code_type is not None:
            records = [r for r in records if r.code_type == code_type]
        return records

    def delete(self, code_id: str) -> bool:
        with self._lock:
            if code_id not in self._records:
                return False
            # The record goes first: a delete that fails (a full disk, say) leaves the code as it was.
            self.database.write([(SQL.DELETE_CODE, (code_id,))])
            del self._records[code_id]
            trash = self.code_dir / (TRASH_PREFIX + code_id)
            os.replace(self.code_dir / code_id, trash)
        shutil.rmtree(trash, ignore_errors=True)
        return True


def _copy_capped(source: BinaryIO, destination: Path, max_bytes: int) -> int:
    source.seek(0)
    size = 0
    with open(os.open(destination, os.O_WRONLY | os.O_CREAT | os.O_EXCL, PRIVATE_FILE), "wb") as out:
        while chunk := source.read(COPY_CHUNK_BYTES):
            size += len(chunk)
            if size > max_bytes:
                raise StorageError(f"code_zip is over the limit of {max_bytes} bytes", 413)
            out.write(chunk)
    return size
