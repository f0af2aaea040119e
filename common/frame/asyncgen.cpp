// The native asynchronous generator type, with its asend/athrow awaitables
// and the interpreter's first-iteration and finaliser hooks (asyncio uses
// them to track generators and close forgotten ones on the loop).
#include "frame/driver.h"
#include "frame/ops.h"
#include "frame/slots.h"

namespace vx {

PyTypeObject* async_generator_type = nullptr;

namespace {

PyTypeObject* asend_type = nullptr;
PyTypeObject* athrow_type = nullptr;

enum class AwaitableState : uint8_t { Init, Iter, Closed };

// What __anext__/asend (ASendObject) and athrow/aclose (AThrowObject) return.
struct GenAwaitable {
    PyObject_HEAD CoroutineObject* gen;
    PyObject* arg;  // asend: the value (NULL for __anext__()); athrow: the args tuple (NULL for aclose())
    AwaitableState state;
};
using ASendObject = GenAwaitable;
using AThrowObject = GenAwaitable;

GenAwaitable* as_awaitable(PyObject* obj) { return reinterpret_cast<GenAwaitable*>(obj); }

PyObject* new_awaitable(PyTypeObject* type, CoroutineObject* gen, PyObject* arg) {
    GenAwaitable* self = PyObject_GC_New(GenAwaitable, type);
    if (!self) return nullptr;
    self->gen = reinterpret_cast<CoroutineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
    self->arg = Py_XNewRef(arg);
    self->state = AwaitableState::Init;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

void awaitable_dealloc(PyObject* obj) {
    GenAwaitable* self = as_awaitable(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(self->gen);
    Py_CLEAR(self->arg);
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

int awaitable_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(reinterpret_cast<PyObject*>(as_awaitable(obj)->gen));
    Py_VISIT(as_awaitable(obj)->arg);
    return 0;
}

PyObject* awaitable_close(PyObject* obj, PyObject*) {
    as_awaitable(obj)->state = AwaitableState::Closed;
    Py_RETURN_NONE;
}

// close() that throws GeneratorExit in through the awaitable's throw().
PyObject* close_through_throw(PyObject* obj, PyObject* (*throw_in)(PyObject*, PyObject* const*, Py_ssize_t)) {
    if (as_awaitable(obj)->state == AwaitableState::Closed) Py_RETURN_NONE;
    PyObject* exc = PyExc_GeneratorExit;
    PyObject* result = throw_in(obj, &exc, 1);
    if (!result) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
            PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_DECREF(result);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
}

bool init_hooks(CoroutineObject* gen) {
    if (gen->hooks_inited) return true;
    gen->hooks_inited = true;
    if (PyObject* finalizer = compat::async_gen_finalizer()) gen->finalizer = Py_NewRef(finalizer);
    if (PyObject* firstiter = compat::async_gen_firstiter()) {
        Ref hook = borrow(firstiter);
        Ref result = steal(PyObject_CallOneArg(hook, reinterpret_cast<PyObject*>(gen)));
        if (!result) return false;
    }
    return true;
}

bool suspended_at_yield(CoroutineObject* gen) { return gen->body && gen->body->wrapped; }

// What a step of the generator means to the awaitable driving it: a value of
// `co_yield` ends the awaitable with that value; anything else passes through.
PyObject* unwrap_value(CoroutineObject* gen, PyObject* result) {
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopAsyncIteration);
        if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))
            gen->closed = true;
        gen->running_async = false;
        return nullptr;
    }
    if (suspended_at_yield(gen)) {
        compat::set_stop_iteration_value(result);
        Py_DECREF(result);
        gen->running_async = false;
        return nullptr;
    }
    return result;
}

PyObject* gen_send(CoroutineObject* gen, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult status = body_send(gen, arg, false, false, &out);
    return send_result_to_call(gen, status, out);
}

PyObject* gen_throw_args(CoroutineObject* gen, bool close_on_genexit, PyObject* const* args, Py_ssize_t nargs) {
    if (!compat::check_positional("throw", nargs, 1, 3) || !compat::warn_throw_signature("throw", nargs))
        return nullptr;
    return body_throw(gen, close_on_genexit, args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

// Turns an iterator-protocol result into an am_send outcome.
PySendResult to_send_result(PyObject* result, PyObject** out) {
    if (result) {
        *out = result;
        return PYGEN_NEXT;
    }
    if (compat::fetch_stop_iteration_value(out) == 0) return PYGEN_RETURN;
    return PYGEN_ERROR;
}

PyObject* from_send_result(PySendResult status, PyObject* out) {
    if (status == PYGEN_RETURN) {
        compat::set_stop_iteration_value(out);
        Py_DECREF(out);
        return nullptr;
    }
    return out;
}

// --- asend -------------------------------------------------------------------

PySendResult asend_am_send(PyObject* obj, PyObject* arg, PyObject** out) {
    ASendObject* self = as_awaitable(obj);
    *out = nullptr;
    if (self->state == AwaitableState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
        return PYGEN_ERROR;
    }
    CoroutineObject* gen = self->gen;
    if (self->state == AwaitableState::Init) {
        if (gen->running_async) {
            PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
            return PYGEN_ERROR;
        }
        if (!arg || arg == Py_None) arg = self->arg;
        self->state = AwaitableState::Iter;
    }
    gen->running_async = true;
    PySendResult status = body_send(gen, arg, false, false, out);
    if (status == PYGEN_NEXT) {
        if (!suspended_at_yield(gen)) return PYGEN_NEXT;
        gen->running_async = false;
        self->state = AwaitableState::Closed;
        return PYGEN_RETURN;  // the yielded value is the result of `await anext()`
    }
    if (status == PYGEN_RETURN) Py_CLEAR(*out);  // the body ended: StopAsyncIteration
    unwrap_value(gen, nullptr);
    self->state = AwaitableState::Closed;
    return PYGEN_ERROR;
}

PyObject* asend_send(PyObject* obj, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult status = asend_am_send(obj, arg, &out);
    return from_send_result(status, out);
}

PyObject* asend_iternext(PyObject* obj) { return asend_send(obj, nullptr); }

PyObject* asend_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    ASendObject* self = as_awaitable(obj);
    if (self->state == AwaitableState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
        return nullptr;
    }
    if (compat::awaitable_close_throws_in && self->state == AwaitableState::Init) {
        if (self->gen->running_async) {
            self->state = AwaitableState::Closed;
            PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
            return nullptr;
        }
        self->state = AwaitableState::Iter;
        self->gen->running_async = true;
    }
    PyObject* result = unwrap_value(self->gen, gen_throw_args(self->gen, true, args, nargs));
    if (!result) self->state = AwaitableState::Closed;
    return result;
}

PyObject* asend_close(PyObject* obj, PyObject* arg) {
    return compat::awaitable_close_throws_in ? close_through_throw(obj, asend_throw) : awaitable_close(obj, arg);
}

PyMethodDef asend_methods[] = {
    {"send", asend_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asend_throw)), METH_FASTCALL, nullptr},
    {"close", asend_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot asend_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(awaitable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(awaitable_traverse)},
    {Py_tp_iternext, reinterpret_cast<void*>(asend_iternext)},
    {Py_tp_iter, reinterpret_cast<void*>(return_self)},
    {Py_am_await, reinterpret_cast<void*>(return_self)},
    {Py_am_send, reinterpret_cast<void*>(asend_am_send)},
    {Py_tp_methods, asend_methods},
    {0, nullptr},
};

PyType_Spec asend_spec = {
    "vexa.native.async_generator_asend",
    sizeof(ASendObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    asend_slots,
};

// --- athrow / aclose -------------------------------------------------------------

PyObject* athrow_finish_error(AThrowObject* self) {
    self->gen->running_async = false;
    self->state = AwaitableState::Closed;
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        if (!self->arg) {
            // aclose() is done: it ends the awaiting, it does not fail it.
            PyErr_Clear();
            PyErr_SetNone(PyExc_StopIteration);
        }
    }
    return nullptr;
}

PyObject* athrow_yield_close(AThrowObject* self) {
    self->gen->running_async = false;
    self->state = AwaitableState::Closed;
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return nullptr;
}

PyObject* athrow_send(PyObject* obj, PyObject* arg) {
    AThrowObject* self = as_awaitable(obj);
    CoroutineObject* gen = self->gen;
    if (self->state == AwaitableState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
        return nullptr;
    }
    if (!gen->body) {
        self->state = AwaitableState::Closed;
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (self->state == AwaitableState::Init) {
        if (gen->running_async) {
            self->state = AwaitableState::Closed;
            PyErr_SetString(PyExc_RuntimeError, self->arg ? "athrow(): asynchronous generator is already running"
                                                          : "aclose(): asynchronous generator is already running");
            return nullptr;
        }
        // Checked here only: aclose() marks the generator closed before its
        // clean-up has run, and that clean-up may still await.
        if (gen->closed) {
            self->state = AwaitableState::Closed;
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
            return nullptr;
        }
        self->state = AwaitableState::Iter;
        gen->running_async = true;
        PyObject* result;
        if (!self->arg) {
            gen->closed = true;
            result = body_throw(gen, false, PyExc_GeneratorExit, nullptr, nullptr);
            if (result && suspended_at_yield(gen)) {
                Py_DECREF(result);
                return athrow_yield_close(self);
            }
        } else {
            PyObject *type, *value = nullptr, *traceback = nullptr;
            if (!PyArg_UnpackTuple(self->arg, "athrow", 1, 3, &type, &value, &traceback)) return nullptr;
            result = unwrap_value(gen, body_throw(gen, false, type, value, traceback));
        }
        if (!result) return athrow_finish_error(self);
        return result;
    }
    PyObject* result = gen_send(gen, arg);
    if (self->arg) return unwrap_value(gen, result);
    if (!result) return athrow_finish_error(self);
    if (suspended_at_yield(gen)) {
        Py_DECREF(result);
        return athrow_yield_close(self);
    }
    return result;
}

PySendResult athrow_am_send(PyObject* obj, PyObject* arg, PyObject** out) {
    return to_send_result(athrow_send(obj, arg), out);
}

PyObject* athrow_iternext(PyObject* obj) { return athrow_send(obj, Py_None); }

PyObject* athrow_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    AThrowObject* self = as_awaitable(obj);
    if (self->state == AwaitableState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
        return nullptr;
    }
    PyObject* result = gen_throw_args(self->gen, true, args, nargs);
    if (self->arg) return unwrap_value(self->gen, result);
    if (result && suspended_at_yield(self->gen)) {
        Py_DECREF(result);
        return athrow_yield_close(self);
    }
    if (!result && (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
        PyErr_Clear();
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result;
}

PyObject* athrow_close(PyObject* obj, PyObject* arg) {
    return compat::awaitable_close_throws_in ? close_through_throw(obj, athrow_throw) : awaitable_close(obj, arg);
}

PyMethodDef athrow_methods[] = {
    {"send", athrow_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(athrow_throw)), METH_FASTCALL, nullptr},
    {"close", athrow_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot athrow_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(awaitable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(awaitable_traverse)},
    {Py_tp_iternext, reinterpret_cast<void*>(athrow_iternext)},
    {Py_tp_iter, reinterpret_cast<void*>(return_self)},
    {Py_am_await, reinterpret_cast<void*>(return_self)},
    {Py_am_send, reinterpret_cast<void*>(athrow_am_send)},
    {Py_tp_methods, athrow_methods},
    {0, nullptr},
};

PyType_Spec athrow_spec = {
    "vexa.native.async_generator_athrow",
    sizeof(AThrowObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    athrow_slots,
};

// --- the generator --------------------------------------------------------------

PyObject* gen_anext(PyObject* obj) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_awaitable(asend_type, gen, nullptr);
}

PyObject* gen_asend(PyObject* obj, PyObject* arg) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_awaitable(asend_type, gen, arg);
}

PyObject* gen_athrow(PyObject* obj, PyObject* args) {
    CoroutineObject* gen = as_body(obj);
    if (!compat::warn_throw_signature("athrow", PyTuple_GET_SIZE(args))) return nullptr;
    if (!init_hooks(gen)) return nullptr;
    return new_awaitable(athrow_type, gen, args);
}

PyObject* gen_aclose(PyObject* obj, PyObject*) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_awaitable(athrow_type, gen, nullptr);
}

PyObject* gen_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<async_generator object %U at %p>", as_body(obj)->qualname, obj);
}

PyObject* gen_get_running(PyObject* obj, void*) { return PyBool_FromLong(as_body(obj)->running_async); }

PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, nullptr},
    {"athrow", gen_athrow, METH_VARARGS, nullptr},
    {"aclose", gen_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", body_get_name, body_set_name, nullptr, nullptr},
    {"__qualname__", body_get_qualname, body_set_qualname, nullptr, nullptr},
    {"ag_await", body_get_await, nullptr, nullptr, nullptr},
    {"ag_running", gen_get_running, nullptr, nullptr, nullptr},
    {"ag_code", body_get_code, nullptr, nullptr, nullptr},
    {"ag_frame", body_get_frame, nullptr, nullptr, nullptr},
    // Last, each implying the one before: where the interpreter lacks one, its entry ends the table.
    compat::has_ag_suspended ? PyGetSetDef{"ag_suspended", body_get_suspended, nullptr, nullptr, nullptr}
                             : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    compat::has_state_attribute ? PyGetSetDef{"ag_state", body_get_state, nullptr, nullptr, const_cast<char*>("AGEN")}
                                : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(body_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(body_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_am_aiter, reinterpret_cast<void*>(return_self)},
    {Py_am_anext, reinterpret_cast<void*>(gen_anext)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, body_members},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "vexa.native.async_generator",
    sizeof(CoroutineObject),
    1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

}  // namespace

bool init_async_generator_types() {
    if (async_generator_type) return true;
    asend_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&asend_spec));
    athrow_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&athrow_spec));
    async_generator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&gen_spec));
    return asend_type && athrow_type && async_generator_type;
}

}  // namespace vx
