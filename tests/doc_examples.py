"""The Python examples of the README and of the documentation pages, found
where they are written: every ```python block outside the generated reference
pages. The tests run each one against the local service and type-check it."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
# What the examples are written against: the quickstart's service and key.
EXAMPLE_URL = "http://127.0.0.1:8000"
EXAMPLE_API_KEY = "secret"

FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```", re.M | re.S)
HEADING = re.compile(r"^(#{1,6}) (.+)$", re.M)


@dataclass(frozen=True)
class Example:
    page: str  # relative to the project root, e.g. "docs/sync.md"
    heading: str  # the heading the block is under
    line: int  # the block's first line of code
    code: str

    @property
    def id(self) -> str:
        return f"{self.page}:{self.line}"


def pages() -> list[Path]:
    """The README and every hand-written page (the reference pages are generated)."""
    return [ROOT / "README.md", *sorted(p for p in DOCS.rglob("*.md") if "reference" not in p.relative_to(DOCS).parts)]


def examples() -> list[Example]:
    found = []
    for path in pages():
        text = path.read_text(encoding="utf-8")
        # Headings inside code blocks (shell comments) are not headings.
        blocks = list(FENCE.finditer(text))
        headings = [h for h in HEADING.finditer(text) if not any(b.start() < h.start() < b.end() for b in blocks)]
        for block in blocks:
            if block.group(1) != "python":
                continue
            above = [h.group(2).strip() for h in headings if h.start() < block.start()]
            line = text.count("\n", 0, block.start(2)) + 1
            found.append(Example(str(path.relative_to(ROOT)), above[-1] if above else "", line, block.group(2)))
    return found
