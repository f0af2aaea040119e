"""The exit statuses of the `vexa` command.

Free of imports beyond the standard library: `vexa.cli.main` needs them before
it knows whether the command's extra is installed.
"""

from __future__ import annotations

import enum


class ExitStatus(enum.IntEnum):
    OK = 0
    FAILED = 1  # the service refused or failed the request, or could not be reached
    USAGE = 2  # bad command, option, argument, metadata JSON or input file
    NEGATIVE = 3  # a wait ran out of time, or a job is not healthy
    JOB_NOT_FINISHED = 4  # a waited-for job ended, but not as finished (failed, stopped, ...)
    INTERRUPTED = 130  # Ctrl-C: 128 + SIGINT, as shells report it
    BROKEN_PIPE = 141  # the reader of stdout went away: 128 + SIGPIPE


__all__ = ["ExitStatus"]
