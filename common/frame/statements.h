// The statement shapes bodies share: `raise`, `with` and `async with`.
#pragma once
#include <optional>

#include "compat/compat.h"
#include "frame/ops.h"

namespace vx {

// Raises `obj` as the interpreter's `raise obj` does, and throws it.
[[noreturn, gnu::cold]] void raise_object(PyObject* obj);

// Marks an exception as being handled (an `except` block) for the scope.
using HandlingScope = compat::HandlingScope;

// `with manager as value:`. The exit operation is looked up first, then the
// manager is entered.
class With {
public:
    explicit With(PyObject* manager);
    Ref enter();
    // Leaves the block: `__exit__(None, None, None)`, or with a failure
    // `__exit__(type, value, traceback)` while it is being handled, after
    // which the failure is raised again unless `__exit__` returned true.
    void exit(std::optional<PyError> failure = std::nullopt);

private:
    Ref manager_;
    Ref exit_;
    bool exit_unbound_ = false;  // exit_ is called with the manager in front
};

// `async with manager as value:` for bodies: each call returns the awaitable
// to `co_await`.
class AsyncWith {
public:
    explicit AsyncWith(PyObject* manager);
    Ref enter();
    // Leaves the block. Without a failure: `__aexit__(None, None, None)`.
    // With one: `__aexit__(type, value, traceback)`, run while the failure is
    // being handled; awaiting it raises the failure again unless `__aexit__`
    // returned a true value (then it produces that value).
    Ref exit(std::optional<PyError> failure = std::nullopt);

private:
    Ref manager_;
    Ref exit_;
    bool exit_unbound_ = false;  // exit_ is called with the manager in front
};

}  // namespace vx
