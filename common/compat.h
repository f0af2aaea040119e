// Everything that depends on the interpreter's internals or version, behind
// functions with one meaning each. Built and tested for CPython 3.10.
#pragma once
#include "ref.h"

#include <frameobject.h>

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x030B0000
#error "the native modules are written for CPython 3.10"
#endif

// Exported by the 3.10 interpreter, declared only in its internal headers.
extern "C" void _PyErr_ChainStackItem(_PyErr_StackItem* exc_info);

namespace vx::compat {

// A code object with no bytecode, used to name traceback entries.
inline PyObject* empty_code(PyObject* filename, PyObject* name, int first_line) {
    const char* file = PyUnicode_AsUTF8(filename);
    const char* func = PyUnicode_AsUTF8(name);
    if (!file || !func) return nullptr;
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, func, first_line));
}

// A frame standing for a native body at `line`: for traceback entries, and
// for introspection (cr_frame / ag_frame), where a body that has not started
// shows f_lasti -1, as the interpreter's frames do.
inline PyFrameObject* new_frame(PyObject* code, PyObject* globals, int line, bool started = false) {
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    if (!frame) return nullptr;
    if (started) frame->f_lasti = 0;
    frame->f_lineno = line;
    return frame;
}

// Removes the Python-level wrapper of a C slot from a type (the slot stays).
inline bool hide_slot_wrapper(PyTypeObject* type, const char* name) {
    if (PyDict_DelItemString(type->tp_dict, name) < 0) return false;
    PyType_Modified(type);
    return true;
}

// A method's code object as introspection shows it.
inline PyObject* method_code(int argcount, int flags, PyObject* varnames, PyObject* filename,
                             PyObject* name, int first_line) {
    Ref empty_bytes = steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = steal(PyTuple_New(0));
    if (!empty_bytes || !empty_tuple) return nullptr;
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 0, flags, empty_bytes,
        empty_tuple, empty_tuple, varnames, empty_tuple, empty_tuple, filename, name, first_line,
        empty_bytes));
}

inline int64_t interpreter_id() {
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

// The exception-state stack of the running thread (sys.exc_info()).
using ExcState = _PyErr_StackItem;
// The running thread's state; the GIL is held wherever this is used.
inline PyThreadState* thread_state() noexcept { return _PyThreadState_UncheckedGet(); }

// Pushes a coroutine's own exception state while its body or delegate runs.
class ExcStateScope {
public:
    explicit ExcStateScope(ExcState* state) noexcept : tstate_(thread_state()), state_(state) {
        state_->previous_item = tstate_->exc_info;
        tstate_->exc_info = state_;
    }
    ~ExcStateScope() {
        tstate_->exc_info = state_->previous_item;
        state_->previous_item = nullptr;
    }

private:
    PyThreadState* tstate_;
    ExcState* state_;
};

// Marks `exc` as the exception being handled (an `except` block), so that
// errors raised meanwhile get it as their implicit context.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) noexcept : top_(thread_state()->exc_info) {
        saved_type_ = top_->exc_type;
        saved_value_ = top_->exc_value;
        saved_tb_ = top_->exc_traceback;
        top_->exc_type = exc ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))) : nullptr;
        top_->exc_value = Py_XNewRef(exc);
        top_->exc_traceback = exc ? PyException_GetTraceback(exc) : nullptr;
    }
    ~HandlingScope() {
        PyObject* type = top_->exc_type;
        PyObject* value = top_->exc_value;
        PyObject* tb = top_->exc_traceback;
        top_->exc_type = saved_type_;
        top_->exc_value = saved_value_;
        top_->exc_traceback = saved_tb_;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    _PyErr_StackItem* top_;
    PyObject *saved_type_, *saved_value_, *saved_tb_;
};

// A thrown-in error gets the exception being handled where it is thrown as
// its context, as the interpreter does when it throws into a generator.
inline void chain_thrown_error(ExcState* state) {
    ExcStateScope scope(state);
    _PyErr_ChainStackItem(nullptr);
}

inline void clear_exc_state(ExcState& state) {
    Py_CLEAR(state.exc_type);
    Py_CLEAR(state.exc_value);
    Py_CLEAR(state.exc_traceback);
}

inline int traverse_exc_state(const ExcState& state, visitproc visit, void* arg) {
    Py_VISIT(state.exc_type);
    Py_VISIT(state.exc_value);
    Py_VISIT(state.exc_traceback);
    return 0;
}

// The iterator that `await o` drives, as the interpreter's GET_AWAITABLE finds it.
inline PyObject* get_awaitable_iter(PyObject* o) {
    auto iterable_coroutine = [](PyObject* x) {
        return PyGen_CheckExact(x) &&
               (reinterpret_cast<PyCodeObject*>(reinterpret_cast<PyGenObject*>(x)->gi_code)->co_flags &
                CO_ITERABLE_COROUTINE);
    };
    if (PyCoro_CheckExact(o) || iterable_coroutine(o)) return Py_NewRef(o);
    PyTypeObject* type = Py_TYPE(o);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject* res = getter(o);
    if (!res) return nullptr;
    if (PyCoro_CheckExact(res) || iterable_coroutine(res)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        Py_DECREF(res);
        return nullptr;
    }
    if (!PyIter_Check(res)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(res)->tp_name);
        Py_DECREF(res);
        return nullptr;
    }
    return res;
}

// True when an interpreter coroutine is suspended inside an `await` (it has a
// delegate), which makes awaiting it again an error.
inline bool coroutine_is_awaiting(PyObject* coro) {
    PyFrameObject* f = reinterpret_cast<PyGenObject*>(coro)->gi_frame;
    if (!f || f->f_lasti < 0) return false;
    const auto* code = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(f->f_code->co_code));
    return code[(f->f_lasti + 1) * sizeof(_Py_CODEUNIT)] == 72 /* YIELD_FROM */;
}

inline int fetch_stop_iteration_value(PyObject** value) { return _PyGen_FetchStopIterationValue(value); }
inline int set_stop_iteration_value(PyObject* value) { return _PyGen_SetStopIterationValue(value); }

// "coroutine '...' was never awaited", as the interpreter words it.
inline void warn_unawaited(PyObject* qualname) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", qualname) < 0)
        PyErr_WriteUnraisable(qualname);
}

}  // namespace vx::compat
