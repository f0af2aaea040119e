"""Code given as a folder: zipped on the fly, the same way every time.

Left out: `__pycache__` and `.git` folders, virtual environments (folders
with a `pyvenv.cfg`), links to folders and anything that is not a file.
The entries are sorted by path and carry a fixed time and mode, so the same
files give the same bytes.
"""

from __future__ import annotations

import io
import os
import stat
import zipfile
from pathlib import Path

from vexa.types import CodeZip

SKIPPED_FOLDERS = frozenset({"__pycache__", ".git"})
VIRTUAL_ENVIRONMENT_MARKER = "pyvenv.cfg"
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip entry can carry
FILE_MODE = 0o644
EXECUTABLE_MODE = 0o755


class EmptyFolderError(ValueError):
    """A folder with no file to zip."""


def is_skipped_folder(path: Path) -> bool:
    return path.name in SKIPPED_FOLDERS or (path / VIRTUAL_ENVIRONMENT_MARKER).is_file()


def folder_files(folder: Path) -> list[tuple[str, Path]]:
    """The files to zip: (entry name, path), sorted by entry name."""
    found: list[tuple[str, Path]] = []
    for root, folders, names in os.walk(folder):  # links to folders are listed, never entered
        here = Path(root)
        folders[:] = [name for name in folders if not is_skipped_folder(here / name)]
        for name in names:
            path = here / name
            if path.is_file():
                found.append((path.relative_to(folder).as_posix(), path))
    return sorted(found)


def zip_folder(folder: Path) -> bytes:
    """The folder's files as zip bytes (see the module's description)."""
    files = folder_files(folder)
    if not files:
        raise EmptyFolderError(f"{folder} holds no files to zip")
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, path in files:
            entry = zipfile.ZipInfo(name, date_time=ENTRY_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            executable = path.stat().st_mode & stat.S_IXUSR
            entry.external_attr = (stat.S_IFREG | (EXECUTABLE_MODE if executable else FILE_MODE)) << 16
            archive.writestr(entry, path.read_bytes())
    return buffer.getvalue()


def load_code(path: Path) -> tuple[CodeZip, str]:
    """The code zip of a zip file or a folder, and the name it gets by default:
    the file's name without its extension, or the folder's name."""
    if path.is_dir():
        return CodeZip(zip_bytes=zip_folder(path)), path.resolve().name
    return CodeZip.from_path(path), path.stem


__all__ = ["EmptyFolderError", "folder_files", "load_code", "zip_folder"]
