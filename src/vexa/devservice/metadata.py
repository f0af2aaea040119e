"""Code metadata: strict JSON in, strict JSON out.

Python's json module accepts NaN, Infinity, numbers of any size, lone
surrogates and (until the recursion limit) any depth; a document like that
could be stored and then break every answer that lists it. What is stored
here parses and prints as strict JSON, within bounds.
"""

from __future__ import annotations

import json
import math
from typing import Any

MAX_DEPTH = 64
# Digits in one number (more is not data an API call carries).
MAX_NUMBER_CHARS = 64


class MetadataError(ValueError):
    """The document is refused; the message names the problem."""


def _reject_constant(name: str) -> Any:
    raise MetadataError(f"metadata is not strict JSON: {name} is not a JSON number")


def _bounded(kind: str) -> Any:
    def parse(text: str) -> Any:
        if len(text) > MAX_NUMBER_CHARS:
            raise MetadataError(
                f"metadata holds a number of {len(text)} characters, over the limit of {MAX_NUMBER_CHARS}"
            )
        value = float(text) if kind == "float" else int(text)
        if isinstance(value, float) and not math.isfinite(value):
            raise MetadataError(f"metadata holds the number {text}, which is out of range")
        return value

    return parse


def _check_depth(text: str) -> None:
    """Refuse nesting deeper than MAX_DEPTH before the parser recurses into it."""
    depth = 0
    in_string = escaped = False
    for char in text:
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
        elif char in "[{":
            depth += 1
            if depth > MAX_DEPTH:
                raise MetadataError(f"metadata nests deeper than {MAX_DEPTH} levels")
        elif char in "]}":
            depth -= 1


def _check_strings(value: Any) -> None:
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            try:
                item.encode("utf-8")
            except UnicodeEncodeError:
                raise MetadataError("metadata holds a lone surrogate (\\ud800-\\udfff) in a string") from None
        elif isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)


def parse_metadata(raw: bytes) -> Any:
    """The document in `raw` (UTF-8), or MetadataError naming what is wrong with it."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise MetadataError(f"metadata is not UTF-8: {exc.reason} at byte {exc.start}") from None
    _check_depth(text)
    try:
        value = json.loads(
            text, parse_constant=_reject_constant, parse_int=_bounded("int"), parse_float=_bounded("float")
        )
    except json.JSONDecodeError as exc:
        raise MetadataError(f"metadata is not valid JSON: {exc}") from None
    _check_strings(value)
    return value


def encode_metadata(value: Any) -> str:
    return json.dumps(value, allow_nan=False)
