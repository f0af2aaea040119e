// Class and method tables: a class is its name, definition line and method
// rows; a row names its parameters, docstring, local names and body.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame/ref.h"

namespace vx {

// Generator: a plain method whose body only `co_yield`s (a GeneratorTask).
enum class Kind : uint8_t { Plain, Coroutine, AsyncGenerator, Generator };

// How the binder treats a parameter (its prefix in the signature line).
enum class Check : uint8_t { Any, Str, OptionalStr, Float, Bool };

// What a method checks about the value its body returns.
enum class ResultCheck : uint8_t { None, Str, List };

struct Default {
    enum class Tag : uint8_t { Required, None, False, Float, Member };
    Tag tag = Tag::Required;
    double number = 0;
    const char* owner = nullptr;   // Member: a module global, e.g. "JobStage"
    const char* member = nullptr;  // Member: its attribute, e.g. "POST_RUNNING"
    const char* text = nullptr;    // as the signature line shows it
};

inline constexpr Default none_default{Default::Tag::None, 0, nullptr, nullptr, "None"};
inline constexpr Default false_default{Default::Tag::False, 0, nullptr, nullptr, "False"};
constexpr Default float_default(double value, const char* text) {
    return {Default::Tag::Float, value, nullptr, nullptr, text};
}
constexpr Default member_default(const char* owner, const char* member, const char* text) {
    return {Default::Tag::Member, 0, owner, member, text};
}

struct Param {
    const char* name;
    Check check = Check::Any;
    const char* annotation = nullptr;  // text, never evaluated
    Default fallback = {};
};

// Bound arguments, `self` first. Coroutine bodies take them by value, so they
// live in the coroutine frame where the garbage collector can see them.
inline constexpr int kMaxArgs = 8;
// Only the first `count` slots are live (owned references). A move copies
// all the slots' bytes, live or not: a few fixed-size stores, where copying
// `count` of them is a call of memcpy (and a body's arguments are moved twice
// on their way into its frame).
class Args {
public:
    Args() noexcept = default;
    Args(Args&& other) noexcept : context(other.context), count_(other.count_) {
        std::memcpy(slots_, other.slots_, sizeof slots_);
        other.count_ = 0;
    }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() {
        for (int i = 0; i < count_; ++i) Py_XDECREF(slots_[i]);
    }

    PyObject* operator[](int i) const noexcept { return slots_[i]; }
    int count() const noexcept { return count_; }

    // For the binder: `count` empty slots, then filled or replaced one by one.
    void open(int count) noexcept {
        count_ = count;
        for (PyObject*& slot : slots_)
            slot = nullptr;  // all of them: a few stores, where `count` of them is a memset call
    }
    // For the binder's positional path: the first `count` slots, one new reference each.
    void fill(PyObject* const* values, int count) noexcept {
        count_ = count;
        for (int i = 0; i < count; ++i) slots_[i] = Py_NewRef(values[i]);
    }
    void set(int i, PyObject* value) noexcept { Py_XSETREF(slots_[i], Py_NewRef(value)); }
    void replace(int i, PyObject* owned) noexcept { Py_XSETREF(slots_[i], owned); }

    const void* context = nullptr;  // the method row's shared-body data

private:
    int count_ = 0;
    PyObject* slots_[kMaxArgs];
};

class CoroutineTask;
class GeneratorTask;
using PlainBody = Ref (*)(Args&);
using CoroutineBody = CoroutineTask (*)(Args);
using GeneratorBody = GeneratorTask (*)(Args);

// The body of a coroutine method: a C++ coroutine, or, for a body that
// awaits nothing, a plain function that the coroutine object's first step
// runs to its end. Such a body needs no coroutine frame: none is made,
// started, resumed and freed for it (the object holds only its arguments).
struct CoroutineBodies {
    CoroutineBody task = nullptr;
    PlainBody immediate = nullptr;
    constexpr CoroutineBodies() noexcept = default;
    constexpr CoroutineBodies(CoroutineBody body) noexcept : task(body) {}
    constexpr CoroutineBodies(PlainBody body) noexcept : immediate(body) {}
};

struct Section {
    const char* heading;
    std::vector<const char*> entries;
};

struct MethodDef {
    const char* name;
    int line;
    Kind kind = Kind::Plain;
    std::vector<Param> params;      // `self` included
    const char* returns = nullptr;  // return annotation text
    ResultCheck result = ResultCheck::None;
    std::vector<const char*> locals;  // body's local names, after the parameters
    const char* summary = nullptr;    // docstring summary; none for __init__
    std::vector<Section> sections;    // "Args:", "Returns:", "Yields:", "Raises:"
    PlainBody plain = nullptr;
    CoroutineBodies coroutine = {};
    GeneratorBody generator = nullptr;  // AsyncGenerator and Generator
    const void* context = nullptr;      // handed to a body shared by several rows
};

struct ClassDef {
    const char* name;
    int line;
    std::vector<MethodDef> methods;
};

}  // namespace vx
