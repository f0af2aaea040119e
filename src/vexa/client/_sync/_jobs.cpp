// vexa.client._sync._jobs: JobsClient, the synchronous jobs client. Every
// method makes the requests of its AsyncJobsClient twin and blocks the
// calling thread until they are done; `stream_output` is a generator.
//
// Only `stream_output` is a C++ coroutine (it `co_yield`s, in the form
// frame/body.h allows); every other body is a plain function.
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

const Str k_time{"time"}, k_iter_lines{"iter_lines"}, k_read_body{"read"};

// --- results ---------------------------------------------------------------------------

Ref get_result(Args& a) {
    PyObject *job_id = a[1], *zip_path = a[2];
    at(12);
    Ref parent = parent_of(a[0]);
    Ref url = jobs::job_url(parent, job_id, &jobs::result_path);
    Ref zip_bytes = download_blocking(parent, url, zip_path);
    at(19);
    return from_zip_bytes(jobs::JobResult, zip_bytes);
}

// --- queries that send no request of their own --------------------------------

Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), names::get_proxy_url, {a[1]});
}

Ref get_latest(Args& a) {
    PyObject *self = a[0], *code_type = a[1];
    at(9);
    Ref job_type = jobs::job_type_of(code_type);
    at(10);
    Ref jobs = call_method(self, jobs::list, {}, {{jobs::job_type, job_type}});
    at(11);
    if (truth(jobs)) return check(PySequence_GetItem(jobs, 0));
    return new_none();
}

Ref run_listing(Args& a) {
    const ListingShortcut& listing = *static_cast<const ListingShortcut*>(a.context);
    PyObject *self = a[0], *code_type = a[1];
    at(9);
    Ref job_type = jobs::job_type_of(code_type);
    at(10);
    Ref filter = listing_filter(listing);
    return call_method(self, jobs::list, {}, {{jobs::job_type, job_type}, {listing_keyword(listing), filter}});
}

// --- output streaming -------------------------------------------------------------

// A generator: each `co_yield` hands one StreamOutput to the caller of
// next()/send(). Closing it there (close(), or the generator collected)
// throws GeneratorExit out of the co_yield, which leaves the `with` block and
// so closes the response (and the client httpx.stream opened for it).
GeneratorTask stream_output(Args a) {
    PyObject *job_id = a[1], *read_timeout = a[2];
    at(14);
    Ref parent = parent_of(a[0]);
    Ref url = jobs::job_url(parent, job_id, &jobs::stream_path);
    at(15);
    Ref timeout = jobs::stream_timeout(read_timeout);
    at(17);
    RequestFunction stream(parent, names::stream);
    KeywordList kwargs{{jobs::timeout, timeout}, {names::headers, api_key_header(parent)}};
    stream.add_keywords(kwargs);
    With with(stream.call({names::GET, url}, kwargs));
    Ref response = with.enter();
    std::optional<PyError> stream_failure;
    try {
        // An error status is reported as the parent's HTTP exception, never
        // read as output lines.
        if (!truth(getattr(response, jobs::is_success))) {
            at(19);
            call_method(response, k_read_body);
            try {
                at(20);
                call_method(response, names::raise_for_status);
            } catch (PyError& e) {
                at(22);
                raise_translated(parent, e);
            }
        }
        at(23);
        Ref lines = call_method(response, k_iter_lines);
        Ref iterator = check(PyObject_GetIter(lines));
        for (;;) {
            Ref line = steal(PyIter_Next(iterator));
            if (!line) {
                if (PyErr_Occurred()) throw_error();
                break;
            }
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
    with.exit(std::move(stream_failure));
}

// --- waiting ------------------------------------------------------------------------

Ref await_stage(Args& a) {
    PyObject *self = a[0], *job_id = a[1], *timeout = a[2], *stage = a[3];
    at(19);
    Ref start_time = jobs::now();
    for (;;) {
        at(21);
        Ref job = call_method(self, names::get, {job_id});
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
            return job;
        at(33);
        if (jobs::limit_reached(timeout, start_time)) {
            at(36);
            jobs::raise_stage_timeout(job_id, stage, timeout);
        }
        at(40);
        jobs::sleep_one_second(k_time);
    }
}

Ref is_healthy(Args& a) {
    PyObject* job_id = a[1];
    at(11);
    Ref parent = parent_of(a[0]);
    Ref url = jobs::ping_url(parent, job_id);
    at(12);
    RequestFunction probe(parent, names::get);
    try {
        at(14);
        KeywordList kwargs{{names::headers, api_key_header(parent)}};
        probe.add_keywords(kwargs);
        Ref response = probe.call({url}, kwargs);
        at(15);
        call_method(response, names::raise_for_status);
        at(16);
        return check(PyObject_RichCompare(getattr(response, jobs::status_code), jobs::ok_status, Py_EQ));
    } catch (PyError& e) {
        // Any failure of the probe means "not healthy"; KeyboardInterrupt is no Exception.
        if (!e.matches(PyExc_Exception)) throw;
    }
    return borrow(Py_False);
}

Ref await_healthy(Args& a) {
    PyObject *self = a[0], *job_id = a[1], *timeout = a[2];
    at(17);
    Ref start_time = jobs::now();
    for (;;) {
        at(18);
        Ref healthy = call_method(self, jobs::is_healthy, {}, {{jobs::job_id, job_id}});
        if (truth(healthy)) break;
        at(19);
        Ref job = call_method(getattr(parent_of(self), names::jobs), names::get, {job_id});
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
        jobs::sleep_one_second(k_time);
    }
    at(31);
    return call_method(getattr(parent_of(self), names::jobs), names::get, {job_id});
}

}  // namespace

// The module's imports and class table, generated from its declaration in api/.
#include "_jobs.table.h"
