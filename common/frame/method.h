// What a method needs at run time, its function object's fields, and the
// binding of a call's arguments to it: shared by the method-function type
// and the driver of native bodies.
#pragma once
#include <cstdint>
#include <vector>

#include "compat/portable.h"
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
    uint32_t optional_str;            // bit per optional-str parameter
    // The parameter count when a call that gives them all by position binds
    // without conversions (no float or bool parameter), else -1.
    Py_ssize_t plain_nargs;
    PyObject* body_tb_code;  // names traceback entries of body errors
    PyObject* bind_tb_code;  // names traceback entries of binding errors
    PyObject* globals;       // module namespace
};

// A method function (the object a class table row becomes): its fields,
// which the driver reads to run the body of an awaited call directly.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    MethodRuntime* runtime;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // as shown by __defaults__ (calls use runtime->defaults)
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
    PyObject* weakrefs;
};

// Binds a call's arguments: `nargs` positional ones, then `nkw` keyword ones
// whose names are `kw_names` (the values follow the positional ones in
// `args`); false with an error set.
bool bind_arguments(const MethodRuntime& rt, PyObject* const* args, Py_ssize_t nargs, PyObject* const* kw_names,
                    Py_ssize_t nkw, Args& bound);

// The binding of the commonest call, every parameter given by position and
// none converted, with the checks the general binder would make: true when
// the arguments are bound; false (with nothing bound, no error set) when
// the call needs the general binder, which also reports what is wrong.
inline bool bind_positional(const MethodRuntime& rt, PyObject* const* args, Py_ssize_t nargs, Args& bound) {
    if (nargs != rt.plain_nargs) return false;
    for (uint32_t bits = rt.typed; bits; bits &= bits - 1) {
        PyObject* value = args[compat::lowest_set_bit(bits)];
        if (!PyUnicode_CheckExact(value) && !(value == Py_None && (rt.optional_str & (bits & -bits)))) return false;
    }
    bound.context = rt.def->context;
    bound.fill(args, static_cast<int>(nargs));
    return true;
}

}  // namespace vx
