#include "client/jobs.h"

#include "client/names.h"
#include "client/parent.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace vx::jobs {

const Str result_path{"/result"}, stream_path{"/stream"};
const Str JobResult{"JobResult"}, StreamOutput{"StreamOutput"};
const Str job_type{"job_type"}, job_id{"job_id"}, timeout{"timeout"}, list{"list"}, is_healthy{"is_healthy"},
    model_validate_json{"model_validate_json"}, is_success{"is_success"}, strip{"strip"}, status_code{"status_code"};
const Number ok_status{200L};

namespace {

const Str k_jobs{"/jobs"}, k_jobs_slash{"/jobs/"}, k_status{"/status"}, k_stage{"/stage"}, k_error{"/error"},
    k_code_id{"/code_id"}, k_terminate{"/terminate"}, k_slash{"/"}, k_ping{"/ping"};
const Str k_JobType{"JobType"}, k_sleep{"sleep"}, k_VexaError{"VexaError"}, k_VexaException{"VexaException"},
    k_JOB_POST_RUNNING{"JOB_POST_RUNNING"}, k_time{"time"}, k_from_code_type{"from_code_type"}, k_Timeout{"Timeout"};
const Str k_error_kw{"error"}, k_message{"message"}, k_connect{"connect"}, k_read{"read"}, k_write{"write"},
    k_pool{"pool"};
const Str k_Job_{"Job "}, k_is_in_post_running{" is in stage POST_RUNNING"},
    k_entered_post_running{" unexpectedly entered stage POST_RUNNING"}, k_did_not_reach{" did not reach stage "},
    k_did_not_become_healthy{" did not become healthy within "}, k_within{" within "}, k_seconds{" seconds"};
const Number k_five{5.0}, k_one{1L};

// --- requests -------------------------------------------------------------------------

template <const Str* Suffix>
Ref job_request_url(Args& a, PyObject* parent) {
    return job_url(parent, a[1], Suffix);
}
Ref jobs_url(Args&, PyObject* parent) { return join({base_url_text(parent), k_jobs}); }

// Filters that are given, in order, as their text form; None when none is.
Ref list_params(Args& a) {
    Ref params = new_dict();
    const Str* keys[] = {&job_type, &names::job_status, &names::job_stage};
    for (int i = 0; i < 3; ++i)
        if (a[i + 1] != Py_None) set_item(params, *keys[i], check(PyObject_Str(a[i + 1])));
    if (PyDict_GET_SIZE(params.get()) == 0) return borrow(Py_None);
    return params;
}

Ref build_jobs(PyObject* response) { return call_expanded_each(global(names::Job), json_body(response)); }
Ref build_status(PyObject* response) { return call(global(names::JobStatus), {json_body(response)}); }
Ref build_stage(PyObject* response) { return call(global(names::JobStage), {json_body(response)}); }
// Checked inside the request, so a wrong type still closes the client first.
Ref build_text(PyObject* response) { return borrow(expect_str(json_body(response))); }

// --- waiting --------------------------------------------------------------------------

// `raise VexaException(error=VexaError.JOB_POST_RUNNING, message=message)`
[[noreturn]] void raise_post_running(PyObject* message) {
    Ref error = member(k_VexaError, k_JOB_POST_RUNNING);
    raise_object(call(global(k_VexaException), {}, {{k_error_kw, error}, {k_message, message}}));
}

[[noreturn]] void raise_timeout(PyObject* message) { raise_object(call(PyExc_TimeoutError, {message})); }

}  // namespace

Ref job_url(PyObject* parent, PyObject* job_id, const Str* suffix) {
    return suffix ? join({base_url_text(parent), k_jobs_slash, job_id, *suffix})
                  : join({base_url_text(parent), k_jobs_slash, job_id});
}

Ref ping_url(PyObject* parent, PyObject* job_id) { return join({base_url_text(parent), k_slash, job_id, k_ping}); }

const Request get_job{&names::get, job_request_url<nullptr>, nullptr, nullptr, job_from_response};
const Request list_jobs{&names::get, jobs_url, &names::params, list_params, build_jobs};
const Request get_job_status{&names::get, job_request_url<&k_status>, nullptr, nullptr, build_status};
const Request get_job_stage{&names::get, job_request_url<&k_stage>, nullptr, nullptr, build_stage};
const Request get_job_error{&names::get, job_request_url<&k_error>, nullptr, nullptr, build_text};
const Request get_job_code_id{&names::get, job_request_url<&k_code_id>, nullptr, nullptr, build_text};
const Request terminate_job{&names::post, job_request_url<&k_terminate>};

Ref job_type_of(PyObject* code_type) {
    if (!truth(code_type)) return borrow(Py_None);
    return call_method(global(k_JobType), k_from_code_type, {code_type});
}

Ref stream_timeout(PyObject* read_timeout) {
    return call(getattr(global(names::httpx), k_Timeout), {},
                {{k_connect, k_five}, {k_read, read_timeout}, {k_write, k_five}, {k_pool, k_five}});
}

Ref now() { return call(getattr(global(k_time), k_time)); }

bool limit_reached(PyObject* timeout, PyObject* start_time) {
    if (timeout == Py_None) return false;
    Ref elapsed_time = check(PyNumber_Subtract(now(), start_time));
    return truth(check(PyObject_RichCompare(elapsed_time, timeout, Py_GE)));
}

Ref sleep_one_second(const Str& module) { return call(getattr(global(module), k_sleep), {k_one}); }

void raise_in_post_running(PyObject* job_id) { raise_post_running(join({k_Job_, text(job_id), k_is_in_post_running})); }

void raise_entered_post_running(PyObject* job_id) {
    raise_post_running(join({k_Job_, text(job_id), k_entered_post_running}));
}

void raise_stage_timeout(PyObject* job_id, PyObject* stage, PyObject* timeout) {
    raise_timeout(join({k_Job_, text(job_id), k_did_not_reach, text(stage), k_within, text(timeout), k_seconds}));
}

void raise_health_timeout(PyObject* job_id, PyObject* timeout) {
    raise_timeout(join({k_Job_, text(job_id), k_did_not_become_healthy, text(timeout), k_seconds}));
}

}  // namespace vx::jobs
