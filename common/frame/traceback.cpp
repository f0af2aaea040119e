#include "frame/traceback.h"

#include "frame/error_scope.h"
#include "frame/state.h"

namespace vx {

constinit thread_local Frame* current_frame VX_INITIAL_EXEC_TLS = nullptr;

PyObject* traceback_code(PyObject* filename, PyObject* name, int first_line) {
    return compat::empty_code(filename, name, first_line);
}

namespace {

// A new frame for an entry at `line`; NULL, with the pending error as it
// was, when none can be made.
PyFrameObject* fresh_frame(PyObject* tb_code, PyObject* globals, int line) noexcept {
    ErrorScope pending;  // frame creation must not see the error
    PyFrameObject* frame = compat::new_frame(tb_code, globals, line);
    if (!frame) PyErr_Clear();
    return frame;
}

// The frame of an entry in `tb_code` at `line`: the last entry's in that code
// when nothing holds it any more, otherwise a new one, kept for the next.
PyFrameObject* entry_frame(PyObject* tb_code, PyObject* globals, int line) noexcept {
    if constexpr (!compat::frames_can_be_taken_back) return fresh_frame(tb_code, globals, line);
    const size_t slot = (reinterpret_cast<uintptr_t>(tb_code) >> 4) % ModuleState::kEntryFrameSlots;
    PyFrameObject*& kept = module_state.entry_frames[slot];
    if (kept && module_state.entry_frame_codes[slot] == tb_code && compat::take_back_frame(kept, line))
        return reinterpret_cast<PyFrameObject*>(Py_NewRef(reinterpret_cast<PyObject*>(kept)));
    PyFrameObject* frame = fresh_frame(tb_code, globals, line);
    if (frame) {
        Py_XSETREF(kept, reinterpret_cast<PyFrameObject*>(Py_NewRef(reinterpret_cast<PyObject*>(frame))));
        module_state.entry_frame_codes[slot] = tb_code;
    }
    return frame;
}

}  // namespace

void add_traceback(PyObject* tb_code, PyObject* globals, int line) noexcept {
    if (!tb_code || !PyErr_Occurred()) return;
    // An error raised again (leaving a `with` block) already has this body's entry.
    if (compat::newest_entry_in(tb_code)) return;
    PyFrameObject* frame = entry_frame(tb_code, globals, line);
    if (!frame) return;
    compat::add_traceback_entry(frame, line);
    Py_DECREF(frame);
}

}  // namespace vx
