"""The .pyi stubs of the native modules against the installed modules themselves.

Each stub is run as a module of its own, so that both sides are real function
objects that `inspect.signature` reads. For every class the stub and the module
must list the same methods, and each method must agree in parameter names,
kinds, defaults, annotations, return annotation and kind (plain, coroutine,
async generator). The runtime annotations are strings; they are evaluated in
their module's namespace before comparing.
"""

from __future__ import annotations

import builtins
import collections.abc
import importlib
import importlib.machinery
import importlib.util
import inspect
import types
import typing
from pathlib import Path
from typing import Any, Callable

import pytest

import vexa.client
from vexa.client import _parent

MODULES = [
    "vexa.client._sync._code",
    "vexa.client._sync._jobs",
    "vexa.client._sync._web",
    "vexa.client._async._jobs",
    "vexa.client._async._web",
]
CO_COROUTINE = inspect.CO_COROUTINE
CO_GENERATOR = inspect.CO_GENERATOR
CO_ASYNC_GENERATOR = inspect.CO_ASYNC_GENERATOR

# Parameters the runtime leaves unannotated and the stub types (both are
# parent clients). An entry here is a gap in the module's class table.
UNANNOTATED_AT_RUNTIME = {("AsyncWebJobsClient", "__init__", "client"), ("WebJobsClient", "__init__", "client")}
# A stub types a sub-client's parent with the protocol of what the module reads
# from it; the runtime names the package's parent class, which must have all of it.
PARENT_PROTOCOLS = {
    _parent.ParentClient: lambda: vexa.client.Client("http://127.0.0.1:9"),
    _parent.AsyncParentClient: lambda: vexa.client.AsyncClient("http://127.0.0.1:9"),
}


def load_stub(module_name: str) -> types.ModuleType:
    module = importlib.import_module(module_name)
    package_name, _, short_name = module_name.rpartition(".")
    # Beside the compiled module, in its package (the pure twin's file lies elsewhere).
    stub_path = Path(importlib.import_module(package_name).__file__).with_name(short_name + ".pyi")
    assert stub_path.is_file(), f"no stub beside {module.__file__}"
    loader = importlib.machinery.SourceFileLoader(f"stub_of_{module_name}", str(stub_path))
    spec = importlib.util.spec_from_loader(loader.name, loader)
    assert spec is not None
    stub = importlib.util.module_from_spec(spec)
    loader.exec_module(stub)
    return stub


def classes_of(module: types.ModuleType) -> dict[str, type]:
    return {
        name: value
        for name, value in vars(module).items()
        if isinstance(value, type) and value.__module__ == module.__name__
    }


# From 3.14 on a class body with annotations gets the function that evaluates
# them lazily; it is no method.
CLASS_BODY_FUNCTIONS = {"__annotate__", "__annotate_func__"}


def methods_of(cls: type) -> dict[str, Any]:
    return {
        name: value
        for name, value in vars(cls).items()
        if hasattr(value, "__code__") and name not in CLASS_BODY_FUNCTIONS
    }


def runtime_namespace(module: types.ModuleType) -> dict[str, Any]:
    # The parent clients are imported by the modules only under TYPE_CHECKING.
    return {**vars(module), "Client": vexa.client.Client, "AsyncClient": vexa.client.AsyncClient}


def evaluate(annotation: Any, namespace: dict[str, Any]) -> Any:
    return eval(annotation, namespace) if isinstance(annotation, str) else annotation


def union_members(annotation: Any) -> list[Any] | None:
    if typing.get_origin(annotation) in (typing.Union, types.UnionType):
        return list(typing.get_args(annotation))
    return None


def same_type(runtime: Any, stub: Any) -> bool:
    """Whether two evaluated annotations name the same type.

    `List[X]` and `list[X]` are the same; a bare generic at runtime (`dict`)
    matches the stub's parametrized form (`dict[str, Any]`).
    """
    runtime, stub = (type(None) if t is None else t for t in (runtime, stub))
    runtime_union, stub_union = union_members(runtime), union_members(stub)
    if runtime_union is not None or stub_union is not None:
        runtime_union, stub_union = runtime_union or [runtime], stub_union or [stub]
        return len(runtime_union) == len(stub_union) and all(
            sum(same_type(r, s) for s in stub_union) == 1 for r in runtime_union
        )
    runtime_origin, stub_origin = typing.get_origin(runtime), typing.get_origin(stub)
    if runtime_origin is None:
        return runtime is stub or (stub_origin is not None and runtime is stub_origin)
    runtime_args, stub_args = typing.get_args(runtime), typing.get_args(stub)
    return (
        runtime_origin is stub_origin
        and len(runtime_args) == len(stub_args)
        and all(same_type(r, s) for r, s in zip(runtime_args, stub_args))
    )


def method_kind_at_runtime(function: Any) -> str:
    flags = function.__code__.co_flags
    if flags & CO_ASYNC_GENERATOR:
        return "async generator"
    if flags & CO_GENERATOR:
        return "generator"
    return "coroutine" if flags & CO_COROUTINE else "plain"


def method_kind_in_stub(function: Callable[..., Any]) -> str:
    if inspect.iscoroutinefunction(function):
        return "coroutine"
    returned = typing.get_origin(inspect.signature(function).return_annotation)
    if returned in (collections.abc.AsyncGenerator, collections.abc.AsyncIterator):
        return "async generator"
    if returned in (collections.abc.Generator, collections.abc.Iterator):
        return "generator"
    return "plain"


def stub_and_runtime_methods() -> list[Any]:
    cases = []
    for module_name in MODULES:
        module, stub = importlib.import_module(module_name), load_stub(module_name)
        for class_name, cls in classes_of(module).items():
            stub_methods = methods_of(getattr(stub, class_name))
            for name, function in methods_of(cls).items():
                cases.append(pytest.param(module, function, stub_methods.get(name), id=f"{class_name}.{name}"))
    return cases


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_lists_the_same_classes_and_methods(module_name: str) -> None:
    module, stub = importlib.import_module(module_name), load_stub(module_name)
    assert classes_of(stub).keys() == classes_of(module).keys()
    for class_name, cls in classes_of(module).items():
        assert list(methods_of(getattr(stub, class_name))) == list(methods_of(cls)), class_name


@pytest.mark.parametrize("module, runtime, stubbed", stub_and_runtime_methods())
def test_stub_signature_matches_the_runtime(module: types.ModuleType, runtime: Any, stubbed: Any) -> None:
    assert stubbed is not None, "method missing from the stub"
    class_name, name = runtime.__qualname__.split(".")
    namespace = runtime_namespace(module)
    runtime_signature, stub_signature = inspect.signature(runtime), inspect.signature(stubbed)
    assert method_kind_in_stub(stubbed) == method_kind_at_runtime(runtime)

    runtime_parameters = list(runtime_signature.parameters.values())
    stub_parameters = list(stub_signature.parameters.values())
    assert [p.name for p in stub_parameters] == [p.name for p in runtime_parameters]
    for runtime_parameter, stub_parameter in zip(runtime_parameters, stub_parameters):
        where = f"parameter {runtime_parameter.name!r}"
        assert stub_parameter.kind == runtime_parameter.kind, where
        assert type(stub_parameter.default) is type(runtime_parameter.default), where
        assert stub_parameter.default == runtime_parameter.default, where
        stub_type = evaluate(stub_parameter.annotation, vars(_parent))
        if stub_type in PARENT_PROTOCOLS:
            parent = PARENT_PROTOCOLS[stub_type]()
            assert isinstance(parent, stub_type), where
            if runtime_parameter.annotation is not inspect.Parameter.empty:
                assert type(parent) is evaluate(runtime_parameter.annotation, namespace), where
            continue
        if runtime_parameter.annotation is inspect.Parameter.empty:
            if (class_name, name, runtime_parameter.name) in UNANNOTATED_AT_RUNTIME:
                continue
            assert stub_parameter.annotation is inspect.Parameter.empty, where
            continue
        runtime_type = evaluate(runtime_parameter.annotation, namespace)
        assert same_type(runtime_type, evaluate(stub_parameter.annotation, {})), where

    stub_return = evaluate(stub_signature.return_annotation, {})
    if runtime_signature.return_annotation is inspect.Signature.empty:
        # __init__ states no result at runtime; a stub says None.
        assert name == "__init__" and stub_return is None
    else:
        runtime_return = evaluate(runtime_signature.return_annotation, namespace)
        assert same_type(runtime_return, stub_return), "return annotation"


@pytest.mark.parametrize(
    "module_name, class_name, parent",
    [
        ("vexa.client._async._web", "AsyncWebClient", "AsyncClient"),
        ("vexa.client._sync._web", "WebClient", "Client"),
    ],
)
def test_stub_attributes_are_what_an_instance_holds(module_name: str, class_name: str, parent: str) -> None:
    # A web client keeps the two sub-clients it builds on its parent.
    module, stub = importlib.import_module(module_name), load_stub(module_name)
    web = getattr(module, class_name)(getattr(vexa.client, parent)("http://127.0.0.1:9"))
    hints = typing.get_type_hints(getattr(stub, class_name))
    assert hints.keys() == {"stored", "jobs"}
    for attribute, stub_class in hints.items():
        assert type(getattr(web, attribute)) is getattr(module, stub_class.__name__), attribute


@pytest.mark.parametrize(
    "runtime, stub, same",
    [
        (typing.List[int], builtins.list[int], True),
        (dict, dict[str, Any], True),
        (typing.Optional[str], str | None, True),
        (int | str | None, str | None | int, True),
        (list[int], list[str], False),
        (str | None, str, False),
        (dict[str, Any], dict, False),
        (int | str, int | int | str, True),  # the interpreter folds repeated members
        (typing.AsyncGenerator[int, None], collections.abc.AsyncGenerator[int, None], True),
        (typing.AsyncGenerator[int, None], collections.abc.AsyncIterator[int], False),
        (typing.Generator[int, None, None], collections.abc.Generator[int, None, None], True),
    ],
)
def test_type_comparison(runtime: Any, stub: Any, same: bool) -> None:
    assert same_type(runtime, stub) is same
