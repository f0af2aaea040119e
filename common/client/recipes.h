// The request recipe of the asynchronous clients: one request made with a
// fresh httpx.AsyncClient that is closed on every path, an error status
// translated through the parent client.
#pragma once
#include "frame/body.h"
#include "frame/constants.h"

namespace vx {

struct Request {
    const Str* method;                        // the client's "get" or "post"
    Ref (*url)(Args& a);                      // built first
    const Str* keyword = nullptr;             // one more keyword argument of the request...
    Ref (*prepare)(Args& a) = nullptr;        // ...prepared before the client is opened
    Ref (*result)(PyObject* response) = nullptr;  // built after the status check; none: None
};

// The body of every method row whose context is a `const Request*`.
CoroutineTask send_request(Args a);

// `httpx.AsyncClient()`: each request opens its own client.
Ref new_async_client();

// `response.json()`
Ref json_body(PyObject* response);
// `Job(**response.json())`
Ref job_from_response(PyObject* response);

}  // namespace vx
