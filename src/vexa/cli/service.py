"""`vexa service` (alias `vexa serve`): the local development service.

The command is the service's own (`vexa.devservice.command`, also behind
`python -m vexa.devservice`). Without the service extra, a stand-in takes its
place that says how to install it.
"""

from __future__ import annotations

from typing import Sequence

import click

from vexa.cli.status import ExitStatus

SERVICE_EXTRA_HINT = "error: the local service needs its extra: pip install 'vexa[service]'"

try:
    from vexa.devservice.command import service
except ImportError:

    @click.command(
        "service",
        context_settings={"ignore_unknown_options": True, "allow_extra_args": True},
        add_help_option=False,
    )
    @click.argument("arguments", nargs=-1, type=click.UNPROCESSED)
    def service(arguments: Sequence[str]) -> None:
        """Run the local development service (needs: pip install 'vexa[service]')."""
        click.echo(SERVICE_EXTRA_HINT, err=True)
        raise click.exceptions.Exit(ExitStatus.FAILED)


__all__ = ["service"]
