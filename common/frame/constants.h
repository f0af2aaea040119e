// Constant strings and numbers, created once (strings interned) when the
// module executes.
#pragma once
#include <cstdint>

#include "compat/compat.h"
#include "frame/ref.h"

namespace vx {

// Declared at namespace scope in a module (`static const Str k_url{"url"};`);
// every instance registers itself and is created by `Str::create_all()`.
// The object is kept as a raw pointer on purpose: it lives until the process
// ends, and must not be released after the interpreter has shut down.
class Str {
public:
    explicit Str(const char* text);
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;

    operator PyObject*() const noexcept { return object_; }
    PyObject* get() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Creates every registered string and number; false with an error set.
    static bool create_all();

    // The module global of this name as last looked up (borrowed) and the
    // namespace version it was found at: the cache of global() (namespace.h).
    struct GlobalCache {
        PyObject* value = nullptr;
        uint64_t version = 0;
    };
    GlobalCache& global_cache() const noexcept { return cache_; }
    // What instances of the type last looked at find under this name: the
    // cache of getattr() and call_method() (ops.h).
    compat::InstanceAttrCache& attr_cache() const noexcept { return attr_cache_; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
    mutable GlobalCache cache_;
    mutable compat::InstanceAttrCache attr_cache_;
};

// A number constant, created with the strings (`static const Number k_one{1L};`).
class Number {
public:
    explicit Number(long value);
    explicit Number(double value);
    Number(const Number&) = delete;
    Number& operator=(const Number&) = delete;

    operator PyObject*() const noexcept { return object_; }
    PyObject* get() const noexcept { return object_; }
    bool create();

private:
    bool is_float_;
    long int_value_ = 0;
    double float_value_ = 0;
    PyObject* object_ = nullptr;
};

}  // namespace vx
