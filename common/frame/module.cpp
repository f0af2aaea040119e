#include "frame/module.h"

#include <cstdio>
#include <string>

#include "frame/constants.h"
#include "frame/function.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/traceback.h"

namespace vx {

namespace {

bool copy_spec_attr(PyObject* spec, PyObject* module_dict, const char* from, const char* to) {
    Ref value = steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value == Py_None) return true;
    return PyDict_SetItemString(module_dict, to, value) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    int64_t id = compat::interpreter_id();
    if (module_state.interpreter == -1) {
        module_state.interpreter = id;
    } else if (module_state.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_state.module) return Py_NewRef(module_state.module);

    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (!copy_spec_attr(spec, dict, "loader", "__loader__") || !copy_spec_attr(spec, dict, "origin", "__file__") ||
        !copy_spec_attr(spec, dict, "parent", "__package__") ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__"))
        return nullptr;
    return module.release();
}

void warn_on_version_mismatch(const ModuleSpec& spec) {
    const char* runtime = Py_GetVersion();
    int major = 0, minor = 0;
    if (sscanf(runtime, "%d.%d", &major, &minor) != 2) return;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%s' does not match runtime "
                           "version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, spec.full_name, major, minor));
}

void run_import(const Import& stmt, PyObject* globals) {
    Ref module_name = check(PyUnicode_FromString(stmt.module));
    if (stmt.names.empty()) {
        Ref module = check(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, nullptr, 0));
        // `import a.b` binds `a`; the modules imported here are top level.
        check(PyDict_SetItem(globals, module_name, module));
        return;
    }
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(stmt.names.size())));
    for (size_t i = 0; i < stmt.names.size(); ++i)
        PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i),
                         check(PyUnicode_InternFromString(stmt.names[i])).release());
    Ref module = check(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist, 0));
    for (size_t i = 0; i < stmt.names.size(); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i));
        Ref value = steal(PyObject_GetAttr(module, name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name, stmt.module);
            }
            throw_error();
        }
        check(PyDict_SetItem(globals, name, value));
    }
}

void run_relative_import(const char* name, PyObject* globals) {
    Ref attr = check(PyUnicode_InternFromString(name));
    Ref fromlist = check(PyTuple_Pack(1, attr.get()));
    Ref empty = check(PyUnicode_FromString(""));
    Ref package = check(PyImport_ImportModuleLevelObject(empty, globals, nullptr, fromlist, 1));
    Ref value = getattr(package, attr);
    check(PyDict_SetItem(globals, attr, value));
}

void create_class(const ClassDef& cls, PyObject* module_name, PyObject* source_path, PyObject* globals) {
    Ref name = check(PyUnicode_InternFromString(cls.name));
    Ref ns = new_dict();
    check(PyDict_SetItemString(ns, "__module__", module_name));
    check(PyDict_SetItemString(ns, "__qualname__", name));
    for (const MethodDef& method : cls.methods) {
        Ref function = make_function(method, cls.name, module_name, source_path, globals);
        check(PyDict_SetItemString(ns, method.name, function));
    }
    Ref bases = check(PyTuple_New(0));
    Ref type = call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases, ns});
    check(PyDict_SetItem(globals, name, type));
}

// Removes a failed module from sys.modules, keeping the pending error.
void forget_module(const char* full_name, PyObject* module) noexcept {
    ErrorScope pending;
    PyObject* sys_modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemString(sys_modules, full_name);
    if (entry == module && PyDict_DelItemString(sys_modules, full_name) < 0) PyErr_Clear();
}

int exec_module(PyObject* module) {
    const ModuleSpec& spec = *module_state.spec;
    if (module_state.module) {
        if (module_state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     spec.short_name);
        return -1;
    }
    module_state.module = Py_NewRef(module);
    module_state.globals = PyModule_GetDict(module);
    int line = 1;
    bool inserted = false;  // the sys.modules entry is ours to remove on failure
    try {
        PyObject* globals = module_state.globals;
        Ref builtins = check(PyImport_ImportModule("builtins"));
        check(PyDict_SetItemString(globals, "__builtins__", builtins));
        if (!start_global_cache(globals)) throw_error();
        warn_on_version_mismatch(spec);
        if (!Str::create_all()) throw_error();

        Ref full_name = check(PyUnicode_FromString(spec.full_name));
        Ref source_path = check(PyUnicode_FromString(spec.source_path));
        PyObject* sys_modules = PyImport_GetModuleDict();
        if (!check(PyDict_Contains(sys_modules, full_name))) {
            check(PyDict_SetItem(sys_modules, full_name, module));
            inserted = true;
        }

        for (const Import& stmt : spec.imports) {
            run_import(stmt, globals);
            ++line;
        }
        PyObject* type_checking = PyDict_GetItemString(globals, "TYPE_CHECKING");
        if (type_checking && truth(type_checking)) run_relative_import(spec.type_checking_name, globals);
        ++line;
        for (const ClassDef& cls : spec.classes) {
            line = cls.line;
            create_class(cls, full_name, source_path, globals);
        }
        return 0;
    } catch (...) {
        restore_current_exception();
        std::string tb_name = std::string("init ") + spec.full_name;
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, tb_name.c_str());
        Ref filename = steal(PyUnicode_FromString(spec.source_path));
        Ref name = steal(PyUnicode_FromString(tb_name.c_str()));
        if (filename && name) {
            Ref code;
            {
                ErrorScope pending;
                code = steal(traceback_code(filename, name, 1));
            }
            if (code) add_traceback(code, module_state.globals, line);
        }
        if (inserted) forget_module(spec.full_name, module);
        Py_CLEAR(module_state.module);
        module_state.globals = nullptr;
        return -1;
    }
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

}  // namespace

PyObject* module_init(PyModuleDef& def, const ModuleSpec& (*spec)()) {
    module_state.spec = &spec();
    PyModuleDef_Base base = PyModuleDef_HEAD_INIT;
    def.m_base = base;
    def.m_name = module_state.spec->short_name;
    def.m_doc = nullptr;
    def.m_size = 0;
    def.m_methods = nullptr;
    def.m_slots = g_slots;
    return PyModuleDef_Init(&def);
}

}  // namespace vx
