// Owned and borrowed references, and the C++ exception that carries a Python error.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <utility>

// The call path of every method (binding, creating and driving native
// coroutines) is kept together, so that it occupies few instruction-cache lines.
#define VX_HOT __attribute__((hot))

namespace vx {

// An owning reference: increments on copy, decrements on destruction.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    static Ref steal(PyObject* ptr) noexcept { Ref r; r.ptr_ = ptr; return r; }
    static Ref borrow(PyObject* ptr) noexcept { Py_XINCREF(ptr); return steal(ptr); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    PyObject* new_ref() const noexcept { Py_XINCREF(ptr_); return ptr_; }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Implicit borrow at C API call sites.
    operator PyObject*() const noexcept { return ptr_; }
    PyObject** slot() noexcept { return &ptr_; }

private:
    PyObject* ptr_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

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

    bool matches(PyObject* exc_type) const noexcept {
        return value_ && PyErr_GivenExceptionMatches(type(), exc_type);
    }
    // Puts the error back into the interpreter's indicator; the object is emptied.
    void restore() noexcept {
        PyObject* value = value_.release();
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
    }
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

}  // namespace vx
