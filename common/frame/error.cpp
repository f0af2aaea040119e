#include "frame/error.h"

#include <cstdarg>
#include <exception>
#include <new>

#include "frame/traceback.h"

namespace vx {

PyError PyError::fetch() noexcept {
    PyObject* exc = compat::take_error();
    if (!exc) {
        // Thrown without an error set: a frame bug, reported rather than lost.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = compat::take_error();
    }
    return PyError(steal(exc));
}

PyError capture_error() noexcept {
    if (Frame* frame = current_frame) add_traceback(frame->tb_code, frame->globals, frame->line());
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

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a native method");
    }
}

}  // namespace vx
