// A scope that keeps the pending error aside: below errors and tracebacks,
// so that both can use it without needing each other.
#pragma once
#include "compat/compat.h"

namespace vx {

// Keeps the pending error (if any) aside for the scope's duration, for code
// that must run with a clean indicator (destructors, frame creation), and
// puts it back at the end.
class ErrorScope {
public:
    ErrorScope() noexcept : saved_(compat::take_error()) {}
    ~ErrorScope() { compat::restore_error(saved_); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

private:
    PyObject* saved_;
};

}  // namespace vx
