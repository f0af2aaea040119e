"""What the pure-Python client modules share with each other and with the compiled ones.

- `method`: turns a `def` or `async def` into a method that binds its
  arguments as the compiled methods do (same rules, same exception types,
  same messages), before any coroutine exists, and shows the same name,
  qualified name, signature, defaults, annotations and docstring.
- `expect_str`, `expect_list`: the result checks.
- `expanded`, `expanded_each`: `Model(**json)` with the compiled modules'
  handling of values that are not dictionaries.
- `http_function`, `http_client`: the HTTP function or client of one request,
  with the parent's optional shared HTTP client (`_http_client`) and TLS
  context (`_ssl_context`). Neither follows a redirect, whatever the shared
  client's own setting: the key and the body go to the base URL only.

The request recipe itself is written out in each method body: one coroutine
per call, as in the compiled modules, so that closing or throwing into it
behaves the same (a helper coroutine awaited by the body would end where the
compiled body stays suspended).

The modules pass their own `httpx` global to the request helpers, so that a
test or benchmark that replaces a module's `httpx` affects the twin exactly as
it affects the compiled module.
"""

from __future__ import annotations

import asyncio
import contextlib
import enum
import functools
import inspect
import sys
import types
import warnings
from typing import Any, AsyncContextManager, Callable, TypeVar

F = TypeVar("F", bound=Callable[..., Any])


class Check(enum.Enum):
    """What the binding does with a parameter's argument."""

    ANY = ""
    STR = "str "  # exactly a str
    OPTIONAL_STR = "str | None"  # exactly a str, or None (shown as "str " too)
    FLOAT = "float "  # None, or converted to a float
    BOOL = "bool "  # reduced to True or False


STR, OPTIONAL_STR, FLOAT, BOOL = Check.STR, Check.OPTIONAL_STR, Check.FLOAT, Check.BOOL
_PREFIX = {Check.ANY: "", Check.STR: "str ", Check.OPTIONAL_STR: "str ", Check.FLOAT: "float ", Check.BOOL: "bool "}
_EMPTY: Any = object()
_FORMAT_ERROR_PREFIX = "unsupported format string passed to "
_FORMAT_ERROR_SUFFIX = ".__format__"


def type_name(value: object) -> str:
    """The name of the value's type as the interpreter's own messages show it.

    That is the type's C-level name cut to 200 characters: "int", "MyStr",
    "decimal.Decimal", "array.array". Python offers no attribute for it, but
    `object.__format__` puts exactly that into its error for any object.
    """
    try:
        object.__format__(value, "?")
    except TypeError as error:
        text = str(error)
        if text.startswith(_FORMAT_ERROR_PREFIX) and text.endswith(_FORMAT_ERROR_SUFFIX):
            return text[len(_FORMAT_ERROR_PREFIX) : -len(_FORMAT_ERROR_SUFFIX)]
    return type(value).__name__[:200]  # not reached on CPython


def expect_str(value: Any) -> Any:
    """`value` if it is exactly a str or None; else `TypeError` "Expected str, got {type}"."""
    if value is not None and type(value) is not str:
        raise TypeError(f"Expected str, got {type_name(value)}")
    return value


def expect_list(value: Any) -> Any:
    """`value` if it is exactly a list or None; else `TypeError` "Expected list, got {type}"."""
    if value is not None and type(value) is not list:
        raise TypeError(f"Expected list, got {type_name(value)}")
    return value


def expanded(model: Callable[..., Any], value: Any) -> Any:
    """`model(**value)`: a dict as it is, None refused as `**` refuses it, anything else through `dict()`."""
    if value is None:
        raise TypeError(f"argument after ** must be a mapping, not {type_name(value)}")
    if not isinstance(value, dict):
        value = dict(value)
    return model(**value)


def expanded_each(model: Callable[..., Any], values: Any) -> list[Any]:
    """`[model(**item) for item in values]`, each item as `expanded` takes it."""
    return [expanded(model, item) for item in values]


# --- requests -----------------------------------------------------------------------


def _verify(parent: Any) -> dict[str, Any]:
    # The parent's TLS context, when it has one, for an HTTP client of our own.
    context = getattr(parent, "_ssl_context", None)
    return {} if context is None else {"verify": context}


def http_function(parent: Any, httpx: Any, name: str) -> Callable[..., Any]:
    """`httpx.<name>` (get, post, delete, stream), or that method of the parent's shared `httpx.Client`."""
    shared = getattr(parent, "_http_client", None)
    if shared is not None:
        return functools.partial(getattr(shared, name), follow_redirects=False)
    return functools.partial(getattr(httpx, name), follow_redirects=False, **_verify(parent))


class _Unredirected:
    """A shared `httpx.AsyncClient` whose request methods never follow a redirect."""

    __slots__ = ("_client",)

    def __init__(self, client: Any) -> None:
        self._client = client

    def __getattr__(self, name: str) -> Any:
        return functools.partial(getattr(self._client, name), follow_redirects=False)


def http_client(parent: Any, httpx: Any) -> AsyncContextManager[Any]:
    """The client of one asynchronous request, for `async with`: the parent's
    shared `httpx.AsyncClient`, left open, or a new one (which follows no
    redirect) that the block closes."""
    shared = getattr(parent, "_http_client", None)
    if shared is not None:
        return contextlib.nullcontext(_Unredirected(shared))
    return httpx.AsyncClient(**_verify(parent))  # type: ignore[no-any-return]


# --- methods ------------------------------------------------------------------------


def _default_text(value: Any) -> str:
    # As the compiled modules' signature lines show defaults: "None", "False", "60", "JobStage.POST_RUNNING".
    if isinstance(value, enum.Enum):
        return f"{type(value).__name__}.{value.name}"
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return repr(value)


def _coroutine_marker() -> Any:
    # What marks a coroutine function for asyncio.iscoroutinefunction; newer
    # interpreters no longer have the marker, and then True stands for it.
    coroutines = getattr(asyncio, "coroutines", None)
    return getattr(coroutines, "_is_coroutine", True)


# A method of a pure-Python client class, made by `method`.
#
# Like the compiled modules' method objects, it is not a Python function but
# offers what introspection reads from one (`__name__`, `__qualname__`,
# `__module__`, `__doc__`, `__defaults__`, `__kwdefaults__`, `__annotations__`,
# `__code__`, `__globals__`, `__closure__`), with the same checks when they are
# replaced, and binds as a method. A call binds the arguments (and raises
# binding errors) first, then calls the body with them by position: a
# coroutine or asynchronous generator body then returns its coroutine or
# generator unstarted. Its own state lives in slots, so that `__dict__` holds
# what users put there (and `__module__` and `__qualname__`, which cannot be
# slots or properties of a class).
class Method:
    __slots__ = (
        "_body",
        "_name",
        "_names",
        "_index",
        "_defaults",
        "_required",
        "_converted",
        "_typed",
        "_shown_name",
        "_doc",
        "_shown_defaults",
        "_kwdefaults",
        "_annotations",
        "_is_coroutine",
        "__dict__",
        "__weakref__",
    )

    def __init__(self, body: Callable[..., Any], checks: dict[str, Check]) -> None:
        code = body.__code__
        names = code.co_varnames[: code.co_argcount]
        unknown = set(checks) - set(names)
        if unknown:
            raise TypeError(f"{body.__qualname__}: no parameters {sorted(unknown)}")
        defaults = body.__defaults__ or ()
        self._body = body
        self._name = body.__name__[:200]
        self._names = names
        self._index = {name: index for index, name in enumerate(names)}
        self._defaults = defaults
        self._required = len(names) - len(defaults)
        kinds = [checks.get(name, Check.ANY) for name in names]
        self._converted = [(index, kind) for index, kind in enumerate(kinds) if kind in (Check.FLOAT, Check.BOOL)]
        self._typed = [(index, kind) for index, kind in enumerate(kinds) if kind in (Check.STR, Check.OPTIONAL_STR)]

        self._shown_name = body.__name__
        self.__qualname__ = body.__qualname__
        self.__module__ = body.__module__
        self._shown_defaults = body.__defaults__
        self._kwdefaults: dict[str, Any] | None = None
        self._annotations: dict[str, Any] | None = body.__annotations__
        coroutine = bool(code.co_flags & (inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR))
        self._is_coroutine = _coroutine_marker() if coroutine else False
        self._doc: Any = self._docstring(kinds, body.__doc__)

    @property
    def __name__(self) -> str:
        return self._shown_name

    @__name__.setter
    def __name__(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError("__name__ must be set to a string object")
        self._shown_name = value

    def __setattr__(self, name: str, value: Any) -> None:
        # `__qualname__` cannot be a property of a class; it lives in `__dict__`.
        if name == "__qualname__" and not isinstance(value, str):
            raise TypeError("__qualname__ must be set to a string object")
        object.__setattr__(self, name, value)

    @property
    def __doc__(self) -> Any:
        return self._doc

    @__doc__.setter
    def __doc__(self, value: Any) -> None:
        self._doc = value

    @property
    def __defaults__(self) -> tuple[Any, ...] | None:
        return self._shown_defaults

    @__defaults__.setter
    def __defaults__(self, value: tuple[Any, ...] | None) -> None:
        if value is not None and not isinstance(value, tuple):
            raise TypeError("__defaults__ must be set to a tuple object")
        warnings.warn(
            "changes to __defaults__ do not affect the values used in calls of this method", RuntimeWarning, 2
        )
        self._shown_defaults = value

    @property
    def __kwdefaults__(self) -> dict[str, Any] | None:
        return self._kwdefaults

    @__kwdefaults__.setter
    def __kwdefaults__(self, value: dict[str, Any] | None) -> None:
        if value is not None and not isinstance(value, dict):
            raise TypeError("__kwdefaults__ must be set to a dict object")
        self._kwdefaults = value

    @property
    def __annotations__(self) -> dict[str, Any]:
        if self._annotations is None:
            self._annotations = {}
        return self._annotations

    @__annotations__.setter
    def __annotations__(self, value: dict[str, Any] | None) -> None:
        if value is not None and not isinstance(value, dict):
            raise TypeError("__annotations__ must be set to a dict object")
        self._annotations = value

    @property
    def __code__(self) -> types.CodeType:
        return self._body.__code__

    @property
    def __globals__(self) -> dict[str, Any]:
        return self._body.__globals__

    @property
    def __closure__(self) -> None:
        return None

    def _docstring(self, kinds: list[Check], text: str | None) -> str:
        """The signature line, then the body's docstring (summary and sections) after an empty line."""
        class_name = self.__qualname__.rsplit(".", 2)[-2]
        parameters = []
        first_default = len(self._names) - len(self._defaults)
        for index, (name, kind) in enumerate(zip(self._names, kinds)):
            piece = _PREFIX[kind] + name
            if name in self.__annotations__:
                piece += f": {self.__annotations__[name]}"
            if index >= first_default:
                piece += f" = {_default_text(self._defaults[index - first_default])}"
            parameters.append(piece)
        line = f"{class_name}.{self.__name__}({', '.join(parameters)})"
        if "return" in self.__annotations__:
            line += f" -> {self.__annotations__['return']}"
        return f"{line}\n\n{inspect.cleandoc(text)}" if text else line

    def __get__(self, instance: object, owner: type | None = None) -> Any:
        if instance is None:
            return self
        return types.MethodType(self, instance)

    def __repr__(self) -> str:
        return f"<function {self.__qualname__} at {id(self):#x}>"

    def __call__(self, /, *args: Any, **kwargs: Any) -> Any:
        return self._body(*self._bind(args, kwargs))

    def _count_error(self, how: str, count: int, given: int) -> TypeError:
        plural = "" if count == 1 else "s"
        return TypeError(f"{self._name}() takes {how} {count} positional argument{plural} ({given} given)")

    def _bind(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> list[Any]:
        name, count = self._name, len(self._names)
        if len(args) > count:
            raise self._count_error("at most" if self._defaults else "exactly", count, len(args))
        values = [*args, *[_EMPTY] * (count - len(args))]
        for keyword, value in kwargs.items():
            index = self._index.get(keyword)
            if index is None:
                raise TypeError(f"{name}() got an unexpected keyword argument '{keyword}'")
            if values[index] is not _EMPTY:
                raise TypeError(f"{name}() got multiple values for keyword argument '{keyword}'")
            values[index] = value
        for index in range(len(args), count):
            if values[index] is _EMPTY:
                if index < self._required:
                    raise self._count_error("at least" if self._defaults else "exactly", self._required, index)
                values[index] = self._defaults[index - self._required]
        # Conversions first, then type tests, each in parameter order.
        for index, conversion in self._converted:
            value = values[index]
            if conversion is Check.BOOL:
                values[index] = bool(value)
            elif value is not None and type(value) is not float:
                values[index] = _to_float(self._names[index], value)
        for index, kind in self._typed:
            value = values[index]
            if type(value) is not str and not (kind is Check.OPTIONAL_STR and value is None):
                raise TypeError(
                    f"Argument '{self._names[index][:200]}' has incorrect type (expected str, got {type_name(value)})"
                )
        return values


def _to_float(name: str, value: Any) -> float:
    # An int exactly (its own __float__ is not asked), a float subclass by its
    # value, other numbers by the interpreter's float conversion.
    if isinstance(value, int):
        return int.__float__(value)
    if isinstance(value, float):
        return float.__float__(value)
    cls = type(value)
    if hasattr(cls, "__float__") or hasattr(cls, "__index__"):
        return float(value)
    raise TypeError(f"Argument '{name[:200]}' has incorrect type (expected float, got {type_name(value)})")


def method(**checks: Check) -> Callable[[F], F]:
    """Decorator: a method of a pure-Python client class (see `Method`).

    `checks` names the parameters that the binding checks or converts:
    `job_id=STR`, `timeout=FLOAT`, `build_pexenv=BOOL`, `pexenv_python=OPTIONAL_STR`.
    The body's docstring holds the summary and the sections; the signature
    line is put before it.
    """

    def decorate(body: F) -> F:
        return Method(body, checks)  # type: ignore[return-value]

    return decorate


def renamed(body: F, name: str, qualname: str) -> F:
    """`body` under another name, for methods made by a function (the listing
    shortcuts): its coroutines and tracebacks then show the method's names."""
    code = body.__code__.replace(co_name=name)
    if sys.version_info >= (3, 11):
        code = code.replace(co_qualname=qualname)
    body.__code__ = code
    body.__name__ = name
    body.__qualname__ = qualname
    return body
