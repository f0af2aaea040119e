// The native asynchronous generator type, with its asend/athrow awaitables
// and the interpreter's first-iteration and finaliser hooks (asyncio uses
// them to track generators and close forgotten ones on the loop).
#include "coroutine.h"
#include "ops.h"

namespace vx {

PyTypeObject* async_generator_type = nullptr;

namespace {

PyTypeObject* asend_type = nullptr;
PyTypeObject* athrow_type = nullptr;

enum class AwaitableState : uint8_t { Init, Iter, Closed };

struct ASendObject {
    PyObject_HEAD
    CoroutineObject* gen;
    PyObject* sendval;  // NULL for __anext__()
    AwaitableState state;
};

struct AThrowObject {
    PyObject_HEAD
    CoroutineObject* gen;
    PyObject* args;     // NULL for aclose()
    AwaitableState state;
};

bool init_hooks(CoroutineObject* gen) {
    if (gen->hooks_inited) return true;
    gen->hooks_inited = true;
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->async_gen_finalizer) gen->finalizer = Py_NewRef(tstate->async_gen_finalizer);
    if (PyObject* firstiter = tstate->async_gen_firstiter) {
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
    if (body_send(gen, arg, false, false, &out) == PYGEN_RETURN) {
        Py_CLEAR(out);
        PyErr_SetNone(PyExc_StopAsyncIteration);
    }
    return out;
}

PyObject* gen_throw_args(CoroutineObject* gen, bool close_on_genexit, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
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

ASendObject* as_asend(PyObject* obj) { return reinterpret_cast<ASendObject*>(obj); }

PySendResult asend_am_send(PyObject* obj, PyObject* arg, PyObject** out) {
    ASendObject* self = as_asend(obj);
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
        if (!arg || arg == Py_None) arg = self->sendval;
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
    if (status == PYGEN_RETURN) Py_CLEAR(*out);
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopAsyncIteration);
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))
        gen->closed = true;
    gen->running_async = false;
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
    ASendObject* self = as_asend(obj);
    if (self->state == AwaitableState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
        return nullptr;
    }
    PyObject* result = unwrap_value(self->gen, gen_throw_args(self->gen, true, args, nargs));
    if (!result) self->state = AwaitableState::Closed;
    return result;
}

PyObject* asend_close(PyObject* obj, PyObject*) {
    as_asend(obj)->state = AwaitableState::Closed;
    Py_RETURN_NONE;
}

void asend_dealloc(PyObject* obj) {
    ASendObject* self = as_asend(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(self->gen);
    Py_CLEAR(self->sendval);
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

int asend_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(reinterpret_cast<PyObject*>(as_asend(obj)->gen));
    Py_VISIT(as_asend(obj)->sendval);
    return 0;
}

PyObject* self_await(PyObject* obj) { return Py_NewRef(obj); }

PyMethodDef asend_methods[] = {
    {"send", asend_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asend_throw)), METH_FASTCALL, nullptr},
    {"close", asend_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot asend_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(asend_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(asend_traverse)},
    {Py_tp_iternext, reinterpret_cast<void*>(asend_iternext)},
    {Py_tp_iter, reinterpret_cast<void*>(self_await)},
    {Py_am_await, reinterpret_cast<void*>(self_await)},
    {Py_am_send, reinterpret_cast<void*>(asend_am_send)},
    {Py_tp_methods, asend_methods},
    {0, nullptr},
};

PyType_Spec asend_spec = {
    "vexa.native.async_generator_asend", sizeof(ASendObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    asend_slots,
};

PyObject* new_asend(CoroutineObject* gen, PyObject* sendval) {
    ASendObject* self = PyObject_GC_New(ASendObject, asend_type);
    if (!self) return nullptr;
    self->gen = reinterpret_cast<CoroutineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
    self->sendval = Py_XNewRef(sendval);
    self->state = AwaitableState::Init;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// --- athrow / aclose -------------------------------------------------------------

AThrowObject* as_athrow(PyObject* obj) { return reinterpret_cast<AThrowObject*>(obj); }

PyObject* athrow_finish_error(AThrowObject* self) {
    self->gen->running_async = false;
    self->state = AwaitableState::Closed;
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        if (!self->args) {
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
    AThrowObject* self = as_athrow(obj);
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
            PyErr_SetString(PyExc_RuntimeError, self->args ? "athrow(): asynchronous generator is already running"
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
        if (!self->args) {
            gen->closed = true;
            result = body_throw(gen, false, PyExc_GeneratorExit, nullptr, nullptr);
            if (result && suspended_at_yield(gen)) {
                Py_DECREF(result);
                return athrow_yield_close(self);
            }
        } else {
            PyObject *type, *value = nullptr, *traceback = nullptr;
            if (!PyArg_UnpackTuple(self->args, "athrow", 1, 3, &type, &value, &traceback)) return nullptr;
            result = unwrap_value(gen, body_throw(gen, false, type, value, traceback));
        }
        if (!result) return athrow_finish_error(self);
        return result;
    }
    PyObject* result = gen_send(gen, arg);
    if (self->args) return unwrap_value(gen, result);
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
    AThrowObject* self = as_athrow(obj);
    if (self->state == AwaitableState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
        return nullptr;
    }
    PyObject* result = gen_throw_args(self->gen, true, args, nargs);
    if (self->args) return unwrap_value(self->gen, result);
    if (result && suspended_at_yield(self->gen)) {
        Py_DECREF(result);
        return athrow_yield_close(self);
    }
    if (!result &&
        (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
        PyErr_Clear();
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result;
}

PyObject* athrow_close(PyObject* obj, PyObject*) {
    as_athrow(obj)->state = AwaitableState::Closed;
    Py_RETURN_NONE;
}

void athrow_dealloc(PyObject* obj) {
    AThrowObject* self = as_athrow(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(self->gen);
    Py_CLEAR(self->args);
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

int athrow_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(reinterpret_cast<PyObject*>(as_athrow(obj)->gen));
    Py_VISIT(as_athrow(obj)->args);
    return 0;
}

PyMethodDef athrow_methods[] = {
    {"send", athrow_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(athrow_throw)), METH_FASTCALL, nullptr},
    {"close", athrow_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot athrow_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(athrow_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(athrow_traverse)},
    {Py_tp_iternext, reinterpret_cast<void*>(athrow_iternext)},
    {Py_tp_iter, reinterpret_cast<void*>(self_await)},
    {Py_am_await, reinterpret_cast<void*>(self_await)},
    {Py_am_send, reinterpret_cast<void*>(athrow_am_send)},
    {Py_tp_methods, athrow_methods},
    {0, nullptr},
};

PyType_Spec athrow_spec = {
    "vexa.native.async_generator_athrow", sizeof(AThrowObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    athrow_slots,
};

PyObject* new_athrow(CoroutineObject* gen, PyObject* args) {
    AThrowObject* self = PyObject_GC_New(AThrowObject, athrow_type);
    if (!self) return nullptr;
    self->gen = reinterpret_cast<CoroutineObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
    self->args = Py_XNewRef(args);
    self->state = AwaitableState::Init;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// --- the generator --------------------------------------------------------------

PyObject* gen_anext(PyObject* obj) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_asend(gen, nullptr);
}

PyObject* gen_asend(PyObject* obj, PyObject* arg) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_asend(gen, arg);
}

PyObject* gen_athrow(PyObject* obj, PyObject* args) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_athrow(gen, args);
}

PyObject* gen_aclose(PyObject* obj, PyObject*) {
    CoroutineObject* gen = as_body(obj);
    if (!init_hooks(gen)) return nullptr;
    return new_athrow(gen, nullptr);
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(body_traverse_slot)},
    {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(body_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_am_aiter, reinterpret_cast<void*>(self_await)},
    {Py_am_anext, reinterpret_cast<void*>(gen_anext)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, body_members},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "vexa.native.async_generator", sizeof(CoroutineObject), 1,
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

PyObject* new_async_generator(FunctionObject* function, Args&& args) {
    if (!init_async_generator_types()) return nullptr;
    return reinterpret_cast<PyObject*>(new_body_object<GeneratorTask>(
        async_generator_type, function, function->runtime->def->generator, std::move(args)));
}

}  // namespace vx
