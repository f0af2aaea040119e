// The parent-client protocol: what a sub-client reads from the parent it was
// built with, and how an HTTP error status is translated through it.
#pragma once
#include "frame/error.h"
#include "frame/table.h"

namespace vx {

// The body of a sub-client's `__init__(self, client)`: `self._client = client`.
Ref store_parent(Args& a);

// The parent client of a sub-client, `self._client`: read once per request,
// at its start, and handed to what reads the parent's members below.
Ref parent_of(PyObject* self);
// `parent.base_url` as text.
Ref base_url_text(PyObject* parent);
// `parent.api_key_header`.
Ref api_key_header(PyObject* parent);

// `parent._http_client`: the HTTP client the parent shares between its
// requests; empty when it is None or missing, so that any parent with only
// the members above keeps a new HTTP client per request.
Ref shared_http_client(PyObject* parent);

// `parent._ssl_context`: the TLS context the parent makes once for all the
// HTTP clients its requests open, passed to each as `verify=`; empty when it
// is None or missing, so that a parent without it keeps httpx's default.
Ref ssl_context(PyObject* parent);

// In an `except` handler: an `httpx.HTTPStatusError` becomes what
// `parent._get_http_exception(httpx_error=e)` returns, raised with `e` as its
// context; anything else is rethrown unchanged.
[[noreturn, gnu::cold]] void raise_translated(PyObject* parent, PyError& e);
// The same as a value, for bodies that keep the failure until their clean-up.
[[gnu::cold]] PyError translated(PyObject* parent, PyError& e);

}  // namespace vx
