"""What the pure-Python twins of the compiled modules share (the twins
themselves are generated from the declarations in api/).

- `Binding.bind`: the binding of the calls that a generated method does not
  bind itself (keywords, missing or extra arguments), with the compiled
  binder's rules and messages; `refuse_type`, `to_float`: its type tests and
  conversions.
- `Method`: what a class holds for each method: binds as a method, and shows
  what introspection reads from the compiled method objects (`__name__`,
  `__qualname__`, `__doc__`, `__defaults__`, `__annotations__`, `__code__`,
  the signature, the coroutine marker), with the same checks when they are
  replaced.
- `expect_str`, `expect_list`: the result checks. `expanded`,
  `expanded_each`: `Model(**json)` with the compiled modules' handling of
  values that are not dictionaries. `with_verify`: the `httpx` functions of a
  synchronous request given the parent's TLS context.

The twins read `httpx`, the models and everything else through their own
module's globals, so that a test or benchmark that replaces a module global
affects the twin exactly as it affects the compiled module.
"""

from __future__ import annotations

import asyncio
import functools
import sys
import types
import warnings
from typing import TYPE_CHECKING, Any, Callable, NoReturn

# What a generated method's parameters hold when the call did not give them.
UNSET: Any = type("Unset", (), {"__repr__": lambda self: "<unset>", "__slots__": ()})()

_FORMAT_ERROR_PREFIX = "unsupported format string passed to "
_FORMAT_ERROR_SUFFIX = ".__format__"
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def type_name(value: object) -> str:
    """The name of the value's type as the interpreter's own messages show it.

    That is the type's C-level name cut to 200 characters: "int", "MyStr",
    "decimal.Decimal", "array.array". For the interpreter's own static types
    it is their `__name__`; for any other, Python offers no attribute for it,
    but `object.__format__` puts exactly that into its error for any object.
    """
    cls = type(value)
    if not cls.__flags__ & _HEAP_TYPE and cls.__module__ == "builtins":
        return cls.__name__
    try:
        object.__format__(value, "?")
    except TypeError as error:
        text = str(error)
        if text.startswith(_FORMAT_ERROR_PREFIX) and text.endswith(_FORMAT_ERROR_SUFFIX):
            return text[len(_FORMAT_ERROR_PREFIX) : -len(_FORMAT_ERROR_SUFFIX)]
    return cls.__name__[:200]  # not reached on CPython


# The names `refuse_type` shows for the interpreter's static types (int,
# NoneType, decimal.Decimal, ...), kept as they are met: such a type's name
# never changes.
_STATIC_TYPE_NAMES: dict[type, str] = {}


def refuse_type(name: str, value: object, expected: str = "str") -> NoReturn:
    """Raises the binder's error for a `str` (or `float`) parameter given something else.

    Raised here, in a frame of this module, as every binding failure of a
    generated method is: a traceback tells it from a failure of the body."""
    cls = type(value)
    shown = _STATIC_TYPE_NAMES.get(cls)
    if shown is None:
        shown = type_name(value)
        if not cls.__flags__ & _HEAP_TYPE:
            _STATIC_TYPE_NAMES[cls] = shown
    raise TypeError(f"Argument '{name[:200]}' has incorrect type (expected {expected}, got {shown})")


def truth(value: object) -> bool:
    """A `bool` parameter's value: the argument's truth value (an error of its test propagates)."""
    return True if value else False


def to_float(name: str, value: Any) -> float:
    """A `float` parameter's value: an int exactly (its own `__float__` is not
    asked), a float subclass by its value, other numbers by the interpreter's
    float conversion; anything else is refused."""
    if isinstance(value, int):
        return int.__float__(value)
    if isinstance(value, float):
        return float.__float__(value)
    cls = type(value)
    if hasattr(cls, "__float__") or hasattr(cls, "__index__"):
        return float(value)
    refuse_type(name, value, "float")


def wrong_result(expected: str, value: object) -> TypeError:
    """The error of a method whose result is not of its declared type: "Expected str, got int"."""
    return TypeError(f"Expected {expected}, got {type_name(value)}")


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
    if type(value) is dict:
        return model(**value)
    if value is None:
        raise TypeError(f"argument after ** must be a mapping, not {type_name(value)}")
    if not isinstance(value, dict):
        value = dict(value)
    return model(**value)


def expanded_each(model: Callable[..., Any], values: Any) -> list[Any]:
    """`[model(**item) for item in values]`, each item as `expanded` takes it."""
    return [model(**item) if type(item) is dict else expanded(model, item) for item in values]


class with_verify:  # noqa: N801 - stands where the module `httpx` stands
    """The request functions of `httpx` (get, post, delete, stream), each given
    `verify=context`; looked up when used, as a replaced `httpx` may have only some."""

    def __init__(self, httpx: Any, context: Any) -> None:
        self._httpx = httpx
        self._context = context

    def __getattr__(self, name: str) -> Any:
        return functools.partial(getattr(self._httpx, name), verify=self._context)


# --- binding ------------------------------------------------------------------------


class Binding:
    """A method's parameters (`self` first) and defaults, and the compiled
    binder's errors for the calls that do not bind.

    A generated method takes its parameters positional-only, each `UNSET`
    unless given, then `*args` and `**kwargs`, so that no call fails before
    its own code runs; it takes the keywords it knows out of `kwargs` itself
    and comes here only for what is left: too many arguments, a keyword it
    does not know or that names a parameter given by position, a missing one.
    """

    __slots__ = ("name", "names", "defaults", "required", "_index", "method")

    def __init__(self, name: str, names: tuple[str, ...], defaults: tuple[Any, ...]) -> None:
        self.name = name[:200]
        self.names = names
        self.defaults = defaults
        self.required = len(names) - len(defaults)
        self._index = {name: index for index, name in enumerate(names)}
        self.method: Method | None = None  # the method object made with it

    def _count_error(self, how: str, count: int, given: int) -> TypeError:
        plural = "" if count == 1 else "s"
        return TypeError(f"{self.name}() takes {how} {count} positional argument{plural} ({given} given)")

    def refuse_extra(self, extra: int) -> NoReturn:
        """Raises the error of more positional arguments than parameters, by `extra`."""
        count = len(self.names)
        raise self._count_error("at most" if self.defaults else "exactly", count, count + extra)

    def refuse(self, values: tuple[Any, ...], left: dict[str, Any]) -> NoReturn:
        """Raises the error of a call whose parameters hold `values` (UNSET where
        nothing was given) with the keywords `left` that did not fit.

        Each keyword in `left` names no parameter or one given by position
        (the method took the others), and the first of them decides, as it
        would have in the compiled binder, which checks keywords in order.
        Without any, the first parameter left empty without a default does.
        """
        for keyword in left:
            if keyword in self._index:
                raise TypeError(f"{self.name}() got multiple values for keyword argument '{keyword}'")
            raise TypeError(f"{self.name}() got an unexpected keyword argument '{keyword}'")
        empty = next(index for index, value in enumerate(values) if value is UNSET)
        assert empty < self.required, "refuse() for a call that binds"
        raise self._count_error("at least" if self.defaults else "exactly", self.required, empty)


# --- methods ------------------------------------------------------------------------

_bound = types.MethodType  # a global: `Method.__get__` runs at every method call


def _coroutine_marker() -> Any:
    # What marks a coroutine function for asyncio.iscoroutinefunction; newer
    # interpreters no longer have the marker, and then True stands for it.
    coroutines = getattr(asyncio, "coroutines", None)
    return getattr(coroutines, "_is_coroutine", True)


def _renamed(body: Callable[..., Any], name: str, qualname: str) -> None:
    # A coroutine or generator shows its function's names (its code's from 3.11 on).
    code = body.__code__.replace(co_name=name)
    if sys.version_info >= (3, 11):
        code = code.replace(co_qualname=qualname)
    body.__code__ = code
    body.__name__ = name
    body.__qualname__ = qualname


# A method of a twin class: what the class holds under the method's name.
#
# Like the compiled modules' method objects, it is not a Python function
# itself (a function's `__defaults__` would be those of its positional-only
# parameters, and a plain function cannot be a coroutine function that binds
# before its coroutine exists) but offers what introspection reads from one,
# with the same checks when they are replaced. Reached through an instance it
# binds as a function does, so that `bound.__func__` is this object.
#
# On CPython it is a `functools.partial` of the generated function with
# nothing given in advance, for that type's C-level call alone: calling the
# method (bound or not) goes straight to the generated function, with no
# Python frame and no `__call__` lookup of its own. Nothing else of `partial`
# shows: `func` is what `inspect` reads the method's kind from (it unwraps
# partials), and copying or pickling it fails as it does for the compiled
# method objects. On 3.13, whose `inspect` takes no partial for a routine
# (`help()` would list the methods as data), a `staticmethod`'s C-level call
# stands in for the partial's. Where `partial` is written in Python (PyPy),
# which would gain nothing and would call through its own `func`, the method
# calls its function itself. Its own state lives in slots, so that `__dict__`
# holds what users put there (and `__module__` and `__qualname__`, which
# cannot be slots or properties of a class).
_C_PARTIAL = sys.implementation.name == "cpython"


def _not_shown(name: str) -> property:
    """An attribute of the base type that a compiled method object does not have."""

    def missing(self: object) -> NoReturn:
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    return property(missing)


if TYPE_CHECKING or (_C_PARTIAL and sys.version_info[:2] != (3, 13)):
    _Callable = functools.partial
elif _C_PARTIAL:

    class _Callable(staticmethod):
        def __new__(cls, function: Callable[..., Any]) -> Any:
            method = staticmethod.__new__(cls)
            staticmethod.__init__(method, function)  # what the call reaches
            return method

        def __init__(self, *args: Any, **kwargs: Any) -> None:
            pass  # done in __new__

        __func__ = _not_shown("__func__")
        __wrapped__ = _not_shown("__wrapped__")
        __isabstractmethod__ = _not_shown("__isabstractmethod__")

else:

    class _Callable:
        def __new__(cls, function: Callable[..., Any]) -> Any:
            return object.__new__(cls)

        def __call__(self, /, *args: Any, **kwargs: Any) -> Any:  # a keyword `self` is the method's
            return self._function(*args, **kwargs)


class Method(_Callable):  # type: ignore[type-arg]
    __slots__ = (
        "_function",
        "_kind_source",
        "_binding",
        "_code",
        "_shown_name",
        "_doc",
        "_shown_defaults",
        "_kwdefaults",
        "_annotations",
        "_is_coroutine",
    )

    def __new__(
        cls, function: Callable[..., Any], binding: Binding, body: Callable[..., Any] | None = None, *, doc: str
    ) -> Method:
        return super().__new__(cls, function)

    def __init__(
        self,
        function: Callable[..., Any],
        binding: Binding,
        body: Callable[..., Any] | None = None,
        *,
        doc: str,
    ) -> None:
        if body is not None:
            _renamed(body, function.__name__, function.__qualname__)
        function.__doc__ = doc
        code = (body or function).__code__
        self._function = function
        # The function whose code the method shows: `inspect` unwraps a partial
        # through `func` and reads the kind (coroutine, generator) from its code.
        self._kind_source = body or function
        self._binding = binding
        binding.method = self
        self._code = code
        self._shown_name = function.__name__
        self.__qualname__ = function.__qualname__
        self.__module__ = function.__module__
        self._doc: Any = doc
        self._shown_defaults: tuple[Any, ...] | None = binding.defaults or None
        self._kwdefaults: dict[str, Any] | None = None
        self._annotations: dict[str, Any] | None = dict(function.__annotations__)
        self._is_coroutine = _coroutine_marker() if code.co_flags & (0x80 | 0x200) else False

    if sys.version_info < (3, 14) or not _C_PARTIAL:
        # Up to 3.13 a partial does not bind: the method binds here, as a
        # function does. (3.13's partial has a `__get__` that only warns and
        # returns the partial unbound; from 3.14 on the partial's own,
        # C-level `__get__` does exactly what this one does.)
        def __get__(self, instance: object, owner: type | None = None) -> Any:
            if instance is None:
                return self
            return _bound(self, instance)

    @property
    def func(self) -> Callable[..., Any]:
        return self._kind_source

    @property
    def args(self) -> NoReturn:
        raise AttributeError(f"{type(self).__name__!r} object has no attribute 'args'")

    @property
    def keywords(self) -> NoReturn:
        raise AttributeError(f"{type(self).__name__!r} object has no attribute 'keywords'")

    def __reduce_ex__(self, protocol: Any) -> NoReturn:
        raise TypeError(f"cannot pickle {type(self).__name__!r} object")

    def __repr__(self) -> str:
        return f"<function {self.__qualname__} at {id(self):#x}>"

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
        return self._code

    @property
    def __globals__(self) -> dict[str, Any]:
        return self._function.__globals__

    @property
    def __closure__(self) -> None:
        return None

    @property
    def __signature__(self) -> Any:
        """As `inspect` reads it from a function: the parameters, the shown
        defaults of the last ones and the annotations."""
        import inspect

        names = self._binding.names
        defaults = self._shown_defaults or ()
        first_default = len(names) - len(defaults)
        annotations = self.__annotations__
        empty = inspect.Parameter.empty
        parameters = [
            inspect.Parameter(
                name,
                inspect.Parameter.POSITIONAL_OR_KEYWORD,
                default=defaults[index - first_default] if index >= first_default else empty,
                annotation=annotations.get(name, empty),
            )
            for index, name in enumerate(names)
        ]
        return inspect.Signature(parameters, return_annotation=annotations.get("return", empty))
