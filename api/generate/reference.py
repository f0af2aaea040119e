"""The API reference page (docs/reference/api.md).

The compiled modules' classes come from the declarations: the signatures as
their stubs give them (what a type checker sees) and the docstrings' summary
and sections. The Python classes (the parent clients, `AsyncCodeClient`) and
the types come from their source files under `src/`, read, not imported: so
the page, like every generated file, follows from the tree alone.
"""

from __future__ import annotations

import ast
import inspect
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

from . import stubs
from .model import Class, Method, Module

PAGE = Path("docs/reference/api.md")
# Signatures wider than this take one parameter per line.
WIDTH = 88


@dataclass(frozen=True)
class Documented:
    """A class of the page: where its definition is and how users reach it."""

    module: str
    name: str
    reached_as: str
    source: str | None = None  # below src/: the .py module that defines it; None: a declared class
    public: str | None = None  # the name to import it by, where there is one


SECTIONS: list[tuple[str, str, list[Documented]]] = [
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
            Documented("vexa.client._sync._code", "CodeClient", "`client.code`"),
            Documented("vexa.client._sync._jobs", "JobsClient", "`client.jobs`"),
            Documented("vexa.client._sync._web", "WebClient", "`client.web`"),
            Documented("vexa.client._sync._web", "StoredWebClient", "`client.web.stored`"),
            Documented("vexa.client._sync._web", "WebJobsClient", "`client.web.jobs`"),
        ],
    ),
    (
        "Asynchronous clients",
        "Reached through `vexa.AsyncClient`; every method returns a coroutine to await "
        "(`stream_output`: an asynchronous generator for `async for`).",
        [
            Documented("vexa.client._async.code", "AsyncCodeClient", "`client.code`", "vexa/client/_async/code.py"),
            Documented("vexa.client._async._jobs", "AsyncJobsClient", "`client.jobs`"),
            Documented("vexa.client._async._web", "AsyncWebClient", "`client.web`"),
            Documented("vexa.client._async._web", "AsyncStoredWebClient", "`client.web.stored`"),
            Documented("vexa.client._async._web", "AsyncWebJobsClient", "`client.web.jobs`"),
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


def _wrapped(head: str, params: list[str], tail: str) -> str:
    text = f"{head}({', '.join(params)}){tail}"
    if len(text) > WIDTH:
        text = head + "(\n" + "".join(f"    {p},\n" for p in params) + ")" + tail
    return text


def signature_text(node: ast.FunctionDef | ast.AsyncFunctionDef) -> str:
    """The definition of a function as its source declares it, without the body."""
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
    return _wrapped(head, params, tail)


def _declared_signature(method: Method, parent: str) -> str:
    # As the stub declares it, with `list` for the stub's `builtins.list`.
    params = [stubs._parameter(p, "list", parent) for p in method.params]
    returns = "None" if method.name == "__init__" else stubs._annotation(method.returns or "None", "list")
    keyword = "async def" if method.kind == "Coroutine" else "def"
    return _wrapped(f"{keyword} {method.name}", params, f" -> {returns}")


def _declared_doc(method: Method) -> str:
    # The docstring's summary and sections; its first line, the signature, stands above it already.
    if method.summary is None:
        return ""
    doc = method.summary
    for section in method.sections:
        doc += f"\n\n{section.heading}" + "".join(f"\n    {entry}" for entry in section.entries)
    return docstring_markdown(doc)


def _declared_section(item: Documented, cls: Class, module: Module) -> Iterator[str]:
    yield f"### `{item.name}`"
    yield ""
    yield f"{item.reached_as}; `{item.module}.{item.name}`."
    for name, type_name in cls.attributes:
        yield from ("", f"#### `{name}`", "", f"Attribute: `{type_name}`.")
    for method in cls.methods:
        yield from ("", f"#### `{method.name}`", "", "```python", _declared_signature(method, module.protocol), "```")
        doc = _declared_doc(method) if method.name != "__init__" else ""
        if doc:
            yield from ("", doc)


def _decorated(node: ast.FunctionDef | ast.AsyncFunctionDef, *names: str) -> bool:
    return any(
        (isinstance(d, ast.Name) and d.id in names) or (isinstance(d, ast.Attribute) and d.attr in names)
        for d in node.decorator_list
    )


def _functions(node: ast.ClassDef) -> list[ast.FunctionDef | ast.AsyncFunctionDef]:
    return [member for member in node.body if isinstance(member, (ast.FunctionDef, ast.AsyncFunctionDef))]


class _Source:
    """The classes of the Python modules under src/, by name, read as text."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.classes: dict[str, ast.ClassDef] = {}

    def read(self, path: str) -> None:
        for node in ast.parse((self.root / "src" / path).read_text(encoding="utf-8")).body:
            if isinstance(node, ast.ClassDef):
                self.classes.setdefault(node.name, node)

    def mro(self, node: ast.ClassDef) -> Iterator[ast.ClassDef]:
        """The class and those of its bases that are read here, depth first."""
        yield node
        for base in node.bases:
            name = ast.unparse(base).rpartition(".")[2].partition("[")[0]
            if name in self.classes and self.classes[name] is not node:
                yield from self.mro(self.classes[name])

    def doc(self, node: ast.ClassDef, name: str) -> str | None:
        """A method's docstring, inherited as `inspect.getdoc` inherits it."""
        for cls in self.mro(node):
            for member in _functions(cls):
                if member.name == name and not _decorated(member, "setter", "deleter"):
                    doc = ast.get_docstring(member)
                    if doc is not None:
                        return doc
        return None


def _source_section(item: Documented, source: _Source) -> Iterator[str]:
    node = source.classes[item.name]
    yield f"### `{item.name}`"
    yield ""
    where = f"`from {item.public} import {item.name}`" if item.public else f"`{item.module}.{item.name}`"
    yield f"{item.reached_as}; {where}."
    own_doc = docstring_markdown(ast.get_docstring(node))
    if own_doc:
        yield from ("", own_doc)
    for member in node.body:
        if isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name):
            if not member.target.id.startswith("_"):
                yield from ("", f"#### `{member.target.id}`", "", f"Attribute: `{ast.unparse(member.annotation)}`.")
        if not isinstance(member, (ast.FunctionDef, ast.AsyncFunctionDef)) or _decorated(member, "setter", "deleter"):
            continue
        if member.name.startswith("_") and member.name != "__init__":
            continue
        yield from ("", f"#### `{member.name}`", "")
        if _decorated(member, "property"):
            settable = any(other.name == member.name and _decorated(other, "setter") for other in _functions(node))
            returns = ast.unparse(member.returns) if member.returns else "Any"
            yield f"Property{' (settable)' if settable else ''}: `{returns}`."
        else:
            yield from ("```python", signature_text(member), "```")
        doc = docstring_markdown(source.doc(node, member.name) if member.name != "__init__" else None)
        if doc:
            yield from ("", doc)


def _declared_type(annotation: ast.expr) -> ast.expr:
    """The type of an annotation, without `Annotated[...]`'s extras."""
    if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) in ("Annotated", "typing.Annotated"):
        assert isinstance(annotation.slice, ast.Tuple)
        return annotation.slice.elts[0]
    return annotation


def _types_section(root: Path) -> Iterator[str]:
    source = _Source(root)
    source.read("vexa/types.py")
    public = [node for node in source.classes.values() if not node.name.startswith("_")]

    def derives(node: ast.ClassDef, roots: tuple[str, ...]) -> bool:
        return any(ast.unparse(base) in roots for cls in source.mro(node) for base in cls.bases)

    kinds: dict[str, list[ast.ClassDef]] = {"Models": [], "Enumerations": [], "Exceptions": []}
    for node in public:
        if derives(node, ("enum.Enum", "Enum")):
            kinds["Enumerations"].append(node)
        elif derives(node, ("Exception", "BaseException")):
            kinds["Exceptions"].append(node)
        else:
            kinds["Models"].append(node)
    yield from ("## Types", "", "`vexa.types`: what the methods take and return, and what they raise.")
    for kind, nodes in kinds.items():
        yield from ("", f"### {kind}")
        for node in nodes:
            bases = ", ".join(ast.unparse(base) for base in node.bases)
            yield from ("", f"#### `{node.name}`", "", f"`class {node.name}({bases})`")
            doc = docstring_markdown(ast.get_docstring(node))
            if doc:
                yield from ("", doc)
            if kind == "Enumerations":
                members = [
                    (member.targets[0].id, ast.literal_eval(member.value))
                    for member in node.body
                    if isinstance(member, ast.Assign) and isinstance(member.targets[0], ast.Name)
                ]
                yield ""
                yield "Members: " + ", ".join(f"`{name}` (`{value!r}`)" for name, value in members) + "."
            fields = [
                member
                for member in node.body
                if isinstance(member, ast.AnnAssign)
                and isinstance(member.target, ast.Name)
                and not member.target.id.startswith("_")
            ]
            if kind == "Models" and fields:
                yield from ("", "| field | type | default |", "| --- | --- | --- |")
                for field in fields:
                    assert isinstance(field.target, ast.Name)
                    annotation = ast.unparse(_declared_type(field.annotation)).replace("|", "\\|")
                    default = "required" if field.value is None else f"`{ast.unparse(field.value)}`"
                    yield f"| `{field.target.id}` | `{annotation}` | {default} |"
            if kind in ("Models", "Exceptions"):
                for member in _functions(node):
                    if not member.name.startswith("_") and not _decorated(member, "setter", "deleter"):
                        first_line = (source.doc(node, member.name) or "").split("\n")[0]
                        yield ""
                        yield f"- `{signature_text(member)}`" + (f": {first_line}" if first_line else "")


def page(modules: list[Module], root: Path, header: str) -> str:
    """The page's Markdown; `header` is its first line (an HTML comment)."""
    classes = {(module.name, cls.name): (cls, module) for module in modules for cls in module.classes}
    source = _Source(root)
    for _, _, items in SECTIONS:  # all of them first: a class inherits docstrings from another file's
        for item in items:
            if item.source is not None:
                source.read(item.source)
    lines = [
        header,
        "",
        "# API reference",
        "",
        "Every public class and method, with the types a type checker sees (the compiled",
        "modules' stubs and the Python modules' annotations). The guides show them in use:",
        "[synchronous](../sync.md), [asynchronous](../async.md).",
    ]
    for title, text, items in SECTIONS:
        lines += ["", f"## {title}", "", text]
        for item in items:
            if item.source is None:
                cls, module = classes[(item.module, item.name)]
                lines += ["", *_declared_section(item, cls, module)]
            else:
                lines += ["", *_source_section(item, source)]
    lines += ["", *_types_section(root)]
    return "\n".join(lines).rstrip() + "\n"
