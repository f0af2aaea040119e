"""A job's result zip: the files it left in its output folder, and its logs.

Everything here blocks (reads and writes whole files): call it from a worker thread.
"""

from __future__ import annotations

import json
import os
import stat
import tempfile
import zipfile
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator

from .constants import COPY_CHUNK_BYTES
from .models import OutputLine

STAGING_SUFFIX = ".tmp"
LOG_FILES = ("output.txt", "stdout.txt", "stderr.txt", "job.json")

# Gives the job's output lines from the first, in order, one at a time.
LineSource = Callable[[], Iterable[OutputLine]]


def staging_prefix(path: Path) -> str:
    return f".{path.name}."


def remove_leftovers(results_dir: Path) -> None:
    """Delete the temporary files of results whose writing a crash interrupted."""
    for leftover in results_dir.glob(f".*{STAGING_SUFFIX}"):
        leftover.unlink(missing_ok=True)


def _regular_files(folder: Path) -> Iterator[tuple[str, int]]:
    """(relative name, open descriptor) of each regular file under `folder` that is
    only there: links are neither followed nor taken, nor files with other names
    (hard links), which could be anything the job's user can reach."""
    for parent, directories, names in os.walk(folder, followlinks=False):
        directories.sort()
        for name in sorted(names):
            file = Path(parent, name)
            try:
                fd = os.open(file, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
            except OSError:
                continue  # a symbolic link (ELOOP), a socket, or gone
            status = os.fstat(fd)
            if not stat.S_ISREG(status.st_mode) or status.st_nlink != 1:
                os.close(fd)
                continue
            yield file.relative_to(folder).as_posix(), fd


def _write_text(archive: zipfile.ZipFile, name: str, lines: Iterable[str]) -> None:
    with archive.open(name, "w", force_zip64=True) as out:
        piece: list[bytes] = []
        size = 0
        for line in lines:
            data = line.encode("utf-8", "replace") + b"\n"
            piece.append(data)
            size += len(data)
            if size >= COPY_CHUNK_BYTES:
                out.write(b"".join(piece))
                piece, size = [], 0
        out.write(b"".join(piece))


def write_result(path: Path, job_json: dict[str, Any], lines: LineSource, output_dir: Path | None) -> None:
    """Write the result zip through a temporary sibling: readers see all of it or the old one.

    The job's regular files (from `output_dir`) keep their relative paths; the
    logs (output.txt, stdout.txt, stderr.txt, job.json) go beside them unless
    the job wrote a file of that name itself. Output is written in pieces, as
    `lines` gives it, never held whole.
    """
    logs: dict[str, Callable[[], Iterable[str]]] = {
        "output.txt": lambda: (line.text for line in lines()),
        "stdout.txt": lambda: (line.text for line in lines() if line.stream == "stdout"),
        "stderr.txt": lambda: (line.text for line in lines() if line.stream == "stderr"),
        "job.json": lambda: [json.dumps(job_json, indent=2)],
    }
    fd, staging = tempfile.mkstemp(dir=path.parent, prefix=staging_prefix(path), suffix=STAGING_SUFFIX)
    try:
        with os.fdopen(fd, "wb") as raw, zipfile.ZipFile(raw, "w", compression=zipfile.ZIP_DEFLATED) as archive:
            written = set()
            if output_dir is not None and output_dir.is_dir():
                for name, file_fd in _regular_files(output_dir):
                    with os.fdopen(file_fd, "rb") as source, archive.open(name, "w", force_zip64=True) as out:
                        while chunk := source.read(COPY_CHUNK_BYTES):
                            out.write(chunk)
                    written.add(name)
            for name, text in logs.items():
                if name not in written:
                    _write_text(archive, name, text())
        os.replace(staging, path)
    except BaseException:
        Path(staging).unlink(missing_ok=True)
        raise
