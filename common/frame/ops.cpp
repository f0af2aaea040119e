#include "frame/ops.h"

#include <cstring>

#include "compat/compat.h"
#include "frame/state.h"

namespace vx {

// The keyword-name tuple of a call with these names: made once per distinct
// sequence and kept (module_state.kwnames). The names are interned constants
// that a call site passes in the same order every time, so each call site
// finds its own tuple at once. Returned as a new reference: a nested call
// may replace the table's entry while this call still uses it.
Ref kwnames_for(PyObject* const* names, size_t count) {
    uintptr_t hash = count;
    for (size_t i = 0; i < count; ++i) hash = hash * 31 + (reinterpret_cast<uintptr_t>(names[i]) >> 4);
    PyObject*& slot = module_state.kwnames[(hash ^ (hash >> 7)) % ModuleState::kKwnamesSlots];
    if (PyObject* cached = slot) {
        if (static_cast<size_t>(PyTuple_GET_SIZE(cached)) == count) {
            size_t i = 0;
            while (i < count && PyTuple_GET_ITEM(cached, static_cast<Py_ssize_t>(i)) == names[i]) ++i;
            if (i == count) return borrow(cached);
        }
    }
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
    Py_XSETREF(slot, tuple.new_ref());
    return tuple;
}

namespace {

// Lays out positional then keyword values in one array, with a kwnames tuple.
struct CallFrame {
    PyObject* stack[16];
    size_t nargs = 0;
    Ref kwnames;

    CallFrame(PyObject* first, std::initializer_list<PyObject*> args, Kwargs kwargs) {
        if (1 + args.size() + kwargs.size() >= sizeof stack / sizeof stack[0])
            raise(PyExc_SystemError, "native call with too many arguments");
        if (first) stack[1 + nargs++] = first;
        for (PyObject* a : args) stack[1 + nargs++] = a;
        if (kwargs.size()) {
            PyObject* names[sizeof stack / sizeof stack[0]];
            size_t i = 0;
            for (auto& [key, value] : kwargs) {
                names[i] = key;
                stack[1 + nargs + i++] = value;
            }
            kwnames = kwnames_for(names, kwargs.size());
        }
    }
    PyObject* const* args() { return stack + 1; }
};
}  // namespace

void KeywordList::emplace_back(PyObject* name, Ref value) {
    if (size_ == kCapacity) raise(PyExc_SystemError, "native call with too many keyword arguments");
    names_[size_] = name;
    values_[size_++] = value.release();
}

void KeywordList::extend(KeywordList&& more) {
    if (size_ + more.size_ > kCapacity) raise(PyExc_SystemError, "native call with too many keyword arguments");
    for (int i = 0; i < more.size_; ++i) {
        names_[size_] = more.names_[i];
        values_[size_++] = more.values_[i];
    }
    more.size_ = 0;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, Kwargs kwargs) {
    CallFrame frame(nullptr, args, kwargs);
    return check(
        PyObject_Vectorcall(callable, frame.args(), frame.nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, frame.kwnames));
}

Ref call_keywords(PyObject* callable, std::initializer_list<PyObject*> args, const KeywordList& kwargs,
                  PyObject* self) {
    PyObject* stack[1 + 8 + KeywordList::kCapacity];
    if (args.size() > 8) raise(PyExc_SystemError, "native call with too many arguments");
    size_t i = 1;
    for (PyObject* arg : args) stack[i++] = arg;
    for (int k = 0; k < kwargs.size(); ++k) stack[i++] = kwargs.value(k);
    Ref kwnames = kwargs.size() ? kwnames_for(kwargs.names(), static_cast<size_t>(kwargs.size())) : Ref();
    if (!self && Py_IS_TYPE(callable, &PyMethod_Type)) {
        // A bound method: its function called with its self in the spare
        // slot, as the method would do itself.
        self = PyMethod_GET_SELF(callable);
        callable = PyMethod_GET_FUNCTION(callable);
    }
    if (self) {
        stack[0] = self;
        return check(PyObject_Vectorcall(callable, stack, args.size() + 1, kwnames));
    }
    return check(PyObject_Vectorcall(callable, stack + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, Kwargs kwargs) {
    CallFrame frame(obj, args, kwargs);
    return check(
        PyObject_VectorcallMethod(name, frame.args(), frame.nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, frame.kwnames));
}

namespace {
// `obj.name(...)` with obj in stack[1], the arguments after it and stack[0]
// free to lend: PyObject_VectorcallMethod with the method found through the
// name's cache.
Ref call_method_on_stack(const Str& name, PyObject** stack, size_t nargs, PyObject* kwnames) {
    PyObject* found;
    switch (compat::cached_get_method(stack[1], name, name.attr_cache(), &found)) {
        case 1: {  // the type's method, given obj first
            Ref method = steal(found);
            return check(PyObject_Vectorcall(found, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        }
        case 0: {  // the instance's own attribute, given the arguments alone
            Ref attribute = steal(found);
            return check(PyObject_Vectorcall(found, stack + 2, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        }
        case -1: throw_error();
        default:
            return check(PyObject_VectorcallMethod(name, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
}
}  // namespace

Ref call_method(PyObject* obj, const Str& name, std::initializer_list<PyObject*> args, Kwargs kwargs) {
    CallFrame frame(obj, args, kwargs);
    return call_method_on_stack(name, frame.stack, frame.nargs, frame.kwnames);
}

Ref call_method(PyObject* obj, const Str& name) {
    PyObject* stack[2] = {nullptr, obj};
    return call_method_on_stack(name, stack, 1, nullptr);
}

Ref text(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return borrow(obj);
    return check(PyObject_Format(obj, nullptr));
}

Ref join(std::initializer_list<PyObject*> pieces) {
    // ASCII texts (URLs, messages): sized once and copied, no tuple. A
    // compact ASCII string keeps its characters right after its header.
    Py_ssize_t length = 0;
    bool ascii = true;
    for (PyObject* piece : pieces) {
        if (!PyUnicode_CheckExact(piece) || !PyUnicode_IS_COMPACT_ASCII(piece)) {
            ascii = false;
            break;
        }
        length += PyUnicode_GET_LENGTH(piece);
    }
    if (ascii) {
        Ref result = check(PyUnicode_New(length, 127));
        char* out = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(result.get()) + 1);
        for (PyObject* piece : pieces) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
            std::memcpy(out, reinterpret_cast<PyASCIIObject*>(piece) + 1, static_cast<size_t>(n));
            out += n;
        }
        return result;
    }
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(piece));
    static PyObject* empty = PyUnicode_InternFromString("");
    return check(PyUnicode_Join(empty, tuple));
}

Ref new_dict() { return check(PyDict_New()); }

Ref call_expanded(PyObject* callable, PyObject* mapping) {
    Ref kwargs;
    if (PyDict_Check(mapping)) {
        kwargs = borrow(mapping);
    } else if (mapping == Py_None) {
        raise_format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(mapping)->tp_name);
    } else {
        kwargs = call(reinterpret_cast<PyObject*>(&PyDict_Type), {mapping});
    }
    static PyObject* const no_arguments = PyTuple_New(0);  // kept for good, as the interpreter keeps its own
    if (!no_arguments) raise(PyExc_MemoryError, "no empty tuple");
    return check(PyObject_Call(callable, no_arguments, kwargs));
}

Ref call_expanded_each(PyObject* callable, PyObject* iterable) {
    Ref items = check(PyObject_GetIter(iterable));
    Ref result = check(PyList_New(0));
    while (Ref item = steal(PyIter_Next(items))) check(PyList_Append(result, call_expanded(callable, item)));
    if (PyErr_Occurred()) throw_error();
    return result;
}

PyObject* expect_str(PyObject* value) {
    if (value != Py_None && !PyUnicode_CheckExact(value))
        raise_format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(value)->tp_name);
    return value;
}

PyObject* expect_list(PyObject* value) {
    if (value != Py_None && !PyList_CheckExact(value))
        raise_format(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(value)->tp_name);
    return value;
}

PyObject* awaitable_iter(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyCoro_Type || (type == &PyGen_Type && compat::is_iterable_coroutine(o))) return Py_NewRef(o);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject* res = getter(o);
    if (!res) return nullptr;
    PyTypeObject* res_type = Py_TYPE(res);
    if (res_type == &PyCoro_Type || (res_type == &PyGen_Type && compat::is_iterable_coroutine(res))) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        Py_DECREF(res);
        return nullptr;
    }
    if (!PyIter_Check(res)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(res)->tp_name);
        Py_DECREF(res);
        return nullptr;
    }
    return res;
}

Ref getattr_optional(PyObject* obj, PyObject* name) {
    PyObject* result = nullptr;
    check(compat::lookup_attr(obj, name, &result));
    return steal(result);
}

}  // namespace vx
