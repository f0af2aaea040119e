// The method-function type: what a class table row becomes in the class.
#include "frame/function.h"

#include <string>

#include "frame/body.h"
#include "frame/driver.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/slots.h"
#include "frame/traceback.h"

#include <structmember.h>

namespace vx {

PyTypeObject* function_type = nullptr;

namespace {

const char* check_prefix(Check check) {
    switch (check) {
        case Check::Str:
        case Check::OptionalStr: return "str ";
        case Check::Float: return "float ";
        case Check::Bool: return "bool ";
        case Check::Any: break;
    }
    return "";
}

std::string signature_line(const MethodDef& def, const char* class_name) {
    std::string line = std::string(class_name) + "." + def.name + "(";
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        if (i) line += ", ";
        line += check_prefix(p.check);
        line += p.name;
        if (p.annotation) line += std::string(": ") + p.annotation;
        if (p.fallback.tag != Default::Tag::Required) line += std::string(" = ") + p.fallback.text;
    }
    line += ")";
    if (def.returns) line += std::string(" -> ") + def.returns;
    return line;
}

std::string docstring(const MethodDef& def, const char* class_name) {
    std::string doc = signature_line(def, class_name);
    if (!def.summary) return doc;
    doc += "\n\n";
    doc += def.summary;
    for (const Section& section : def.sections) {
        doc += "\n\n";
        doc += section.heading;
        for (const char* entry : section.entries) doc += std::string("\n    ") + entry;
    }
    return doc;
}

Ref default_value(const Default& d) {
    switch (d.tag) {
        case Default::Tag::None: return borrow(Py_None);
        case Default::Tag::False: return borrow(Py_False);
        case Default::Tag::Float: return check(PyFloat_FromDouble(d.number));
        case Default::Tag::Member: {
            Ref owner = global(check(PyUnicode_InternFromString(d.owner)));
            return getattr(owner, check(PyUnicode_InternFromString(d.member)));
        }
        case Default::Tag::Required: break;
    }
    return {};
}

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Binds a call of the method as its function does; false with an error set
// that names the method in a traceback entry of its own.
VX_HOT inline bool bind_call(const MethodRuntime& rt, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* const* kw_names, Py_ssize_t nkw, Args& bound) {
    if (!nkw && bind_positional(rt, args, nargs, bound)) return true;
    if (bind_arguments(rt, args, nargs, kw_names, nkw, bound)) return true;
    add_traceback(rt.bind_tb_code, rt.globals, rt.def->line);
    return false;
}

VX_HOT PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* self = as_function(callable);
    const MethodRuntime& rt = *self->runtime;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Args bound;
    if (!bind_call(rt, args, nargs, nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, nkw, bound)) return nullptr;
    switch (rt.def->kind) {
        case Kind::Plain: {
            Frame frame{rt.body_tb_code, rt.globals, rt.def->line};
            FrameScope scope(&frame);
            try {
                Ref result = rt.def->plain(bound);
                if (rt.def->result == ResultCheck::Str)
                    expect_str(result);
                else if (rt.def->result == ResultCheck::List)
                    expect_list(result);
                return result.release();
            } catch (...) {
                restore_current_exception();
                return nullptr;
            }
        }
        case Kind::Coroutine: return new_coroutine({&rt, self->name, self->qualname, self->code}, std::move(bound));
        case Kind::AsyncGenerator:
            return new_async_generator({&rt, self->name, self->qualname, self->code}, std::move(bound));
        case Kind::Generator: return new_generator({&rt, self->name, self->qualname, self->code}, std::move(bound));
    }
    return nullptr;
}

// tuple/dict calls: unpack into the vectorcall layout, checking keyword types
// here so that the message names the method.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
        return function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs), nullptr);
    const MethodRuntime& rt = *as_function(callable)->runtime;
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    PyObject* stack[kMaxArgs * 2 + 8];
    if (nargs + nkw > static_cast<Py_ssize_t>(sizeof stack / sizeof stack[0])) {
        // Far more arguments than any method takes: the binder reports it.
        return function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs), nullptr);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Ref kwnames = steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", rt.def->name);
            add_traceback(rt.bind_tb_code, rt.globals, rt.def->line);
            return nullptr;
        }
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k++] = value;
    }
    return function_vectorcall(callable, stack, static_cast<size_t>(nargs), kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// --- attributes -----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(as_function(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to __defaults__ do not affect the values used in calls of this method", 1) < 0)
        return -1;
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_is_coroutine(PyObject* self, void*) {
    Kind kind = as_function(self)->runtime->def->kind;
    if (kind == Kind::Plain || kind == Kind::Generator) Py_RETURN_FALSE;
    if (!module_state.is_coroutine_marker) {
        PyObject* module = PyImport_ImportModule("asyncio.coroutines");
        if (module) {
            module_state.is_coroutine_marker = PyObject_GetAttrString(module, "_is_coroutine");
            Py_DECREF(module);
        }
        if (!module_state.is_coroutine_marker) {
            PyErr_Clear();
            Py_RETURN_TRUE;
        }
    }
    return Py_NewRef(module_state.is_coroutine_marker);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vexa.native.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

MethodCall method_call(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, Kwargs kwargs) {
    const size_t nargs = args.size(), nkw = kwargs.size();
    // [spare slot][obj][args][keyword values], as PyObject_VectorcallMethod takes them.
    PyObject* stack[2 + kMaxArgs + KeywordList::kCapacity];
    PyObject* names[KeywordList::kCapacity];
    if (nargs >= kMaxArgs || nkw > KeywordList::kCapacity)
        raise(PyExc_SystemError, "native call with too many arguments");
    size_t n = 1;
    stack[n++] = obj;
    for (PyObject* arg : args) stack[n++] = arg;
    size_t k = 0;
    for (const auto& [keyword, value] : kwargs) {
        names[k++] = keyword;
        stack[n++] = value;
    }
    PyObject* found;
    const int unbound = compat::get_method(obj, name, &found);
    Ref method = steal(found);
    if (!method) throw_error();
    if (unbound && Py_TYPE(method.get()) == function_type) {
        const MethodRuntime& rt = *as_function(method)->runtime;
        // (A body that awaits nothing is called as usual: there is no frame to run here.)
        if (rt.def->kind == Kind::Coroutine && rt.def->coroutine.task) {
            // Bound as the call would bind them, failing as it would.
            Args bound;
            if (!bind_call(rt, stack + 1, static_cast<Py_ssize_t>(1 + nargs), names, static_cast<Py_ssize_t>(nkw),
                           bound))
                throw_error();
            return MethodCall(std::move(method), std::move(bound));
        }
    }
    Ref kwnames = nkw ? kwnames_for(names, nkw) : Ref();
    PyObject* const* start = unbound ? stack + 1 : stack + 2;
    const size_t count = unbound ? 1 + nargs : nargs;
    return MethodCall(check(PyObject_Vectorcall(method, start, count | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames)));
}

bool init_function_type() {
    if (function_type) return true;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

Ref make_function(const MethodDef& def, const char* class_name, PyObject* module_name, PyObject* source_path,
                  PyObject* globals) {
    if (!init_function_type()) throw_error();
    if (def.params.size() > static_cast<size_t>(kMaxArgs))
        raise(PyExc_SystemError, "method table row with too many parameters");

    auto* rt = new MethodRuntime{};  // lives as long as the process, like the class tables
    rt->def = &def;
    rt->short_name = check(PyUnicode_InternFromString(def.name)).release();
    std::string qualname = std::string(class_name) + "." + def.name;
    rt->dotted_name = check(PyUnicode_FromFormat("%U.%s", module_name, qualname.c_str())).release();
    rt->globals = globals;
    rt->required = static_cast<int>(def.params.size());
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        rt->names.push_back(check(PyUnicode_InternFromString(p.name)).release());
        if (p.fallback.tag != Default::Tag::Required) {
            if (rt->required == static_cast<int>(def.params.size())) rt->required = static_cast<int>(i);
            rt->defaults.push_back(default_value(p.fallback).release());
        }
        if (p.check == Check::Float || p.check == Check::Bool) rt->converted |= 1u << i;
        if (p.check == Check::Str || p.check == Check::OptionalStr) rt->typed |= 1u << i;
        if (p.check == Check::OptionalStr) rt->optional_str |= 1u << i;
    }
    rt->plain_nargs = rt->converted ? -1 : static_cast<Py_ssize_t>(def.params.size());
    rt->bind_tb_code = check(traceback_code(source_path, rt->dotted_name, def.line)).release();
    rt->body_tb_code = def.kind == Kind::Plain ? Py_NewRef(rt->bind_tb_code)
                                               : check(traceback_code(source_path, rt->short_name, def.line)).release();

    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size() + def.locals.size())));
    Py_ssize_t v = 0;
    for (PyObject* name : rt->names) PyTuple_SET_ITEM(varnames.get(), v++, Py_NewRef(name));
    for (const char* local : def.locals)
        PyTuple_SET_ITEM(varnames.get(), v++, check(PyUnicode_InternFromString(local)).release());
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (def.kind == Kind::Coroutine) flags |= CO_COROUTINE;
    if (def.kind == Kind::AsyncGenerator) flags |= CO_ASYNC_GENERATOR;
    if (def.kind == Kind::Generator) flags |= CO_GENERATOR;
    Ref qualname_text = check(PyUnicode_FromString(qualname.c_str()));
    Ref code = check(compat::method_code(static_cast<int>(def.params.size()), flags, varnames, source_path,
                                         rt->short_name, qualname_text, def.line));

    Ref annotations = new_dict();
    for (size_t i = 0; i < def.params.size(); ++i)
        if (const char* ann = def.params[i].annotation)
            set_item(annotations, rt->names[i], check(PyUnicode_FromString(ann)));
    if (def.returns) check(PyDict_SetItemString(annotations, "return", check(PyUnicode_FromString(def.returns))));

    Ref defaults;
    if (!rt->defaults.empty()) {
        defaults = check(PyTuple_New(static_cast<Py_ssize_t>(rt->defaults.size())));
        for (size_t i = 0; i < rt->defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), Py_NewRef(rt->defaults[i]));
    }
    std::string doc = docstring(def, class_name);
    Ref doc_text = check(PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size())));

    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->runtime = rt;
    f->name = Py_NewRef(rt->short_name);
    f->qualname = qualname_text.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc_text.release();
    f->defaults = defaults.release();
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->code = code.release();
    f->globals = Py_NewRef(globals);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    Ref result = steal(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);
    return result;
}

}  // namespace vx
