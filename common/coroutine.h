// Native coroutines and asynchronous generators whose bodies are C++20
// coroutines. A body `co_await`s Python awaitables (any `Ref`); the driver
// hands their yields to the event loop and resumes the body with the result,
// or throws the Python error into it as a PyError.
#pragma once
#include <coroutine>
#include <cstddef>
#include <new>

#include "compat.h"
#include "frame.h"
#include "function.h"
#include "ref.h"

namespace vx {

// The mailbox between a body and its driver. Every owned field is consumed
// exactly once.
struct BodyState {
    Ref delegate;            // iterator an await is driving (cr_await)
    Ref yielded;             // value handed up at the latest suspension
    bool wrapped = false;    // that suspension was a `co_yield` (async generators)
    Ref resume_value;        // what the suspended await produces on resume...
    PyError resume_error;    // ...or throws
    Ref result;              // the body's return value
    PyError error;           // the error that escaped the body
    ResultCheck result_check = ResultCheck::None;
    Frame frame;             // names the body's traceback entries
    Args* args = nullptr;    // the frame's copy of the arguments
    compat::ExcState exc_state{};

    BodyState() = default;
    BodyState(const BodyState&) = delete;
    BodyState& operator=(const BodyState&) = delete;
    ~BodyState() { compat::clear_exc_state(exc_state); }
    int traverse(visitproc visit, void* arg) const;
};


class PyAwaiter {
public:
    PyAwaiter(Ref awaitable, BodyState* state) noexcept : awaitable_(std::move(awaitable)), state_(state) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept {
        suspended_ = true;
        state_->delegate = std::move(iter_);
        state_->yielded = std::move(value_);
        state_->wrapped = false;
    }
    Ref await_resume();

private:
    Ref awaitable_;
    Ref iter_;
    Ref value_;
    PyError error_;
    BodyState* state_;
    bool suspended_ = false;
};

struct PromiseBase : BodyState {
    // Receives the frame's copies of the body's parameters; Args comes first.
    template <class... Rest>
    explicit PromiseBase(Args& frame_args, Rest&...) noexcept {
        args = &frame_args;
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept;
    PyAwaiter await_transform(Ref awaitable) noexcept { return PyAwaiter(std::move(awaitable), this); }

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
        void return_value(Ref value);
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
        // A `co_yield` hands its value to the caller of asend/athrow; what is
        // thrown in while suspended there comes out of the co_yield.
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

// The Python objects. One struct serves both kinds.
enum class BodyStatus : uint8_t { Created, Suspended, Running, Closed };

struct CoroutineObject {
    PyObject_VAR_HEAD
    std::coroutine_handle<> handle;
    BodyState* body;          // null once the frame is gone
    BodyStatus status;
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* weakrefs;
    // asynchronous generators only
    PyObject* finalizer;
    bool hooks_inited;
    bool closed;              // aclose() finished, or the body ended
    bool running_async;       // an asend/athrow awaitable is in progress
};

PyObject* new_coroutine(FunctionObject* function, Args&& args);
PyObject* new_async_generator(FunctionObject* function, Args&& args);

// Driver shared by both kinds (mirrors the interpreter's generator driver).
PySendResult body_send(CoroutineObject* self, PyObject* arg, bool exc, bool closing, PyObject** out);
PyObject* body_throw(CoroutineObject* self, bool close_on_genexit, PyObject* type, PyObject* value,
                     PyObject* traceback);
PyObject* body_close(CoroutineObject* self);
void destroy_body(CoroutineObject* self) noexcept;
int body_traverse(PyObject* obj, visitproc visit, void* arg);
// What a driver step means to a caller of send()/throw(): a returned value
// ends the iteration (StopIteration, or StopAsyncIteration for a generator).
PyObject* send_result_to_call(CoroutineObject* self, PySendResult status, PyObject* out);

// Slots shared by the coroutine and asynchronous generator types.
CoroutineObject* as_body(PyObject* obj);
// Creates the object of `type` running `body` on `args` (frame included).
template <class Task, class Body>
CoroutineObject* new_body_object(PyTypeObject* type, FunctionObject* function, Body body, Args&& args);
void body_dealloc(PyObject* obj);
int body_clear(PyObject* obj);
void body_finalize(PyObject* obj);
PyObject* body_get_name(PyObject* obj, void*);
int body_set_name(PyObject* obj, PyObject* value, void*);
PyObject* body_get_qualname(PyObject* obj, void*);
int body_set_qualname(PyObject* obj, PyObject* value, void*);
PyObject* body_get_await(PyObject* obj, void*);
PyObject* body_get_running(PyObject* obj, void*);
PyObject* body_get_code(PyObject* obj, void*);
PyObject* body_get_none(PyObject* obj, void*);
PyObject* body_get_frame(PyObject* obj, void*);
extern PyMemberDef body_members[];

extern PyTypeObject* coroutine_type;
extern PyTypeObject* async_generator_type;
bool init_coroutine_types();
bool init_async_generator_types();

// Raises `obj` as the interpreter's `raise obj` does, and throws it.
[[noreturn, gnu::cold]] void raise_object(PyObject* obj);

}  // namespace vx
