// The request recipes: one request made with the parent's shared HTTP client,
// or with a fresh one that is closed on every path, an error status
// translated through the parent client. The asynchronous clients open an
// `httpx.AsyncClient`; the synchronous ones call `httpx.<method>`, which
// opens and closes a client of its own.
#pragma once
#include <optional>

#include "frame/body.h"
#include "frame/constants.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace vx {

struct Request {
    const Str* method;                            // the client's "get" or "post"
    Ref (*url)(Args& a, PyObject* parent);        // built first
    const Str* keyword = nullptr;                 // one more keyword argument of the request...
    Ref (*prepare)(Args& a) = nullptr;            // ...prepared before the client is opened
    Ref (*result)(PyObject* response) = nullptr;  // built after the status check; none: None
};

// The body of every coroutine method row whose context is a `const Request*`.
CoroutineTask send_request(Args a);
// The same request made synchronously: the body of a plain method row whose
// context is a `const Request*`.
Ref send_request_blocking(Args& a);

// What sends one synchronous request: the method `name` of the parent's
// shared `httpx.Client`, or else the function `httpx.<name>` (which opens and
// closes a client of its own), then given the parent's TLS context as
// `verify=`. Both take the same arguments. Neither follows a redirect,
// whatever the shared client's own setting: the key and the body go to the
// base URL only (the asynchronous bodies pass `follow_redirects=False` too).
struct RequestFunction {
    Ref function;
    // The object `function` was found on as a method of its type (the
    // shared client): it goes in front of the arguments, as `obj.name(...)`
    // calls it, with no bound method made. Empty: `function` is called as it is.
    Ref self;
    Ref verify;  // the parent's TLS context for httpx.<name>; empty: none

    RequestFunction(PyObject* parent, PyObject* name);
    // `follow_redirects=False`, and `verify=<context>` when there is a context to give.
    void add_keywords(KeywordList& kwargs) const;
    // The request: `function(*args, **kwargs)`.
    Ref call(std::initializer_list<PyObject*> args, const KeywordList& kwargs) const {
        return call_keywords(function, args, kwargs, self);
    }
};

// The HTTP client of one asynchronous request: the parent's shared client,
// used as it is and never closed, or a new `httpx.AsyncClient()` entered and
// left as `async with` does (given the parent's TLS context as `verify=`
// when it has one). A body uses it so:
//     RequestClient http(parent);
//     Ref client = http.shared();
//     if (!client) {
//         Ref entering = http.enter();
//         client = co_await std::move(entering);
//     }
//     ... failures caught into `failure` ...
//     Ref exiting = http.exit(std::move(failure));
//     if (exiting) {
//         co_await std::move(exiting);
//     }
class RequestClient {
public:
    explicit RequestClient(PyObject* parent);
    // The shared client, or empty: then the body enters its own.
    Ref shared() const { return shared_; }
    Ref enter() { return own_->enter(); }
    // With its own client: the awaitable of `__aexit__`. With the shared one:
    // `failure` raised again if there is one, else empty (nothing to await).
    Ref exit(std::optional<PyError> failure);

private:
    Ref shared_;
    std::optional<AsyncWith> own_;
};

// The download of a synchronous body: `with <stream>("GET", url,
// headers=<api_key_header>) as response: zip_bytes =
// parent._handle_stream_download(response, zip_path)` in a `try` whose
// `except` translates an error status through the parent. Its statements
// stand 15 (the `with`), 16 (the handler's call) and 18 (the `except`) lines
// below the definition of every method that makes one. Returns `zip_bytes`,
// empty when the `with` block swallowed a failure before it was assigned.
Ref download_blocking(PyObject* parent, PyObject* url, PyObject* zip_path);
// `<model>(zip_bytes=zip_bytes)` after a download, which may have left
// `zip_bytes` unassigned (then the body fails as Python's would).
Ref from_zip_bytes(const Str& model, const Ref& zip_bytes);

// `response.json()`
Ref json_body(PyObject* response);
// `Job(**response.json())`
Ref job_from_response(PyObject* response);

}  // namespace vx
