// Where a running method body is, so that errors leaving it get a traceback
// entry in the module's source path at the line of the failing statement.
#pragma once
#include "frame/ref.h"

namespace vx {

struct Frame {
    PyObject* tb_code = nullptr;  // code object named as tracebacks show the method (borrowed)
    PyObject* globals = nullptr;  // module namespace (borrowed)
    int first_line = 0;
    int offset = 0;  // the running statement, in lines below first_line (set by at())
    int line() const noexcept { return first_line + offset; }
};

// The innermost running body of this thread. Plain methods can run in several
// threads at once (httpx releases the GIL while waiting), so this is per thread.
// constinit spares every use the call of a thread-local initializer, and
// initial-exec keeps the access a single load.
extern constinit thread_local Frame* current_frame VX_INITIAL_EXEC_TLS;

class FrameScope {
public:
    explicit FrameScope(Frame* frame) noexcept : saved_(current_frame) { current_frame = frame; }
    ~FrameScope() { current_frame = saved_; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

private:
    Frame* saved_;
};

// Marks the statement a body is at: `at(3)` is three lines below the definition.
inline void at(int offset) noexcept {
    if (Frame* frame = current_frame) frame->offset = offset;
}

// Adds one traceback entry to the pending error.
[[gnu::cold]] void add_traceback(PyObject* tb_code, PyObject* globals, int line) noexcept;
// Code object used only to name traceback entries.
PyObject* traceback_code(PyObject* filename, PyObject* name, int first_line);

}  // namespace vx
