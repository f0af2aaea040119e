"""On-disk state: a SQLite database (code and job records) and one folder per code id.

The database is the standard library's sqlite3 in WAL mode. Every method of
`Database` and every write of `CodeStorage` blocks: call them from worker threads.
"""

from __future__ import annotations

import json
import os
import secrets
import shutil
import sqlite3
import threading
from dataclasses import asdict, dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, BinaryIO, Iterable

from .archive import COPY_CHUNK_BYTES, ArchiveError, ArchiveLimits, check_archive

CODE_TYPES = ("python", "web")
DATABASE_FILE = "vexa.sqlite3"
ZIP_FILE = "code.zip"
VENV_DIR = "venv"
STAGING_PREFIX = ".staging-"
TRASH_PREFIX = ".trash-"

SCHEMA = """
CREATE TABLE IF NOT EXISTS code (
    code_id TEXT PRIMARY KEY,
    code_name TEXT NOT NULL,
    code_type TEXT NOT NULL,
    size INTEGER NOT NULL,
    created_at TEXT NOT NULL,
    metadata TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS jobs (
    job_id TEXT PRIMARY KEY,
    record TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS job_lines (
    job_id TEXT NOT NULL,
    line_no INTEGER NOT NULL,
    stream TEXT NOT NULL,
    text TEXT NOT NULL,
    timestamp TEXT NOT NULL,
    PRIMARY KEY (job_id, line_no)
);
"""


class StorageError(Exception):
    """Input the storage refuses; `status_code` is the HTTP status to answer with."""

    def __init__(self, detail: str, status_code: int = 422) -> None:
        super().__init__(detail)
        self.status_code = status_code


def utc_now_iso() -> str:
    return datetime.now(timezone.utc).isoformat()


class Database:
    """One shared connection, serialised by a lock (writes are few and short)."""

    def __init__(self, path: Path) -> None:
        self._connection = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._lock = threading.Lock()
        with self._lock:
            self._connection.execute("PRAGMA journal_mode=WAL")
            self._connection.execute("PRAGMA synchronous=NORMAL")
            self._connection.executescript(SCHEMA)

    def close(self) -> None:
        with self._lock:
            self._connection.close()

    def query(self, sql: str, parameters: Iterable[Any] = ()) -> list[tuple[Any, ...]]:
        with self._lock:
            return self._connection.execute(sql, tuple(parameters)).fetchall()

    def write(self, statements: list[tuple[str, Iterable[Any]]]) -> None:
        """Run the statements in one transaction."""
        with self._lock:
            connection = self._connection
            connection.execute("BEGIN")
            try:
                for sql, parameters in statements:
                    connection.execute(sql, tuple(parameters))
            except BaseException:
                connection.execute("ROLLBACK")
                raise
            connection.execute("COMMIT")


@dataclass
class CodeRecord:
    code_id: str
    code_name: str
    code_type: str
    size: int
    created_at: str
    metadata: Any = None

    def to_json(self) -> dict[str, Any]:
        return asdict(self)


class CodeStorage:
    """Code zips under `<data_dir>/code/<code_id>/`, records in the database.

    Records are also kept in memory (read on the event loop without touching
    the database). A code folder appears by one rename once its zip is complete
    and is removed by a rename before its files go, so readers see either a
    whole archive or none.
    """

    def __init__(self, data_dir: str | os.PathLike[str], database: Database, limits: ArchiveLimits | None = None) -> None:
        self.data_dir = Path(data_dir)
        self.code_dir = self.data_dir / "code"
        self.code_dir.mkdir(parents=True, exist_ok=True)
        for leftover in [*self.code_dir.glob(STAGING_PREFIX + "*"), *self.code_dir.glob(TRASH_PREFIX + "*")]:
            shutil.rmtree(leftover, ignore_errors=True)  # from an interrupted upload or delete
        self.database = database
        self.limits = limits or ArchiveLimits()
        self._lock = threading.Lock()
        self._records = self._load()

    def _load(self) -> dict[str, CodeRecord]:
        records = {}
        rows = self.database.query(
            "SELECT code_id, code_name, code_type, size, created_at, metadata FROM code ORDER BY rowid"
        )
        for code_id, code_name, code_type, size, created_at, metadata in rows:
            if self.zip_path(code_id).exists():  # skip records whose folder was removed by hand
                records[code_id] = CodeRecord(code_id, code_name, code_type, size, created_at, json.loads(metadata))
        return records

    def zip_path(self, code_id: str) -> Path:
        return self.code_dir / code_id / ZIP_FILE

    def venv_path(self, code_id: str) -> Path:
        return self.code_dir / code_id / VENV_DIR

    def add_code(self, code_name: str, code_type: str, zip_file: BinaryIO, metadata: Any = None) -> CodeRecord:
        """Copy `zip_file` to disk chunk by chunk, check it, and record it."""
        if not code_name:
            raise StorageError("code_name must not be empty")
        if code_type not in CODE_TYPES:
            raise StorageError(f"code_type must be one of {', '.join(CODE_TYPES)}, got {code_type!r}")
        code_id = "c_" + secrets.token_hex(8)
        staging_dir = self.code_dir / (STAGING_PREFIX + code_id)
        staging_dir.mkdir(parents=True)
        try:
            size = _copy_capped(zip_file, staging_dir / ZIP_FILE, self.limits.max_archive_bytes)
            check_archive(staging_dir / ZIP_FILE, self.limits)
            record = CodeRecord(code_id, code_name, code_type, size, utc_now_iso(), metadata)
            os.replace(staging_dir, self.code_dir / code_id)
        except ArchiveError as exc:
            shutil.rmtree(staging_dir, ignore_errors=True)
            raise StorageError(exc.detail, exc.status_code) from None
        except BaseException:
            shutil.rmtree(staging_dir, ignore_errors=True)
            raise
        with self._lock:
            self.database.write(
                [
                    (
                        "INSERT INTO code VALUES (?, ?, ?, ?, ?, ?)",
                        (code_id, code_name, code_type, size, record.created_at, json.dumps(metadata)),
                    )
                ]
            )
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
            if self._records.pop(code_id, None) is None:
                return False
            self.database.write([("DELETE FROM code WHERE code_id = ?", (code_id,))])
            trash = self.code_dir / (TRASH_PREFIX + code_id)
            os.replace(self.code_dir / code_id, trash)
        shutil.rmtree(trash, ignore_errors=True)
        return True


def _copy_capped(source: BinaryIO, destination: Path, max_bytes: int) -> int:
    source.seek(0)
    size = 0
    with open(destination, "wb") as out:
        while chunk := source.read(COPY_CHUNK_BYTES):
            size += len(chunk)
            if size > max_bytes:
                raise StorageError(f"code_zip is over the limit of {max_bytes} bytes", 413)
            out.write(chunk)
    return size
