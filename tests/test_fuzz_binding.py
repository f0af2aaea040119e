"""Argument binding of every native method against a small model of the binding rules.

Hypothesis builds calls with random mixes of positional and keyword
arguments, values of every type (subclasses, numbers of all kinds, objects
whose truth test fails) and unknown or repeated keywords. The model says
what must happen: a `TypeError` with its exact text, an error from a truth
test, or the bound values. The native method must do the same.

Bound values are seen where a body hands its parameters to the parent client
by keyword (e.g. `AsyncWebClient.ingest` passes `build_pexenv` and
`pexenv_python` on to `client.code.ingest`): the parent here records every call
it receives and stops the body there, before any request.
"""

from __future__ import annotations

import importlib
import math
import re
import traceback
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Any

import pytest
from fuzzing import scaled
from hypothesis import given
from hypothesis import strategies as st

from vexa.client import _modules
from vexa.client._async import _jobs, _web
from vexa.client._pure import _frame
from vexa.client._sync import _code
from vexa.client._sync import _jobs as _sync_jobs
from vexa.client._sync import _web as _sync_web
from vexa.types import CodeType, JobStage

# --- the model -------------------------------------------------------------------------


@dataclass(frozen=True)
class Parameter:
    name: str
    kind: str  # "any", "str", "str-or-none", "float", "bool"


@dataclass(frozen=True)
class Signature:
    name: str
    parameters: tuple[Parameter, ...]
    defaults: tuple[Any, ...]


# How the signature line shows a parameter's check: "str job_id: str", "bool x: bool", ...
CHECKED = re.compile(r"^(str|float|bool) (\w+): (.*)$")


def signature_of(method: Any) -> Signature:
    """The method's parameters and their kinds, from its code object and its documented signature line."""
    code = method.__code__
    names = code.co_varnames[: code.co_argcount]
    line = method.__doc__.splitlines()[0]
    pieces = [piece.split(" = ")[0] for piece in line[line.index("(") + 1 : line.rindex(")")].split(", ")]
    parameters = []
    for name, piece in zip(names, pieces):
        match = CHECKED.match(piece)
        kind = "any"
        if match:
            assert match.group(2) == name
            kind = match.group(1)
            if kind == "str" and match.group(3) == "str | None":
                kind = "str-or-none"
        parameters.append(Parameter(name, kind))
    return Signature(method.__name__, tuple(parameters), method.__defaults__ or ())


class TruthError(Exception):
    pass


HEAP_TYPE_FLAG = 1 << 9


def type_name(value: Any) -> str:
    """The interpreter's name of the value's type in messages: a class defined in
    Python by its name, a built-in or extension type with its module unless builtins."""
    cls = type(value)
    if cls.__flags__ & HEAP_TYPE_FLAG or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__qualname__}"


def model_bind(signature: Signature, args: tuple[Any, ...], kwargs: list[tuple[str, Any]]) -> tuple[Any, ...]:
    """("error", type, message) or ("bound", {name: value}) as the binding rules say."""
    name, parameters, defaults = signature.name, signature.parameters, signature.defaults
    count = len(parameters)
    required = count - len(defaults)

    def arity(how: str, expected: int, given: int) -> tuple[Any, ...]:
        plural = "" if expected == 1 else "s"
        return ("error", TypeError, f"{name}() takes {how} {expected} positional argument{plural} ({given} given)")

    if len(args) > count:
        return arity("at most" if defaults else "exactly", count, len(args))
    values: dict[str, Any] = {parameter.name: value for parameter, value in zip(parameters, args)}
    names = [parameter.name for parameter in parameters]
    for keyword, value in kwargs:
        if keyword in values:
            return ("error", TypeError, f"{name}() got multiple values for keyword argument '{keyword}'")
        if keyword not in names:
            return ("error", TypeError, f"{name}() got an unexpected keyword argument '{keyword}'")
        values[keyword] = value
    for position, parameter in enumerate(parameters):
        if parameter.name not in values:
            if position < required:
                return arity("at least" if defaults else "exactly", required, position)
            values[parameter.name] = defaults[position - required]
    for parameter in parameters:  # conversions first, for every parameter
        value = values[parameter.name]
        if parameter.kind == "float" and value is not None:
            if type(value) is float:
                pass
            elif isinstance(value, int):
                try:
                    values[parameter.name] = float(value)
                except OverflowError as error:
                    return ("error", OverflowError, str(error))
            elif hasattr(type(value), "__float__") or hasattr(type(value), "__index__"):
                try:
                    values[parameter.name] = float(value)
                except Exception as error:  # noqa: BLE001 - the conversion's own error
                    return ("error", type(error), str(error))
            else:
                return (
                    "error",
                    TypeError,
                    f"Argument '{parameter.name}' has incorrect type (expected float, got {type_name(value)})",
                )
        elif parameter.kind == "bool":
            try:
                values[parameter.name] = bool(value)
            except Exception as error:  # noqa: BLE001 - the truth test's own error
                return ("error", type(error), str(error))
    for parameter in parameters:  # then the type tests
        value = values[parameter.name]
        if parameter.kind == "str" or (parameter.kind == "str-or-none" and value is not None):
            if type(value) is not str:
                return (
                    "error",
                    TypeError,
                    f"Argument '{parameter.name}' has incorrect type (expected str, got {type_name(value)})",
                )
    return ("bound", values)


# --- what the native method does --------------------------------------------------------


class Stop(Exception):
    """Raised by the recording parent: the body got past the binding."""


class Recorder:
    """A parent client, or any object reached through it: every call is recorded and stops the body."""

    def __init__(self, calls: list[tuple[str, tuple[Any, ...], dict[str, Any]]], path: str = "") -> None:
        self._calls = calls
        self._path = path

    def __getattr__(self, name: str) -> Any:
        if name in ("base_url", "api_key_header"):
            raise Stop(name)
        return Recorder(self._calls, f"{self._path}.{name}")

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self._calls.append((self._path, args, kwargs))
        raise Stop(self._path)


def native_bind(
    method: Any, instance: Any, calls: list[Any], args: tuple[Any, ...], kwargs: list[tuple[str, Any]]
) -> tuple[Any, ...]:
    """Calls the method (unbound: `self` is among the arguments) and runs it up to the parent."""
    try:
        result = method(*args, **dict(kwargs))
    except Stop:
        return ("ran",)
    except Exception as error:  # noqa: BLE001 - compared with the model
        if failed_in_body(method, error):
            return ("ran",)  # e.g. list_info's truth test of code_type
        return ("error", type(error), str(error))
    if hasattr(result, "asend"):
        result = result.asend(None)
    if hasattr(result, "send"):
        try:
            result.send(None)
        except Exception:  # noqa: BLE001 - the body ran: Stop, or its own error before the parent
            return ("ran",)
        finally:
            result.close()
        raise AssertionError(f"{method.__qualname__} suspended before reaching the parent")
    return ("ran",)


def failed_in_body(method: Any, error: BaseException) -> bool:
    """Whether the error left a statement of the body: a binding failure is located
    at the method's definition line, a body failure at the line of its statement."""
    code = method.__code__
    entries = traceback.extract_tb(error.__traceback__)
    if not _modules.is_native(importlib.import_module(method.__module__)):
        # The pure twin's binding fails inside its frame module, its body anywhere
        # else. (Where the method object calls its function in Python, as on
        # PyPy, its `__call__` is an entry of the frame module on every call.)
        return all(entry.filename != _frame.__file__ or entry.name == "__call__" for entry in entries)
    lines = [entry.lineno for entry in entries if entry.filename == code.co_filename]
    assert lines, f"no traceback entry of {code.co_filename}"
    return lines[-1] != code.co_firstlineno


def same_value(seen: Any, bound: Any) -> bool:
    if type(seen) is float and type(bound) is float:
        return seen == bound or (math.isnan(seen) and math.isnan(bound))
    return seen is bound


# --- values and calls --------------------------------------------------------------------


class StrSubclass(str):
    pass


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class HasFloat:
    def __float__(self) -> float:
        return 7.25


class HasIndex:
    def __index__(self) -> int:
        return 9


class FailingFloat:
    def __float__(self) -> float:
        raise ZeroDivisionError("no float for you")


class FailingTruth:
    def __bool__(self) -> bool:
        raise TruthError("no truth value")


class Empty:
    def __len__(self) -> int:
        return 0


SPECIAL_VALUES = [
    None,
    "",
    "job-1",
    StrSubclass("job-1"),
    CodeType.WEB,
    JobStage.RUNNING,
    b"job-1",
    0,
    1,
    -5,
    2**1100,
    IntSubclass(3),
    True,
    False,
    0.0,
    1.5,
    -2.5,
    math.inf,
    math.nan,
    FloatSubclass(2.5),
    Fraction(1, 3),
    Decimal("2.5"),
    complex(1, 2),
    HasFloat(),
    HasIndex(),
    FailingFloat(),
    FailingTruth(),
    Empty(),
    object(),
    [],
    [1],
    {},
    (),
    (0,),
]
values = st.one_of(
    st.sampled_from(SPECIAL_VALUES),
    st.text(max_size=5),
    st.integers(),
    st.floats(allow_nan=True),
)

# Per kind of parameter: values it accepts (drawn most often, so that calls bind),
# then values at its edge; any value can still go anywhere.
ACCEPTED: dict[str, st.SearchStrategy[Any]] = {
    "str": st.text(max_size=5),
    "str-or-none": st.one_of(st.none(), st.text(max_size=5)),
    "float": st.sampled_from(
        [
            None,
            0,
            5,
            True,
            1.5,
            math.nan,
            math.inf,
            FloatSubclass(2.5),
            IntSubclass(4),
            Fraction(1, 3),
            Decimal("2.5"),
            HasFloat(),
            HasIndex(),
        ]
    ),
    "bool": st.sampled_from([True, False, None, 0, 1, "", "x", Empty(), [], [0], math.nan]),
}
EDGES: dict[str, list[Any]] = {
    "str": [StrSubclass("job-1"), CodeType.WEB, None, b"job-1", 1],
    "str-or-none": [StrSubclass("job-1"), CodeType.WEB, b"job-1", 1],
    "float": [-(2**1100), FailingFloat(), "5", complex(1, 2), b"1"],
    "bool": [FailingTruth()],
}


def values_for(name: str, kinds: dict[str, str]) -> st.SearchStrategy[Any]:
    kind = kinds.get(name, "any")
    if kind not in ACCEPTED:
        return values
    return st.integers(0, 5).flatmap(
        lambda pick: ACCEPTED[kind] if pick < 4 else st.sampled_from(EDGES[kind]) if pick == 4 else values
    )


CLASSES = [
    _code.CodeClient,
    _jobs.AsyncJobsClient,
    _web.AsyncWebClient,
    _web.AsyncWebJobsClient,
    _web.AsyncStoredWebClient,
    _sync_jobs.JobsClient,
    _sync_web.WebClient,
    _sync_web.WebJobsClient,
    _sync_web.StoredWebClient,
]
METHODS = [(cls, name) for cls in CLASSES for name, member in vars(cls).items() if hasattr(member, "__code__")]


@st.composite
def calls(draw: st.DrawFn, signature: Signature) -> tuple[tuple[Any, ...], list[tuple[str, Any]], bool]:
    """(positional values after self, keywords, whether self goes by keyword).

    Mostly calls whose shape fits (some positional, some of the rest by keyword,
    in any order), so that the values are what decides; now and then one
    positional too many, or a keyword that is repeated, unknown or `self`.
    """
    parameters = signature.parameters[1:]
    kinds = {parameter.name: parameter.kind for parameter in parameters}
    names = list(kinds)
    count = draw(st.integers(0, len(names)))
    count += draw(st.sampled_from([0, 0, 0, 0, 0, 0, 1, 2]))
    positional = [draw(values_for(names[index] if index < len(names) else "any", kinds)) for index in range(count)]
    keyword_names = draw(
        st.permutations(names[count:]).flatmap(lambda order: st.integers(0, len(order)).map(lambda size: order[:size]))
    )
    misfit = draw(st.sampled_from([None] * 6 + ["self", "bogus", *names[:count]]))
    if misfit is not None and misfit not in keyword_names:
        keyword_names.insert(draw(st.integers(0, len(keyword_names))), misfit)
    keywords = [(name, draw(values_for(name, kinds))) for name in keyword_names]
    self_by_keyword = draw(st.integers(0, 9)) == 0 and not positional
    return tuple(positional), keywords, self_by_keyword


@pytest.mark.parametrize("cls, name", METHODS, ids=[f"{cls.__name__}.{name}" for cls, name in METHODS])
@scaled(0.25)  # per method: 114 of them
@given(data=st.data())
def test_binding_follows_the_rules(cls: type, name: str, data: st.DataObject) -> None:
    method = vars(cls)[name]
    signature = signature_of(method)
    positional, keywords, self_by_keyword = data.draw(calls(signature))
    parent_calls: list[Any] = []
    instance = cls(Recorder(parent_calls))
    parent_calls.clear()
    if self_by_keyword:
        keywords = [("self", instance), *[(key, value) for key, value in keywords if key != "self"]]
        args: tuple[Any, ...] = positional
    else:
        args = (instance, *positional)

    expected = model_bind(signature, args, keywords)
    observed = native_bind(method, instance, parent_calls, args, keywords)
    if expected[0] == "error":
        assert observed == expected
        assert parent_calls == []
        return
    assert observed == ("ran",), expected
    bound = expected[1]
    for _, _, forwarded in parent_calls:
        for key, value in forwarded.items():
            if key in bound:
                assert same_value(value, bound[key]), (key, value, bound[key])


def test_the_model_sees_forwarded_values() -> None:
    """The bound-value check has something to check: converted values reach the parent by keyword."""
    parent_calls: list[Any] = []
    web = _web.AsyncWebClient(Recorder(parent_calls))
    parent_calls.clear()
    signature = signature_of(vars(_web.AsyncWebClient)["ingest"])
    args = (web, "zip", "name", None, Empty(), None)
    assert native_bind(vars(_web.AsyncWebClient)["ingest"], web, parent_calls, args, []) == ("ran",)
    assert model_bind(signature, args, [])[1]["build_pexenv"] is False
    assert [call[2]["build_pexenv"] for call in parent_calls] == [False]
