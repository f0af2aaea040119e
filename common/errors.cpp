#include <cstdarg>

#include "compat.h"
#include "frame.h"
#include "ref.h"

namespace vx {

thread_local Frame* current_frame __attribute__((tls_model("initial-exec"))) = nullptr;

PyError PyError::fetch() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) {
        // Thrown without an error set: a frame bug, reported rather than lost.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return PyError(steal(value));
}

PyError capture_error() noexcept {
    if (Frame* frame = current_frame) add_traceback(frame->tb_code, frame->globals, frame->line);
    return PyError::fetch();
}

void throw_error() { throw capture_error(); }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_error();
}

PyObject* traceback_code(PyObject* filename, PyObject* name, int first_line) {
    return compat::empty_code(filename, name, first_line);
}

void add_traceback(PyObject* tb_code, PyObject* globals, int line) noexcept {
    if (!tb_code || !PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);  // frame creation must not see the error
    // An error raised again (leaving a `with` block) already has this body's entry.
    if (traceback && PyTraceBack_Check(traceback) &&
        reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(traceback)->tb_frame->f_code) == tb_code) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyFrameObject* frame = compat::new_frame(tb_code, globals, line);
    PyErr_Restore(type, value, traceback);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace vx
