// Owned and borrowed references: ownership visible in the type.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// VX_HOT: the call path of every method (binding, creating and driving native
// coroutines) is kept together, so that it occupies few instruction-cache lines.
#include "compat/portable.h"

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

    static Ref steal(PyObject* ptr) noexcept {
        Ref r;
        r.ptr_ = ptr;
        return r;
    }
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return steal(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
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

}  // namespace vx
