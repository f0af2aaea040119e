// Small, throwing wrappers over the object and call protocols, so that bodies
// read like the algorithms they implement.
#pragma once
#include <initializer_list>
#include <utility>

#include "frame/constants.h"
#include "frame/error.h"

namespace vx {

using Kwargs = std::initializer_list<std::pair<PyObject*, PyObject*>>;

// The names are str, so the type's own slot is called directly, as
// PyObject_GetAttr would after its checks.
inline Ref getattr(PyObject* obj, PyObject* name) {
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    return check(get ? get(obj, name) : PyObject_GetAttr(obj, name));
}
// `getattr(obj, name, None)` without raising and catching AttributeError: an
// empty Ref when the attribute is missing.
Ref getattr_optional(PyObject* obj, PyObject* name);
// The same two for a name constant, which keeps what instances of the type
// last looked at find under it (compat::InstanceAttrCache): a parent client's
// `base_url` is then read from its __dict__ with no walk along its class's MRO.
inline Ref getattr(PyObject* obj, const Str& name) {
    PyObject* result;
    switch (compat::cached_getattr(obj, name, name.attr_cache(), &result)) {
        case 1: return steal(result);
        case -1: throw_error();
        default: return getattr(obj, name.get());  // also for the AttributeError of a missing one
    }
}
inline Ref getattr_optional(PyObject* obj, const Str& name) {
    PyObject* result;
    switch (compat::cached_getattr(obj, name, name.attr_cache(), &result)) {
        case 1: return steal(result);
        case 0: return Ref();
        case -1: throw_error();
        default: return getattr_optional(obj, name.get());
    }
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}, Kwargs kwargs = {});
// The keyword-name tuple of a vectorcall naming these keywords (kept for the next call).
Ref kwnames_for(PyObject* const* names, size_t count);
// Keyword arguments known only at run time, held on the stack: a name (an
// interned constant) and an owned value each, at most kCapacity. Only the
// first size() entries are live, so an empty list costs nothing to make or
// drop.
class KeywordList {
public:
    static constexpr int kCapacity = 8;
    KeywordList() noexcept = default;
    KeywordList(std::initializer_list<std::pair<PyObject*, Ref>> items) {
        for (const auto& [name, value] : items) emplace_back(name, value);
    }
    KeywordList(const KeywordList&) = delete;
    KeywordList& operator=(const KeywordList&) = delete;
    KeywordList(KeywordList&& other) noexcept : size_(other.size_) {
        for (int i = 0; i < size_; ++i) {
            names_[i] = other.names_[i];
            values_[i] = other.values_[i];
        }
        other.size_ = 0;
    }
    ~KeywordList() {
        for (int i = 0; i < size_; ++i) Py_DECREF(values_[i]);
    }

    void emplace_back(PyObject* name, Ref value);
    // Appends the keywords of `more`, which is left empty.
    void extend(KeywordList&& more);
    int size() const noexcept { return size_; }
    PyObject* const* names() const noexcept { return names_; }
    PyObject* value(int i) const noexcept { return values_[i]; }

private:
    int size_ = 0;
    PyObject* names_[kCapacity];
    PyObject* values_[kCapacity];  // owned
};
// `callable(*args, **kwargs)`; with `self`, `callable(self, *args, **kwargs)`
// (a method found on self's type, called as `self.name(...)` calls it).
Ref call_keywords(PyObject* callable, std::initializer_list<PyObject*> args, const KeywordList& kwargs,
                  PyObject* self = nullptr);
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, Kwargs kwargs = {});
// `obj.name()`: the method found on the type is called with obj, no bound method.
inline Ref call_method(PyObject* obj, PyObject* name) {
    PyObject* stack[2] = {nullptr, obj};  // stack[0]: the slot PY_VECTORCALL_ARGUMENTS_OFFSET lends the callee
    return check(PyObject_VectorcallMethod(name, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// The same two for a name constant, whose cache finds the method (as getattr()).
Ref call_method(PyObject* obj, const Str& name, std::initializer_list<PyObject*> args, Kwargs kwargs = {});
Ref call_method(PyObject* obj, const Str& name);

// The text form a formatted-string placeholder gives (a str is used as is).
Ref text(PyObject* obj);
// Concatenation of strings (URL pieces).
Ref join(std::initializer_list<PyObject*> pieces);

Ref new_dict();
inline void set_item(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }
inline bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline bool equals(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }
inline bool not_equals(PyObject* a, PyObject* b) {
    Ref result = check(PyObject_RichCompare(a, b, Py_NE));
    return truth(result);
}

// `callable(**mapping)`, with the interpreter's message for a non-mapping.
Ref call_expanded(PyObject* callable, PyObject* mapping);
// `[callable(**item) for item in iterable]`, in one pass.
Ref call_expanded_each(PyObject* callable, PyObject* iterable);

// Result rules: exactly str (or None) / exactly list (or None).
PyObject* expect_str(PyObject* value);
PyObject* expect_list(PyObject* value);

// The iterator that `await o` drives, as the interpreter's GET_AWAITABLE
// finds it; NULL with an error set.
PyObject* awaitable_iter(PyObject* o);

inline Ref new_none() noexcept { return borrow(Py_None); }

}  // namespace vx
