#include "frame/statements.h"

#include <string_view>
#include <utility>

#include "frame/constants.h"
#include "frame/slots.h"

namespace vx {

namespace {
const Str k_enter{"__enter__"}, k_exit{"__exit__"}, k_aenter{"__aenter__"}, k_aexit{"__aexit__"};
}  // namespace

[[noreturn]] void raise_object(PyObject* obj) {
    if (PyExceptionClass_Check(obj)) {
        Ref instance = call(obj);
        if (!PyExceptionInstance_Check(instance.get()))
            raise_format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                         Py_TYPE(instance.get()));
        PyErr_SetObject(obj, instance);
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw_error();
}

namespace {
// A special method of `manager`, looked up on its type as the interpreter's
// `with` statement does. A method that binds like a function is kept unbound
// (`*unbound` set) and called with the manager in front, which makes no
// bound-method object; anything else is bound as usual.
Ref special(PyObject* manager, PyObject* name, bool* unbound) {
    PyObject* attr = compat::lookup_on_type(Py_TYPE(manager), name);
    if (!attr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        throw_error();
    }
    *unbound = PyType_HasFeature(Py_TYPE(attr), Py_TPFLAGS_METHOD_DESCRIPTOR);
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (*unbound || !get) return borrow(attr);
    return check(get(attr, manager, reinterpret_cast<PyObject*>(Py_TYPE(manager))));
}

// `method(*args)` for a special method from special(): the manager goes in
// front when it is unbound.
Ref call_special(PyObject* method, bool unbound, PyObject* manager, std::initializer_list<PyObject*> args) {
    PyObject* stack[5];  // one free slot (PY_VECTORCALL_ARGUMENTS_OFFSET), the manager, three arguments
    size_t n = 2;
    for (PyObject* arg : args) stack[n++] = arg;
    stack[1] = manager;
    PyObject* const* first = unbound ? stack + 1 : stack + 2;
    const size_t count = unbound ? n - 1 : n - 2;
    return check(PyObject_Vectorcall(method, first, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref enter_special(PyObject* manager, PyObject* name) {
    bool unbound;
    Ref method = special(manager, name, &unbound);
    return call_special(method, unbound, manager, {});
}

Ref call_exit(PyObject* exit, bool unbound, PyObject* manager, const PyError& error) {
    HandlingScope handling(error.value());
    PyObject* tb = error.traceback() ? error.traceback() : Py_None;
    return call_special(exit, unbound, manager, {error.type(), error.value(), tb});
}
}  // namespace

With::With(PyObject* manager) : manager_(borrow(manager)) { exit_ = special(manager, k_exit, &exit_unbound_); }
Ref With::enter() { return enter_special(manager_, k_enter); }
void With::exit(std::optional<PyError> failure) {
    if (!failure) {
        call_special(exit_, exit_unbound_, manager_, {Py_None, Py_None, Py_None});
    } else if (!truth(call_exit(exit_, exit_unbound_, manager_, *failure))) {
        throw PyError(std::move(*failure));
    }
}

AsyncWith::AsyncWith(PyObject* manager) : manager_(borrow(manager)) {
    exit_ = special(manager, k_aexit, &exit_unbound_);
}
Ref AsyncWith::enter() { return enter_special(manager_, k_aenter); }
namespace {

// Awaits `__aexit__(type, value, traceback)` of a failed block while the
// failure is being handled, then raises the failure again unless the exit
// suppressed it.
struct ExitAwaitable {
    PyObject_HEAD PyObject* iter;  // the awaitable __aexit__ returned
    PyObject* failure;             // the exception, until it is raised again
};

PyTypeObject* exit_awaitable_type = nullptr;

ExitAwaitable* as_exit(PyObject* obj) { return reinterpret_cast<ExitAwaitable*>(obj); }

PySendResult exit_am_send(PyObject* obj, PyObject* arg, PyObject** out) {
    ExitAwaitable* self = as_exit(obj);
    *out = nullptr;
    if (!self->iter) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __aexit__()");
        return PYGEN_ERROR;
    }
    PySendResult status;
    {
        HandlingScope handling(self->failure);
        status = PyIter_Send(self->iter, arg, out);
    }
    if (status == PYGEN_NEXT) return status;
    Py_CLEAR(self->iter);
    if (status == PYGEN_ERROR) return status;
    int suppress = PyObject_IsTrue(*out);
    if (suppress != 0) {
        if (suppress < 0) Py_CLEAR(*out);
        return suppress < 0 ? PYGEN_ERROR : PYGEN_RETURN;
    }
    Py_CLEAR(*out);
    compat::restore_error(std::exchange(self->failure, nullptr));
    return PYGEN_ERROR;
}

PyObject* exit_send(PyObject* obj, PyObject* arg) {
    PyObject* out = nullptr;
    if (exit_am_send(obj, arg, &out) == PYGEN_RETURN) {
        compat::set_stop_iteration_value(out);
        Py_CLEAR(out);
    }
    return out;
}

PyObject* exit_iternext(PyObject* obj) { return exit_send(obj, Py_None); }

// throw() and close() go on to what __aexit__ is awaiting.
PyObject* exit_forward(PyObject* obj, const char* method, PyObject* args) {
    ExitAwaitable* self = as_exit(obj);
    if (!self->iter) {
        if (std::string_view(method) == "close") Py_RETURN_NONE;
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __aexit__()");
        return nullptr;
    }
    Ref target = steal(PyObject_GetAttrString(self->iter, method));
    if (!target) return nullptr;
    HandlingScope handling(self->failure);
    return PyObject_Call(target, args, nullptr);
}
PyObject* exit_throw(PyObject* obj, PyObject* args) { return exit_forward(obj, "throw", args); }
PyObject* exit_close(PyObject* obj, PyObject*) {
    Ref args = steal(PyTuple_New(0));
    return args ? exit_forward(obj, "close", args) : nullptr;
}

int exit_traverse(PyObject* obj, visitproc visit, void* arg) {
    ExitAwaitable* self = as_exit(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(self->iter);
    Py_VISIT(self->failure);
    return 0;
}

int exit_clear(PyObject* obj) {
    ExitAwaitable* self = as_exit(obj);
    Py_CLEAR(self->iter);
    Py_CLEAR(self->failure);
    return 0;
}

void exit_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    exit_clear(obj);
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

PyMethodDef exit_methods[] = {
    {"send", exit_send, METH_O, nullptr},
    {"throw", exit_throw, METH_VARARGS, nullptr},
    {"close", exit_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot exit_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(exit_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(exit_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(exit_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(return_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(exit_iternext)},
    {Py_am_await, reinterpret_cast<void*>(return_self)},
    {Py_am_send, reinterpret_cast<void*>(exit_am_send)},
    {Py_tp_methods, exit_methods},
    {0, nullptr},
};

PyType_Spec exit_spec = {
    "vexa.native.async_exit",
    sizeof(ExitAwaitable),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    exit_slots,
};

}  // namespace

Ref AsyncWith::exit(std::optional<PyError> failure) {
    if (!failure) return call_special(exit_, exit_unbound_, manager_, {Py_None, Py_None, Py_None});
    Ref awaitable = call_exit(exit_, exit_unbound_, manager_, *failure);
    if (!exit_awaitable_type) {
        exit_awaitable_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&exit_spec));
        if (!exit_awaitable_type) throw_error();
    }
    Ref iter = check(awaitable_iter(awaitable));
    ExitAwaitable* self = PyObject_GC_New(ExitAwaitable, exit_awaitable_type);
    if (!self) throw_error();
    self->iter = iter.release();
    self->failure = Py_NewRef(failure->value());
    PyObject_GC_Track(self);
    return steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace vx
