// The module's state: every file-level variable of the frame that lives as
// long as the module. Each module is its own shared library with its own copy
// of the frame, so this state is the module's alone. It lives until the
// process ends and holds raw pointers on purpose: nothing in it may be
// released after the interpreter has shut down.
#pragma once
#include <cstdint>

#include "frame/ref.h"

namespace vx {

struct ModuleSpec;

struct ModuleState {
    const ModuleSpec* spec = nullptr;         // the module's tables, set by PyInit_*
    PyObject* module = nullptr;               // the executed module object (owned)
    PyObject* globals = nullptr;              // its namespace (borrowed from the module)
    PyObject* builtins = nullptr;             // the builtins namespace it falls back on (owned)
    int64_t interpreter = -1;                 // the interpreter that first created the module
    PyObject* is_coroutine_marker = nullptr;  // asyncio.coroutines._is_coroutine, once imported

    // The global cache lives with the name constants: each Str keeps the value
    // a lookup of it last found and the version of `globals` and `builtins`
    // it was found at (compat::namespaces_version); while the version is the
    // same, the value is used as it is.

    // Keyword-name tuples of calls, made once per distinct sequence of names
    // (the names are interned constants, so a call site always finds its own):
    // a direct-mapped table of owned tuples.
    static constexpr int kKwnamesSlots = 64;
    PyObject* kwnames[kKwnamesSlots] = {};

    // The frames of traceback entries, one per entry code (direct-mapped on
    // the code), taken again by the next entry in that code once nothing
    // holds them (compat::take_back_frame): a failing call then makes no
    // frame, which from 3.11 on costs the making of a function as well.
    static constexpr int kEntryFrameSlots = 16;
    PyObject* entry_frame_codes[kEntryFrameSlots] = {};  // borrowed: the frame in the same slot holds its code
    PyFrameObject* entry_frames[kEntryFrameSlots] = {};  // owned

    // The memory of finished body objects (coroutines and generators with
    // their frames), a few per 64-byte size class, for the next bodies of
    // those sizes (frame/driver.cpp).
    static constexpr int kBodyBlockClasses = 32;
    static constexpr int kBodyBlocksPerClass = 4;
    PyObject* body_blocks[kBodyBlockClasses][kBodyBlocksPerClass] = {};
    uint8_t body_block_count[kBodyBlockClasses] = {};
};

extern ModuleState module_state;

}  // namespace vx
