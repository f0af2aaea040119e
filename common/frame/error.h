// The C++ exception that carries a Python error, the scope that keeps a
// pending error aside, and the checks that turn C API failures into throws.
#pragma once
#include "compat/compat.h"
#include "frame/error_scope.h"
#include "frame/ref.h"

namespace vx {

// A fetched Python exception, thrown through C++ code and restored at the
// boundary back into the interpreter.
// Only the (normalised) exception instance is kept: its type is its class and
// its traceback is its __traceback__.
class PyError {
public:
    PyError() noexcept = default;
    explicit PyError(Ref value) noexcept : value_(std::move(value)) {}

    // Takes the current error indicator (normalised).
    static PyError fetch() noexcept;

    bool matches(PyObject* exc_type) const noexcept { return value_ && PyErr_GivenExceptionMatches(type(), exc_type); }
    // Puts the error back into the interpreter's indicator; the object is emptied.
    void restore() noexcept { compat::restore_error(value_.release()); }
    PyObject* type() const noexcept { return value_ ? reinterpret_cast<PyObject*>(Py_TYPE(value_.get())) : nullptr; }
    PyObject* value() const noexcept { return value_; }
    // Borrowed, or NULL.
    PyObject* traceback() const noexcept {
        return value_ ? reinterpret_cast<PyBaseExceptionObject*>(value_.get())->traceback : nullptr;
    }
    explicit operator bool() const noexcept { return bool(value_); }
    // Traverse support for objects that keep an error around.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(value_.get());
        return 0;
    }

private:
    Ref value_;
};

// Fetches the pending Python error, adding the running body's traceback entry.
// Error paths are cold: kept out of the hot code, branches to them predicted not taken.
[[gnu::cold]] PyError capture_error() noexcept;
// The same, thrown.
[[noreturn, gnu::cold]] void throw_error();

// Call-site checks: a NULL / -1 result from the C API becomes a thrown PyError.
inline Ref check(PyObject* result) {
    if (!result) throw_error();
    return Ref::steal(result);
}
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}

// Raises `type(message)` and throws it.
[[noreturn, gnu::cold]] void raise(PyObject* type, const char* message);
[[noreturn, gnu::cold]] void raise_format(PyObject* type, const char* format, ...);

// Turns any C++ exception that reaches an interpreter entry point into the
// error indicator. Called only inside a `catch (...)`.
[[gnu::cold]] void restore_current_exception() noexcept;

}  // namespace vx
