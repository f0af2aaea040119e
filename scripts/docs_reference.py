"""Writes the documentation's two reference pages from the code.

    python scripts/docs_reference.py            # writes docs/reference/{api,cli}.md
    python scripts/docs_reference.py --check    # exits 1 if a page differs

The API page takes each class's signatures from the source the type checkers
read (the compiled modules' `.pyi` stubs, the Python modules' own
definitions), so it shows exactly the types mypy sees, and the docstrings from
the imported classes (the compiled modules build theirs at run time). The CLI
page walks the Click app. Run with the venv's python: it imports the installed
package.
"""

from __future__ import annotations

import argparse
import ast
import importlib
import inspect
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "src"
PAGES = ROOT / "docs" / "reference"


@dataclass(frozen=True)
class Documented:
    """A class of the API page: where its definition is and how users reach it."""

    module: str
    name: str
    reached_as: str
    source: str  # below src/: the .pyi stub or the .py module that defines it
    public: str | None = None  # the name to import it by, where there is one


API_SECTIONS: list[tuple[str, str, list[Documented]]] = [
    (
        "Parent clients",
        "They hold the base URL and the API key; everything else hangs off them.",
        [
            Documented("vexa.client._sync.client", "Client", "`vexa.Client`", "vexa/client/_sync/client.py", "vexa"),
            Documented(
                "vexa.client._async.client", "AsyncClient", "`vexa.AsyncClient`", "vexa/client/_async/client.py", "vexa"
            ),
            Documented(
                "vexa.client._base",
                "BaseClient",
                "the base class of both: what `Client` and `AsyncClient` share",
                "vexa/client/_base.py",
            ),
        ],
    ),
    (
        "Synchronous clients",
        "Reached through `vexa.Client`; every method blocks until its requests are done.",
        [
            Documented("vexa.client._sync._code", "CodeClient", "`client.code`", "vexa/client/_sync/_code.pyi"),
            Documented("vexa.client._sync._jobs", "JobsClient", "`client.jobs`", "vexa/client/_sync/_jobs.pyi"),
            Documented("vexa.client._sync._web", "WebClient", "`client.web`", "vexa/client/_sync/_web.pyi"),
            Documented(
                "vexa.client._sync._web", "StoredWebClient", "`client.web.stored`", "vexa/client/_sync/_web.pyi"
            ),
            Documented("vexa.client._sync._web", "WebJobsClient", "`client.web.jobs`", "vexa/client/_sync/_web.pyi"),
        ],
    ),
    (
        "Asynchronous clients",
        "Reached through `vexa.AsyncClient`; every method returns a coroutine to await "
        "(`stream_output`: an asynchronous generator for `async for`).",
        [
            Documented("vexa.client._async.code", "AsyncCodeClient", "`client.code`", "vexa/client/_async/code.py"),
            Documented("vexa.client._async._jobs", "AsyncJobsClient", "`client.jobs`", "vexa/client/_async/_jobs.pyi"),
            Documented("vexa.client._async._web", "AsyncWebClient", "`client.web`", "vexa/client/_async/_web.pyi"),
            Documented(
                "vexa.client._async._web",
                "AsyncStoredWebClient",
                "`client.web.stored`",
                "vexa/client/_async/_web.pyi",
            ),
            Documented(
                "vexa.client._async._web", "AsyncWebJobsClient", "`client.web.jobs`", "vexa/client/_async/_web.pyi"
            ),
        ],
    ),
]

SECTION_NAMES = (
    "Args",
    "Arguments",
    "Attributes",
    "Returns",
    "Yields",
    "Raises",
    "Note",
    "Notes",
    "Example",
    "Examples",
)


def docstring_markdown(doc: str | None) -> str:
    """A Google-style docstring as Markdown: its text, then its sections as lists."""
    if not doc:
        return ""
    out: list[str] = []
    section: str | None = None
    for line in inspect.cleandoc(doc).splitlines():
        stripped = line.strip()
        heading = stripped[:-1] if stripped.endswith(":") else None
        if heading in SECTION_NAMES and not line.startswith(" "):
            section = heading
            out += ["", f"**{section}:**", ""]
        elif section is None or not stripped:
            out.append(line)
        elif line.startswith("        ") and out and out[-1].startswith("- "):
            out[-1] += " " + stripped  # an entry's continuation
        else:
            match = re.match(r"^([\w*]+)(?: \(([^)]*)\))?: (.*)$", stripped)
            if match and section in ("Args", "Arguments", "Attributes", "Raises"):
                name, kind, text = match.groups()
                out.append(f"- `{name}`" + (f" ({kind})" if kind else "") + f": {text}")
            else:
                out.append(f"- {stripped}")
    return re.sub(r"\n{3,}", "\n\n", "\n".join(out)).strip()


def signature_text(node: ast.FunctionDef | ast.AsyncFunctionDef) -> str:
    """The definition of a function as its source declares it, without the body;
    one parameter per line when it would not fit 88 columns."""
    args = node.args

    def param(arg: ast.arg, default: ast.expr | None, prefix: str = "") -> str:
        text = prefix + arg.arg + (f": {ast.unparse(arg.annotation)}" if arg.annotation else "")
        if default is not None:
            text += (" = " if arg.annotation else "=") + ast.unparse(default)
        return text

    positional = [*args.posonlyargs, *args.args]
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = [param(arg, default) for arg, default in zip(positional, defaults)]
    if args.posonlyargs:
        params.insert(len(args.posonlyargs), "/")
    if args.vararg:
        params.append(param(args.vararg, None, "*"))
    elif args.kwonlyargs:
        params.append("*")
    params += [param(arg, default) for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append(param(args.kwarg, None, "**"))
    head = ("async def " if isinstance(node, ast.AsyncFunctionDef) else "def ") + node.name
    tail = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    text = f"{head}({', '.join(params)}){tail}"
    if len(text) > 88:
        text = head + "(\n" + "".join(f"    {p},\n" for p in params) + ")" + tail
    return text.replace("builtins.list", "list")


def declared_type(annotation: ast.expr) -> ast.expr:
    """The type of an annotation, without `Annotated[...]`'s extras."""
    if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) in ("Annotated", "typing.Annotated"):
        assert isinstance(annotation.slice, ast.Tuple)
        return annotation.slice.elts[0]
    return annotation


def is_property(node: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def is_setter(node: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    return any(isinstance(d, ast.Attribute) and d.attr in ("setter", "deleter") for d in node.decorator_list)


def class_node(path: Path, name: str) -> ast.ClassDef:
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return node
    raise SystemExit(f"error: no class {name} in {path}")


def class_section(item: Documented) -> Iterator[str]:
    cls = getattr(importlib.import_module(item.module), item.name)
    node = class_node(SOURCE / item.source, item.name)
    yield f"### `{item.name}`"
    yield ""
    where = f"`from {item.public} import {item.name}`" if item.public else f"`{item.module}.{item.name}`"
    yield f"{item.reached_as}; {where}."
    own_doc = docstring_markdown(cls.__doc__ if "__doc__" in vars(cls) else None)
    if own_doc:
        yield ""
        yield own_doc
    for member in node.body:
        if isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name):
            if not member.target.id.startswith("_"):
                yield ""
                yield f"#### `{member.target.id}`"
                yield ""
                yield f"Attribute: `{ast.unparse(member.annotation)}`."
        if not isinstance(member, (ast.FunctionDef, ast.AsyncFunctionDef)) or is_setter(member):
            continue
        if member.name.startswith("_") and member.name != "__init__":
            continue
        yield ""
        yield f"#### `{member.name}`"
        yield ""
        if is_property(member):
            settable = any(
                isinstance(other, ast.FunctionDef) and other.name == member.name and is_setter(other)
                for other in node.body
            )
            returns = ast.unparse(member.returns) if member.returns else "Any"
            yield f"Property{' (settable)' if settable else ''}: `{returns}`."
        else:
            yield "```python"
            yield signature_text(member)
            yield "```"
        doc = docstring_markdown(inspect.getdoc(getattr(cls, member.name)) if member.name != "__init__" else None)
        if doc:
            yield ""
            yield doc


def types_section() -> Iterator[str]:
    import enum

    import vexa.types as types

    source = SOURCE / "vexa" / "types.py"
    tree = ast.parse(source.read_text(encoding="utf-8"))
    public = [node for node in tree.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]
    kinds: dict[str, list[ast.ClassDef]] = {"Models": [], "Enumerations": [], "Exceptions": []}
    for node in public:
        cls = getattr(types, node.name)
        if isinstance(cls, type) and issubclass(cls, enum.Enum):
            kinds["Enumerations"].append(node)
        elif isinstance(cls, type) and issubclass(cls, BaseException):
            kinds["Exceptions"].append(node)
        else:
            kinds["Models"].append(node)
    yield "## Types"
    yield ""
    yield "`vexa.types`: what the methods take and return, and what they raise."
    for kind, nodes in kinds.items():
        yield ""
        yield f"### {kind}"
        for node in nodes:
            cls = getattr(types, node.name)
            bases = ", ".join(ast.unparse(base) for base in node.bases)
            yield ""
            yield f"#### `{node.name}`"
            yield ""
            yield f"`class {node.name}({bases})`"
            doc = docstring_markdown(cls.__doc__ if "__doc__" in vars(cls) else None)
            if doc:
                yield ""
                yield doc
            if kind == "Enumerations":
                yield ""
                yield "Members: " + ", ".join(f"`{member.name}` (`{member.value!r}`)" for member in cls) + "."
            fields = [
                member
                for member in node.body
                if isinstance(member, ast.AnnAssign)
                and isinstance(member.target, ast.Name)
                and not member.target.id.startswith("_")
            ]
            if kind == "Models" and fields:
                yield ""
                yield "| field | type | default |"
                yield "| --- | --- | --- |"
                for field in fields:
                    assert isinstance(field.target, ast.Name)
                    annotation = ast.unparse(declared_type(field.annotation)).replace("|", "\\|")
                    default = "required" if field.value is None else f"`{ast.unparse(field.value)}`"
                    yield f"| `{field.target.id}` | `{annotation}` | {default} |"
            if kind == "Models" or kind == "Exceptions":
                for member in node.body:
                    if (
                        isinstance(member, (ast.FunctionDef, ast.AsyncFunctionDef))
                        and not member.name.startswith("_")
                        and not is_setter(member)
                    ):
                        yield ""
                        yield f"- `{signature_text(member)}`" + (
                            f": {first_line}"
                            if (first_line := (inspect.getdoc(getattr(cls, member.name)) or "").split("\n")[0])
                            else ""
                        )


def api_page() -> str:
    lines = [
        "<!-- Generated by scripts/docs_reference.py from the stubs, the modules and their docstrings:"
        " do not edit. -->",
        "",
        "# API reference",
        "",
        "Every public class and method, with the types a type checker sees (from the compiled",
        "modules' `.pyi` stubs and the Python modules' annotations). The guides show them in use:",
        "[synchronous](../sync.md), [asynchronous](../async.md).",
    ]
    for title, text, items in API_SECTIONS:
        lines += ["", f"## {title}", "", text]
        for item in items:
            lines += ["", *class_section(item)]
    lines += ["", *types_section()]
    return "\n".join(lines).rstrip() + "\n"


def cli_page() -> str:
    import click

    from vexa.cli.app import cli

    lines = [
        "<!-- Generated by scripts/docs_reference.py from the Click app: do not edit. -->",
        "",
        "# CLI reference",
        "",
        "Every command of `vexa`, with its arguments and options, as `--help` shows them.",
        "[The CLI guide](../cli.md) shows them in use, with the output and the exit statuses.",
    ]

    def walk(command: click.Command, parent: click.Context | None, path: list[str]) -> Iterator[str]:
        ctx = click.Context(command, info_name=path[-1], parent=parent, terminal_width=80, max_content_width=80)
        title = " ".join(path)
        yield ""
        yield f"{'#' * min(len(path) + 1, 4)} `{title}`"
        yield ""
        yield "```text"
        yield f"Usage: {title} {' '.join(command.collect_usage_pieces(ctx))}".rstrip()
        yield "```"
        help_text = inspect.cleandoc(command.help or "")
        if help_text:
            yield ""
            yield help_text.split("\f")[0].strip()
        options = [
            record
            for param in command.get_params(ctx)
            if isinstance(param, click.Option) and (record := param.get_help_record(ctx))
        ]
        arguments = [param for param in command.params if isinstance(param, click.Argument)]
        if arguments:
            yield ""
            yield "Arguments: " + ", ".join(f"`{param.make_metavar(ctx)}`" for param in arguments) + "."
        if options:
            yield ""
            yield "| option | what |"
            yield "| --- | --- |"
            for names, text in options:
                yield f"| `{names}` | {text.replace('|', chr(92) + '|')} |"
        if isinstance(command, click.Group):
            for name in command.list_commands(ctx):
                sub = command.get_command(ctx, name)
                if sub is not None and not sub.hidden:
                    yield from walk(sub, ctx, [*path, name])

    lines += list(walk(cli, None, ["vexa"]))
    return "\n".join(lines).rstrip() + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 if a committed page is not what this makes")
    args = parser.parse_args()
    stale = []
    for name, make in (("api.md", api_page), ("cli.md", cli_page)):
        path = PAGES / name
        text = make()
        current = path.read_text(encoding="utf-8") if path.exists() else None
        if current == text:
            continue
        if args.check:
            stale.append(str(path.relative_to(ROOT)))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
            print(f"wrote {path.relative_to(ROOT)}")
    if stale:
        print(
            f"error: not current: {', '.join(stale)}; run: .venv/bin/python scripts/docs_reference.py", file=sys.stderr
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
