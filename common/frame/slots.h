// Small slot functions that several native types share.
#pragma once
#include "frame/ref.h"

namespace vx {

// tp_iter / am_await / am_aiter of an object that is its own iterator.
inline PyObject* return_self(PyObject* obj) { return Py_NewRef(obj); }

// Setter of a text attribute (__name__, __qualname__): only a str is accepted.
inline int set_text_attribute(PyObject*& slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

}  // namespace vx
