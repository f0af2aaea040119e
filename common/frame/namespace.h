// The lookup of the running module's globals, as the interpreter's
// LOAD_GLOBAL does it: the module namespace, then builtins; cached per name
// constant while neither namespace changes.
#pragma once
#include "frame/constants.h"
#include "frame/state.h"

namespace vx {

// Looks a name up in the running module's namespace, then in builtins.
Ref global(PyObject* name);
// The same for a name constant, through its cache.
Ref global(const Str& name);
// `owner.name` for a module global `owner`, e.g. `JobStage.RUNNING`.
Ref member(const Str& owner, PyObject* name);

// Starts the cache for a module that has just been created; false with an
// error set.
bool start_global_cache(PyObject* globals);

}  // namespace vx
