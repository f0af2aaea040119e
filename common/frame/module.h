// Module definition, creation and execution, shared by the client modules.
#pragma once
#include <vector>

#include "frame/table.h"

namespace vx {

// One statement of a module body's import section.
struct Import {
    const char* module;              // absolute module name
    std::vector<const char*> names;  // `from module import names`; empty: `import module`
};

struct ModuleSpec {
    const char* short_name;   // "_code"
    const char* full_name;    // "vexa.client._sync._code"
    const char* source_path;  // "vexa/client/_sync/_code"
    std::vector<Import> imports;
    const char* type_checking_name;  // bound from the package only when TYPE_CHECKING
    std::vector<ClassDef> classes;
};

// The module definition for PyInit_*: multi-phase, no docstring, no state,
// no functions, a create and an exec slot. The ModuleSpec is built on first use.
PyObject* module_init(PyModuleDef& def, const ModuleSpec& (*spec)());

}  // namespace vx

// Defines the exported initialisation function of a module.
#define VX_MODULE(NAME, SPEC_FUNCTION)              \
    PyMODINIT_FUNC PyInit_##NAME() {                \
        static PyModuleDef def{};                   \
        return vx::module_init(def, SPEC_FUNCTION); \
    }
