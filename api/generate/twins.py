"""The pure-Python twin of a module: its classes with the same methods, each a
generated function that binds its arguments as the compiled method does (the
checks written out, no table read per call) and runs the declared Python body.

A coroutine's or generator's body stays a function of its own (`async def`,
or `def` with `yield`), which the generated function calls once the arguments
are bound: the call returns the coroutine or generator unstarted, as the
compiled method does. A plain method's body is written into the generated
function itself. Where the compiled method checks its result (a declared `str`
or list), every `return X` of the body is followed by that check, and
`http_client` blocks are written out (see `_http_client`): what a plain Python
client would write by hand, so that the twins cost about what it costs.
"""

from __future__ import annotations

import ast
import re
import textwrap

from .model import Class, Method, Module, Param


def _parse(body: str) -> ast.Module:
    # Bodies may await and yield: parsed as the body of an asynchronous function,
    # so that a node's line number is one more than its line in the body.
    return ast.parse("async def _():\n" + textwrap.indent(body or "pass", "    "))


def _checked_returns(body: str, check: str) -> str:
    """Every `return X` of the body followed by the result check the compiled
    method makes (`str`, or a list: that type exactly, or None), written out."""
    if check == "None" or not body:
        return body
    lines = body.split("\n")
    returns = [node for node in ast.walk(_parse(body)) if isinstance(node, ast.Return) and node.value is not None]
    expected = check.lower()
    for node in sorted(returns, key=lambda node: node.lineno, reverse=True):
        first, last = node.lineno - 2, node.end_lineno - 2  # type: ignore[operator]
        column = node.col_offset - 4  # the parse indents the body by four
        indent = lines[first][:column]
        assert lines[first][column:].startswith("return ") and not indent.strip(), (
            "a checked return stands on its own line"
        )
        value = "\n".join(lines[first : last + 1])[column + len("return ") :]
        lines[first : last + 1] = [
            f"{indent}result = {value}",
            f"{indent}if result is not None and type(result) is not {expected}:",
            f"{indent}    raise _frame.wrong_result({expected!r}, result)",
            f"{indent}return result",
        ]
    return "\n".join(lines)


def _own_awaits(body: str, cls: Class) -> str:
    """The body with each `await self.name(...)` of one of the class's own
    coroutine methods running that method's body directly when the call would
    reach it: `self` of exactly this class, the method neither replaced on the
    class nor put on the instance, no attribute lookup of the class's own, and
    the arguments the method tests of the types it takes. Otherwise the call is
    made as written. The compiled modules do the same (their bodies bind the
    arguments and run the awaited body in the caller's step); here it saves
    the descriptor, the bound method and the binding function, which a call
    that is not made cannot observe: the body's coroutine is the one the call
    would have returned."""
    coroutines = {method.name: method for method in cls.methods if method.kind == "Coroutine"}
    tree = _parse(body)
    calls = [
        node.value
        for node in ast.walk(tree)
        if isinstance(node, ast.Await)
        and isinstance(node.value, ast.Call)
        and isinstance(node.value.func, ast.Attribute)
        and isinstance(node.value.func.value, ast.Name)
        and node.value.func.value.id == "self"
        and node.value.func.attr in coroutines
    ]
    lines = body.split("\n")
    for call in sorted(calls, key=lambda node: (node.lineno, node.col_offset), reverse=True):
        method = coroutines[call.func.attr]  # type: ignore[attr-defined]
        direct = _direct_call(cls, method, call)
        if direct is None:
            continue
        first, last = call.lineno - 2, call.end_lineno - 2  # type: ignore[operator]
        start, end = call.col_offset - 4, call.end_col_offset - 4  # type: ignore[operator]
        text = "\n".join(lines[first : last + 1])
        end += len(text) - len(lines[last])  # the end column counts in the last line
        made = f"({direct} else {text[start:end]})"
        lines[first : last + 1] = (text[:start] + made + text[end:]).split("\n")
    return "\n".join(lines)


def _direct_call(cls: Class, method: Method, call: ast.Call) -> str | None:
    """`BODY(self, ...) if GUARD` for a call of `method` on `self`, or None
    where the arguments do not simply bind (the call then fails or binds as
    written)."""
    params = method.params[1:]
    if len(call.args) > len(params) or any(isinstance(arg, ast.Starred) for arg in call.args):
        return None
    given: dict[str, ast.expr] = {param.name: arg for param, arg in zip(params, call.args)}
    for keyword in call.keywords:
        if keyword.arg is None or keyword.arg in given or keyword.arg not in {p.name for p in params}:
            return None
        given[keyword.arg] = keyword.value
    binding = f"_{cls.name}_{method.name}"
    # The instance's `__dict__` is read only once no `__getattribute__` of the
    # class's own would see it. (A mappingproxy's `get` costs more than `in` and `[]`.)
    tests = [
        f"type(self) is {cls.name}",
        f'"__getattribute__" not in _{cls.name}_vars',
        f"{method.name!r} in _{cls.name}_vars",
        f"_{cls.name}_vars[{method.name!r}] is {binding}.method",
        f"{method.name!r} not in self.__dict__",
    ]
    values = []
    optional = 0
    for param in params:
        if param.name not in given:
            if param.default is None:
                return None
            values.append(_default(param, binding, optional))
        else:
            value = given[param.name]
            if param.check != "Any":
                # The argument's test, made again as the guard: a local name only, read without effects.
                if not isinstance(value, ast.Name):
                    return None
                tests.append(
                    {
                        "Str": f"type({value.id}) is str",
                        "OptionalStr": f"({value.id} is None or type({value.id}) is str)",
                        "Float": f"({value.id} is None or type({value.id}) is float)",
                        "Bool": f"type({value.id}) is bool",
                    }[param.check]
                )
            values.append(ast.unparse(value))
        if param.default is not None:
            optional += 1
    arguments = ", ".join(["self", *values])
    return f"{binding}_body({arguments}) if {' and '.join(tests)}"


def _http_client(body: str, asynchronous: bool) -> str:
    """The body with each `[async] with http_client(parent) as client:` block written out.

    Asynchronously, the block runs on the parent's shared client if it has one,
    else inside `async with httpx.AsyncClient(...) as client:` (given the parent's
    TLS context when it has one). Synchronously, `client` is the shared client, or
    else `httpx` itself (its functions open and close a client per request), or
    those functions given the TLS context.
    """
    while True:
        tree = _parse(body)
        found = next((node for node in ast.walk(tree) if _is_http_client(node)), None)
        if found is None:
            return body
        lines = body.split("\n")
        first, last = found.lineno - 2, found.end_lineno - 2  # type: ignore[operator]
        header = lines[first]
        indent = header[: len(header) - len(header.lstrip())]
        item = found.items[0]  # type: ignore[attr-defined]
        parent = ast.unparse(item.context_expr.args[0])
        name = ast.unparse(item.optional_vars)
        block = lines[first + 1 : last + 1]
        step = " " * 4
        if asynchronous:
            replacement = [
                f'{indent}{name} = getattr({parent}, "_http_client", None)',
                f"{indent}if {name} is not None:",
                *block,
                f"{indent}else:",
                f'{indent}{step}ssl_context = getattr({parent}, "_ssl_context", None)',
                f"{indent}{step}async with (",
                f"{indent}{step}{step}httpx.AsyncClient() if ssl_context is None else httpx.AsyncClient(verify=ssl_context)",
                f"{indent}{step}) as {name}:",
                *(step + line if line.strip() else line for line in block),
            ]
        else:
            replacement = [
                f'{indent}{name} = getattr({parent}, "_http_client", None)',
                f"{indent}if {name} is None:",
                f'{indent}{step}ssl_context = getattr({parent}, "_ssl_context", None)',
                f"{indent}{step}{name} = httpx if ssl_context is None else _frame.with_verify(httpx, ssl_context)",
                *(line[4:] if line.startswith(indent + step) else line for line in block),
            ]
        body = "\n".join(lines[:first] + replacement + lines[last + 1 :])


def _is_http_client(node: ast.AST) -> bool:
    if not isinstance(node, (ast.With, ast.AsyncWith)) or len(node.items) != 1:
        return False
    expression = node.items[0].context_expr
    return (
        isinstance(expression, ast.Call)
        and isinstance(expression.func, ast.Name)
        and expression.func.id == "http_client"
        and node.items[0].optional_vars is not None
    )


def _string(text: str) -> str:
    """A string literal, one source line per line of the text."""
    pieces = text.split("\n")
    if len(pieces) == 1:
        return repr(text)
    quoted = [repr(piece + "\n") for piece in pieces[:-1]] + [repr(pieces[-1])]
    return "(\n" + "\n".join(quoted) + "\n)"


def _tuple(items: list[str]) -> str:
    return f"({items[0]},)" if len(items) == 1 else f"({', '.join(items)})"


def _default(param: Param, binding: str, index: int) -> str:
    assert param.default is not None
    if param.default.owner_and_member:  # an enumeration member: as the class was made, not looked up again
        return f"{binding}.defaults[{index}]"
    return param.default.source


def _prologue(method: Method, binding: str) -> list[str]:
    """Binding: positional arguments are in place already (the parameters are
    positional-only); keywords are taken out of `kwargs` one by one; whatever
    is left over, missing or too many goes to `_frame.Binding`, which fails as
    the compiled binder does. Then the defaults, the conversions and the type
    tests, each in parameter order. Every binding failure is raised inside
    `_frame`, so that a traceback tells it from a failure of the body."""
    names = [p.name for p in method.params]
    given = _tuple(names)
    required = [p.name for p in method.params if p.default is None]
    lines = ["if args:", f"    {binding}.refuse_extra(len(args))", "if kwargs:"]
    for name in names:
        lines += [f"    if {name} is _UNSET:", f"        {name} = kwargs.pop({name!r}, _UNSET)"]
    missing = " or ".join(f"{name} is _UNSET" for name in required)
    lines += [
        f"    if kwargs or {missing}:",
        f"        {binding}.refuse({given}, kwargs)",
        f"elif {required[-1]} is _UNSET:",
        f"    {binding}.refuse({given}, kwargs)",
    ]
    optional = [p for p in method.params if p.default is not None]
    for index, param in enumerate(optional):
        lines += [f"if {param.name} is _UNSET:", f"    {param.name} = {_default(param, binding, index)}"]
    for param in method.params:
        if param.check == "Float":
            lines += [
                f"if {param.name} is not None and type({param.name}) is not float:",
                f"    {param.name} = _frame.to_float({param.name!r}, {param.name})",
            ]
        elif param.check == "Bool":
            lines += [f"{param.name} = _frame.truth({param.name})"]
    for param in method.params:
        if param.check == "Str":
            lines += [
                f"if type({param.name}) is not str:",
                f"    _frame.refuse_type({param.name!r}, {param.name})",
            ]
        elif param.check == "OptionalStr":
            lines += [
                f"if {param.name} is not None and type({param.name}) is not str:",
                f"    _frame.refuse_type({param.name!r}, {param.name})",
            ]
    return lines


def _signature(method: Method) -> str:
    params = []
    for param in method.params:
        text = param.name + (f": {param.annotation}" if param.annotation else "")
        params.append(text + " = _UNSET")
    returns = f" -> {method.returns}" if method.returns else ""
    return f"def {method.name}({', '.join(params)}, /, *args, **kwargs){returns}:"


def _body(cls: Class, method: Method, asynchronous: bool) -> str:
    body = _own_awaits(method.python, cls) if asynchronous else method.python
    return _http_client(_checked_returns(body, method.result_check), asynchronous)


def _method(cls: Class, method: Method, asynchronous: bool) -> tuple[list[str], list[str]]:
    """The module-level lines (binding, body function) and the class-body lines of one method."""
    binding = f"_{cls.name}_{method.name}"
    names = _tuple([repr(p.name) for p in method.params])
    defaults = _tuple([p.default.source for p in method.params if p.default is not None])
    outer = [f"{binding} = _frame.Binding({method.name!r}, {names}, {defaults})"]
    inner = [_signature(method), *("    " + line for line in _prologue(method, binding))]
    names = ", ".join(p.name for p in method.params)
    body = _body(cls, method, asynchronous)
    if method.kind == "Plain":
        inner += [textwrap.indent(body, "    ") if body else "    pass"]
        made = f"_frame.Method({method.name}, {binding}, doc={_string(method.docstring(cls.name))})"
    else:
        keyword = "async def" if method.kind in ("Coroutine", "AsyncGenerator") else "def"
        outer += ["", "", f"{keyword} {binding}_body({names}):", textwrap.indent(body, "    ")]
        inner += [f"    return {binding}_body({names})"]
        made = f"_frame.Method({method.name}, {binding}, {binding}_body, doc={_string(method.docstring(cls.name))})"
    inner += ["", f"{method.name} = {made}"]
    return outer, inner


def twin(module: Module, header: str) -> str:
    asynchronous = module.asynchronous
    kind = "asynchronous" if asynchronous else "synchronous"
    lines = [
        header,
        f'"""The {kind} clients of `{module.name}` in plain Python: its twin, used where the compiled module is not."""',
        "",
        "# The imports bind their names in the compiled module's order: never sorted.",
        "# isort: skip_file",
        "# Their types are the stubs' (tests/test_stubs.py holds every method to its stub); the",
        "# generated functions bind untyped arguments and return what their bodies make.",
        "# mypy: ignore-errors",
        "from __future__ import annotations",
        "",
        *(i.statement for i in module.imports),
        "",
        "if TYPE_CHECKING:",
        f"    {module.parent.statement}",
        "",
        "from vexa.client._pure import _frame  # noqa: E402 - after the names the compiled module binds",
        "",
        "_UNSET = _frame.UNSET",
    ]
    for cls in module.classes:
        outer: list[str] = []
        inner: list[str] = []
        for method in cls.methods:
            method_outer, method_inner = _method(cls, method, asynchronous)
            outer += ["", "", *method_outer]
            inner += ["", *method_inner]
        lines += outer + ["", "", f"class {cls.name}:", *textwrap.indent("\n".join(inner), "    ").split("\n")]
        if asynchronous:
            # What the bodies that await the class's own methods test before running one directly.
            lines += ["", "", f"_{cls.name}_vars = vars({cls.name})"]
    lines += ["", "", "# Not a name of the compiled module.", 'globals().pop("annotations", None)']
    return re.sub(r"[ \t]+\n", "\n", "\n".join(lines) + "\n")
