"""One service per data dir: a lock file held for the service's lifetime."""

from __future__ import annotations

import fcntl
import os
from pathlib import Path

LOCK_FILE = "service.lock"


class DataDirInUse(RuntimeError):
    """Another service holds the data dir; the message names its PID."""


class DataDirLock:
    """An exclusive `flock` on `<data_dir>/service.lock`, which holds the holder's PID.

    The kernel drops the lock when the holder exits, however it ends, so a
    service killed with SIGKILL never leaves the data dir locked.
    """

    def __init__(self, data_dir: Path) -> None:
        self.path = data_dir / LOCK_FILE
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip() or "unknown"
            os.close(fd)
            raise DataDirInUse(f"the data dir {data_dir} is in use by another vexa service (PID {holder})") from None
        except BaseException:
            os.close(fd)
            raise
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
        self._fd: int | None = fd

    def release(self) -> None:
        if self._fd is not None:
            os.close(self._fd)  # closing the descriptor releases the lock
            self._fd = None
