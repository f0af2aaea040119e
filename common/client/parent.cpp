#include "client/parent.h"

#include "client/names.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace vx {

Ref store_parent(Args& a) {
    check(PyObject_SetAttr(a[0], names::_client, a[1]));
    return new_none();
}

Ref parent_of(PyObject* self) { return getattr(self, names::_client); }
Ref base_url_text(PyObject* parent) { return text(getattr(parent, names::base_url)); }
Ref api_key_header(PyObject* parent) { return getattr(parent, names::api_key_header); }

Ref shared_http_client(PyObject* parent) {
    // A parent without the attribute is as common as one holding None, so a
    // missing one is no exception on this path.
    Ref shared = getattr_optional(parent, names::_http_client);
    return shared.get() == Py_None ? Ref() : shared;
}

Ref ssl_context(PyObject* parent) {
    Ref context = getattr_optional(parent, names::_ssl_context);
    return context.get() == Py_None ? Ref() : context;
}

PyError translated(PyObject* parent, PyError& e) {
    try {
        raise_translated(parent, e);
    } catch (PyError& result) {
        return std::move(result);
    }
}

void raise_translated(PyObject* parent, PyError& e) {
    Ref status_error = getattr(global(names::httpx), names::HTTPStatusError);
    if (!e.matches(status_error)) throw;
    HandlingScope handling(e.value());
    Ref translated = call_method(parent, names::_get_http_exception, {}, {{names::httpx_error, e.value()}});
    raise_object(translated);
}

}  // namespace vx
