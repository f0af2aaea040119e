"""Option and argument types, and the options several commands share."""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any, Callable, TypeVar

import click

from vexa.cli.archive import EmptyFolderError, load_code
from vexa.cli.status import ExitStatus
from vexa.types import CodeType, CodeZip, JobStage, JobStatus, JsonData

F = TypeVar("F", bound=Callable[..., Any])


class InputError(click.ClickException):
    """An input or output path the command cannot use: one line, exit status 2."""

    exit_code = ExitStatus.USAGE


class EnumChoice(click.Choice):  # type: ignore[type-arg]  # generic only in newer Click
    """A choice among the wire values of an enumeration; converts to the member."""

    def __init__(self, enum_type: type[Any]) -> None:
        super().__init__([member.value for member in enum_type])
        self.enum_type = enum_type

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if isinstance(value, self.enum_type):
            return value
        return self.enum_type(super().convert(value, param, ctx))


class JsonArgument(click.ParamType):  # type: ignore[type-arg]  # generic only in newer Click
    """A JSON value given literally, as @FILE, or as - for stdin."""

    name = "JSON"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        if isinstance(value, JsonData):
            return value
        if value == "-":
            source, text = "stdin", sys.stdin.read()
        elif value.startswith("@"):
            source = value[1:]
            try:
                text = Path(source).read_text(encoding="utf-8")
            except (OSError, UnicodeDecodeError) as error:
                self.fail(f"cannot read {source}: {getattr(error, 'strerror', None) or error}", param, ctx)
        else:
            source, text = "the argument", value
        try:
            return JsonData(json.loads(text))
        except ValueError as error:
            self.fail(f"not valid JSON in {source}: {error}", param, ctx)


CODE_PATH = click.Path(exists=True, readable=True, path_type=Path)
OUT_FILE = click.Path(dir_okay=False, writable=True, path_type=Path)


def code_of(path: Path, name: str | None = None) -> tuple[CodeZip, str]:
    """The code zip of a zip file or a folder (zipped), and its name: `name`
    or, by default, the file's or the folder's (the zip carries it too)."""
    try:
        code_zip, default_name = load_code(path)
    except EmptyFolderError as error:
        raise InputError(str(error)) from None
    code_zip.name = name if name is not None else default_name
    return code_zip, code_zip.name


def refuse_to_overwrite(target: Path, force: bool) -> None:
    """Stop before a download that would replace a file, unless `force`."""
    if target.exists() and not force:
        raise InputError(f"{target} already exists; --force replaces it")


def checked_out_file(ctx: click.Context, param: click.Parameter, value: Path | None) -> Path | None:
    # Checked before the download: the file is written through a temporary sibling,
    # whose name would otherwise be what the error names.
    if value is not None and not value.parent.is_dir():
        raise click.BadParameter(f"directory '{value.parent}' does not exist")
    return value


code_type_option = click.option(
    "--type",
    "code_type",
    type=EnumChoice(CodeType),
    default=CodeType.PYTHON.value,
    show_default=True,
    help="Type of the code.",
)
name_option = click.option(
    "--name",
    help="Name of the code. Default: the file name without its extension, or the folder's name.",
)
metadata_option = click.option(
    "--metadata", type=JsonArgument(), help="JSON metadata: literal JSON, @FILE, or - to read stdin."
)


def listed_choice_option(
    *declarations: str, enum_type: type[Any], metavar: str, help: str, **kwargs: Any
) -> Callable[[F], F]:
    """An option with a choice too long for the option's column: the choices
    go into the help text (`help` + ": a, b, c."), where they wrap."""
    values = ", ".join(member.value for member in enum_type)
    return click.option(*declarations, type=EnumChoice(enum_type), metavar=metavar, help=f"{help}: {values}.", **kwargs)


status_option = listed_choice_option(
    "--status", enum_type=JobStatus, metavar="STATUS", help="Only jobs with this status"
)
stage_option = listed_choice_option("--stage", enum_type=JobStage, metavar="STAGE", help="Only jobs in this stage")
force_option = click.option("--force", is_flag=True, help="Replace OUT if it exists.")
timeout_option = click.option(
    "--timeout",
    type=click.FloatRange(min=0),
    help="Give up after this many seconds (exit status 3). Default: no limit.",
)
