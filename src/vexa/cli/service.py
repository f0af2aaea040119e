"""`vexa service` (alias `vexa serve`): the local development service."""

from __future__ import annotations

from typing import Sequence

import click

from vexa.cli.status import ExitStatus

SERVICE_EXTRA_HINT = "error: the local service needs its extra: pip install 'vexa[service]'"


@click.command(
    "service",
    context_settings={"ignore_unknown_options": True, "allow_extra_args": True},
    add_help_option=False,
)
@click.argument("arguments", nargs=-1, type=click.UNPROCESSED)
def service(arguments: Sequence[str]) -> int:
    """Run the local development service (alias: serve).

    Takes the options of `python -m vexa.devservice`; see `vexa service --help`.
    """
    try:
        from vexa.devservice.server import main as serve
    except ImportError:
        click.echo(SERVICE_EXTRA_HINT, err=True)
        raise click.exceptions.Exit(ExitStatus.FAILED) from None
    try:
        return int(serve(list(arguments), prog="vexa service") or 0)
    except SystemExit as exit_:  # the service's own option parser
        return exit_.code if isinstance(exit_.code, int) else ExitStatus.USAGE
    except KeyboardInterrupt:
        return ExitStatus.INTERRUPTED
