"""The words of the method declarations (`api/code.py`, `api/jobs.py`, `api/web.py`).

A declaration file reads as the Python source of a client module: its imports,
in the order the module binds them, then its classes with their methods, each
with its signature, docstring and Python body. The decorators below add what
Python cannot say: the definition lines the compiled module reports, the local
names its code objects list, and the C++ body each method runs.

The generator (`bash scripts/generate.sh`) reads these files as source text,
never by importing them; the decorators do nothing at run time and exist so
that the files are ordinary, checkable Python.
"""

from __future__ import annotations

from typing import Any, Callable, NamedTuple, Sequence, TypeVar

T = TypeVar("T")


def _unchanged(target: T) -> T:
    return target


def module(name: str, *, parent: str, sync: str | None = None) -> None:
    """The module these declarations describe (`vexa.client._async._jobs`), the
    protocol of `vexa.client._parent` that says what it reads from its parent
    client (`AsyncParentClient`), and the synchronous module derived from it
    (`vexa.client._sync._jobs`), if any."""


def client(*, line: int) -> Callable[[T], T]:
    """A client class, defined at `line` of its module."""
    return _unchanged


def method(
    *,
    line: int,
    locals: Sequence[str] = (),
    body: str | None = None,
    context: str | None = None,
) -> Callable[[T], T]:
    """A method defined at `line`.

    `locals`: the local names of its code object after the parameters, as the
    asynchronous method has them (the synchronous one drops `client`).
    `body`: the C++ function that runs it, if not the one named as the method.
    `context`: the C++ data that a body shared by several methods reads (the
    request it sends, the call it delegates), as an expression.
    """
    return _unchanged


class Listing(NamedTuple):
    """One listing shortcut: `self.list(..., <filter>=<member>)` with one status or stage."""

    name: str
    line: int
    member: Any  # JobStatus.<MEMBER> or JobStage.<MEMBER>
    summary: str
    returns: str  # the "Returns:" entry


# In the body of a `listings` method: the row's member (`FILTER=MEMBER` becomes `job_status=JobStatus.QUEUED`).
MEMBER: Any = None


def listings(rows: Sequence[Listing], *, body: str, locals: Sequence[str] = ()) -> Callable[[T], T]:
    """The method below stands for one method per row: `FILTER=MEMBER` in its
    body becomes the row's `job_status=`/`job_stage=` member, and `{summary}`
    and `{returns}` in its docstring the row's texts."""
    return _unchanged


def http_client(parent: Any) -> Any:
    """In a body, `async with http_client(parent) as client:` (synchronously, `with`)
    stands for the HTTP client of one request: the parent's shared one, used as
    it is and never closed, or else a new one (`httpx.AsyncClient`, given the
    parent's TLS context), closed when the block ends. A synchronous client's
    new one is `httpx` itself: `httpx.get(...)` opens and closes a client of
    its own. The generator writes the block out for both cases, as the C++
    bodies do (`RequestClient`, `RequestFunction`), instead of calling a helper.
    Every request passes `follow_redirects=False` itself: neither kind of
    client follows a redirect, whatever a shared client's own setting."""
    raise NotImplementedError("a marker read by the generator, not a function")
