// The native generator type: what a plain generator method returns. A
// generator body is a GeneratorTask that only `co_yield`s (it awaits
// nothing), so every suspension hands a value to the caller of next() or
// send(); the shared driver (driver.cpp) does the rest as the interpreter's
// generator functions do.
#include "frame/driver.h"
#include "frame/slots.h"

namespace vx {

PyTypeObject* generator_type = nullptr;

namespace {

PyObject* gen_iternext(PyObject* obj) {
    PyObject* out = nullptr;
    // The body returns nothing: an ended body is the end of the iteration,
    // which tp_iternext reports without setting StopIteration.
    if (body_send(as_body(obj), nullptr, false, false, &out) == PYGEN_RETURN) Py_CLEAR(out);
    return out;
}

PyObject* gen_send(PyObject* obj, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult status = body_send(as_body(obj), arg, false, false, &out);
    return send_result_to_call(as_body(obj), status, out);
}

PyObject* gen_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    if (!compat::check_positional("throw", nargs, 1, 3) || !compat::warn_throw_signature("throw", nargs))
        return nullptr;
    return body_throw(as_body(obj), true, args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* gen_close(PyObject* obj, PyObject*) { return body_close(as_body(obj)); }

PyObject* gen_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_body(obj)->qualname, obj);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", body_get_name, body_set_name, nullptr, nullptr},
    {"__qualname__", body_get_qualname, body_set_qualname, nullptr, nullptr},
    {"gi_yieldfrom", body_get_await, nullptr, nullptr, nullptr},
    {"gi_running", body_get_running, nullptr, nullptr, nullptr},
    {"gi_code", body_get_code, nullptr, nullptr, nullptr},
    {"gi_frame", body_get_frame, nullptr, nullptr, nullptr},
    // Last, each implying the one before: where the interpreter lacks one, its entry ends the table.
    compat::has_cr_suspended ? PyGetSetDef{"gi_suspended", body_get_suspended, nullptr, nullptr, nullptr}
                             : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    compat::has_state_attribute ? PyGetSetDef{"gi_state", body_get_state, nullptr, nullptr, const_cast<char*>("GEN")}
                                : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(body_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(body_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(return_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, body_members},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "vexa.native.generator",
    sizeof(CoroutineObject),
    1,  // the frame follows the object
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

}  // namespace

bool init_generator_type() {
    if (generator_type) return true;
    generator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&gen_spec));
    return generator_type != nullptr;
}

}  // namespace vx
