"""Process file descriptors (Linux 5.3+): `pidfd_open(pid)` and `pidfd_send_signal(pidfd, signum)`.

A pidfd names one process for good: it becomes readable once the process has
exited, and a signal sent through it can never reach another process that got
the same PID since. CPython has `os.pidfd_open` and `signal.pidfd_send_signal`;
interpreters without them (PyPy 3.11) make the same system calls through
libc's `syscall()`. The numbers of both calls are the same on every Linux
architecture (calls added since Linux 5.1 share one table), and errors raise
the same `OSError` subclasses (`ProcessLookupError` for a process that is gone).
"""

from __future__ import annotations

import ctypes
import os
import signal
from typing import Callable

SYS_PIDFD_SEND_SIGNAL = 424
SYS_PIDFD_OPEN = 434


def _syscall(number: int, *args: object) -> int:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    result = int(libc.syscall(ctypes.c_long(number), *args))
    if result < 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))
    return result


def open_by_syscall(pid: int) -> int:
    return _syscall(SYS_PIDFD_OPEN, ctypes.c_int(pid), ctypes.c_uint(0))


def send_signal_by_syscall(pidfd: int, signum: int) -> None:
    _syscall(SYS_PIDFD_SEND_SIGNAL, ctypes.c_int(pidfd), ctypes.c_int(int(signum)), None, ctypes.c_uint(0))


pidfd_open: Callable[[int], int] = getattr(os, "pidfd_open", open_by_syscall)
pidfd_send_signal: Callable[[int, int], None] = getattr(signal, "pidfd_send_signal", send_signal_by_syscall)
