// The method-function type: what a class table row becomes in the class.
#pragma once
#include "frame/method.h"

namespace vx {

extern PyTypeObject* function_type;
bool init_function_type();

// Builds the method function of one table row (defaults evaluated now).
Ref make_function(const MethodDef& def, const char* class_name, PyObject* module_name, PyObject* source_path,
                  PyObject* globals);

}  // namespace vx
