// Everything that differs between the supported interpreters (CPython 3.10
// to 3.15) or reaches into their internals, behind functions with one meaning
// on every version. Nothing outside this folder touches an interpreter struct
// field or calls an underscore API; the internal headers are included only in
// compat.cpp.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x03100000
#error "the native modules are written for CPython 3.10 to 3.15"
#endif

#define VX_PY_AT_LEAST(minor) (PY_VERSION_HEX >= (0x03000000 | ((minor) << 16)))

namespace vx::compat {

// The running thread's state; the GIL is held wherever this is used.
inline PyThreadState* thread_state() noexcept {
#if VX_PY_AT_LEAST(13)
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

inline int64_t interpreter_id() { return PyInterpreterState_GetID(PyThreadState_Get()->interp); }

// --- the error indicator ------------------------------------------------------

// Takes the pending error as one normalised exception whose __traceback__ is
// its traceback, and clears the indicator; NULL when none is set.
inline PyObject* take_error() noexcept {
#if VX_PY_AT_LEAST(12)
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Sets the error indicator to `exc` (a normalised exception, stolen), with
// its __traceback__ as the traceback. NULL clears the indicator.
inline void restore_error(PyObject* exc) noexcept {
#if VX_PY_AT_LEAST(12)
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return PyErr_Clear();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// `raise new from <pending error>`: the pending error becomes the cause and
// context of a new exception formatted like PyErr_Format.
void format_from_cause(PyObject* type, const char* format, const char* argument);

// --- exception state (sys.exc_info()) -------------------------------------------

// One entry of a thread's stack of exceptions being handled. 3.10 keeps
// type, value and traceback; 3.11 and later keep the exception alone.
using ExcState = _PyErr_StackItem;

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
    ExcStateScope(const ExcStateScope&) = delete;
    ExcStateScope& operator=(const ExcStateScope&) = delete;

private:
    PyThreadState* tstate_;
    ExcState* state_;
};

// Marks `exc` as the exception being handled (an `except` block), so that
// errors raised meanwhile get it as their implicit context.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) noexcept;
    ~HandlingScope();
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    ExcState* top_;
#if !VX_PY_AT_LEAST(11)
    PyObject* saved_type_;
    PyObject* saved_traceback_;
#endif
    PyObject* saved_value_;
};

// A thrown-in error gets the exception being handled in `state` as its
// context, as the interpreter does when it throws into a generator.
void chain_thrown_error(ExcState* state);

void clear_exc_state(ExcState& state) noexcept;
inline bool exc_state_is_empty(const ExcState& state) noexcept {
#if VX_PY_AT_LEAST(11)
    return !state.exc_value;
#else
    return !state.exc_type && !state.exc_value && !state.exc_traceback;
#endif
}
int traverse_exc_state(const ExcState& state, visitproc visit, void* arg);

// --- attributes, types, arguments -------------------------------------------------

// `getattr(obj, name)` where a missing attribute is no error: 1 found, 0 not
// found (*result NULL), -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if VX_PY_AT_LEAST(13)
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    // What _PyObject_LookupAttr does first, without its checks and call.
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        *result = _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
        return *result ? 1 : PyErr_Occurred() ? -1 : 0;
    }
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// What `obj.name` finds on instances of one type, as last looked up for one
// name, so that the next lookup skips the walk along the type's MRO. Up to
// 3.10 the interpreter's own per-site caches do this for Python code; from
// 3.11 on an instance keeps its values outside a dict until one is asked
// for, and the interpreter's lookups are used as they are (Generic always).
//   InDict: the type and its bases have nothing of the name (no descriptor,
//           no class attribute): only the instance's __dict__ can hold it.
//   Method: the type has a method (a function, or another method
//           descriptor) of that name, which the instance's __dict__ may
//           shadow.
//   Generic: anything else (a property, a class attribute, the type's own
//           __getattribute__ or __getattr__): the generic lookup.
// It holds for the type at one version tag; the interpreter gives a type a
// new tag whenever the type or a base changes, and never gives a tag twice,
// so a changed type, or a new type at a dead one's address, never matches.
struct InstanceAttrCache {
    enum class Kind : unsigned char { Generic, InDict, Method };
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    Kind kind = Kind::Generic;
    PyObject* method = nullptr;  // Method: the method, borrowed from the type's dict
};

#if !VX_PY_AT_LEAST(11)
// The cache for `name` on `type`, up to date.
void fill_instance_attr_cache(PyTypeObject* type, PyObject* name, InstanceAttrCache& cache);

inline InstanceAttrCache::Kind cached_kind(PyTypeObject* type, PyObject* name, InstanceAttrCache& cache) {
    const bool known = type == cache.type && type->tp_version_tag == cache.version &&
                       PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    if (!known) fill_instance_attr_cache(type, name, cache);
    return cache.kind;
}

// `name` in the instance's __dict__: 1 found (*result a new reference), 0
// not there or no dict (no error set), -1 an error.
inline int instance_dict_item(PyObject* obj, PyTypeObject* type, PyObject* name, PyObject** result) {
    // Where the generic lookup finds the dict (a negative offset counts from
    // the end of a variable-size object).
    const Py_ssize_t offset = type->tp_dictoffset;
    PyObject** slot = offset > 0   ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset)
                      : offset < 0 ? _PyObject_GetDictPtr(obj)
                                   : nullptr;
    PyObject* dict = slot ? *slot : nullptr;
    *result = nullptr;
    if (!dict) return 0;
    // Held during the lookup, as the generic lookup holds it: comparing keys
    // of other types may run code that replaces the instance's dict.
    Py_INCREF(dict);
    // The names are exact, hashed strings: their hash is read, not computed.
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
    PyObject* found = hash != -1 ? _PyDict_GetItem_KnownHash(dict, name, hash) : PyDict_GetItemWithError(dict, name);
    Py_XINCREF(found);
    Py_DECREF(dict);
    *result = found;
    return found ? 1 : PyErr_Occurred() ? -1 : 0;
}
#endif

// `obj.name` through the cache: 1 found (*result a new reference), 0 not
// there (no error set), -1 an error; 2 when the cache does not settle it,
// and the caller takes the generic lookup.
inline int cached_getattr(PyObject* obj, PyObject* name, InstanceAttrCache& cache, PyObject** result) {
#if VX_PY_AT_LEAST(11)
    (void)obj, (void)name, (void)cache, (void)result;
    return 2;
#else
    PyTypeObject* type = Py_TYPE(obj);
    if (cached_kind(type, name, cache) != InstanceAttrCache::Kind::InDict) return 2;
    return instance_dict_item(obj, type, name, result);
#endif
}

// `obj.name` as a call `obj.name(...)` finds it, through the cache: 1 when
// *method (a new reference) is the type's method, to be called with obj in
// front; 0 when it is the attribute itself (from the instance's dict), -1 an
// error; 2 when the cache does not settle it (compat::get_method does).
inline int cached_get_method(PyObject* obj, PyObject* name, InstanceAttrCache& cache, PyObject** method) {
#if VX_PY_AT_LEAST(11)
    (void)obj, (void)name, (void)cache, (void)method;
    return 2;
#else
    PyTypeObject* type = Py_TYPE(obj);
    const InstanceAttrCache::Kind kind = cached_kind(type, name, cache);
    if (kind == InstanceAttrCache::Kind::Generic) return 2;
    // Held before the instance's dict is asked, as the generic lookup holds
    // it: code run by that lookup may change the type and drop its method.
    PyObject* type_method = kind == InstanceAttrCache::Kind::Method ? Py_NewRef(cache.method) : nullptr;
    const int in_dict = instance_dict_item(obj, type, name, method);
    if (in_dict != 0) {
        Py_XDECREF(type_method);
        return in_dict == 1 ? 0 : -1;  // the instance's own attribute, or an error
    }
    if (!type_method) return 2;  // missing: the generic lookup raises
    *method = type_method;
    return 1;
#endif
}

// --- namespace versions ---------------------------------------------------------

// A number that changes whenever an item of `globals` or `builtins` is set,
// replaced or deleted, so that a value looked up in them can be kept while
// it stays the same. Up to 3.11 the dicts carry a version tag (taken from a
// counter shared by all dicts, so the larger of the two changes when either
// does); from 3.12 on, dict watchers count the changes. Call
// watch_namespaces() once with the two dicts before using the version.
#if VX_PY_AT_LEAST(12)
extern uint64_t namespace_changes;
extern bool namespaces_watched;
inline uint64_t namespaces_version(PyObject*, PyObject*) noexcept {
    // Unwatched (no watcher was free): a new number each time, so nothing is kept.
    return namespaces_watched ? namespace_changes : ++namespace_changes;
}
#else
inline uint64_t namespaces_version(PyObject* globals, PyObject* builtins) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    uint64_t g = reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
    uint64_t b = reinterpret_cast<PyDictObject*>(builtins)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
    return g > b ? g : b;
}
#endif
// Starts watching (3.12 and later; nothing to do before). A missing free
// watcher is no error: values are then looked up every time.
void watch_namespaces(PyObject* globals, PyObject* builtins) noexcept;

// `name` looked up along the type's MRO without descriptors (borrowed or NULL).
PyObject* lookup_on_type(PyTypeObject* type, PyObject* name);

// `obj.name` found as a call of `obj.name(...)` finds it, without a bound
// method: 1 when *method (a new reference) is a method descriptor found on
// the type, to be called with obj in front; 0 when it is the attribute
// itself, or when *method is NULL and an error is set.
int get_method(PyObject* obj, PyObject* name, PyObject** method);

// `cls.name` where the class attribute protocol is the type's own and finds
// a plain value (no descriptor) along the MRO: that value, borrowed, without
// the call through a metaclass hook (EnumMeta's __getattr__ up to 3.11 sends
// every class attribute read through a Python-level __getattribute__ call).
// NULL, without an error, whenever anything else could take part.
PyObject* plain_class_attribute(PyObject* cls, PyObject* name);

// Removes the Python-level wrapper of a C slot from a heap type (the slot stays).
bool hide_slot_wrapper(PyTypeObject* type, const char* name);

// The interpreter's own check of a positional-only argument count, with its
// message ("throw expected at least 1 argument, got 0").
bool check_positional(const char* name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max);

// throw(type, value, traceback) / athrow(...): 3.12 and later warn that the
// three-argument form is deprecated; false when the warning became an error.
bool warn_throw_signature(const char* method, Py_ssize_t nargs);

// --- object memory ------------------------------------------------------------------

// Makes the memory of a dead collectable object (untracked, its type's
// reference released) a new untracked object of `type` with `size` items, as
// a fresh allocation would be: one reference, and the collector's header
// cleared (a finalizer that ran for the old object is not taken as run).
PyObject* revive_gc_object(PyObject* memory, PyTypeObject* type, Py_ssize_t size) noexcept;

// --- code objects, frames and tracebacks ------------------------------------------

// A code object with no bytecode, used to name traceback entries.
PyObject* empty_code(PyObject* filename, PyObject* name, int first_line);

// A method's code object as introspection shows it.
PyObject* method_code(int argcount, int flags, PyObject* varnames, PyObject* filename, PyObject* name,
                      PyObject* qualname, int first_line);

// A frame standing for a native body at `line`: for traceback entries, and
// for introspection (cr_frame / ag_frame), where a body that has not started
// shows f_lasti -1, as the interpreter's frames do.
PyFrameObject* new_frame(PyObject* code, PyObject* globals, int line, bool started = false);

// Takes a frame that new_frame() made for traceback entries again, for a new
// entry at `line`: true when nothing but the caller holds it any more and
// nothing was changed in it while it was held (a tracer, its namespace), so
// that it is as a new one would be. From 3.11 on; on 3.10 a frame holds its
// caller's frame, which must not be kept past the call, so never there.
bool take_back_frame(PyFrameObject* frame, int line) noexcept;
#if VX_PY_AT_LEAST(11) && !defined(Py_GIL_DISABLED)
inline constexpr bool frames_can_be_taken_back = true;
#else
inline constexpr bool frames_can_be_taken_back = false;
#endif

// Adds a traceback entry for `frame` at `line` to the pending error.
bool add_traceback_entry(PyFrameObject* frame, int line);

// True when the pending error's newest traceback entry is in `code`.
bool newest_entry_in(PyObject* code);

// --- generators and coroutines ------------------------------------------------------

// True for an interpreter generator decorated as an iterable coroutine.
bool is_iterable_coroutine(PyObject* obj);

// True when an interpreter coroutine is suspended inside an `await` (it has a
// delegate), which makes awaiting it again an error.
bool coroutine_is_awaiting(PyObject* coro);

// The value a pending StopIteration carries (None without one), taken off
// the indicator: 0; -1 with another error left pending.
int fetch_stop_iteration_value(PyObject** value);
// Raises StopIteration(value) so that the value comes back out unchanged.
int set_stop_iteration_value(PyObject* value);

// The thread's asynchronous-generator hooks (borrowed, may be NULL).
inline PyObject* async_gen_firstiter() noexcept { return thread_state()->async_gen_firstiter; }
inline PyObject* async_gen_finalizer() noexcept { return thread_state()->async_gen_finalizer; }

// Attributes the interpreter's coroutines and async generators gained after
// 3.10 (cr_suspended, ag_suspended) are offered where the interpreter has them.
inline constexpr bool has_cr_suspended = VX_PY_AT_LEAST(11);
inline constexpr bool has_ag_suspended = VX_PY_AT_LEAST(12);

// cr_state / ag_state (3.15 and later): the body's state as the names
// inspect uses ("CORO_SUSPENDED", "AGEN_CLOSED"...). The state is the body's
// own, so an async generator suspended at an await inside asend() is
// suspended, though ag_running is true.
inline constexpr bool has_state_attribute = VX_PY_AT_LEAST(15);

// coroutine.throw(): from 3.15 on a running or finished coroutine refuses
// ("already executing", "cannot reuse already awaited coroutine") before the
// arguments are checked; up to 3.14 the arguments are checked first.
inline constexpr bool throw_checks_state_first = VX_PY_AT_LEAST(15);

// A StopIteration or StopAsyncIteration thrown into a body that has not
// started becomes RuntimeError up to 3.11; from 3.12 on it passes through
// unchanged (the conversion belongs to the body's code, which never ran).
inline constexpr bool converts_stop_thrown_before_start = !VX_PY_AT_LEAST(12);

// A StopIteration thrown into a body suspended in an `await` whose delegate
// has no throw(): up to 3.11 it is raised in the body; from 3.12 on the
// await produces its value, as if the delegate had returned it.
inline constexpr bool await_returns_thrown_stop_iteration = VX_PY_AT_LEAST(12);

// close() of an asend/athrow awaitable: up to 3.12 it only marks the
// awaitable done; from 3.13 on it throws GeneratorExit in through it.
inline constexpr bool awaitable_close_throws_in = VX_PY_AT_LEAST(13);

}  // namespace vx::compat
