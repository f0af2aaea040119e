#include "protocols.h"

#include "coroutine.h"
#include "frame.h"
#include "names.h"

namespace vx {

Ref parent(PyObject* self) { return getattr(self, names::_client); }
Ref base_url_text(PyObject* self) { return text(getattr(parent(self), names::base_url)); }
Ref api_key_header(PyObject* self) { return getattr(parent(self), names::api_key_header); }

void raise_translated(PyObject* self, PyError& e) {
    Ref status_error = getattr(global(names::httpx), names::HTTPStatusError);
    if (!e.matches(status_error)) throw;
    compat::HandlingScope handling(e.value());
    Ref translated = call(getattr(parent(self), names::_get_http_exception), {}, {{names::httpx_error, e.value()}});
    raise_object(translated);
}

namespace {
Ref special(PyObject* manager, PyObject* name) {
    // Looked up on the type, as the interpreter's `with` statement does.
    PyObject* attr = _PyType_Lookup(Py_TYPE(manager), name);
    if (!attr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        throw_error();
    }
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return borrow(attr);
    return check(get(attr, manager, reinterpret_cast<PyObject*>(Py_TYPE(manager))));
}

Ref call_exit(PyObject* exit, const PyError& error) {
    compat::HandlingScope handling(error.value());
    PyObject* tb = error.traceback() ? error.traceback() : Py_None;
    return call(exit, {error.type(), error.value(), tb});
}
}  // namespace

With::With(PyObject* manager) : manager_(borrow(manager)) { exit_ = special(manager, names::__exit__); }
Ref With::enter() { return call(special(manager_, names::__enter__)); }
void With::exit() { call(exit_, {Py_None, Py_None, Py_None}); }
bool With::exit(const PyError& error) { return truth(call_exit(exit_, error)); }

AsyncWith::AsyncWith(PyObject* manager) : manager_(borrow(manager)) { exit_ = special(manager, names::__aexit__); }
Ref AsyncWith::enter() { return call(special(manager_, names::__aenter__)); }
Ref AsyncWith::exit() { return call(exit_, {Py_None, Py_None, Py_None}); }
Ref AsyncWith::exit(const PyError& error) { return call_exit(exit_, error); }

}  // namespace vx
