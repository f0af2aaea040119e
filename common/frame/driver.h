// The driver of native bodies and the Python types that run them: private to
// the frame (driver.cpp, coroutine.cpp, generator.cpp, asyncgen.cpp, and
// function.cpp, which creates the objects); bodies see only body.h.
#pragma once
#include "frame/body.h"
#include "frame/method.h"

#include <structmember.h>

namespace vx {

// The Python objects. One struct serves all three kinds.
enum class BodyStatus : uint8_t { Created, Suspended, Running, Closed };

struct CoroutineObject {
    PyObject_VAR_HEAD std::coroutine_handle<> handle;
    BodyState* body;  // null once the frame is gone
    // A coroutine whose body awaits nothing: the body its first step runs,
    // on the arguments and state the object holds in place of a frame (no handle).
    PlainBody immediate;
    BodyStatus status;
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* weakrefs;
    // asynchronous generators only
    PyObject* finalizer;
    bool hooks_inited;
    bool closed;         // aclose() finished, or the body ended
    bool running_async;  // an asend/athrow awaitable is in progress
};

// What a body object is made from: its method's run-time data, and the name,
// qualified name and code its method function shows at the call (a
// function's __name__ and __qualname__ can be reassigned).
struct BodyOrigin {
    const MethodRuntime* runtime;
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
};

PyObject* new_coroutine(const BodyOrigin& origin, Args&& args);
PyObject* new_async_generator(const BodyOrigin& origin, Args&& args);
PyObject* new_generator(const BodyOrigin& origin, Args&& args);

// Driver shared by all kinds (mirrors the interpreter's generator driver).
PySendResult body_send(CoroutineObject* self, PyObject* arg, bool exc, bool closing, PyObject** out);
// send(None) to a body that has not started: its first step, which is what
// body_send() comes to after its checks.
PySendResult body_start(CoroutineObject* self, PyObject** out);
// `send(arg)`: the commonest case, the start, taken straight to its step.
inline PySendResult body_send_value(CoroutineObject* self, PyObject* arg, PyObject** out) {
    if (self->status == BodyStatus::Created && arg == Py_None) return body_start(self, out);
    return body_send(self, arg, false, false, out);
}
PyObject* body_throw(CoroutineObject* self, bool close_on_genexit, PyObject* type, PyObject* value,
                     PyObject* traceback);
PyObject* body_close(CoroutineObject* self);
void destroy_body(CoroutineObject* self) noexcept;
int body_traverse(PyObject* obj, visitproc visit, void* arg);
// What a driver step means to a caller of send()/throw(): a returned value
// ends the iteration (StopIteration, or StopAsyncIteration for a generator).
PyObject* send_result_to_call(CoroutineObject* self, PySendResult status, PyObject* out);

// Slots shared by the coroutine, generator and asynchronous generator types.
inline CoroutineObject* as_body(PyObject* obj) { return reinterpret_cast<CoroutineObject*>(obj); }
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
// cr_suspended / ag_suspended (3.11 / 3.12 and later): suspended at an await or yield.
PyObject* body_get_suspended(PyObject* obj, void*);
// cr_state / ag_state (3.15 and later): the closure is the names' prefix ("CORO", "AGEN").
PyObject* body_get_state(PyObject* obj, void* prefix);
extern PyMemberDef body_members[];

extern PyTypeObject* coroutine_type;
extern PyTypeObject* async_generator_type;
extern PyTypeObject* generator_type;
bool init_coroutine_types();
bool init_async_generator_types();
bool init_generator_type();

}  // namespace vx
