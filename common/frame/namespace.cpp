#include "frame/namespace.h"

#include "compat/compat.h"
#include "frame/error.h"
#include "frame/ops.h"

namespace vx {

Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_state.globals, name);
    if (!value) {
        if (PyErr_Occurred()) throw_error();
        value = PyDict_GetItemWithError(module_state.builtins, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw_error();
        }
    }
    return borrow(value);
}

VX_HOT Ref global(const Str& name) {
    Str::GlobalCache& cache = name.global_cache();
    const uint64_t version = compat::namespaces_version(module_state.globals, module_state.builtins);
    // The value is borrowed from a namespace that has not changed since.
    if (cache.value && cache.version == version) return borrow(cache.value);
    Ref value = global(name.get());
    cache.value = value.get();
    cache.version = version;
    return value;
}

Ref member(const Str& owner, PyObject* name) {
    Ref value = global(owner);
    if (PyObject* attribute = compat::plain_class_attribute(value, name)) return borrow(attribute);
    return getattr(value, name);
}

bool start_global_cache(PyObject* globals) {
    PyObject* builtins = PyDict_GetItemString(globals, "__builtins__");
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    if (!builtins || !PyDict_Check(builtins)) {
        PyErr_SetString(PyExc_SystemError, "module namespace without builtins");
        return false;
    }
    Py_XSETREF(module_state.builtins, Py_NewRef(builtins));
    compat::watch_namespaces(globals, builtins);
    return true;
}

}  // namespace vx
