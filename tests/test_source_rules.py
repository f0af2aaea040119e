"""Mechanical checks of the C++ sources.

g++ 12 miscompiles some `co_await` forms (ternaries, braces, loop conditions,
lambdas in the same full-expression) and the language forbids it in `catch`
blocks, so bodies keep to one shape: `co_await std::move(name)` as a whole
statement or the initializer of a named variable.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted(
    p for p in [*ROOT.glob("common/**/*.cpp"), *ROOT.glob("vexa/client/*/_*.cpp")] if p.is_file()
)
ALLOWED = re.compile(
    r"^\s*(?:(?:Ref|auto)\s+\w+\s*=\s*)?(?:\w+\s*=\s*)?co_await std::move\(\w+\);\s*$"
    r"|^\s*co_yield std::move\(\w+\);\s*$"
)


def _body_lines(path: Path) -> list[tuple[int, str]]:
    lines = []
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        code = line.split("//", 1)[0]
        if re.search(r"\bco_(await|yield)\b", code):
            lines.append((number, code))
    return lines


@pytest.mark.skipif(not SOURCES, reason="C++ sources not present (installed package)")
@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_co_await_only_in_safe_forms(path: Path) -> None:
    bad = [f"{path.name}:{n}: {code.strip()}" for n, code in _body_lines(path) if not ALLOWED.match(code)]
    assert bad == []


@pytest.mark.skipif(not SOURCES, reason="C++ sources not present (installed package)")
@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_no_co_await_inside_catch_blocks(path: Path) -> None:
    # Track brace depth of each open `catch` block and flag awaits inside one.
    text = path.read_text()
    bad = []
    depth = 0
    catch_depths: list[int] = []
    pending_catch = False
    for number, line in enumerate(text.splitlines(), start=1):
        code = line.split("//", 1)[0]
        if re.search(r"\bcatch\s*\(", code):
            pending_catch = True
        for char in code:
            if char == "{":
                depth += 1
                if pending_catch:
                    catch_depths.append(depth)
                    pending_catch = False
            elif char == "}":
                if catch_depths and catch_depths[-1] == depth:
                    catch_depths.pop()
                depth -= 1
        if catch_depths and re.search(r"\bco_(await|yield)\b", code):
            bad.append(f"{path.name}:{number}: {code.strip()}")
    assert bad == []
