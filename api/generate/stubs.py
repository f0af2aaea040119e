"""The `.pyi` stub of a module: what type checkers and editors read."""

from __future__ import annotations

import re

from .model import Method, Module, Param

# Where the names that annotations use come from; builtins need no import.
SOURCES = {"Path": "pathlib", "Any": "typing", "AsyncGenerator": "typing", "Generator": "typing"}


def _annotation(text: str, list_name: str) -> str:
    # Plain generics for the stub, the runtime's texts aside: `List[X]` and `list[X]`
    # alike, a bare `dict` with its parameters.
    text = re.sub(r"\b(List|list)\[", f"{list_name}[", text)
    return re.sub(r"\bdict\b(?!\[)", "dict[str, Any]", text)


def _parameter(param: Param, list_name: str, parent: str) -> str:
    if param.name == "self":
        return "self"
    # The parent client, annotated or not at run time: the protocol of what is read from it.
    annotation = parent if param.name == "client" else param.annotation
    text = param.name
    if annotation:
        text += f": {_annotation(annotation, list_name)}"
    if param.default is not None:
        text += f" = {param.default.source}"
    return text


def _method(method: Method, list_name: str, parent: str) -> list[str]:
    returns = "None" if method.name == "__init__" else _annotation(method.returns or "None", list_name)
    params = ", ".join(_parameter(p, list_name, parent) for p in method.params)
    lines = []
    if method.kind == "AsyncGenerator":
        lines.append("    # Called without await: it returns the generator that `async for` drives.")
    keyword = "async def" if method.kind == "Coroutine" else "def"
    lines.append(f"    {keyword} {method.name}({params}) -> {returns}: ...")
    return lines


def stub(module: Module, header: str) -> str:
    # A sub-client takes any parent that has what the module reads from it.
    parent = module.protocol
    has_list_method = any(m.name == "list" for c in module.classes for m in c.methods)
    list_name = "builtins.list" if has_list_method else "list"
    body: list[str] = []
    for cls in module.classes:
        body += ["", f"class {cls.name}:"]
        body += [f"    {name}: {type_name}" for name, type_name in cls.attributes]
        for method in cls.methods:
            body += _method(method, list_name, parent)
    texts = [type_name for cls in module.classes for _, type_name in cls.attributes]
    for cls in module.classes:
        for method in cls.methods:
            texts += [_annotation(method.returns or "", list_name)]
            texts += [_parameter(p, list_name, parent).partition(":")[2] for p in method.params]
    used = {name for text in texts for name in re.findall(r"(?<![.\w])[A-Za-z_]\w*", text)}
    own = {cls.name for cls in module.classes} | {
        "None",
        "False",
        "True",
        "builtins",
        "str",
        "float",
        "bool",
        "dict",
        "list",
    }
    types = sorted(used - own - set(SOURCES) - {parent})
    imports: dict[str, set[str]] = {}
    for name in used & set(SOURCES):
        imports.setdefault(SOURCES[name], set()).add(name)
    lines = [header]
    if has_list_method:
        lines += ["# `list` is also a method name here, so the type is spelt builtins.list.", "import builtins"]
    lines += [f"from {source} import {', '.join(sorted(names))}" for source, names in sorted(imports.items())]
    lines += [f"from vexa.client._parent import {parent}"]
    lines += [f"from vexa.types import {', '.join(types)}"]
    return "\n".join(lines + body) + "\n"
