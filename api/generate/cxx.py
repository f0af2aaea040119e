"""The C++ class table of a compiled module: `<module>.table.h`, included at the
end of the module's `.cpp`, which defines the bodies and the data they read."""

from __future__ import annotations

import json

from .model import Class, Method, Module, Param

BODY_FIELD = {"Plain": "plain", "Coroutine": "coroutine", "AsyncGenerator": "generator", "Generator": "generator"}


def string(text: str) -> str:
    """A C++ string literal (the declarations' texts are ASCII)."""
    assert text.isascii(), text
    return json.dumps(text)


def strings(texts: tuple[str, ...] | list[str]) -> str:
    return "{" + ", ".join(string(text) for text in texts) + "}"


def _default(param: Param) -> str | None:
    default = param.default
    if default is None:
        return None
    if default.source == "None":
        return "none_default"
    if default.source == "False":
        return "false_default"
    owner_and_member = default.owner_and_member
    if owner_and_member:
        owner, member = owner_and_member
        return f"member_default({string(owner)}, {string(member)}, {string(default.text)})"
    return f"float_default({float(default.source)!r}, {string(default.text)})"


def _param(param: Param) -> str:
    fields = [string(param.name)]
    default = _default(param)
    if param.annotation or default:
        fields += [f"Check::{param.check}", string(param.annotation) if param.annotation else "nullptr"]
    if default:
        fields.append(default)
    return "{" + ", ".join(fields) + "}"


def _row(method: Method) -> str:
    fields = [f".name = {string(method.name)}", f".line = {method.line}"]
    if method.kind != "Plain":
        fields.append(f".kind = Kind::{method.kind}")
    fields.append(".params = {" + ", ".join(_param(p) for p in method.params) + "}")
    if method.returns:
        fields.append(f".returns = {string(method.returns)}")
    if method.result_check != "None":
        fields.append(f".result = ResultCheck::{method.result_check}")
    if method.locals:
        fields.append(f".locals = {strings(method.locals)}")
    if method.summary is not None:
        fields.append(f".summary = {string(method.summary)}")
    if method.sections:
        sections = ", ".join("{" + f"{string(s.heading)}, {strings(s.entries)}" + "}" for s in method.sections)
        fields.append(".sections = {" + sections + "}")
    fields.append(f".{BODY_FIELD[method.kind]} = {method.body}")
    if method.context:
        fields.append(f".context = &{method.context}")
    return "{" + ", ".join(fields) + "}"


def _shortcuts(cls: Class) -> list[str]:
    lines = []
    for method in cls.methods:
        if method.filter:
            keyword, member = method.filter
            by_stage = "true" if keyword == "job_stage" else "false"
            lines.append(
                f"const ListingShortcut {method.context}{{.by_stage = {by_stage}, "
                f".member = &names::{member.partition('.')[2]}}};"
            )
    return lines


def table(module: Module, header: str) -> str:
    """The text of the module's table header (before clang-format)."""
    imports = ", ".join("{" + f"{string(i.module)}, {strings(i.names)}" + "}" for i in module.imports)
    shortcuts = [line for cls in module.classes for line in _shortcuts(cls)]
    assert len(set(shortcuts)) == len(shortcuts), "two listing shortcuts of one name in a module"
    tables = []
    for cls in module.classes:
        rows = ",\n".join(_row(method) for method in cls.methods)
        tables.append(f"std::vector<MethodDef> {cls.name}_methods() {{\n    return {{\n{rows}}};\n}}\n")
    classes = ", ".join(
        "{" + f".name = {string(cls.name)}, .line = {cls.line}, .methods = {cls.name}_methods()" + "}"
        for cls in module.classes
    )
    return f"""{header}
#pragma once
#include <vector>

#include "client/listings.h"
#include "client/names.h"
#include "frame/module.h"
#include "frame/table.h"

namespace {{

using namespace vx;

{"".join(line + chr(10) for line in shortcuts)}
{chr(10).join(tables)}
const ModuleSpec& spec() {{
    static const ModuleSpec module{{
        .short_name = {string(module.short_name)},
        .full_name = {string(module.name)},
        .source_path = {string(module.path)},
        .imports = {{{imports}}},
        .type_checking_name = {string(module.parent.names[0])},
        .classes = {{{classes}}},
    }};
    return module;
}}

}}  // namespace

VX_MODULE({module.short_name}, spec)
"""
