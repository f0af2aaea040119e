"""The `vexa` command: run the local service, manage code, follow jobs and web pages.

    vexa service --port 8000 --data-dir ./data
    vexa code upload ./app --type web       # a zip file or a folder
    vexa web open JOB_ID
    vexa jobs wait JOB_ID --timeout 60

The command needs the `cli` extra (Click and Rich); the library itself does
not. Without it, `main` prints how to install it instead of a traceback.
"""

from __future__ import annotations

import sys
from typing import Sequence

from vexa.cli.status import ExitStatus

CLI_EXTRA_HINT = "error: the vexa command needs its extra: pip install 'vexa[cli]'"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: `sys.argv[1:]`); return the exit status."""
    try:
        try:
            import click  # noqa: F401
            import rich  # noqa: F401
        except ImportError:
            print(CLI_EXTRA_HINT, file=sys.stderr)
            return ExitStatus.FAILED
        from vexa.cli.app import run

        return run(argv)
    except KeyboardInterrupt:  # Ctrl-C while still importing: as quiet as later on
        return ExitStatus.INTERRUPTED


__all__ = ["main"]
