#include "frame/traceback.h"

#include "frame/error_scope.h"

namespace vx {

constinit thread_local Frame* current_frame __attribute__((tls_model("initial-exec"))) = nullptr;

PyObject* traceback_code(PyObject* filename, PyObject* name, int first_line) {
    return compat::empty_code(filename, name, first_line);
}

void add_traceback(PyObject* tb_code, PyObject* globals, int line) noexcept {
    if (!tb_code || !PyErr_Occurred()) return;
    // An error raised again (leaving a `with` block) already has this body's entry.
    if (compat::newest_entry_in(tb_code)) return;
    PyFrameObject* frame;
    {
        ErrorScope pending;  // frame creation must not see the error
        frame = compat::new_frame(tb_code, globals, line);
        if (!frame) PyErr_Clear();
    }
    if (!frame) return;
    compat::add_traceback_entry(frame, line);
    Py_DECREF(frame);
}

}  // namespace vx
