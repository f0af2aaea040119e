// What a method needs at run time, and the binding of a call's arguments to
// it: shared by the method-function type and the driver of native bodies.
#pragma once
#include <cstdint>
#include <vector>

#include "frame/table.h"

namespace vx {

// What a method needs at run time, built once when its class is created and
// kept for the life of the process.
struct MethodRuntime {
    const MethodDef* def;
    PyObject* short_name;             // interned member name
    PyObject* dotted_name;            // "vexa.client._sync._code.CodeClient.get_info"
    std::vector<PyObject*> names;     // interned parameter names
    std::vector<PyObject*> defaults;  // values used by calls, one per trailing default
    int required;                     // parameters without default
    uint32_t converted;               // bit per float or bool parameter
    uint32_t typed;                   // bit per str or optional-str parameter
    PyObject* body_tb_code;           // names traceback entries of body errors
    PyObject* bind_tb_code;           // names traceback entries of binding errors
    PyObject* globals;                // module namespace
};

// Binds a call's arguments; false with an error set.
bool bind_arguments(const MethodRuntime& rt, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& bound);

}  // namespace vx
