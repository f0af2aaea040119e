// vexa.client._async._jobs: AsyncJobsClient, the asynchronous jobs client.
//
// Bodies are C++ coroutines; `co_await` only in the forms frame/body.h allows.
#include <optional>

#include "client/jobs.h"
#include "client/listings.h"
#include "client/names.h"
#include "client/parent.h"
#include "client/recipes.h"
#include "frame/body.h"
#include "frame/module.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace {

using namespace vx;

const Str k_asyncio{"asyncio"}, k_aiter_lines{"aiter_lines"}, k_aread{"aread"};

// --- results ---------------------------------------------------------------------------

CoroutineTask get_result(Args a) {
    PyObject *job_id = a[1], *zip_path = a[2];
    at(12);
    Ref parent = parent_of(a[0]);
    Ref url = jobs::job_url(parent, job_id, &jobs::result_path);
    at(13);
    RequestClient http(parent);
    Ref client = http.shared();
    if (!client) {
        Ref entering = http.enter();
        client = co_await std::move(entering);
    }
    Ref zip_bytes;
    std::optional<PyError> failure;
    try {
        at(15);
        Ref headers = api_key_header(parent);
        AsyncWith stream(call_method(client, names::stream, {names::GET, url},
                                     {{names::headers, headers}, {names::follow_redirects, Py_False}}));
        Ref stream_entering = stream.enter();
        Ref response = co_await std::move(stream_entering);
        std::optional<PyError> handler_failure;
        try {
            at(16);
            Ref handling = call_method(parent, names::_handle_stream_download_async, {response, zip_path});
            zip_bytes = co_await std::move(handling);
        } catch (PyError& e) {
            handler_failure.emplace(std::move(e));
        }
        at(15);
        Ref stream_exiting = stream.exit(std::move(handler_failure));
        co_await std::move(stream_exiting);
    } catch (PyError& e) {
        at(18);
        failure = translated(parent, e);
    }
    at(13);
    Ref exiting = http.exit(std::move(failure));
    if (exiting) {
        co_await std::move(exiting);
    }
    at(19);
    co_return from_zip_bytes(jobs::JobResult, zip_bytes);
}

// --- queries that send no request of their own --------------------------------

// Awaits nothing: run whole by the coroutine's first step (see CoroutineBodies).
Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), names::get_proxy_url, {a[1]});
}

CoroutineTask get_latest(Args a) {
    PyObject *self = a[0], *code_type = a[1];
    at(9);
    Ref job_type = jobs::job_type_of(code_type);
    at(10);
    MethodCall listing = method_call(self, jobs::list, {}, {{jobs::job_type, job_type}});
    Ref jobs = co_await std::move(listing);
    at(11);
    if (truth(jobs)) co_return check(PySequence_GetItem(jobs, 0));
    co_return new_none();
}

CoroutineTask run_listing(Args a) {
    const ListingShortcut& listing = *static_cast<const ListingShortcut*>(a.context);
    PyObject *self = a[0], *code_type = a[1];
    at(9);
    Ref job_type = jobs::job_type_of(code_type);
    at(10);
    Ref filter = listing_filter(listing);
    MethodCall request =
        method_call(self, jobs::list, {}, {{jobs::job_type, job_type}, {listing_keyword(listing), filter}});
    Ref jobs = co_await std::move(request);
    co_return jobs;
}

// --- output streaming -------------------------------------------------------------

GeneratorTask stream_output(Args a) {
    PyObject *job_id = a[1], *read_timeout = a[2];
    at(14);
    Ref parent = parent_of(a[0]);
    Ref url = jobs::job_url(parent, job_id, &jobs::stream_path);
    at(15);
    Ref timeout = jobs::stream_timeout(read_timeout);
    at(16);
    RequestClient http(parent);
    Ref client = http.shared();
    if (!client) {
        Ref entering = http.enter();
        client = co_await std::move(entering);
    }
    std::optional<PyError> failure;
    try {
        at(17);
        Ref headers = api_key_header(parent);
        AsyncWith stream(
            call_method(client, names::stream, {names::GET, url},
                        {{jobs::timeout, timeout}, {names::headers, headers}, {names::follow_redirects, Py_False}}));
        Ref stream_entering = stream.enter();
        Ref response = co_await std::move(stream_entering);
        std::optional<PyError> stream_failure;
        try {
            // An error status is reported as the parent's HTTP exception, never
            // read as output lines.
            if (!truth(getattr(response, jobs::is_success))) {
                at(19);
                Ref reading = call_method(response, k_aread);
                co_await std::move(reading);
                try {
                    at(20);
                    call_method(response, names::raise_for_status);
                } catch (PyError& e) {
                    at(22);
                    raise_translated(parent, e);
                }
            }
            at(23);
            Ref lines = call_method(response, k_aiter_lines);
            Ref iterator = check(PyObject_GetAIter(lines));
            for (;;) {
                Ref next = check(Py_TYPE(iterator.get())->tp_as_async->am_anext(iterator));
                Ref line;
                bool ended = false;
                try {
                    line = co_await std::move(next);
                } catch (PyError& e) {
                    if (!e.matches(PyExc_StopAsyncIteration)) throw;
                    ended = true;
                }
                if (ended) break;
                at(24);
                if (!truth(call_method(line, jobs::strip))) continue;
                at(26);
                Ref item = call_method(global(jobs::StreamOutput), jobs::model_validate_json, {line});
                co_yield std::move(item);
            }
        } catch (PyError& e) {
            stream_failure.emplace(std::move(e));
        }
        at(17);
        Ref stream_exiting = stream.exit(std::move(stream_failure));
        co_await std::move(stream_exiting);
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    at(16);
    Ref exiting = http.exit(std::move(failure));
    if (exiting) {
        co_await std::move(exiting);
    }
}

// --- waiting ------------------------------------------------------------------------

CoroutineTask await_stage(Args a) {
    PyObject *self = a[0], *job_id = a[1], *timeout = a[2], *stage = a[3];
    at(19);
    Ref start_time = jobs::now();
    for (;;) {
        at(21);
        MethodCall fetching = method_call(self, names::get, {job_id});
        Ref job = co_await std::move(fetching);
        at(22);
        Ref current_stage = getattr(job, names::job_stage);
        at(23);
        if (equals(stage, member(names::JobStage, names::RUNNING)) &&
            equals(current_stage, member(names::JobStage, names::POST_RUNNING))) {
            at(24);
            jobs::raise_in_post_running(job_id);
        }
        at(27);
        if (equals(current_stage, stage) || equals(current_stage, member(names::JobStage, names::POST_RUNNING)) ||
            equals(current_stage, member(names::JobStage, names::UNKNOWN)))
            co_return job;
        at(33);
        if (jobs::limit_reached(timeout, start_time)) {
            at(36);
            jobs::raise_stage_timeout(job_id, stage, timeout);
        }
        at(40);
        Ref sleeping = jobs::sleep_one_second(k_asyncio);
        co_await std::move(sleeping);
    }
}

CoroutineTask is_healthy(Args a) {
    PyObject* job_id = a[1];
    at(11);
    Ref parent = parent_of(a[0]);
    Ref url = jobs::ping_url(parent, job_id);
    at(12);
    RequestClient http(parent);
    Ref client = http.shared();
    if (!client) {
        Ref entering = http.enter();
        client = co_await std::move(entering);
    }
    Ref healthy = borrow(Py_False);
    std::optional<PyError> failure;
    try {
        at(14);
        Ref headers = api_key_header(parent);
        Ref request =
            call_method(client, names::get, {url}, {{names::headers, headers}, {names::follow_redirects, Py_False}});
        Ref response = co_await std::move(request);
        at(15);
        call_method(response, names::raise_for_status);
        at(16);
        healthy = check(PyObject_RichCompare(getattr(response, jobs::status_code), jobs::ok_status, Py_EQ));
    } catch (PyError& e) {
        // Any failure of the probe means "not healthy"; cancellation is no Exception.
        if (!e.matches(PyExc_Exception)) failure.emplace(std::move(e));
    }
    at(12);
    Ref exiting = http.exit(std::move(failure));
    if (exiting) {
        co_await std::move(exiting);
    }
    co_return healthy;
}

CoroutineTask await_healthy(Args a) {
    PyObject *self = a[0], *job_id = a[1], *timeout = a[2];
    at(17);
    Ref start_time = jobs::now();
    for (;;) {
        at(18);
        MethodCall probing = method_call(self, jobs::is_healthy, {}, {{jobs::job_id, job_id}});
        Ref healthy = co_await std::move(probing);
        if (truth(healthy)) break;
        at(19);
        MethodCall fetching = method_call(getattr(parent_of(self), names::jobs), names::get, {job_id});
        Ref job = co_await std::move(fetching);
        at(20);
        if (equals(getattr(job, names::job_stage), member(names::JobStage, names::POST_RUNNING))) {
            at(21);
            jobs::raise_entered_post_running(job_id);
        }
        at(24);
        if (jobs::limit_reached(timeout, start_time)) {
            at(27);
            jobs::raise_health_timeout(job_id, timeout);
        }
        at(30);
        Ref sleeping = jobs::sleep_one_second(k_asyncio);
        co_await std::move(sleeping);
    }
    at(31);
    MethodCall fetching = method_call(getattr(parent_of(self), names::jobs), names::get, {job_id});
    Ref job = co_await std::move(fetching);
    co_return job;
}

}  // namespace

// The module's imports and class table, generated from its declaration in api/.
#include "_jobs.table.h"
