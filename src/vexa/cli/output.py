"""What the `vexa` command prints: JSON for scripts, Rich tables for people.

Results go to stdout; progress bars and the waiting spinner go to stderr, and
only when stderr is a terminal, so that piped output stays clean.
"""

from __future__ import annotations

import asyncio
import contextlib
import enum
import io
import json
import os
import select
import stat
import sys
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, AsyncGenerator, AsyncIterator, Awaitable, Callable, Iterator, Sequence, TypeVar

import click
from pydantic import BaseModel
from rich import box, filesize
from rich.console import Console
from rich.live import Live
from rich.progress import (
    BarColumn,
    DownloadColumn,
    Progress,
    TaskID,
    TextColumn,
    TimeRemainingColumn,
    TransferSpeedColumn,
)
from rich.spinner import Spinner
from rich.table import Table
from rich.text import Text

from vexa.types import StreamOutput

T = TypeVar("T")

# (field, column header) of the listing tables; the first is the ID that --quiet
# prints. A job row fits 80 columns (its code ID is in `vexa jobs get`); of a
# code row only the name is wrapped when the terminal is narrow.
CODE_COLUMNS = [
    ("code_id", "ID"),
    ("code_name", "Name"),
    ("code_type", "Type"),
    ("size", "Size"),
    ("created_at", "Created (UTC)"),
]
JOB_COLUMNS = [
    ("job_id", "ID"),
    ("job_type", "Type"),
    ("job_status", "Status"),
    ("job_stage", "Stage"),
    ("created_at", "Created (UTC)"),
]
WRAPPED_COLUMNS = frozenset({"code_name"})
STATUS_STYLES = {
    "finished": "green",
    "failed": "red",
    "timeout": "red",
    "stopped": "yellow",
    "canceled": "yellow",
    "running": "cyan",
    "started": "cyan",
}
UNLIMITED_WIDTH = 10_000
# Live displays leave sys.stdout and sys.stderr alone: nothing else prints while they
# show, and a redirect would route other threads' writes through Rich's locks.
NO_REDIRECTS: dict[str, Any] = {"redirect_stdout": False, "redirect_stderr": False}
# Seconds between the stage look-ups shown while waiting.
STAGE_POLL_SECONDS = 1.0
# Seconds between checks whether the reader of piped output is still there.
PIPE_CHECK_SECONDS = 0.25


def to_json(value: Any) -> Any:
    """`value` as plain JSON data: models dumped, lists mapped, enum members as their values."""
    if isinstance(value, BaseModel):
        return value.model_dump(mode="json")
    if isinstance(value, list):
        return [to_json(item) for item in value]
    if isinstance(value, dict):
        return {key: to_json(item) for key, item in value.items()}
    if isinstance(value, enum.Enum):
        return value.value
    return value


def cell_text(field: str, value: Any, zone: str = " UTC") -> Text:
    """One table cell; `Text` so that brackets in names are never read as markup.

    Times are shown in UTC, followed by `zone` (listings name it in the header).
    """
    if value is None:
        return Text("-", style="dim")
    if isinstance(value, enum.Enum):
        value = value.value
    if isinstance(value, datetime):
        if value.tzinfo is None:
            return Text(value.strftime("%Y-%m-%d %H:%M:%S"))
        return Text(value.astimezone(timezone.utc).strftime("%Y-%m-%d %H:%M:%S") + zone)
    if field == "size" and isinstance(value, int):
        return Text(filesize.decimal(value))
    if isinstance(value, (dict, list)):
        return Text(json.dumps(value))
    text = str(value)
    return Text(text, style=STATUS_STYLES.get(text, ""))


def model_fields(model: BaseModel) -> dict[str, Any]:
    """A model's fields, extra ones included, without converting their values."""
    return {**dict(model), **(model.model_extra or {})}


class Transfer:
    """A byte count shown as a progress bar: `begin(total)` once, then `advance(count)`."""

    def __init__(self, progress: Progress, description: str) -> None:
        self._progress = progress
        self._description = description
        self._task: TaskID | None = None

    def begin(self, total: int | None) -> None:
        self._task = self._progress.add_task(self._description, total=total)

    def advance(self, count: int) -> None:
        if self._task is not None:
            self._progress.advance(self._task, count)


class Output:
    """Prints results as JSON (`as_json`), as IDs only (`quiet`), or as tables and text."""

    def __init__(self, as_json: bool, quiet: bool = False) -> None:
        self.as_json = as_json
        self.quiet = quiet
        # No file given: Rich writes to whatever sys.stdout/sys.stderr are at the time.
        self.console = Console(highlight=False)
        if not self.console.is_terminal and "COLUMNS" not in os.environ:
            # Piped tables are for grep and for copying IDs: as wide as their rows, never cut.
            self.console.width = UNLIMITED_WIDTH
        self.status_console = Console(stderr=True, highlight=False)

    # --- results ---

    def json(self, value: Any) -> None:
        click.echo(json.dumps(to_json(value), indent=2))

    def listing(self, items: Sequence[BaseModel], columns: list[tuple[str, str]], empty: str) -> None:
        """A table with one row per item, or the text `empty`."""
        if self.as_json:
            self.json(list(items))
            return
        if self.quiet:
            id_field = columns[0][0]
            for item in items:
                click.echo(model_fields(item)[id_field])
            return
        if not items:
            self.console.print(empty, style="dim")
            return
        # No vertical lines and no outer padding: narrow, and a row's first word is its ID.
        table = Table(*(header for _, header in columns), box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False)
        for item in items:
            fields = model_fields(item)
            table.add_row(*(cell_text(name, fields.get(name), zone="") for name, _ in columns))
        for column, (name, _) in zip(table.columns, columns):
            if name in WRAPPED_COLUMNS:
                column.overflow = "fold"
            else:  # identifiers, types and times: never wrapped or cut
                column.no_wrap = True
                column.min_width = max(len(cell_text(name, model_fields(item).get(name), zone="")) for item in items)
        self.console.print(table)

    def record(self, item: BaseModel | None, empty: str = "", **extra: Any) -> None:
        """One model as field/value rows (plus `extra` fields); `empty` (or JSON null) for None.

        With `quiet`, only the model's first field, its ID (nothing for None).
        """
        if self.as_json:
            self.json(None if item is None else {**to_json(item), **extra})
            return
        if self.quiet:
            if item is not None:
                click.echo(next(iter(model_fields(item).values())))
            return
        if item is None:
            self.console.print(empty, style="dim")
            return
        table = Table(show_header=False, box=None, padding=(0, 2, 0, 0))
        table.add_column(style="bold", no_wrap=True)
        table.add_column(overflow="fold")
        for name, value in {**model_fields(item), **extra}.items():
            table.add_row(Text(name), cell_text(name, value))
        self.console.print(table)

    def value(self, value: Any, text: str | None = None) -> None:
        """A single value: as JSON, or as `text` (default: the value itself; nothing for None)."""
        if self.as_json:
            self.json(value)
        elif text is not None:
            click.echo(text)
        elif value is not None:
            click.echo(str(to_json(value)))

    def saved(self, what: dict[str, Any], size: int, target: Path) -> None:
        """A file written: as JSON (`what` plus path and size), or as a sentence."""
        self.value({**what, "path": str(target), "size": size}, f"Saved {size} bytes to {target}")

    async def follow(self, lines: AsyncGenerator[StreamOutput, None]) -> None:
        """Write a job's output lines as they arrive, until they end.

        Raises BrokenPipeError as soon as the reader of stdout goes away, even
        while the job is silent (`vexa jobs stream ID | head -3` on an idle web app).
        """
        printing = asyncio.ensure_future(self._write_lines(lines))
        reader_gone = asyncio.ensure_future(_stdout_reader_gone())
        try:
            await asyncio.wait({printing, reader_gone}, return_when=asyncio.FIRST_COMPLETED)
        finally:
            for task in (printing, reader_gone):
                task.cancel()
            await asyncio.wait({printing, reader_gone})
        if reader_gone.done() and not reader_gone.cancelled():
            raise BrokenPipeError("the reader of stdout has gone away")
        printing.result()

    async def _write_lines(self, lines: AsyncGenerator[StreamOutput, None]) -> None:
        # Closed here, not by the event loop's shutdown, so that an early end (closed pipe,
        # Ctrl-C) unwinds the stream and its HTTP client in order and quietly.
        async with contextlib.aclosing(lines):
            async for line in lines:
                self.output_line(line)

    def output_line(self, line: StreamOutput) -> None:
        """One line of a job's output, written as it arrives."""
        if self.as_json:
            stream, text = sys.stdout, line.model_dump_json() + "\n"
        else:
            stream = sys.stderr if line.stream == "stderr" else sys.stdout
            text = line.text if line.text.endswith("\n") else line.text + "\n"
        stream.write(text)
        stream.flush()

    # --- progress ---

    @contextlib.contextmanager
    def transfer(self, description: str) -> Iterator[Transfer]:
        """A progress bar on stderr for the bytes of one upload or download."""
        progress = Progress(
            TextColumn("{task.description}"),
            BarColumn(),
            DownloadColumn(),
            TransferSpeedColumn(),
            TimeRemainingColumn(),
            console=self.status_console,
            transient=True,
            disable=not self.status_console.is_terminal,
            **NO_REDIRECTS,
        )
        with progress:
            yield Transfer(progress, description)

    async def waiting(self, operation: Awaitable[T], describe: Callable[[], Awaitable[str]]) -> T:
        """Await `operation` while a spinner on stderr shows what `describe()` says, refreshed each second.

        Without a terminal nothing is shown and `describe` is never called.
        """
        if not self.status_console.is_terminal:
            return await operation
        spinner = Spinner("dots", Text("Waiting"), style="green")
        with Live(spinner, console=self.status_console, transient=True, refresh_per_second=12.5, **NO_REDIRECTS):
            async with _refreshing(lambda text: spinner.update(text=Text(text)), describe):
                return await operation


async def _stdout_reader_gone() -> None:
    """Return once stdout is a pipe whose reading end has been closed; never for files or terminals."""
    try:
        fd = sys.stdout.fileno()
        is_pipe = stat.S_ISFIFO(os.fstat(fd).st_mode)
    except (OSError, ValueError, io.UnsupportedOperation):  # no real file behind stdout
        is_pipe = False
    if not is_pipe:
        await asyncio.Event().wait()  # forever: cancelled when the output ends
    poller = select.poll()
    poller.register(fd, select.POLLOUT)  # a pipe without readers reports POLLERR
    while not any(events & select.POLLERR for _, events in poller.poll(0)):
        await asyncio.sleep(PIPE_CHECK_SECONDS)


@contextlib.asynccontextmanager
async def _refreshing(show: Callable[[str], None], describe: Callable[[], Awaitable[str]]) -> AsyncIterator[None]:
    async def show_once() -> None:
        try:
            show(await describe())
        except Exception:  # only the display: the operation reports its own errors
            pass

    async def refresh() -> None:
        while True:
            await asyncio.sleep(STAGE_POLL_SECONDS)
            await show_once()

    await show_once()  # before the operation starts, so even a short wait shows where the job is
    task = asyncio.ensure_future(refresh())
    try:
        yield
    finally:
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task


__all__ = ["CODE_COLUMNS", "JOB_COLUMNS", "Output", "Transfer", "to_json"]
