"""The synchronous module from the asynchronous one: a rewrite of names and texts.

As httpcore's unasync does it: every text of a declaration (annotations,
docstrings, the Python bodies) goes through the same token rules, and
coroutines become plain methods, asynchronous generators generators. The
rules are all here; nothing else differs between the two modules but what the
rules produce.
"""

from __future__ import annotations

import re
from dataclasses import replace
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .model import Class, Import, Method, Module

# Applied in order to every text: (pattern, replacement).
TEXT_RULES: list[tuple[str, str]] = [
    (r"\bAsyncGenerator\[(.*), None\]", r"Generator[\1, None, None]"),
    (r"\bAsyncGenerator\b", "Generator"),
    (r"\bAsync(\w*Client)\b", r"\1"),  # AsyncClient, AsyncJobsClient, httpx.AsyncClient
    (r"\bvexa\.client\._async\b", "vexa.client._sync"),
    (r"\bAsynchronously yields\b", "Yields"),
    (r"\basync (def|with|for)\b", r"\1"),
    (r"\bawait ", ""),
    (r"\basyncio\.sleep\b", "time.sleep"),
    (r"\baiter_lines\b", "iter_lines"),
    (r"\baread\b", "read"),
    (r"\b_handle_stream_download_async\b", "_handle_stream_download"),
]
# Imports the synchronous module does without.
DROPPED_IMPORTS = {"asyncio"}
# A synchronous method keeps no HTTP client of its own: `httpx.<method>` opens and closes one.
DROPPED_LOCALS = {"client"}
# The C++ bodies a synchronous method runs in place of the asynchronous one's.
CXX_BODIES = {"send_request": "send_request_blocking"}
KINDS = {"Coroutine": "Plain", "AsyncGenerator": "Generator", "Plain": "Plain", "Generator": "Generator"}


def text(value: str) -> str:
    for pattern, replacement in TEXT_RULES:
        value = re.sub(pattern, replacement, value)
    return value


def _optional(value: str | None) -> str | None:
    return None if value is None else text(value)


def _method(method: Method) -> Method:
    return replace(
        method,
        kind=KINDS[method.kind],
        params=tuple(replace(p, annotation=_optional(p.annotation)) for p in method.params),
        returns=_optional(method.returns),
        summary=_optional(method.summary),
        sections=tuple(replace(s, entries=tuple(text(e) for e in s.entries)) for s in method.sections),
        locals=tuple(name for name in method.locals if name not in DROPPED_LOCALS),
        body=CXX_BODIES.get(method.body, method.body),
        python=text(method.python),
    )


def _class(cls: Class) -> Class:
    return replace(
        cls,
        name=text(cls.name),
        methods=tuple(_method(m) for m in cls.methods),
        attributes=tuple((name, text(type_name)) for name, type_name in cls.attributes),
    )


def _import(statement: Import) -> Import:
    return replace(statement, module=text(statement.module), names=tuple(text(name) for name in statement.names))


def module(declared: Module, name: str) -> Module:
    """The synchronous module `name` made from the asynchronous module `declared`."""
    return replace(
        declared,
        name=name,
        imports=tuple(_import(i) for i in declared.imports if i.names or i.module not in DROPPED_IMPORTS),
        parent=_import(declared.parent),
        protocol=text(declared.protocol),
        classes=tuple(_class(c) for c in declared.classes),
        asynchronous=False,
        derived=True,
    )
