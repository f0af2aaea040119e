"""Attributes and methods that a native body reads are looked up at every use,
as in Python code, though the native modules keep (up to 3.10) where the
instances of a type last had them.

`AsyncJobsClient.get_url` reads `self._client` and calls
`parent.get_proxy_url(job_id)`. A random series of changes moves these two
between an instance's dict, its class, a base class, a property, a static
method and a `__getattr__` hook, replaces dicts and removes them; after each
change the native call must give what the same two lookups give in Python,
value or error.
"""

from __future__ import annotations

from typing import Any, Callable

from hypothesis import given, settings
from hypothesis import strategies as st

from vexa.client._async._jobs import AsyncJobsClient


class World:
    """A client of a subclass of the compiled class, on a parent whose class
    has a base; everything fresh, so that changes stay in one example."""

    def __init__(self) -> None:
        class Base:
            def get_proxy_url(self, job_id: str) -> str:
                return f"base:{job_id}"

        class Parent(Base):
            pass

        class OtherParent:
            def get_proxy_url(self, job_id: str) -> str:
                return f"other:{job_id}"

        class Client(AsyncJobsClient):
            pass

        self.Base, self.Parent, self.Client = Base, Parent, Client
        self.parent, self.other = Parent(), OtherParent()
        self.client = Client(self.parent)


def hook(self: object, name: str) -> Any:
    if name == "get_proxy_url":
        return lambda job_id: f"hook:{job_id}"
    raise AttributeError(name)


def remove(owner: Any, name: str) -> None:
    if name in vars(owner):
        delattr(owner, name)


CHANGES: dict[str, Callable[[World], None]] = {
    # Instances' dicts are written directly: a property on the class would refuse a set.
    "method on the instance": lambda w: vars(w.parent).update(get_proxy_url=lambda job_id: f"own:{job_id}"),
    "instance method removed": lambda w: vars(w.parent).pop("get_proxy_url", None),
    "method on the class": lambda w: setattr(w.Parent, "get_proxy_url", lambda self, job_id: f"class:{job_id}"),
    "class method removed": lambda w: remove(w.Parent, "get_proxy_url"),
    "base method replaced": lambda w: setattr(w.Base, "get_proxy_url", lambda self, job_id: f"base2:{job_id}"),
    "base method removed": lambda w: remove(w.Base, "get_proxy_url"),
    "static method": lambda w: setattr(w.Parent, "get_proxy_url", staticmethod(lambda job_id: f"static:{job_id}")),
    "property": lambda w: setattr(w.Parent, "get_proxy_url", property(lambda self: lambda job_id: f"prop:{job_id}")),
    "__getattr__ hook": lambda w: setattr(w.Parent, "__getattr__", hook),
    "hook removed": lambda w: remove(w.Parent, "__getattr__"),
    "parent dict replaced": lambda w: setattr(w.parent, "__dict__", {"get_proxy_url": lambda job_id: f"new:{job_id}"}),
    "parent dict emptied": lambda w: setattr(w.parent, "__dict__", {}),
    "other parent": lambda w: vars(w.client).update(_client=w.other),
    "first parent": lambda w: vars(w.client).update(_client=w.parent),
    "_client removed": lambda w: vars(w.client).pop("_client", None),
    "_client property": lambda w: setattr(w.Client, "_client", property(lambda self: w.other)),
    "_client property removed": lambda w: remove(w.Client, "_client"),
    "client dict replaced": lambda w: setattr(w.client, "__dict__", {"_client": w.parent}),
}


def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        return ("value", call())
    except Exception as error:
        return (type(error).__name__, str(error))


def native_get_url(client: Any, job_id: str) -> Any:
    coroutine = client.get_url(job_id)
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("get_url suspended")


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(sorted(CHANGES)), max_size=14))
def test_every_lookup_sees_the_objects_as_they_are_now(changes: list[str]) -> None:
    world = World()
    for change in ["(none)", *changes]:
        if change != "(none)":
            CHANGES[change](world)
        for job_id in ("j1", "j2"):  # the second call reads what the first one kept
            expected = outcome(lambda: world.client._client.get_proxy_url(job_id))
            assert outcome(lambda: native_get_url(world.client, job_id)) == expected, change
