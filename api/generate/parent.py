"""The C++ names of the parent-client protocol's members (`vexa.client._parent`):
`common/client/parent_members.h`, what the modules' bodies read from a parent."""

from __future__ import annotations

import ast
from pathlib import Path

PROTOCOL = "src/vexa/client/_parent.py"


def members(root: Path) -> list[str]:
    """Every member of the protocol classes, in the order the file declares them."""
    found: list[str] = []
    for node in ast.parse((root / PROTOCOL).read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.ClassDef):
            continue
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                name = item.target.id
            elif isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                name = item.name
            else:
                continue
            if name not in found:
                found.append(name)
    return found


def header(root: Path, comment: str) -> str:
    names = members(root)
    definitions = ",\n    ".join(f'{name}{{"{name}"}}' for name in names)
    return f"""{comment}
//
// The members the modules read from a parent client, by name: those of the
// protocols ParentClient and AsyncParentClient (vexa.client._parent).
#pragma once
#include "frame/constants.h"

namespace vx::names {{

inline const Str {definitions};

}}  // namespace vx::names
"""
