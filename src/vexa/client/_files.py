"""What the client sends and receives as files: the multipart parts of an
upload, and streamed downloads written atomically to disk.
"""

from __future__ import annotations

import io
import os
import stat
import tempfile
from pathlib import Path
from types import TracebackType
from typing import Any, BinaryIO

import httpx

from vexa.types import CodeZip, JsonData

# The file name of an uploaded archive that has no name of its own.
UPLOAD_NAME = "code"
# A multipart file part: (field, (file name, content, content type)).
UploadPart = tuple[str, tuple[str, "bytes | BinaryIO", str]]


def prepare_files(code_zip: CodeZip, metadata: JsonData | dict[str, Any] | None = None) -> list[UploadPart]:
    """Multipart file parts for an upload: `code_zip` (as a file named after the
    archive's `name`, else "code.zip"), then `metadata` if given.

    The archive goes in as a reader over its bytes (which does not copy them):
    httpx then sends it in small pieces, while a `bytes` part would be handed
    to the socket whole, and the socket layer copies what remains after each
    partial send, which doubles the memory of a large upload.
    """
    file_name = f"{code_zip.name or UPLOAD_NAME}.zip"
    files: list[UploadPart] = [("code_zip", (file_name, io.BytesIO(code_zip.zip_bytes), "application/zip"))]
    if metadata is not None:
        if not isinstance(metadata, JsonData):
            metadata = JsonData(metadata)
        metadata_bytes = metadata.model_dump_json().encode("utf-8")
        files.append(("metadata", ("metadata.json", metadata_bytes, "application/json")))
    return files


class AtomicFileWriter:
    """Writes a file through a temporary sibling that replaces it when complete.

    If the block raises, the temporary file is removed and the target is left
    as it was: readers never see a partial file.
    """

    def __init__(self, path: Path | str) -> None:
        self.path = Path(path)
        self.temp_path: Path | None = None
        self._file: BinaryIO | None = None

    def __enter__(self) -> AtomicFileWriter:
        # Same directory as the target, so that os.replace is a rename.
        fd, temp_name = tempfile.mkstemp(dir=self.path.parent, prefix=f".{self.path.name}.", suffix=".part")
        self.temp_path = Path(temp_name)
        self._file = os.fdopen(fd, "w+b")
        return self

    def write(self, data: bytes) -> None:
        assert self._file is not None, "write() outside the with block"
        self._file.write(data)

    def read_back(self) -> bytes:
        """Everything written so far, read in one piece from the file."""
        assert self._file is not None, "read_back() outside the with block"
        self._file.flush()
        self._file.seek(0)
        return self._file.read()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        assert self._file is not None and self.temp_path is not None
        try:
            if exc_type is None:
                self._file.flush()
                os.fsync(self._file.fileno())
            self._file.close()
            if exc_type is None:
                # mkstemp creates the file private; give it the usual mode.
                os.chmod(self.temp_path, _target_mode(self.path))
                os.replace(self.temp_path, self.path)
                return
        except BaseException:
            self.temp_path.unlink(missing_ok=True)
            raise
        self.temp_path.unlink(missing_ok=True)


def _target_mode(path: Path) -> int:
    try:
        return stat.S_IMODE(path.stat().st_mode)
    except FileNotFoundError:
        return 0o644


def handle_stream_download(response: httpx.Response, zip_path: Path | str | None) -> bytes:
    """Read a streamed download, saving it atomically to `zip_path` if given.

    With a path, the chunks go straight to the file, which is read back once at
    the end: the archive is held in memory once, not once as chunks and once
    joined.

    Raises:
        httpx.HTTPStatusError: For an error status (the body is read first so
            that the error detail is available).
    """
    if not response.is_success:
        response.read()
        response.raise_for_status()
    if zip_path is None:
        return response.read()
    with AtomicFileWriter(zip_path) as writer:
        for chunk in response.iter_bytes():
            writer.write(chunk)
        return writer.read_back()


async def handle_stream_download_async(response: httpx.Response, zip_path: Path | str | None) -> bytes:
    """The asynchronous `handle_stream_download` (file writes block briefly)."""
    if not response.is_success:
        await response.aread()
        response.raise_for_status()
    if zip_path is None:
        return await response.aread()
    with AtomicFileWriter(zip_path) as writer:
        async for chunk in response.aiter_bytes():
            writer.write(chunk)
        return writer.read_back()
