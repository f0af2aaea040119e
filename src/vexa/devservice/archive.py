"""Checks and unpacks uploaded code zips, which are untrusted input.

Everything here blocks (reads whole archives): call it from a worker thread.
"""

from __future__ import annotations

import os
import shutil
import stat
import zipfile
from dataclasses import dataclass
from pathlib import Path, PurePosixPath

from .constants import COPY_CHUNK_BYTES, KIB, MIB


class ArchiveError(Exception):
    """The archive is refused; the message says why and names the entry."""

    def __init__(self, detail: str, status_code: int = 422) -> None:
        super().__init__(detail)
        self.detail = detail
        self.status_code = status_code


@dataclass(frozen=True)
class ArchiveLimits:
    """Caps on what one upload may hold."""

    max_archive_bytes: int = 512 * MIB
    max_entries: int = 10_000
    max_unpacked_bytes: int = 2048 * MIB
    max_metadata_bytes: int = 64 * KIB


def _unsafe_reason(name: str) -> str | None:
    if "\\" in name:
        return "contains a backslash"
    if "\x00" in name:
        return "contains a NUL byte"
    if name.startswith("/") or (len(name) > 1 and name[1] == ":"):
        return "is an absolute path"
    if ".." in PurePosixPath(name).parts:
        return "climbs out of the archive with '..'"
    return None


def _is_link(info: zipfile.ZipInfo) -> bool:
    # Unix mode bits live in the high half of external_attr for archives made on Unix.
    return info.create_system == 3 and stat.S_ISLNK(info.external_attr >> 16)


def _check_fits(info: zipfile.ZipInfo, files: set[str], folders: set[str]) -> None:
    """Refuse an entry that cannot be unpacked beside the ones before it: a file
    where a folder is (`a` and `a/b`), or a folder where a file is."""
    parts = PurePosixPath(info.filename).parts
    parents = ["/".join(parts[:end]) for end in range(1, len(parts))]
    name = "/".join(parts)
    clash = next((parent for parent in parents if parent in files), None)
    if clash is None and not info.is_dir() and name in folders:
        clash = name
    if clash is None and info.is_dir() and name in files:
        clash = name
    if clash is not None:
        raise ArchiveError(
            f"code_zip entry {info.filename!r} cannot be unpacked: {clash!r} is both a file and a folder"
        )
    folders.update(parents)
    (folders if info.is_dir() else files).add(name)


def check_archive(path: Path, limits: ArchiveLimits) -> list[zipfile.ZipInfo]:
    """The archive's entries, once it is known to be a safe, intact zip within the caps.

    Refuses (ArchiveError): not a zip, too many entries, an entry whose path is
    absolute, holds '..' or is a link, entries that cannot be unpacked together
    (a file and a folder of one name), a declared unpacked size over the cap, or
    a CRC mismatch (checked by reading every entry, bounded by the declared sizes).
    """
    size = path.stat().st_size
    if size > limits.max_archive_bytes:
        raise ArchiveError(f"code_zip is {size} bytes, over the limit of {limits.max_archive_bytes} bytes", 413)
    try:
        archive = zipfile.ZipFile(path)
    except (zipfile.BadZipFile, OSError, ValueError, EOFError) as exc:
        raise ArchiveError(f"code_zip is not a zip archive ({exc})") from None
    with archive:
        entries = archive.infolist()
        if len(entries) > limits.max_entries:
            raise ArchiveError(f"code_zip has {len(entries)} entries, over the limit of {limits.max_entries}", 413)
        unpacked = 0
        files: set[str] = set()
        folders: set[str] = set()
        for info in entries:
            reason = _unsafe_reason(info.filename)
            if reason is None and _is_link(info):
                reason = "is a symbolic link"
            if reason is not None:
                raise ArchiveError(f"code_zip entry {info.filename!r} {reason}")
            _check_fits(info, files, folders)
            unpacked += info.file_size
            if unpacked > limits.max_unpacked_bytes:
                raise ArchiveError(
                    f"code_zip unpacks to more than {limits.max_unpacked_bytes} bytes (at entry {info.filename!r})", 413
                )
        try:
            broken = archive.testzip()
        except (zipfile.BadZipFile, OSError, ValueError, EOFError, NotImplementedError, RuntimeError) as exc:
            raise ArchiveError(f"code_zip cannot be read: {exc}") from None
        if broken is not None:
            raise ArchiveError(f"code_zip entry {broken!r} is corrupt (CRC mismatch)")
        return entries


def extract_archive(path: Path, destination: Path, limits: ArchiveLimits) -> list[str]:
    """Check the archive, then unpack it under `destination`; returns the file names.

    Each write goes to a path proven to lie inside `destination`, and reads stop at
    the declared size, so a lying header cannot overfill the disk.
    """
    entries = check_archive(path, limits)
    root = destination.resolve()
    root.mkdir(parents=True, exist_ok=True)
    names = []
    with zipfile.ZipFile(path) as archive:
        for info in entries:
            target = (root / info.filename).resolve()
            if target != root and root not in target.parents:
                raise ArchiveError(f"code_zip entry {info.filename!r} lands outside the code folder")
            if info.is_dir():
                target.mkdir(parents=True, exist_ok=True)
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            with archive.open(info) as source, open(target, "wb") as out:
                shutil.copyfileobj(source, out, COPY_CHUNK_BYTES)
            mode = (info.external_attr >> 16) & 0o777
            if info.create_system == 3 and mode:
                os.chmod(target, mode | 0o600)
            names.append(info.filename)
    return names
