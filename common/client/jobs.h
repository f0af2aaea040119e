// What the jobs clients share, the asynchronous AsyncJobsClient and the
// synchronous JobsClient: the paths and names their bodies use, the requests
// the shared recipes make for them (send_request, send_request_blocking), and
// the steps and texts of the waiting loops. Nothing
// here marks a line: the bodies mark theirs before they call these.
#pragma once
#include "client/listings.h"
#include "client/recipes.h"
#include "frame/constants.h"
#include "frame/table.h"

namespace vx::jobs {

// URL pieces.
extern const Str result_path, stream_path;  // "/result", "/stream"
// Names of the types module the bodies look up.
extern const Str JobResult, StreamOutput;
// Keywords and attribute names.
extern const Str job_type, job_id, timeout, list, is_healthy, model_validate_json, is_success, strip, status_code;
// The status code of a healthy runner.
extern const Number ok_status;

// `{base_url}/jobs/{job_id}`, followed by `suffix` unless it is null.
Ref job_url(PyObject* parent, PyObject* job_id, const Str* suffix);
// `{base_url}/{job_id}/ping`
Ref ping_url(PyObject* parent, PyObject* job_id);

// The requests of get, list, get_status, get_stage, get_error, get_code_id
// and terminate.
extern const Request get_job, list_jobs, get_job_status, get_job_stage, get_job_error, get_job_code_id, terminate_job;

// JobType.from_code_type(code_type) when code_type is true, else None.
Ref job_type_of(PyObject* code_type);

// `httpx.Timeout(connect=5.0, read=read_timeout, write=5.0, pool=5.0)`: the
// timeouts of the output stream.
Ref stream_timeout(PyObject* read_timeout);

// --- waiting ----------------------------------------------------------------------------

// `time.time()`
Ref now();
// `timeout is not None and time.time() - start_time >= timeout`
bool limit_reached(PyObject* timeout, PyObject* start_time);
// `<module>.sleep(1)`: the awaitable of asyncio.sleep, or what time.sleep returns.
Ref sleep_one_second(const Str& module);

// `raise VexaException(error=VexaError.JOB_POST_RUNNING, message=...)` with
// "Job {job_id} is in stage POST_RUNNING" (await_stage) or "Job {job_id}
// unexpectedly entered stage POST_RUNNING" (await_healthy).
[[noreturn]] void raise_in_post_running(PyObject* job_id);
[[noreturn]] void raise_entered_post_running(PyObject* job_id);
// `raise TimeoutError(...)` with "Job {job_id} did not reach stage {stage}
// within {timeout} seconds" or "Job {job_id} did not become healthy within
// {timeout} seconds".
[[noreturn]] void raise_stage_timeout(PyObject* job_id, PyObject* stage, PyObject* timeout);
[[noreturn]] void raise_health_timeout(PyObject* job_id, PyObject* timeout);

}  // namespace vx::jobs
