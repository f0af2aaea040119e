// The driver shared by native coroutines, generators and asynchronous
// generators: the awaiter and promise of a body, the send/throw/close steps
// that follow the interpreter's generator driver step by step (so that native
// bodies behave like `def` and `async def` ones to every caller), the slots
// the three types share, and the creation of a body object with its frame as
// the object's tail.
#include <cassert>
#include <stdexcept>
#include <utility>

#include "frame/constants.h"
#include "frame/driver.h"
#include "frame/ops.h"
#include "frame/slots.h"
#include "frame/state.h"
#include "frame/statements.h"

namespace vx {

namespace {
const Str k_close{"close"}, k_throw{"throw"};

// "coroutine '...' was never awaited", as the interpreter words it.
void warn_unawaited(PyObject* qualname) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", qualname) < 0)
        PyErr_WriteUnraisable(qualname);
}
}  // namespace

int BodyState::traverse(visitproc visit, void* arg) const {
    if (args)
        for (int i = 0; i < args->count(); ++i) Py_VISIT((*args)[i]);
    Py_VISIT(delegate.get());
    Py_VISIT(yielded.get());
    Py_VISIT(resume_value.get());
    Py_VISIT(result.get());
    if (int r = resume_error.traverse(visit, arg)) return r;
    if (int r = error.traverse(visit, arg)) return r;
    return compat::traverse_exc_state(exc_state, visit, arg);
}

namespace {
// The first step of an await, on `iter`, what the await drives: the
// awaitable itself for a coroutine, else what its __await__ gave.
VX_HOT PySendResult first_send(PyObject* iter, PyObject** value) {
    PyTypeObject* type = Py_TYPE(iter);
    // One of this module's bodies: its own step, as its am_send slot would take it.
    if (type == coroutine_type) return body_send(as_body(iter), Py_None, false, false, value);
    if (type == &PyCoro_Type && compat::coroutine_is_awaiting(iter)) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return PYGEN_ERROR;
    }
    const PyAsyncMethods* async = type->tp_as_async;
    if (async && async->am_send) return async->am_send(iter, Py_None, value);
    return PyIter_Send(iter, Py_None, value);
}

// What `await` drives for `awaitable` (GET_AWAITABLE); NULL with an error set.
VX_HOT PyObject* await_target(PyObject* awaitable) {
    if (Py_TYPE(awaitable) != coroutine_type) return awaitable_iter(awaitable);
    // As this type's am_await would answer.
    CoroutineObject* coroutine = as_body(awaitable);
    if (coroutine->status == BodyStatus::Suspended && coroutine->body->delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(awaitable);
}
}  // namespace

VX_HOT bool PyAwaiter::await_ready() {
    if (call_) {
        if (call_->function_) return run_native_call();
        held_ = std::move(call_->awaitable_);
    }
    Ref iter = steal(await_target(held_));
    held_.reset();
    // Eager first step: an awaitable that completes at once never suspends the body.
    PyObject* value = nullptr;
    switch (iter ? first_send(iter, &value) : PYGEN_ERROR) {
        case PYGEN_RETURN: held_ = steal(value); return true;
        case PYGEN_ERROR:
            held_ = borrow(capture_error().value());
            outcome_ = Outcome::Error;
            return true;
        case PYGEN_NEXT: break;
    }
    state_->delegate = std::move(iter);
    state_->yielded = steal(value);
    state_->wrapped = false;
    return false;
}

VX_HOT Ref PyAwaiter::await_resume() {
    switch (outcome_) {
        case Outcome::Suspended:
            if (state_->resume_error) throw PyError(std::move(state_->resume_error));
            return std::move(state_->resume_value);
        case Outcome::Error: throw PyError(std::move(held_));
        case Outcome::Value: break;
    }
    return std::move(held_);
}

void BodyState::take_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        error = std::move(e);
    } catch (...) {
        restore_current_exception();
        error = capture_error();
    }
}

void BodyState::check_result(PyObject* value) const {
    if (result_check == ResultCheck::Str)
        expect_str(value);
    else if (result_check == ResultCheck::List)
        expect_list(value);
}

// --- the driver -------------------------------------------------------------

namespace {

// A body object's frame follows its fields, aligned for any frame member.
constexpr size_t kFrameAlign = 16;
// The frame goes through operator new(size_t) and must need no more than its
// alignment, which the object's memory (pymalloc's 16-byte blocks on 64-bit
// targets) gives at this offset.
static_assert(kFrameAlign >= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "a body's frame may need more alignment");
constexpr size_t kFrameOffset = (sizeof(CoroutineObject) + kFrameAlign - 1) / kFrameAlign * kFrameAlign;

// What an immediate coroutine (CoroutineObject::immediate) holds where
// another holds its frame.
struct ImmediateFrame {
    BodyState state;
    Args args;
    explicit ImmediateFrame(Args&& bound) noexcept : args(std::move(bound)) { state.args = &args; }
};
static_assert(alignof(ImmediateFrame) <= kFrameAlign);

ImmediateFrame* immediate_frame(CoroutineObject* self) {
    return reinterpret_cast<ImmediateFrame*>(reinterpret_cast<char*>(self) + kFrameOffset);
}

// The whole run of an immediate body, as the frame of a coroutine that
// returns without awaiting would run it.
VX_HOT void run_immediate(PlainBody body, BodyState& state) noexcept {
    try {
        Ref value = body(*state.args);
        if (state.result_check != ResultCheck::None) state.check_result(value);
        state.result = std::move(value);
    } catch (...) {
        state.take_exception();
    }
}

bool is_async_generator(CoroutineObject* self) { return Py_TYPE(self) == async_generator_type; }

bool is_coroutine(CoroutineObject* self) { return Py_TYPE(self) == coroutine_type; }

const char* kind_name(CoroutineObject* self) {
    return is_coroutine(self) ? "coroutine" : is_async_generator(self) ? "async generator" : "generator";
}

// StopIteration (and StopAsyncIteration from a generator) must not leave a
// body as such: it would end the caller's iteration silently.
void convert_escaped_stop(CoroutineObject* self) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        compat::format_from_cause(PyExc_RuntimeError, "%s raised StopIteration", kind_name(self));
    } else if (is_async_generator(self) && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
        compat::format_from_cause(PyExc_RuntimeError, "%s raised StopAsyncIteration", kind_name(self));
    }
}

// Ends a body that has a frame, while no error is pending.
VX_HOT void destroy_frame(CoroutineObject* self) noexcept {
    std::coroutine_handle<> handle = self->handle;
    self->status = BodyStatus::Closed;
    self->closed = true;
    self->body = nullptr;
    self->handle = {};
    if (handle)
        handle.destroy();
    else
        immediate_frame(self)->~ImmediateFrame();
}

VX_HOT PySendResult resume(CoroutineObject* self, PyObject** out) {
    BodyState& body = *self->body;
    self->status = BodyStatus::Running;
    {
        compat::ExcStateScope exc_state(&body.exc_state);
        FrameScope frame(&body.frame);
        if (PlainBody immediate = self->immediate)
            run_immediate(immediate, body);
        else
            self->handle.resume();
    }
    if (!self->immediate && !self->handle.done()) {
        self->status = BodyStatus::Suspended;
        *out = body.yielded.release();
        return PYGEN_NEXT;
    }
    Ref result = std::move(body.result);
    PyError error = std::move(body.error);
    // The body's error is in hand, not pending: nothing to keep aside.
    destroy_frame(self);
    if (!error) {
        *out = result ? result.release() : Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    error.restore();
    convert_escaped_stop(self);
    return PYGEN_ERROR;
}

}  // namespace

VX_HOT PySendResult body_start(CoroutineObject* self, PyObject** out) {
    *out = nullptr;  // as body_send leaves it where the step fails
    return resume(self, out);
}

namespace {

// Ends a body that never started, with the pending error, without running it.
PySendResult fail_unstarted(CoroutineObject* self) {
    BodyState& body = *self->body;
    add_traceback(body.frame.tb_code, body.frame.globals, body.frame.first_line);
    destroy_body(self);
    if (compat::converts_stop_thrown_before_start) convert_escaped_stop(self);
    return PYGEN_ERROR;
}

// `type(value)` as the interpreter normalises a thrown (type, value) pair:
// an instance of `type` is used as is, None means no arguments, a tuple the
// arguments. NULL with an error set.
PyObject* instantiate_exception(PyObject* type, PyObject* value) {
    if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) return Py_NewRef(value);
    PyObject* exc = !value || value == Py_None ? PyObject_CallNoArgs(type)
                    : PyTuple_Check(value)     ? PyObject_Call(type, value, nullptr)
                                               : PyObject_CallOneArg(type, value);
    if (exc && !PyExceptionInstance_Check(exc)) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
                     Py_TYPE(exc)->tp_name);
        Py_CLEAR(exc);
    }
    return exc;
}

// The await in progress produces the value of the StopIteration `exc`.
PyObject* resume_with_stop_value(CoroutineObject* self, PyObject* exc) {
    self->body->delegate.reset();
    PyObject* value = reinterpret_cast<PyStopIterationObject*>(exc)->value;
    PyObject* out = nullptr;
    PySendResult status = body_send(self, value ? value : Py_None, false, false, &out);
    return send_result_to_call(self, status, out);
}

int close_iter(PyObject* iter) {
    Ref method;
    if (compat::lookup_attr(iter, k_close, method.slot()) < 0) PyErr_WriteUnraisable(iter);
    if (method) {
        Ref result = steal(PyObject_CallNoArgs(method));
        if (!result) return -1;
    }
    return 0;
}

}  // namespace

VX_HOT PyObject* send_result_to_call(CoroutineObject* self, PySendResult status, PyObject* out) {
    if (status != PYGEN_RETURN) return out;
    if (is_async_generator(self))
        PyErr_SetNone(PyExc_StopAsyncIteration);
    else if (out == Py_None)
        PyErr_SetNone(PyExc_StopIteration);
    else
        compat::set_stop_iteration_value(out);
    Py_DECREF(out);
    return nullptr;
}

VX_HOT void destroy_body(CoroutineObject* self) noexcept {
    if (!self->body) {
        self->status = BodyStatus::Closed;
        self->closed = true;
        return;
    }
    // Destructors release references and can run arbitrary code.
    if (!PyErr_Occurred()) return destroy_frame(self);
    ErrorScope pending;
    destroy_frame(self);
}

VX_HOT PySendResult body_send(CoroutineObject* self, PyObject* arg, bool exc, bool closing, PyObject** out) {
    *out = nullptr;
    if (self->status == BodyStatus::Running) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(self));
        return PYGEN_ERROR;
    }
    if (self->status == BodyStatus::Closed) {
        if (is_coroutine(self) && !closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (arg && !exc) {
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        return PYGEN_ERROR;
    }
    BodyState& body = *self->body;
    if (self->status == BodyStatus::Created) {
        if (exc) {
            compat::chain_thrown_error(&body.exc_state);
            return fail_unstarted(self);
        }
        if (arg && arg != Py_None) {
            PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(self));
            return PYGEN_ERROR;
        }
        return resume(self, out);
    }
    if (exc) {
        FrameScope frame(&body.frame);
        compat::chain_thrown_error(&body.exc_state);
        body.delegate.reset();
        body.resume_error = capture_error();
    } else if (body.delegate) {
        // An await is in progress: pass the value on to what it awaits.
        self->status = BodyStatus::Running;
        PyObject* value = nullptr;
        PySendResult status;
        {
            compat::ExcStateScope exc_state(&body.exc_state);
            FrameScope frame(&body.frame);
            status = PyIter_Send(body.delegate, arg ? arg : Py_None, &value);
            if (status == PYGEN_ERROR) body.resume_error = capture_error();
        }
        if (status == PYGEN_NEXT) {
            self->status = BodyStatus::Suspended;
            *out = value;
            return PYGEN_NEXT;
        }
        body.delegate.reset();
        if (status == PYGEN_RETURN) body.resume_value = steal(value);
    } else {
        body.resume_value = borrow(arg ? arg : Py_None);
    }
    return resume(self, out);
}

PyObject* body_throw(CoroutineObject* self, bool close_on_genexit, PyObject* type, PyObject* value,
                     PyObject* traceback) {
    PyObject* out = nullptr;
    if (self->status == BodyStatus::Suspended && self->body->delegate) {
        Ref delegate = self->body->delegate;
        if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit) && close_on_genexit) {
            self->status = BodyStatus::Running;
            int err = close_iter(delegate);
            self->status = BodyStatus::Suspended;
            if (err < 0) {
                // The delegate's failure to close is thrown in instead.
                PySendResult status = body_send(self, Py_None, true, false, &out);
                return send_result_to_call(self, status, out);
            }
            goto throw_here;
        }
        Ref method;
        if (compat::lookup_attr(delegate, k_throw, method.slot()) < 0) return nullptr;
        if (!method) {
            if (compat::await_returns_thrown_stop_iteration && PyErr_GivenExceptionMatches(type, PyExc_StopIteration)) {
                Ref exc = PyExceptionClass_Check(type) ? steal(instantiate_exception(type, value)) : borrow(type);
                if (!exc) return nullptr;
                return resume_with_stop_value(self, exc);
            }
            goto throw_here;
        }
        self->status = BodyStatus::Running;
        Ref result;
        {
            compat::ExcStateScope exc_state(&self->body->exc_state);
            result = steal(PyObject_CallFunctionObjArgs(method, type, value, traceback, nullptr));
        }
        self->status = BodyStatus::Suspended;
        if (result) return result.release();
        self->body->delegate.reset();
        PyObject* returned = nullptr;
        PySendResult status;
        if (compat::fetch_stop_iteration_value(&returned) == 0) {
            status = body_send(self, returned, false, false, &out);
            Py_DECREF(returned);
        } else {
            status = body_send(self, Py_None, true, false, &out);
        }
        return send_result_to_call(self, status, out);
    }

throw_here:
    if (traceback == Py_None) {
        traceback = nullptr;
    } else if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        // A failing constructor's own error is what gets thrown in.
        if (PyObject* exc = instantiate_exception(type, value)) {
            if (traceback) PyException_SetTraceback(exc, traceback);
            compat::restore_error(exc);
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        if (traceback) PyException_SetTraceback(type, traceback);
        compat::restore_error(Py_NewRef(type));
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    PySendResult status = body_send(self, Py_None, true, false, &out);
    return send_result_to_call(self, status, out);
}

PyObject* body_close(CoroutineObject* self) {
    if (self->status == BodyStatus::Created) {
        // The GeneratorExit would end the body before its first statement:
        // nothing to run, nothing to report.
        destroy_body(self);
        Py_RETURN_NONE;
    }
    int err = 0;
    if (self->status == BodyStatus::Suspended && self->body->delegate) {
        Ref delegate = self->body->delegate;
        self->status = BodyStatus::Running;
        err = close_iter(delegate);
        self->status = BodyStatus::Suspended;
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    PySendResult status = body_send(self, Py_None, true, true, &out);
    if (status == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(self));
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

int body_traverse(PyObject* obj, visitproc visit, void* arg) {
    CoroutineObject* self = as_body(obj);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->code);
    Py_VISIT(self->finalizer);
    if (self->body) return self->body->traverse(visit, arg);
    return 0;
}

PyMemberDef body_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// --- creation and the shared slots --------------------------------------------

int body_clear(PyObject* obj) {
    CoroutineObject* self = as_body(obj);
    Py_CLEAR(self->finalizer);
    destroy_body(self);
    return 0;
}

void body_finalize(PyObject* obj) {
    CoroutineObject* self = as_body(obj);
    if (!self->body) return;
    ErrorScope pending;
    if (is_async_generator(self) && self->finalizer && !self->closed) {
        // The event loop closes the generator asynchronously.
        Ref result = steal(PyObject_CallOneArg(self->finalizer, obj));
        if (!result) PyErr_WriteUnraisable(obj);
    } else if (is_coroutine(self) && self->status == BodyStatus::Created) {
        warn_unawaited(self->qualname);
        destroy_body(self);
    } else {
        Ref result = steal(body_close(self));
        if (!result && PyErr_Occurred()) PyErr_WriteUnraisable(obj);
    }
}

namespace {
// A body object is made and dropped on every call of its method, and most
// are larger than the interpreter's small-object allocator takes. So the
// memory of a finished one is kept, a few blocks per 64-byte size class, and
// given to the next body of its class: no allocation, no collector
// bookkeeping on either end. Objects are made as large as their class, so
// that any block of a class fits every body of it. AddressSanitizer builds
// keep nothing: it should see every use of freed memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeepBlocks = false;
#else
constexpr bool kKeepBlocks = true;
#endif
#else
constexpr bool kKeepBlocks = true;
#endif
constexpr size_t kBlockGranule = 64;

size_t block_class(size_t bytes) { return (bytes - 1) / kBlockGranule; }

CoroutineObject* new_body_memory(PyTypeObject* type, size_t bytes) {
    const size_t size_class = block_class(bytes);
    if (size_class >= ModuleState::kBodyBlockClasses)
        return PyObject_GC_NewVar(CoroutineObject, type, static_cast<Py_ssize_t>(bytes - sizeof(CoroutineObject)));
    const Py_ssize_t items = static_cast<Py_ssize_t>((size_class + 1) * kBlockGranule - sizeof(CoroutineObject));
    if (uint8_t& count = module_state.body_block_count[size_class]; kKeepBlocks && count) {
        PyObject* memory = module_state.body_blocks[size_class][--count];
        return reinterpret_cast<CoroutineObject*>(compat::revive_gc_object(memory, type, items));
    }
    return PyObject_GC_NewVar(CoroutineObject, type, items);
}

// Frees a dead, untracked body object, or keeps its memory.
void free_body_memory(PyObject* obj) {
    const size_t size_class = block_class(sizeof(CoroutineObject) + static_cast<size_t>(Py_SIZE(obj)));
    if (kKeepBlocks && size_class < ModuleState::kBodyBlockClasses) {
        uint8_t& count = module_state.body_block_count[size_class];
        if (count < ModuleState::kBodyBlocksPerClass) {
            module_state.body_blocks[size_class][count++] = obj;
            return;
        }
    }
    PyObject_GC_Del(obj);
}
}  // namespace

VX_HOT void body_dealloc(PyObject* obj) {
    CoroutineObject* self = as_body(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs) PyObject_ClearWeakRefs(obj);
    if (self->body) {
        PyObject_GC_Track(obj);
        if (PyObject_CallFinalizerFromDealloc(obj)) return;  // resurrected
        PyObject_GC_UnTrack(obj);
    }
    Py_CLEAR(self->finalizer);
    if (self->body) destroy_body(self);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    PyTypeObject* type = Py_TYPE(obj);
    free_body_memory(obj);
    Py_DECREF(type);
}

PyObject* body_get_name(PyObject* obj, void*) { return Py_NewRef(as_body(obj)->name); }
int body_set_name(PyObject* obj, PyObject* value, void*) {
    return set_text_attribute(as_body(obj)->name, value, "__name__ must be set to a string object");
}
PyObject* body_get_qualname(PyObject* obj, void*) { return Py_NewRef(as_body(obj)->qualname); }
int body_set_qualname(PyObject* obj, PyObject* value, void*) {
    return set_text_attribute(as_body(obj)->qualname, value, "__qualname__ must be set to a string object");
}
PyObject* body_get_await(PyObject* obj, void*) {
    CoroutineObject* self = as_body(obj);
    PyObject* delegate = self->body ? self->body->delegate.get() : nullptr;
    return Py_NewRef(delegate ? delegate : Py_None);
}
PyObject* body_get_running(PyObject* obj, void*) {
    return PyBool_FromLong(as_body(obj)->status == BodyStatus::Running);
}
PyObject* body_get_suspended(PyObject* obj, void*) {
    return PyBool_FromLong(as_body(obj)->status == BodyStatus::Suspended);
}
PyObject* body_get_state(PyObject* obj, void* prefix) {
    const char* state = "CREATED";
    switch (as_body(obj)->status) {
        case BodyStatus::Created: break;
        case BodyStatus::Running: state = "RUNNING"; break;
        case BodyStatus::Suspended: state = "SUSPENDED"; break;
        case BodyStatus::Closed: state = "CLOSED"; break;
    }
    PyObject* name = PyUnicode_FromFormat("%s_%s", static_cast<const char*>(prefix), state);
    if (name) PyUnicode_InternInPlace(&name);
    return name;
}
PyObject* body_get_code(PyObject* obj, void*) { return Py_NewRef(as_body(obj)->code); }
PyObject* body_get_none(PyObject*, void*) { Py_RETURN_NONE; }

// A frame standing for the body, so that inspect and asyncio can tell its
// state: none once closed, not started (f_lasti -1) or suspended at a line.
PyObject* body_get_frame(PyObject* obj, void*) {
    CoroutineObject* self = as_body(obj);
    if (!self->body) Py_RETURN_NONE;
    PyFrameObject* frame = compat::new_frame(self->code, self->body->frame.globals, self->body->frame.line(),
                                             self->status != BodyStatus::Created);
    return reinterpret_cast<PyObject*>(frame);
}

namespace {
// A body's frame is allocated by the compiler-generated call of the body
// function, which gives operator new only the size. The type of the object
// that will hold the frame is therefore handed over here, set right before
// that call and taken (reset) by the one allocation it is meant for: nothing
// runs in between that could make another body. A stray allocation finds no
// type and fails loudly.
PyTypeObject* pending_type = nullptr;
CoroutineObject* pending_object = nullptr;

}  // namespace

VX_HOT void* PromiseBase::operator new(std::size_t size) {
    PyTypeObject* type = std::exchange(pending_type, nullptr);
    assert(type && "a body's frame allocated outside new_body_object");
    if (!type) throw std::logic_error("coroutine frame allocated outside its object's creation");
    CoroutineObject* self = new_body_memory(type, kFrameOffset + size);
    if (!self) throw std::bad_alloc();
    self->body = nullptr;  // until the frame is complete: what a failure leaves behind frees no frame
    pending_object = self;
    return reinterpret_cast<char*>(self) + kFrameOffset;
}

namespace {

// The object of `type` with `body`'s frame on `args`, ready to start but not
// yet seen by the collector nor named: the frame of an awaited native call
// runs like this as long as it does not suspend (see run_native_call).
// The fields every new body object starts with, whether its body is a C++
// coroutine frame (`handle`) or a plain function run whole (`immediate`).
VX_HOT inline void init_body_fields(CoroutineObject* self, BodyState* state, const MethodRuntime& rt,
                                    std::coroutine_handle<> handle, PlainBody immediate) {
    state->frame = Frame{rt.body_tb_code, rt.globals, rt.def->line};
    state->result_check = rt.def->result;
    self->handle = handle;
    self->body = state;
    self->immediate = immediate;
    self->status = BodyStatus::Created;
    self->weakrefs = nullptr;
    self->finalizer = nullptr;
    self->hooks_inited = false;
    self->closed = false;
    self->running_async = false;
}

template <class Task, class Body>
VX_HOT CoroutineObject* start_body(PyTypeObject* type, const MethodRuntime& rt, Body body, Args&& args) {
    assert(!pending_type && !pending_object);
    pending_type = type;
    try {
        Task task = body(std::move(args));
        CoroutineObject* self = std::exchange(pending_object, nullptr);
        if (!self) raise(PyExc_SystemError, "coroutine frame was not allocated by its object");
        init_body_fields(self, &task.handle.promise(), rt, task.handle, nullptr);
        self->name = nullptr;
        self->qualname = nullptr;
        self->code = nullptr;
        return self;
    } catch (...) {
        pending_type = nullptr;
        pending_object = nullptr;
        restore_current_exception();
        return nullptr;
    }
}

// Gives a started body its names (what its method function shows at the
// call) and hands it to the collector: a complete body object.
VX_HOT CoroutineObject* name_body(CoroutineObject* self, PyObject* name, PyObject* qualname, PyObject* code) {
    self->name = Py_NewRef(name);
    self->qualname = Py_NewRef(qualname);
    self->code = Py_NewRef(code);
    PyObject_GC_Track(self);
    return self;
}

template <class Task, class Body>
VX_HOT CoroutineObject* new_body_object(PyTypeObject* type, const BodyOrigin& origin, Body body, Args&& args) {
    CoroutineObject* self = start_body<Task>(type, *origin.runtime, body, std::move(args));
    return self ? name_body(self, origin.name, origin.qualname, origin.code) : nullptr;
}

}  // namespace

// An awaited call of one of this module's native coroutine methods, as the
// interpreter would make it (the call's coroutine awaited at once): the
// body's first step runs here, on a frame that is a coroutine object in all
// but its names and its tracking, which only a body that suspends needs.
// One that ends at once ends with no coroutine object ever made; the error
// of one that fails gets the same traceback entries, its own and this one's.
VX_HOT bool PyAwaiter::run_native_call() {
    Ref function = std::move(call_->function_);
    const FunctionObject* method = reinterpret_cast<const FunctionObject*>(function.get());
    if (!coroutine_type && !init_coroutine_types()) {
        held_ = borrow(capture_error().value());
        outcome_ = Outcome::Error;
        return true;
    }
    CoroutineObject* inner = start_body<CoroutineTask>(coroutine_type, *method->runtime,
                                                       method->runtime->def->coroutine.task, std::move(call_->args_));
    PyObject* value = nullptr;
    switch (inner ? resume(inner, &value) : PYGEN_ERROR) {
        case PYGEN_NEXT:
            state_->delegate =
                steal(reinterpret_cast<PyObject*>(name_body(inner, method->name, method->qualname, method->code)));
            state_->yielded = steal(value);
            state_->wrapped = false;
            return false;
        case PYGEN_RETURN:
            // Its frame is gone: the object goes as one that no finalizer holds.
            Py_DECREF(inner);
            held_ = steal(value);
            return true;
        case PYGEN_ERROR: break;
    }
    held_ = borrow(capture_error().value());
    Py_XDECREF(inner);
    outcome_ = Outcome::Error;
    return true;
}

// The objects a method call returns (the type is made on first use).
VX_HOT PyObject* new_coroutine(const BodyOrigin& origin, Args&& args) {
    if (!coroutine_type && !init_coroutine_types()) return nullptr;
    const MethodRuntime& rt = *origin.runtime;
    if (PlainBody immediate = rt.def->coroutine.immediate) {
        CoroutineObject* self = new_body_memory(coroutine_type, kFrameOffset + sizeof(ImmediateFrame));
        if (!self) return nullptr;
        BodyState* state = &(new (immediate_frame(self)) ImmediateFrame(std::move(args)))->state;
        init_body_fields(self, state, rt, {}, immediate);
        return reinterpret_cast<PyObject*>(name_body(self, origin.name, origin.qualname, origin.code));
    }
    return reinterpret_cast<PyObject*>(
        new_body_object<CoroutineTask>(coroutine_type, origin, rt.def->coroutine.task, std::move(args)));
}

VX_HOT PyObject* new_async_generator(const BodyOrigin& origin, Args&& args) {
    if (!async_generator_type && !init_async_generator_types()) return nullptr;
    return reinterpret_cast<PyObject*>(
        new_body_object<GeneratorTask>(async_generator_type, origin, origin.runtime->def->generator, std::move(args)));
}

PyObject* new_generator(const BodyOrigin& origin, Args&& args) {
    if (!generator_type && !init_generator_type()) return nullptr;
    return reinterpret_cast<PyObject*>(
        new_body_object<GeneratorTask>(generator_type, origin, origin.runtime->def->generator, std::move(args)));
}

}  // namespace vx
