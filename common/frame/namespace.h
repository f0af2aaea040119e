// The module's state and the lookup of its globals. Each module is its own
// shared library with its own copy of the frame, so this state is the
// module's alone; it lives until the process ends (kept as raw pointers: it
// must not be released after the interpreter has shut down).
#pragma once
#include <cstdint>

#include "frame/ref.h"

namespace vx {

struct ModuleSpec;

struct ModuleState {
    const ModuleSpec* spec = nullptr;  // the module's tables, set by PyInit_*
    PyObject* module = nullptr;        // the executed module object (owned)
    PyObject* globals = nullptr;       // its namespace (borrowed from the module)
    int64_t interpreter = -1;          // the interpreter that first created the module
    PyObject* is_coroutine_marker = nullptr;  // asyncio.coroutines._is_coroutine, once imported
};

extern ModuleState module_state;

// Looks a name up in the running module's namespace, then in builtins.
Ref global(PyObject* name);
// `owner.name` for a module global `owner`, e.g. `JobStage.RUNNING`.
Ref member(PyObject* owner, PyObject* name);

}  // namespace vx
