// The parts of the compatibility layer that need the interpreter's internal
// headers or differ by version in more than a name.
#include "compat.h"

#include <cstddef>
#include <string_view>

#if VX_PY_AT_LEAST(11)
// struct _frame (the frame object's layout) is internal from 3.11 on.
#define Py_BUILD_CORE 1
#include <internal/pycore_frame.h>
#if VX_PY_AT_LEAST(14)
#include <internal/pycore_interpframe_structs.h>  // the frame data, declared apart from 3.14 on
#endif
#undef Py_BUILD_CORE
#endif

#if VX_PY_AT_LEAST(13)
// Exported by 3.13 but declared only in its internal headers.
extern "C" int _PyGen_FetchStopIterationValue(PyObject** value);
extern "C" int _PyGen_SetStopIterationValue(PyObject* value);
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace vx::compat {

void format_from_cause(PyObject* type, const char* format, const char* argument) {
    PyObject* cause = take_error();
    PyErr_Format(type, format, argument);
    PyObject* exc = take_error();
    PyException_SetCause(exc, Py_NewRef(cause));
    PyException_SetContext(exc, cause);
    restore_error(exc);
}

// --- object memory ------------------------------------------------------------------

namespace {
// The collector's header right in front of every collectable object
// (PyGC_Head): two words, the links and flags, on every supported version.
// Its internal header is not included: 3.12's conflicts with Python.h in C++.
struct GcHeader {
    uintptr_t next;
    uintptr_t prev;
};
}  // namespace

PyObject* revive_gc_object(PyObject* memory, PyTypeObject* type, Py_ssize_t size) noexcept {
    GcHeader* gc = reinterpret_cast<GcHeader*>(memory) - 1;
    gc->next = 0;
    gc->prev = 0;
    return reinterpret_cast<PyObject*>(PyObject_InitVar(reinterpret_cast<PyVarObject*>(memory), type, size));
}

// --- exception state ------------------------------------------------------------

HandlingScope::HandlingScope(PyObject* exc) noexcept : top_(thread_state()->exc_info) {
    saved_value_ = top_->exc_value;
    top_->exc_value = Py_XNewRef(exc);
#if !VX_PY_AT_LEAST(11)
    saved_type_ = top_->exc_type;
    saved_traceback_ = top_->exc_traceback;
    top_->exc_type = exc ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))) : nullptr;
    top_->exc_traceback = exc ? PyException_GetTraceback(exc) : nullptr;
#endif
}

HandlingScope::~HandlingScope() {
    PyObject* value = top_->exc_value;
    top_->exc_value = saved_value_;
#if !VX_PY_AT_LEAST(11)
    PyObject* type = top_->exc_type;
    PyObject* traceback = top_->exc_traceback;
    top_->exc_type = saved_type_;
    top_->exc_traceback = saved_traceback_;
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    Py_XDECREF(value);
}

void chain_thrown_error(ExcState* state) {
    // What the interpreter's _PyErr_ChainStackItem does (3.13 no longer
    // exports it): nothing without a handled exception; otherwise the error
    // is raised again, which sets the handled exception as its context.
    PyObject* handled = state->exc_value;
    if (!handled || handled == Py_None) return;
    ExcStateScope scope(state);
    PyObject* exc = take_error();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
}

void clear_exc_state(ExcState& state) noexcept {
#if !VX_PY_AT_LEAST(11)
    Py_CLEAR(state.exc_type);
    Py_CLEAR(state.exc_traceback);
#endif
    Py_CLEAR(state.exc_value);
}

int traverse_exc_state(const ExcState& state, visitproc visit, void* arg) {
#if !VX_PY_AT_LEAST(11)
    Py_VISIT(state.exc_type);
    Py_VISIT(state.exc_traceback);
#endif
    Py_VISIT(state.exc_value);
    return 0;
}

// --- attributes, types, arguments -------------------------------------------------

PyObject* lookup_on_type(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

int get_method(PyObject* obj, PyObject* name, PyObject** method) {
    *method = nullptr;
    return _PyObject_GetMethod(obj, name, method);
}

#if !VX_PY_AT_LEAST(11)
void fill_instance_attr_cache(PyTypeObject* type, PyObject* name, InstanceAttrCache& cache) {
    using Kind = InstanceAttrCache::Kind;
    Kind kind = Kind::Generic;
    PyObject* found = nullptr;
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        // The lookup also gives the type its version tag when it has none.
        found = _PyType_Lookup(type, name);
        if (!found)
            kind = type->tp_dictoffset != 0 ? Kind::InDict : Kind::Generic;
        else if (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))
            kind = Kind::Method;
    }
    // Without a version tag nothing is kept, and the next lookup asks again.
    const bool versioned = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    cache.type = versioned ? type : nullptr;
    cache.version = versioned ? type->tp_version_tag : 0;
    cache.kind = versioned ? kind : Kind::Generic;
    cache.method = cache.kind == Kind::Method ? found : nullptr;
}
#endif

namespace {
// The metatype's __getattribute__ is type's own (a metaclass that defines
// only __getattr__ gets a hook slot that calls it through Python).
bool getattribute_is_types(PyTypeObject* meta) {
    static PyObject* const getattribute = [] {
        PyObject* text = PyUnicode_InternFromString("__getattribute__");
        if (!text) PyErr_Clear();  // then no shortcut: the caller takes the full lookup
        return text;
    }();
    PyObject* found = getattribute ? _PyType_Lookup(meta, getattribute) : nullptr;
    return found && Py_IS_TYPE(found, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(found)->d_wrapped ==
               reinterpret_cast<void*>(PyType_Type.tp_getattro);
}
}  // namespace

PyObject* plain_class_attribute(PyObject* cls, PyObject* name) {
    if (!PyType_Check(cls)) return nullptr;
    PyTypeObject* meta = Py_TYPE(cls);
    if (meta->tp_getattro != PyType_Type.tp_getattro && !getattribute_is_types(meta)) return nullptr;
    // What type's own lookup does: a data descriptor of the metatype comes
    // first; then the class's MRO, where a descriptor would be bound.
    PyObject* meta_attribute = _PyType_Lookup(meta, name);
    if (meta_attribute && Py_TYPE(meta_attribute)->tp_descr_set) return nullptr;
    PyObject* attribute = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
    if (!attribute || Py_TYPE(attribute)->tp_descr_get) return nullptr;
    return attribute;
}

#if VX_PY_AT_LEAST(12)
// The watcher's count, and whether it runs: a watcher callback gets no
// context, so these two are this module's only state outside ModuleState.
uint64_t namespace_changes = 1;
bool namespaces_watched = false;

namespace {
int count_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_changes;
    return 0;
}
}  // namespace

void watch_namespaces(PyObject* globals, PyObject* builtins) noexcept {
    if (namespaces_watched) return;
    int watcher = PyDict_AddWatcher(count_namespace_change);
    if (watcher < 0) {
        PyErr_Clear();
        return;
    }
    if (PyDict_Watch(watcher, globals) < 0 || PyDict_Watch(watcher, builtins) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(watcher);
        return;
    }
    namespaces_watched = true;
}
#else
void watch_namespaces(PyObject*, PyObject*) noexcept {}
#endif

bool hide_slot_wrapper(PyTypeObject* type, const char* name) {
    // Heap types keep their dict in tp_dict on every version (3.12 moved only
    // the static builtin types' dicts elsewhere).
    if (PyDict_DelItemString(type->tp_dict, name) < 0) return false;
    PyType_Modified(type);
    return true;
}

bool check_positional(const char* name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max) {
    if (nargs < min) {
        PyErr_Format(PyExc_TypeError, "%.200s expected %s%zd argument%s, got %zd", name, min == max ? "" : "at least ",
                     min, min == 1 ? "" : "s", nargs);
        return false;
    }
    if (nargs > max) {
        PyErr_Format(PyExc_TypeError, "%.200s expected %s%zd argument%s, got %zd", name, min == max ? "" : "at most ",
                     max, max == 1 ? "" : "s", nargs);
        return false;
    }
    return true;
}

bool warn_throw_signature([[maybe_unused]] const char* method, [[maybe_unused]] Py_ssize_t nargs) {
#if VX_PY_AT_LEAST(12)
    if (nargs > 1)
        return PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                "the (type, exc, tb) signature of %s() is deprecated, "
                                "use the single-arg signature instead.",
                                method) == 0;
#endif
    return true;
}

// --- code objects, frames and tracebacks ------------------------------------------

PyObject* empty_code(PyObject* filename, PyObject* name, int first_line) {
    const char* file = PyUnicode_AsUTF8(filename);
    const char* func = PyUnicode_AsUTF8(name);
    if (!file || !func) return nullptr;
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, func, first_line));
}

PyObject* method_code(int argcount, int flags, PyObject* varnames, PyObject* filename, PyObject* name,
                      [[maybe_unused]] PyObject* qualname, int first_line) {
    PyObject* empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    PyObject* empty_tuple = PyTuple_New(0);
    PyObject* code = nullptr;
    if (empty_bytes && empty_tuple) {
        const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if VX_PY_AT_LEAST(12)
        code = reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
            argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames, empty_tuple,
            empty_tuple, filename, name, qualname, first_line, empty_bytes, empty_bytes));
#elif VX_PY_AT_LEAST(11)
        // 3.11 added the qualified name and the exception table.
        code = reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
            argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames, empty_tuple,
            empty_tuple, filename, name, qualname, first_line, empty_bytes, empty_bytes));
#else
        code = reinterpret_cast<PyObject*>(
            PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple,
                                      varnames, empty_tuple, empty_tuple, filename, name, first_line, empty_bytes));
#endif
    }
    Py_XDECREF(empty_bytes);
    Py_XDECREF(empty_tuple);
    return code;
}

PyFrameObject* new_frame(PyObject* code, PyObject* globals, int line, [[maybe_unused]] bool started) {
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    if (!frame) return nullptr;
#if !VX_PY_AT_LEAST(11)
    // 3.10's inspect tells a created coroutine by f_lasti -1; later versions
    // ask the coroutine (cr_suspended) instead.
    if (started) frame->f_lasti = 0;
#endif
    // A non-zero f_lineno is what the frame reports, on every version.
    frame->f_lineno = line;
    return frame;
}

bool take_back_frame([[maybe_unused]] PyFrameObject* frame, [[maybe_unused]] int line) noexcept {
#if VX_PY_AT_LEAST(11) && !defined(Py_GIL_DISABLED)
    if (Py_REFCNT(frame) != 1 || frame->f_back || frame->f_trace || !frame->f_trace_lines || frame->f_trace_opcodes)
        return false;
#if VX_PY_AT_LEAST(13)
    if (frame->f_extra_locals || frame->f_locals_cache) return false;
#else
    if (frame->f_fast_as_locals) return false;
#endif
#if VX_PY_AT_LEAST(14)
    if (frame->f_overwritten_fast_locals) return false;
#endif
    // The entry codes have no fast locals: what f_locals shows is the
    // namespace its first read made, kept in the frame data.
    const _PyInterpreterFrame* data = frame->f_frame;
    if (data != reinterpret_cast<_PyInterpreterFrame*>(frame->_f_frame_data) || data->f_locals) return false;
    frame->f_lineno = line;
    return true;
#else
    return false;
#endif
}

bool add_traceback_entry(PyFrameObject* frame, int line) {
    PyObject* exc = take_error();
    if (!exc) return false;
    // What the traceback type's constructor makes, without the call and its
    // argument parsing: the line given explicitly (3.13 would otherwise
    // compute it from the empty bytecode), no instruction (-1).
    PyTracebackObject* entry = PyObject_GC_New(PyTracebackObject, &PyTraceBack_Type);
    if (!entry) {
        // The original error wins over a failure to decorate it.
        PyErr_Clear();
        restore_error(exc);
        return false;
    }
    entry->tb_next = reinterpret_cast<PyTracebackObject*>(PyException_GetTraceback(exc));
    entry->tb_frame = reinterpret_cast<PyFrameObject*>(Py_NewRef(reinterpret_cast<PyObject*>(frame)));
    entry->tb_lasti = -1;
    entry->tb_lineno = line;
    PyObject_GC_Track(entry);
    PyException_SetTraceback(exc, reinterpret_cast<PyObject*>(entry));
    Py_DECREF(entry);
    restore_error(exc);
    return true;
}

bool newest_entry_in(PyObject* code) {
    PyObject* exc = take_error();
    if (!exc) return false;
    PyObject* tb = PyException_GetTraceback(exc);
    bool found = false;
    if (tb && PyTraceBack_Check(tb)) {
        PyCodeObject* tb_code = PyFrame_GetCode(reinterpret_cast<PyTracebackObject*>(tb)->tb_frame);
        found = reinterpret_cast<PyObject*>(tb_code) == code;
        Py_DECREF(tb_code);
    }
    Py_XDECREF(tb);
    restore_error(exc);
    return found;
}

// --- generators and coroutines ------------------------------------------------------

bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) return false;
#if VX_PY_AT_LEAST(12)
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj));
    const int flags = code->co_flags;
    Py_DECREF(code);
#else
    // Up to 3.11 the generator holds its code object in gi_code.
    const int flags = reinterpret_cast<PyCodeObject*>(reinterpret_cast<PyGenObject*>(obj)->gi_code)->co_flags;
#endif
    return flags & CO_ITERABLE_COROUTINE;
}

namespace {
// The interpreter's own `cr_await` getter: its "awaiting something" test on
// every version, without reading frames or opcodes.
getter coroutine_await_getter() {
    static getter found = [] {
        for (PyGetSetDef* def = PyCoro_Type.tp_getset; def && def->name; ++def)
            if (std::string_view(def->name) == "cr_await") return def->get;
        return static_cast<getter>(nullptr);
    }();
    return found;
}
}  // namespace

bool coroutine_is_awaiting(PyObject* coro) {
    getter get = coroutine_await_getter();
    if (!get) return false;
    PyObject* delegate = get(coro, nullptr);
    if (!delegate) {
        PyErr_Clear();
        return false;
    }
    const bool awaiting = delegate != Py_None;
    Py_DECREF(delegate);
    return awaiting;
}

int fetch_stop_iteration_value(PyObject** value) { return _PyGen_FetchStopIterationValue(value); }
#if !VX_PY_AT_LEAST(12)
namespace {
// StopIteration(value), made as the type's own constructor makes it
// (args (value,), value set) without the call machinery around it; NULL
// with an error set.
PyObject* new_stop_iteration(PyObject* value) {
    PyObject* args = PyTuple_New(1);
    if (!args) return nullptr;
    PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
    PyObject* exc = type->tp_new(type, args, nullptr);
    Py_DECREF(args);
    if (exc) Py_XSETREF(reinterpret_cast<PyStopIterationObject*>(exc)->value, Py_NewRef(value));
    return exc;
}
}  // namespace
#endif

int set_stop_iteration_value(PyObject* value) {
#if VX_PY_AT_LEAST(12)
    // The interpreter's own: whether the error gets the handled exception
    // as its context differs between versions (from 3.12 on, not always).
    return _PyGen_SetStopIterationValue(value);
#else
    // Up to 3.11 _PyGen_SetStopIterationValue raises with PyErr_SetObject,
    // which stores a plain value unnormalised: whoever catches the error in
    // Python then makes the instance through a call of the type, which costs
    // more than making it here. Tuples and exceptions must go inside an
    // instance anyway (a pair would take them for the arguments or the error).
    PyObject* exc = new_stop_iteration(value);
    if (!exc) return -1;
    // What PyErr_SetObject does when no exception is being handled (none to
    // chain as the context): the pair stored as it is. The handled exception
    // as _PyErr_GetTopmostException finds it:
    const ExcState* item = thread_state()->exc_info;
#if VX_PY_AT_LEAST(11)
    while ((!item->exc_value || item->exc_value == Py_None) && item->previous_item) item = item->previous_item;
#else
    while ((!item->exc_type || item->exc_type == Py_None) && item->previous_item) item = item->previous_item;
#endif
    if (!item->exc_value || item->exc_value == Py_None) {
        PyErr_Restore(Py_NewRef(PyExc_StopIteration), exc, nullptr);
        return 0;
    }
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
    return 0;
#endif
}

}  // namespace vx::compat
