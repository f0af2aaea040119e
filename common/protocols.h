// The statement shapes the bodies share: `with`, `async with`, and the
// translation of an HTTP error status through the parent client.
#pragma once
#include <optional>

#include "compat.h"
#include "function.h"
#include "ops.h"

namespace vx {

// The body of a sub-client's `__init__(self, client)`: `self._client = client`.
Ref store_parent(Args& a);

// The parent client of a sub-client, read afresh at each use.
Ref parent(PyObject* self);
// `self._client.base_url` as text.
Ref base_url_text(PyObject* self);
// `self._client.api_key_header`.
Ref api_key_header(PyObject* self);

// In an `except` handler: an `httpx.HTTPStatusError` becomes what
// `self._client._get_http_exception(httpx_error=e)` returns, raised with `e`
// as its context; anything else is rethrown unchanged.
[[noreturn, gnu::cold]] void raise_translated(PyObject* self, PyError& e);
// The same as a value, for bodies that keep the failure until their clean-up.
[[gnu::cold]] PyError translated(PyObject* self, PyError& e);

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
};

}  // namespace vx
