// What a coroutine or async-generator method body includes: its task types.
// A body is a C++20 coroutine that `co_await`s Python awaitables (any `Ref`);
// the driver (driver.h, private to the frame) hands their yields to the event
// loop and resumes the body with the result, or throws the Python error into
// it as a PyError.
//
// Coding rule for `co_await` and `co_yield` (g++ 12 miscompiles other forms,
// see tests/cxx/co_await_forms.cpp): only as a whole statement
// `co_await std::move(name);`, or as the initializer of a named variable
// `Ref x = co_await std::move(name);`, on a named Ref. Never inside a
// brace-init list or aggregate initializer, a range-for over `{...}`, a
// condition (`if`, `while`, `&&`, `||`, `?:`), a lambda's full-expression,
// or a `catch` block (there the language forbids it: catch into an
// std::optional<PyError> and await after the handler). tests/test_source_rules.py
// checks this.
#pragma once
#include <coroutine>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <utility>

#include "compat/compat.h"
#include "frame/error.h"
#include "frame/table.h"
#include "frame/traceback.h"

namespace vx {

// The mailbox between a body and its driver. Every owned field is consumed
// exactly once.
// (It is part of every coroutine frame, so it is kept small: the two flags
// sit together. Frames of any size reuse the memory of finished ones, see
// driver.cpp.)
struct BodyState {
    Ref delegate;          // iterator an await is driving (cr_await)
    Ref yielded;           // value handed up at the latest suspension
    Ref resume_value;      // what the suspended await produces on resume...
    PyError resume_error;  // ...or throws
    Ref result;            // the body's return value
    PyError error;         // the error that escaped the body
    Frame frame;           // names the body's traceback entries
    Args* args = nullptr;  // the frame's copy of the arguments
    compat::ExcState exc_state{};
    bool wrapped = false;  // the latest suspension was a `co_yield` (async generators)
    ResultCheck result_check = ResultCheck::None;

    BodyState() = default;
    BodyState(const BodyState&) = delete;
    BodyState& operator=(const BodyState&) = delete;
    ~BodyState() {
        if (!compat::exc_state_is_empty(exc_state)) compat::clear_exc_state(exc_state);
    }
    int traverse(visitproc visit, void* arg) const;
    // The method's result rule (str or list, or None) applied where the body returns.
    void check_result(PyObject* value) const;
    // The body's end by the exception being handled: kept in `error`.
    void take_exception() noexcept;
};

// `await obj.name(...)`, the call made first and the await in a statement of
// its own, as the coding rule above wants it:
//     MethodCall listing = method_call(self, jobs::list, {}, {{jobs::job_type, job_type}});
//     Ref jobs = co_await std::move(listing);
// The method is found as `obj.name` would find it. When that is one of this
// module's native coroutine methods, the call only binds its arguments and
// the await runs its body within this one's step: no coroutine object is
// made unless the body suspends, and then it is made as the call would have
// made it, to be awaited as usual. Anything else is called at once, and its
// result awaited.
class MethodCall {
public:
    explicit MethodCall(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}
    MethodCall(Ref function, Args&& args) noexcept : function_(std::move(function)), args_(std::move(args)) {}
    MethodCall(MethodCall&&) noexcept = default;

private:
    friend class PyAwaiter;
    Ref awaitable_;  // what the call returned
    Ref function_;   // or the native method whose body is to run, on args_
    Args args_;
};
MethodCall method_call(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                       std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs = {});

// The awaiter of one `co_await`. It lives in the coroutine frame, once per
// await in the body, so it is kept small: what it holds is first the
// awaitable (or the method call to make), then the result or error of an
// await that finished at once.
class PyAwaiter {
public:
    PyAwaiter(Ref awaitable, BodyState* state) noexcept : held_(std::move(awaitable)), state_(state) {}
    PyAwaiter(MethodCall* call, BodyState* state) noexcept : call_(call), state_(state) {}
    // A real yield hands the iterator and the yielded value to the driver here
    // (await_suspend always follows a false return).
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept { outcome_ = Outcome::Suspended; }
    Ref await_resume();

private:
    enum class Outcome : uint8_t { Value, Error, Suspended };
    bool run_native_call();
    Ref held_;
    MethodCall* call_ = nullptr;
    BodyState* state_;
    Outcome outcome_ = Outcome::Value;
};

struct PromiseBase : BodyState {
    // Receives the frame's copies of the body's parameters; Args comes first.
    template <class... Rest>
    explicit PromiseBase(Args& frame_args, Rest&...) noexcept {
        args = &frame_args;
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { take_exception(); }
    PyAwaiter await_transform(Ref awaitable) noexcept { return PyAwaiter(std::move(awaitable), this); }
    PyAwaiter await_transform(MethodCall&& call) noexcept { return PyAwaiter(&call, this); }

    // One allocation: the frame is the variable-size tail of the Python
    // object that runs it, which owns (and frees) that memory.
    static void* operator new(std::size_t size);
    static void operator delete(void*) noexcept {}
};

class CoroutineTask {
public:
    struct promise_type : PromiseBase {
        using PromiseBase::PromiseBase;
        CoroutineTask get_return_object() noexcept {
            return CoroutineTask(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        void return_value(Ref value) {
            if (result_check != ResultCheck::None) check_result(value);
            result = std::move(value);
        }
    };
    explicit CoroutineTask(std::coroutine_handle<promise_type> h) noexcept : handle(h) {}
    std::coroutine_handle<promise_type> handle;
};

class GeneratorTask {
public:
    struct promise_type : PromiseBase {
        using PromiseBase::PromiseBase;
        GeneratorTask get_return_object() noexcept {
            return GeneratorTask(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        void return_void() noexcept {}
        // A `co_yield` hands its value to the caller of asend/athrow (of
        // next/send for a plain generator); what is thrown in while suspended
        // there comes out of the co_yield.
        struct YieldAwaiter {
            BodyState* state;
            bool await_ready() const noexcept { return false; }
            void await_suspend(std::coroutine_handle<>) const noexcept {}
            void await_resume() const {
                if (state->resume_error) throw PyError(std::move(state->resume_error));
                state->resume_value.reset();
            }
        };
        YieldAwaiter yield_value(Ref value) noexcept {
            yielded = std::move(value);
            wrapped = true;
            return {this};
        }
    };
    explicit GeneratorTask(std::coroutine_handle<promise_type> h) noexcept : handle(h) {}
    std::coroutine_handle<promise_type> handle;
};

}  // namespace vx
