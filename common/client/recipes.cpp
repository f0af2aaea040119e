#include "client/recipes.h"

#include <optional>

#include "client/names.h"
#include "client/parent.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace vx {

RequestClient::RequestClient(PyObject* parent) : shared_(shared_http_client(parent)) {
    if (shared_) return;
    Ref client_class = getattr(global(names::httpx), names::AsyncClient);
    Ref context = ssl_context(parent);
    own_.emplace(context ? call(client_class, {}, {{names::verify, context}}) : call(client_class));
}

Ref RequestClient::exit(std::optional<PyError> failure) {
    if (own_) return own_->exit(std::move(failure));
    if (failure) throw std::move(*failure);
    return Ref();
}

RequestFunction::RequestFunction(PyObject* parent, PyObject* name) {
    Ref shared = shared_http_client(parent);
    // Found as a call `target.name(...)` finds it (a method of the shared
    // client's class is not bound to it first).
    PyObject* target = shared ? shared.get() : global(names::httpx).get();
    PyObject* found;
    const int unbound = compat::get_method(target, name, &found);
    function = steal(found);
    if (!function) throw_error();
    if (unbound) self = borrow(target);
    if (!shared) verify = ssl_context(parent);
}

void RequestFunction::add_keywords(KeywordList& kwargs) const {
    kwargs.emplace_back(names::follow_redirects, borrow(Py_False));
    if (verify) kwargs.emplace_back(names::verify, verify);
}

namespace {
const Str k_zip_bytes{"zip_bytes"};
}  // namespace

Ref download_blocking(PyObject* parent, PyObject* url, PyObject* zip_path) {
    Ref zip_bytes;
    try {
        at(15);
        RequestFunction stream(parent, names::stream);
        KeywordList kwargs{{names::headers, api_key_header(parent)}};
        stream.add_keywords(kwargs);
        With with(stream.call({names::GET, url}, kwargs));
        Ref response = with.enter();
        std::optional<PyError> failure;
        try {
            at(16);
            zip_bytes = call_method(parent, names::_handle_stream_download, {response, zip_path});
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        at(15);
        with.exit(std::move(failure));
    } catch (PyError& e) {
        at(18);
        raise_translated(parent, e);
    }
    return zip_bytes;
}

Ref from_zip_bytes(const Str& model, const Ref& zip_bytes) {
    if (!zip_bytes) raise(PyExc_UnboundLocalError, "local variable 'zip_bytes' referenced before assignment");
    return call(global(model), {}, {{k_zip_bytes, zip_bytes}});
}

Ref json_body(PyObject* response) { return call_method(response, names::json); }
Ref job_from_response(PyObject* response) { return call_expanded(global(names::Job), json_body(response)); }

// `co_await` only in the forms body.h allows.
CoroutineTask send_request(Args a) {
    const Request& request = *static_cast<const Request*>(a.context);
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = request.url(a, parent);
    Ref extra = request.prepare ? request.prepare(a) : Ref();
    at(3);
    RequestClient http(parent);
    Ref client = http.shared();
    if (!client) {
        Ref entering = http.enter();
        client = co_await std::move(entering);
    }
    Ref result = new_none();
    std::optional<PyError> failure;
    try {
        at(5);
        Ref headers = api_key_header(parent);
        Ref sending =
            request.keyword
                ? call_method(
                      client, *request.method, {url},
                      {{names::headers, headers}, {names::follow_redirects, Py_False}, {*request.keyword, extra}})
                : call_method(client, *request.method, {url},
                              {{names::headers, headers}, {names::follow_redirects, Py_False}});
        Ref response = co_await std::move(sending);
        at(6);
        call_method(response, names::raise_for_status);
        at(7);
        if (request.result) result = request.result(response);
    } catch (PyError& e) {
        at(9);
        failure = translated(parent, e);
    }
    at(3);
    Ref exiting = http.exit(std::move(failure));
    if (exiting) {
        co_await std::move(exiting);
    }
    co_return result;
}

}  // namespace vx

namespace vx {

Ref send_request_blocking(Args& a) {
    const Request& request = *static_cast<const Request*>(a.context);
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = request.url(a, parent);
    Ref extra = request.prepare ? request.prepare(a) : Ref();
    try {
        at(5);
        RequestFunction send(parent, *request.method);
        KeywordList kwargs{{names::headers, api_key_header(parent)}};
        if (request.keyword) kwargs.emplace_back(*request.keyword, extra);
        send.add_keywords(kwargs);
        Ref response = send.call({url}, kwargs);
        at(6);
        call_method(response, names::raise_for_status);
        at(7);
        return request.result ? request.result(response) : new_none();
    } catch (PyError& e) {
        at(9);
        raise_translated(parent, e);
    }
}

}  // namespace vx
