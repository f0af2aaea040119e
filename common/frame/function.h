// The method-function type: what a class table row becomes in the class.
#pragma once
#include "frame/method.h"

namespace vx {

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

extern PyTypeObject* function_type;
bool init_function_type();

// Builds the method function of one table row (defaults evaluated now).
Ref make_function(const MethodDef& def, const char* class_name, PyObject* module_name, PyObject* source_path,
                  PyObject* globals);

}  // namespace vx
