"""On-disk code storage: one folder per code id plus a small JSON index."""

from __future__ import annotations

import json
import os
import secrets
import shutil
import tempfile
import threading
from dataclasses import asdict, dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, BinaryIO

CODE_TYPES = ("python", "web")
ZIP_MAGIC = b"PK"
COPY_CHUNK_BYTES = 1024 * 1024
INDEX_FILE = "index.json"
ZIP_FILE = "code.zip"
METADATA_FILE = "metadata.json"


class StorageError(Exception):
    """Raised for input the storage refuses (maps to HTTP 422)."""


def utc_now_iso() -> str:
    return datetime.now(timezone.utc).isoformat()


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
    """Stores code zips under `<data_dir>/code/<code_id>/` and remembers them in index.json.

    Thread-safe: uploads are copied in a worker thread while routes read on the loop.
    """

    def __init__(self, data_dir: str | os.PathLike[str]) -> None:
        self.data_dir = Path(data_dir)
        self.code_dir = self.data_dir / "code"
        self.code_dir.mkdir(parents=True, exist_ok=True)
        for leftover in self.code_dir.glob(".staging-*"):
            shutil.rmtree(leftover, ignore_errors=True)  # from an interrupted upload
        self._index_path = self.data_dir / INDEX_FILE
        self._lock = threading.Lock()
        self._records: dict[str, CodeRecord] = self._load_index()

    def _load_index(self) -> dict[str, CodeRecord]:
        if not self._index_path.exists():
            return {}
        raw = json.loads(self._index_path.read_text(encoding="utf-8"))
        records = {}
        for item in raw.get("codes", []):
            record = CodeRecord(**item)
            # Skip entries whose zip vanished (e.g. deleted by hand).
            if self.zip_path(record.code_id).exists():
                records[record.code_id] = record
        return records

    def _save_index(self) -> None:
        # Caller holds the lock. Write-then-rename so a crash never leaves half an index.
        payload = {"codes": [r.to_json() for r in self._records.values()]}
        fd, tmp = tempfile.mkstemp(dir=self.data_dir, prefix=".index-", suffix=".tmp")
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            json.dump(payload, out)
        os.replace(tmp, self._index_path)

    def zip_path(self, code_id: str) -> Path:
        return self.code_dir / code_id / ZIP_FILE

    def add_code(
        self,
        code_name: str,
        code_type: str,
        zip_file: BinaryIO,
        metadata: Any = None,
    ) -> CodeRecord:
        """Copy `zip_file` to disk chunk by chunk (never whole in memory) and index it."""
        if not code_name:
            raise StorageError("code_name must not be empty")
        if code_type not in CODE_TYPES:
            raise StorageError(f"code_type must be one of {', '.join(CODE_TYPES)}, got {code_type!r}")
        code_id = "c_" + secrets.token_hex(8)
        target_dir = self.code_dir / code_id
        staging_dir = self.code_dir / (".staging-" + code_id)
        staging_dir.mkdir(parents=True)
        try:
            size = _copy_zip(zip_file, staging_dir / ZIP_FILE)
            with open(staging_dir / METADATA_FILE, "w", encoding="utf-8") as out:
                json.dump(metadata, out)
            os.replace(staging_dir, target_dir)
        except BaseException:
            shutil.rmtree(staging_dir, ignore_errors=True)
            raise
        record = CodeRecord(
            code_id=code_id,
            code_name=code_name,
            code_type=code_type,
            size=size,
            created_at=utc_now_iso(),
            metadata=metadata,
        )
        with self._lock:
            self._records[code_id] = record
            self._save_index()
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
            self._save_index()
        shutil.rmtree(self.code_dir / code_id, ignore_errors=True)
        return True


def _copy_zip(source: BinaryIO, destination: Path) -> int:
    source.seek(0)
    first = source.read(COPY_CHUNK_BYTES)
    if not first.startswith(ZIP_MAGIC):
        raise StorageError("code_zip is not a zip archive")
    size = len(first)
    with open(destination, "wb") as out:
        out.write(first)
        while True:
            chunk = source.read(COPY_CHUNK_BYTES)
            if not chunk:
                break
            out.write(chunk)
            size += len(chunk)
    return size
