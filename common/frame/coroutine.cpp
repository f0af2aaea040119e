// The native coroutine type: its own slots on top of the shared driver
// (driver.cpp).
#include <utility>

#include "frame/driver.h"
#include "frame/slots.h"

namespace vx {

PyTypeObject* coroutine_type = nullptr;

namespace {

// --- coroutine-specific slots -------------------------------------------------

VX_HOT PySendResult coro_am_send(PyObject* obj, PyObject* arg, PyObject** out) {
    return body_send_value(as_body(obj), arg, out);
}

VX_HOT PyObject* coro_send(PyObject* obj, PyObject* arg) {
    PyObject* out;
    PySendResult status = body_send_value(as_body(obj), arg, &out);
    if (status == PYGEN_NEXT) return out;
    return send_result_to_call(as_body(obj), status, out);
}

PyObject* coro_iternext(PyObject* obj) {
    PyObject* out = nullptr;
    if (body_send(as_body(obj), nullptr, false, false, &out) == PYGEN_RETURN) {
        if (out != Py_None) compat::set_stop_iteration_value(out);
        Py_CLEAR(out);
    }
    return out;
}

PyObject* coro_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    if (!compat::check_positional("throw", nargs, 1, 3) || !compat::warn_throw_signature("throw", nargs))
        return nullptr;
    if (compat::throw_checks_state_first) {
        CoroutineObject* self = as_body(obj);
        if (self->status == BodyStatus::Running) {
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        }
        if (self->status == BodyStatus::Closed) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return nullptr;
        }
    }
    return body_throw(as_body(obj), true, args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* coro_close(PyObject* obj, PyObject*) { return body_close(as_body(obj)); }

PyObject* coro_await(PyObject* obj) {
    CoroutineObject* self = as_body(obj);
    if (self->status == BodyStatus::Suspended && self->body->delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(obj);
}

PyObject* coro_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_body(obj)->qualname, obj);
}

// Calling __await__() directly returns the awaitable as the interpreter's
// coroutines do; the "already awaited" check belongs to `await` (am_await).
PyObject* coro_dunder_await(PyObject* obj, PyObject*) { return Py_NewRef(obj); }

PyMethodDef coro_methods[] = {
    {"__await__", coro_dunder_await, METH_NOARGS | METH_COEXIST, nullptr},
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", body_get_name, body_set_name, nullptr, nullptr},
    {"__qualname__", body_get_qualname, body_set_qualname, nullptr, nullptr},
    {"cr_await", body_get_await, nullptr, nullptr, nullptr},
    {"cr_running", body_get_running, nullptr, nullptr, nullptr},
    {"cr_code", body_get_code, nullptr, nullptr, nullptr},
    {"cr_frame", body_get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", body_get_none, nullptr, nullptr, nullptr},
    // Last, each implying the one before: where the interpreter lacks one, its entry ends the table.
    compat::has_cr_suspended ? PyGetSetDef{"cr_suspended", body_get_suspended, nullptr, nullptr, nullptr}
                             : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    compat::has_state_attribute ? PyGetSetDef{"cr_state", body_get_state, nullptr, nullptr, const_cast<char*>("CORO")}
                                : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(body_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(body_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, body_members},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "vexa.native.coroutine",
    sizeof(CoroutineObject),
    1,  // the frame follows the object
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

}  // namespace

bool init_coroutine_types() {
    if (coroutine_type) return true;
    coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coro_spec));
    // The iterator slot serves `await` only: coroutines are no iterators.
    return coroutine_type && compat::hide_slot_wrapper(coroutine_type, "__next__");
}

}  // namespace vx
