#include "frame/namespace.h"

#include "frame/error.h"
#include "frame/ops.h"

namespace vx {

ModuleState module_state;

Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_state.globals, name);
    if (!value) {
        if (PyErr_Occurred()) throw_error();
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw_error();
        }
    }
    return borrow(value);
}

Ref member(PyObject* owner, PyObject* name) { return getattr(global(owner), name); }

}  // namespace vx
