"""The declarations as data: read from the declaration files' source text."""

from __future__ import annotations

import ast
import inspect
import re
from dataclasses import dataclass, field, replace
from pathlib import Path

from . import unasync

ROOT = Path(__file__).resolve().parents[2]
DECLARATIONS = ("code", "jobs", "web")  # api/<name>.py
# What the Python bodies use besides the module's own names (`_frame.expanded`, ...):
# imported by the twins after the module's imports, and not one of them.
TWIN_SUPPORT = "vexa.client._pure"


class DeclarationError(Exception):
    """A declaration the generator cannot read; the message says where."""


@dataclass(frozen=True)
class Default:
    """A parameter's default: None, False, a float or an enumeration member."""

    source: str  # as the declaration writes it: "None", "60.0", "JobStage.POST_RUNNING"

    @property
    def owner_and_member(self) -> tuple[str, str] | None:
        found = re.fullmatch(r"([A-Za-z_]\w*)\.([A-Za-z_]\w*)", self.source)
        return (found.group(1), found.group(2)) if found else None

    @property
    def text(self) -> str:
        """As the signature line of a docstring shows it: a whole float without ".0"."""
        try:
            number = float(self.source)
        except ValueError:
            return self.source
        return str(int(number)) if number.is_integer() else repr(number)


@dataclass(frozen=True)
class Param:
    name: str
    annotation: str | None = None  # the text, never evaluated
    default: Default | None = None

    @property
    def check(self) -> str:
        """What the binding does with the argument, from the annotation:
        exactly a str, a str or None, converted to a float, reduced to a truth value, or nothing."""
        return {
            "str": "Str",
            "str | None": "OptionalStr",
            "float": "Float",
            "float | None": "Float",
            "bool": "Bool",
        }.get(self.annotation or "", "Any")


@dataclass(frozen=True)
class Section:
    heading: str  # "Args:", "Returns:", "Yields:", "Raises:"
    entries: tuple[str, ...]


@dataclass(frozen=True)
class Method:
    name: str
    line: int
    kind: str  # "Plain", "Coroutine", "AsyncGenerator", "Generator"
    params: tuple[Param, ...]  # `self` first
    returns: str | None
    summary: str | None
    sections: tuple[Section, ...]
    locals: tuple[str, ...]
    body: str  # the C++ function
    context: str | None  # C++ expression of the data a shared body reads
    python: str  # the Python body, dedented to the method's level (its docstring left out)
    filter: tuple[str, str] | None = None  # a listing shortcut's keyword and member: ("job_status", "JobStatus.QUEUED")

    @property
    def result_check(self) -> str:
        """What the method checks about its result, from the return annotation."""
        if self.returns in ("str", "str | None"):
            return "Str"
        if self.returns and re.match(r"(List|list)\[", self.returns):
            return "List"
        return "None"

    @property
    def defaults(self) -> tuple[Default, ...]:
        return tuple(p.default for p in self.params if p.default is not None)

    def docstring(self, class_name: str) -> str:
        """The method's `__doc__`: the signature line, then the summary and the sections."""
        pieces = []
        for p in self.params:
            piece = {"Str": "str ", "OptionalStr": "str ", "Float": "float ", "Bool": "bool "}.get(p.check, "") + p.name
            if p.annotation:
                piece += f": {p.annotation}"
            if p.default is not None:
                piece += f" = {p.default.text}"
            pieces.append(piece)
        doc = f"{class_name}.{self.name}({', '.join(pieces)})"
        if self.returns:
            doc += f" -> {self.returns}"
        if self.summary is None:
            return doc
        doc += f"\n\n{self.summary}"
        for section in self.sections:
            doc += f"\n\n{section.heading}" + "".join(f"\n    {entry}" for entry in section.entries)
        return doc


@dataclass(frozen=True)
class Class:
    name: str
    line: int
    methods: tuple[Method, ...]
    attributes: tuple[tuple[str, str], ...] = ()  # sub-clients an instance holds: (name, class name)


@dataclass(frozen=True)
class Import:
    module: str
    names: tuple[str, ...] = ()  # `from module import names`; empty: `import module`

    @property
    def statement(self) -> str:
        return f"from {self.module} import {', '.join(self.names)}" if self.names else f"import {self.module}"


@dataclass(frozen=True)
class Module:
    name: str  # "vexa.client._async._jobs"
    source: str  # the declaration file, relative to the project root: "api/jobs.py"
    imports: tuple[Import, ...]
    parent: Import  # imported only under TYPE_CHECKING: the parent client
    protocol: str  # what the modules read from the parent: a protocol of `vexa.client._parent`
    classes: tuple[Class, ...]
    asynchronous: bool
    derived: bool = False  # made from another module's declarations by `unasync`

    @property
    def short_name(self) -> str:
        return self.name.rpartition(".")[2]

    @property
    def path(self) -> str:
        return self.name.replace(".", "/")


@dataclass
class _Reading:
    root: Path
    path: Path
    tree: ast.Module
    text: str
    listings: dict[str, list[ast.Call]] = field(default_factory=dict)

    def where(self, node: ast.AST) -> str:
        return f"{self.path.relative_to(self.root)}:{getattr(node, 'lineno', '?')}"

    def segment(self, node: ast.AST) -> str:
        text = ast.get_source_segment(self.text, node)
        assert text is not None
        return text


def _decorator(node: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef, name: str) -> ast.Call | None:
    for decorator in node.decorator_list:
        if (
            isinstance(decorator, ast.Call)
            and isinstance(decorator.func, ast.Attribute)
            and isinstance(decorator.func.value, ast.Name)
            and decorator.func.value.id == "declare"
            and decorator.func.attr == name
        ):
            return decorator
    return None


def _keywords(call: ast.Call, reading: _Reading) -> dict[str, object]:
    try:
        return {keyword.arg: ast.literal_eval(keyword.value) for keyword in call.keywords if keyword.arg}
    except ValueError:
        raise DeclarationError(f"{reading.where(call)}: decorator arguments must be literals") from None


def _params(function: ast.FunctionDef | ast.AsyncFunctionDef, reading: _Reading) -> tuple[Param, ...]:
    arguments = function.args
    if arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs or arguments.kwarg:
        raise DeclarationError(f"{reading.where(function)}: methods take plain positional-or-keyword parameters only")
    first_default = len(arguments.args) - len(arguments.defaults)
    params = []
    for index, argument in enumerate(arguments.args):
        annotation = reading.segment(argument.annotation) if argument.annotation else None
        default = None
        if index >= first_default:
            node = arguments.defaults[index - first_default]
            default = Default(reading.segment(node))
            if not (
                (
                    isinstance(node, ast.Constant)
                    and (node.value is None or node.value is False or type(node.value) is float)
                )
                or default.owner_and_member
            ):
                raise DeclarationError(f"{reading.where(node)}: a default is None, False, a float or Enum.MEMBER")
        params.append(Param(argument.arg, annotation, default))
    return tuple(params)


def _docstring(
    function: ast.FunctionDef | ast.AsyncFunctionDef, reading: _Reading
) -> tuple[str | None, tuple[Section, ...]]:
    text = ast.get_docstring(function, clean=True)
    if text is None:
        return None, ()
    summary, *blocks = text.split("\n\n")
    if "\n" in summary:
        raise DeclarationError(f"{reading.where(function)}: the summary is one line")
    sections = []
    for block in blocks:
        heading, *entries = block.split("\n")
        if not heading.endswith(":") or not entries or not all(entry.startswith("    ") for entry in entries):
            raise DeclarationError(
                f"{reading.where(function)}: a section is a heading and entries indented by four blanks"
            )
        sections.append(Section(heading, tuple(entry[4:] for entry in entries)))
    return summary, tuple(sections)


def _python_body(function: ast.FunctionDef | ast.AsyncFunctionDef, reading: _Reading) -> str:
    statements = function.body
    if statements and isinstance(statements[0], ast.Expr) and isinstance(statements[0].value, ast.Constant):
        statements = statements[1:]  # the docstring
    if not statements:
        return ""
    lines = reading.text.splitlines()
    first = statements[0].lineno - 1
    while first > 0 and lines[first - 1].strip().startswith("#"):  # comments that lead the body
        first -= 1
    body = "\n".join(lines[first : statements[-1].end_lineno])
    return inspect.cleandoc("\n" + body) if body.strip() else ""


def _kind(function: ast.FunctionDef | ast.AsyncFunctionDef, returns: str | None) -> str:
    if isinstance(function, ast.AsyncFunctionDef):
        return "AsyncGenerator" if returns and returns.startswith("AsyncGenerator[") else "Coroutine"
    return "Generator" if returns and returns.startswith("Generator[") else "Plain"


def _method(function: ast.FunctionDef | ast.AsyncFunctionDef, reading: _Reading) -> list[Method]:
    returns = reading.segment(function.returns) if function.returns else None
    summary, sections = _docstring(function, reading)
    declared = _decorator(function, "method")
    shortcut = _decorator(function, "listings")
    if declared is not None:
        options = _keywords(declared, reading)
        return [
            Method(
                name=function.name,
                line=int(options["line"]),  # type: ignore[call-overload]
                kind=_kind(function, returns),
                params=_params(function, reading),
                returns=returns,
                summary=summary,
                sections=sections,
                locals=tuple(options.get("locals", ())),  # type: ignore[call-overload]
                body=str(options.get("body") or function.name),
                context=options.get("context"),  # type: ignore[arg-type]
                python=_python_body(function, reading),
            )
        ]
    if shortcut is not None:
        options = _keywords(shortcut, reading)
        if (
            not shortcut.args
            or not isinstance(shortcut.args[0], ast.Name)
            or shortcut.args[0].id not in reading.listings
        ):
            raise DeclarationError(f"{reading.where(shortcut)}: listings(<rows declared above>, ...)")
        methods = []
        for row in reading.listings[shortcut.args[0].id]:
            name, line, member, row_summary, row_returns = (reading.segment(arg) for arg in row.args)
            name, line, row_summary, row_returns = (
                ast.literal_eval(value) for value in (name, line, row_summary, row_returns)
            )
            keyword = "job_stage" if member.startswith("JobStage.") else "job_status"

            def filled(text: str) -> str:
                return text.replace("{summary}", row_summary).replace("{returns}", row_returns)

            methods.append(
                Method(
                    name=name,
                    line=line,
                    kind=_kind(function, returns),
                    params=_params(function, reading),
                    returns=returns,
                    summary=filled(summary) if summary else None,
                    sections=tuple(replace(s, entries=tuple(filled(e) for e in s.entries)) for s in sections),
                    locals=tuple(options.get("locals", ())),  # type: ignore[call-overload]
                    body=str(options["body"]),
                    context=f"{name}_shortcut",
                    python=re.sub(r"\bFILTER=MEMBER\b", f"{keyword}={member}", _python_body(function, reading)),
                    filter=(keyword, member),
                )
            )
        return methods
    raise DeclarationError(
        f"{reading.where(function)}: every method is declared with declare.method or declare.listings"
    )


def _attributes(methods: tuple[Method, ...], class_names: set[str]) -> tuple[tuple[str, str], ...]:
    init = next((method for method in methods if method.name == "__init__"), None)
    if init is None:
        return ()
    found = re.findall(r"^self\.(\w+) = (\w+)\(", init.python, re.M)
    return tuple((name, cls) for name, cls in found if cls in class_names)


def read(name: str, root: Path = ROOT) -> list[Module]:
    """The module declared in api/<name>.py, and the synchronous one derived from it if it says so."""
    path = root / "api" / f"{name}.py"
    text = path.read_text(encoding="utf-8")
    reading = _Reading(root, path, ast.parse(text), text)
    imports: list[Import] = []
    parent: Import | None = None
    module_name: str | None = None
    sync_name: str | None = None
    classes: list[tuple[ast.ClassDef, int]] = []
    for node in reading.tree.body:
        if isinstance(node, ast.ImportFrom) and node.module not in ("__future__", "api", "api.declare", TWIN_SUPPORT):
            imports.append(Import(node.module or "", tuple(alias.name for alias in node.names)))
        elif isinstance(node, ast.Import):
            imports.extend(Import(alias.name) for alias in node.names)
        elif isinstance(node, ast.If) and isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING":
            (statement,) = node.body
            assert isinstance(statement, ast.ImportFrom) and len(statement.names) == 1, reading.where(node)
            parent = Import(statement.module or "", (statement.names[0].name,))
        elif (
            isinstance(node, ast.Expr)
            and isinstance(node.value, ast.Call)
            and reading.segment(node.value.func) == "declare.module"
        ):
            module_name = ast.literal_eval(node.value.args[0])
            options = _keywords(node.value, reading)
            sync_name = options.get("sync")  # type: ignore[assignment]
            protocol = str(options["parent"])
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.List):
            (target,) = node.targets
            assert isinstance(target, ast.Name)
            reading.listings[target.id] = [row for row in node.value.elts if isinstance(row, ast.Call)]
        elif isinstance(node, ast.ClassDef):
            declared = _decorator(node, "client")
            if declared is None:
                raise DeclarationError(f"{reading.where(node)}: a class is declared with declare.client")
            classes.append((node, int(_keywords(declared, reading)["line"])))  # type: ignore[call-overload]
    if module_name is None or parent is None:
        raise DeclarationError(f"{path}: declare.module(...) and the TYPE_CHECKING import of the parent are required")
    class_names = {node.name for node, _ in classes}
    built = []
    for node, line in classes:
        methods: list[Method] = []
        for item in node.body:
            if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                methods.extend(_method(item, reading))
        built.append(Class(node.name, line, tuple(methods), _attributes(tuple(methods), class_names)))
    declared = Module(
        name=module_name,
        source=str(path.relative_to(root)),
        imports=tuple(imports),
        parent=parent,
        protocol=protocol,
        classes=tuple(built),
        asynchronous=any(m.kind in ("Coroutine", "AsyncGenerator") for c in built for m in c.methods),
    )
    if sync_name is not None:
        if not declared.name.startswith("vexa.client._async."):
            raise DeclarationError(f"{path}: only an asynchronous module has a synchronous one derived from it")
        return [declared, unasync.module(declared, sync_name)]
    return [declared]


def modules(root: Path = ROOT) -> list[Module]:
    """Every declared module, each asynchronous one followed by the synchronous one derived from it."""
    return [module for name in DECLARATIONS for module in read(name, root)]
