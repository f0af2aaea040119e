// vexa.client._sync._jobs: JobsClient, the synchronous jobs client. Every
// method makes the requests of its AsyncJobsClient twin and blocks the
// calling thread until they are done; `stream_output` is a generator.
//
// Only `stream_output` is a C++ coroutine (it `co_yield`s, in the form
// frame/body.h allows); every other body is a plain function.
#include <optional>

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
namespace n = vx::names;

const Str k_jobs{"/jobs"}, k_jobs_slash{"/jobs/"}, k_status{"/status"}, k_stage{"/stage"}, k_error{"/error"},
    k_code_id{"/code_id"}, k_result{"/result"}, k_terminate{"/terminate"}, k_stream{"/stream"}, k_slash{"/"},
    k_ping{"/ping"};
const Str k_JobResult{"JobResult"}, k_JobStage{"JobStage"}, k_JobStatus{"JobStatus"}, k_JobType{"JobType"},
    k_StreamOutput{"StreamOutput"}, k_VexaError{"VexaError"}, k_VexaException{"VexaException"}, k_time{"time"};
const Str k_job_type{"job_type"}, k_job_status{"job_status"}, k_job_stage{"job_stage"}, k_job_id{"job_id"},
    k_zip_bytes{"zip_bytes"}, k_error_kw{"error"}, k_message{"message"}, k_connect{"connect"}, k_read{"read"},
    k_write{"write"}, k_pool{"pool"}, k_timeout{"timeout"};
const Str k_list{"list"}, k_get{"get"}, k_is_healthy{"is_healthy"}, k_jobs_attr{"jobs"},
    k_from_code_type{"from_code_type"}, k_get_proxy_url{"get_proxy_url"},
    k_handle_stream_download{"_handle_stream_download"}, k_model_validate_json{"model_validate_json"},
    k_iter_lines{"iter_lines"}, k_read_body{"read"}, k_is_success{"is_success"}, k_strip{"strip"},
    k_status_code{"status_code"}, k_sleep{"sleep"}, k_Timeout{"Timeout"};
const Str k_JOB_POST_RUNNING{"JOB_POST_RUNNING"};
const Str k_Job_{"Job "}, k_is_in_post_running{" is in stage POST_RUNNING"},
    k_entered_post_running{" unexpectedly entered stage POST_RUNNING"}, k_did_not_reach{" did not reach stage "},
    k_did_not_become_healthy{" did not become healthy within "}, k_within{" within "}, k_seconds{" seconds"};
const Number k_five{5.0}, k_one{1L}, k_ok_status{200L};

// `raise VexaException(error=VexaError.JOB_POST_RUNNING, message=message)`
[[noreturn]] void raise_post_running(PyObject* message) {
    Ref error = member(k_VexaError, k_JOB_POST_RUNNING);
    raise_object(call(global(k_VexaException), {}, {{k_error_kw, error}, {k_message, message}}));
}

// --- queries, results and termination ----------------------------------------------

Ref job_url(Args& a, PyObject* parent, const Str* suffix) {
    return suffix ? join({base_url_text(parent), k_jobs_slash, a[1], *suffix})
                  : join({base_url_text(parent), k_jobs_slash, a[1]});
}
template <const Str* Suffix>
Ref job_url(Args& a, PyObject* parent) {
    return job_url(a, parent, Suffix);
}
Ref jobs_url(Args&, PyObject* parent) { return join({base_url_text(parent), k_jobs}); }

// Filters that are given, in order, as their text form; None when none is.
Ref list_params(Args& a) {
    Ref params = new_dict();
    const Str* keys[] = {&k_job_type, &k_job_status, &k_job_stage};
    for (int i = 0; i < 3; ++i)
        if (a[i + 1] != Py_None) set_item(params, *keys[i], check(PyObject_Str(a[i + 1])));
    if (PyDict_GET_SIZE(params.get()) == 0) return borrow(Py_None);
    return params;
}

Ref build_jobs(PyObject* response) { return call_expanded_each(global(n::Job), json_body(response)); }
Ref build_status(PyObject* response) { return call(global(k_JobStatus), {json_body(response)}); }
Ref build_stage(PyObject* response) { return call(global(k_JobStage), {json_body(response)}); }
Ref build_text(PyObject* response) { return borrow(expect_str(json_body(response))); }

const Request get_job{&n::get, job_url<nullptr>, nullptr, nullptr, job_from_response};
const Request list_jobs{&n::get, jobs_url, &n::params, list_params, build_jobs};
const Request get_job_status{&n::get, job_url<&k_status>, nullptr, nullptr, build_status};
const Request get_job_stage{&n::get, job_url<&k_stage>, nullptr, nullptr, build_stage};
const Request get_job_error{&n::get, job_url<&k_error>, nullptr, nullptr, build_text};
const Request get_job_code_id{&n::get, job_url<&k_code_id>, nullptr, nullptr, build_text};
const Request terminate_job{&n::post, job_url<&k_terminate>};

Ref get_result(Args& a) {
    PyObject *job_id = a[1], *zip_path = a[2];
    at(12);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_jobs_slash, job_id, k_result});
    Ref zip_bytes;
    try {
        at(15);
        RequestFunction stream(parent, n::stream);
        KeywordList kwargs{{n::headers, api_key_header(parent)}};
        stream.add_verify(kwargs);
        With with(call_keywords(stream.function, {n::GET, url}, kwargs));
        Ref response = with.enter();
        std::optional<PyError> failure;
        try {
            at(16);
            zip_bytes = call_method(parent, k_handle_stream_download, {response, zip_path});
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        at(15);
        with.exit(std::move(failure));
    } catch (PyError& e) {
        at(18);
        raise_translated(parent, e);
    }
    at(19);
    if (!zip_bytes) raise(PyExc_UnboundLocalError, "local variable 'zip_bytes' referenced before assignment");
    return call(global(k_JobResult), {}, {{k_zip_bytes, zip_bytes}});
}

// --- queries that send no request of their own --------------------------------

Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), k_get_proxy_url, {a[1]});
}

// JobType.from_code_type(code_type) when code_type is true, else None.
Ref job_type_of(PyObject* code_type) {
    if (!truth(code_type)) return borrow(Py_None);
    return call_method(global(k_JobType), k_from_code_type, {code_type});
}

Ref get_latest(Args& a) {
    PyObject *self = a[0], *code_type = a[1];
    at(9);
    Ref job_type = job_type_of(code_type);
    at(10);
    Ref jobs = call_method(self, k_list, {}, {{k_job_type, job_type}});
    at(11);
    if (truth(jobs)) return check(PySequence_GetItem(jobs, 0));
    return new_none();
}

// The twelve listing shortcuts: `self.list(job_type=..., <filter>=<Enum>.<MEMBER>)`.
const ListingShortcut listings[] = {
    {"list_queued", 370, false, &n::QUEUED, "Get all queued jobs.", "List[Job]: List of queued jobs."},
    {"list_scheduled", 382, false, &n::SCHEDULED, "Get all scheduled jobs.", "List[Job]: List of scheduled jobs."},
    {"list_started", 394, false, &n::STARTED, "Get all started jobs.", "List[Job]: List of started jobs."},
    {"list_deferred", 406, false, &n::DEFERRED, "Get all deferred jobs.", "List[Job]: List of deferred jobs."},
    {"list_canceled", 418, false, &n::CANCELED, "Get all canceled jobs.", "List[Job]: List of canceled jobs."},
    {"list_stopped", 430, false, &n::STOPPED, "Get all stopped jobs.", "List[Job]: List of stopped jobs."},
    {"list_failed", 442, false, &n::FAILED, "Get all failed jobs.", "List[Job]: List of failed jobs."},
    {"list_finished", 454, false, &n::FINISHED, "Get all finished jobs.", "List[Job]: List of finished jobs."},
    {"list_timed_out", 466, false, &n::TIMEOUT, "Get all timed out jobs.", "List[Job]: List of timed out jobs."},
    {"list_pre_running", 478, true, &n::PRE_RUNNING, "Get all pre-running jobs.",
     "List[Job]: List of pre-running jobs."},
    {"list_running", 490, true, &n::RUNNING, "Get all running jobs.", "List[Job]: List of running jobs."},
    {"list_post_running", 502, true, &n::POST_RUNNING, "Get all post-running jobs.",
     "List[Job]: List of post-running jobs."},
};

Ref run_listing(Args& a) {
    const ListingShortcut& listing = *static_cast<const ListingShortcut*>(a.context);
    PyObject *self = a[0], *code_type = a[1];
    at(9);
    Ref job_type = job_type_of(code_type);
    at(10);
    Ref filter = listing_filter(listing);
    return call_method(self, k_list, {}, {{k_job_type, job_type}, {listing_keyword(listing), filter}});
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
    Ref url = join({base_url_text(parent), k_jobs_slash, job_id, k_stream});
    at(15);
    Ref timeout = call(getattr(global(n::httpx), k_Timeout), {},
                       {{k_connect, k_five}, {k_read, read_timeout}, {k_write, k_five}, {k_pool, k_five}});
    at(17);
    RequestFunction stream(parent, n::stream);
    KeywordList kwargs{{k_timeout, timeout}, {n::headers, api_key_header(parent)}};
    stream.add_verify(kwargs);
    With with(call_keywords(stream.function, {n::GET, url}, kwargs));
    Ref response = with.enter();
    std::optional<PyError> stream_failure;
    try {
        // An error status is reported as the parent's HTTP exception, never
        // read as output lines.
        if (!truth(getattr(response, k_is_success))) {
            at(19);
            call_method(response, k_read_body);
            try {
                at(20);
                call_method(response, n::raise_for_status);
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
            if (!truth(call_method(line, k_strip))) continue;
            at(26);
            Ref item = call_method(global(k_StreamOutput), k_model_validate_json, {line});
            co_yield std::move(item);
        }
    } catch (PyError& e) {
        stream_failure.emplace(std::move(e));
    }
    at(17);
    with.exit(std::move(stream_failure));
}

// --- waiting ------------------------------------------------------------------------

Ref now() { return call(getattr(global(k_time), k_time)); }
void sleep_one_second() { call(getattr(global(k_time), k_sleep), {k_one}); }
bool limit_reached(PyObject* timeout, PyObject* start_time) {
    if (timeout == Py_None) return false;
    Ref elapsed_time = check(PyNumber_Subtract(now(), start_time));
    return truth(check(PyObject_RichCompare(elapsed_time, timeout, Py_GE)));
}

Ref await_stage(Args& a) {
    PyObject *self = a[0], *job_id = a[1], *timeout = a[2], *stage = a[3];
    at(19);
    Ref start_time = now();
    for (;;) {
        at(21);
        Ref job = call_method(self, k_get, {job_id});
        at(22);
        Ref current_stage = getattr(job, k_job_stage);
        at(23);
        if (equals(stage, member(k_JobStage, n::RUNNING)) &&
            equals(current_stage, member(k_JobStage, n::POST_RUNNING))) {
            at(24);
            raise_post_running(join({k_Job_, text(job_id), k_is_in_post_running}));
        }
        at(27);
        if (equals(current_stage, stage) || equals(current_stage, member(k_JobStage, n::POST_RUNNING)) ||
            equals(current_stage, member(k_JobStage, n::UNKNOWN)))
            return job;
        at(33);
        if (limit_reached(timeout, start_time)) {
            at(36);
            Ref message =
                join({k_Job_, text(job_id), k_did_not_reach, text(stage), k_within, text(timeout), k_seconds});
            raise_object(call(PyExc_TimeoutError, {message}));
        }
        at(40);
        sleep_one_second();
    }
}

Ref is_healthy(Args& a) {
    PyObject* job_id = a[1];
    at(11);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_slash, job_id, k_ping});
    at(12);
    RequestFunction probe(parent, n::get);
    try {
        at(14);
        KeywordList kwargs{{n::headers, api_key_header(parent)}};
        probe.add_verify(kwargs);
        Ref response = call_keywords(probe.function, {url}, kwargs);
        at(15);
        call_method(response, n::raise_for_status);
        at(16);
        return check(PyObject_RichCompare(getattr(response, k_status_code), k_ok_status, Py_EQ));
    } catch (PyError& e) {
        // Any failure of the probe means "not healthy"; KeyboardInterrupt is no Exception.
        if (!e.matches(PyExc_Exception)) throw;
    }
    return borrow(Py_False);
}

Ref await_healthy(Args& a) {
    PyObject *self = a[0], *job_id = a[1], *timeout = a[2];
    at(17);
    Ref start_time = now();
    for (;;) {
        at(18);
        Ref healthy = call_method(self, k_is_healthy, {}, {{k_job_id, job_id}});
        if (truth(healthy)) break;
        at(19);
        Ref job = call_method(getattr(parent_of(self), k_jobs_attr), k_get, {job_id});
        at(20);
        if (equals(getattr(job, k_job_stage), member(k_JobStage, n::POST_RUNNING))) {
            at(21);
            raise_post_running(join({k_Job_, text(job_id), k_entered_post_running}));
        }
        at(24);
        if (limit_reached(timeout, start_time)) {
            at(27);
            Ref message = join({k_Job_, text(job_id), k_did_not_become_healthy, text(timeout), k_seconds});
            raise_object(call(PyExc_TimeoutError, {message}));
        }
        at(30);
        sleep_one_second();
    }
    at(31);
    return call_method(getattr(parent_of(self), k_jobs_attr), k_get, {job_id});
}

// --- the class table ------------------------------------------------------------------
// Definition lines as in AsyncJobsClient: the methods have the same shapes.

const Param self_param{"self"};
const Param job_id_param{"job_id", Check::Str, "str"};
const Param code_type_param{"code_type", Check::Any, "CodeType | None", none_default};
const Section raises_http{"Raises:", {"HTTPException: If the request fails."}};
const Section job_id_args{"Args:", {"job_id (str): The ID of the job."}};
const Section waiting_raises{
    "Raises:",
    {"HTTPException: If the request fails.", "APIException: If the job enters stage POST_RUNNING unexpectedly.",
     "TimeoutError: If the timeout is exceeded."}};
const std::vector<const char*> request_locals{"url", "response", "e"};

MethodDef query_row(const char* name, int line, const Request& request, const char* returns, ResultCheck result,
                    const char* summary, std::vector<Section> sections) {
    return {.name = name,
            .line = line,
            .params = {self_param, job_id_param},
            .returns = returns,
            .result = result,
            .locals = request_locals,
            .summary = summary,
            .sections = std::move(sections),
            .plain = send_request_blocking,
            .context = &request};
}

std::vector<MethodDef> methods() {
    std::vector<MethodDef> rows = {
        {.name = "__init__",
         .line = 27,
         .params = {self_param, {"client", Check::Any, "Client"}},
         .plain = store_parent},
        query_row("get", 30, get_job, "Job", ResultCheck::None, "Gets a job.",
                  {job_id_args, {"Returns:", {"Job: The job."}}, raises_http}),
        {.name = "list",
         .line = 51,
         .params = {self_param,
                    {"job_type", Check::Any, "JobType | None", none_default},
                    {"job_status", Check::Any, "JobStatus | None", none_default},
                    {"job_stage", Check::Any, "JobStage | None", none_default}},
         .returns = "List[Job]",
         .result = ResultCheck::List,
         .locals = {"params", "url", "response", "e", "item"},
         .summary = "Gets a list of jobs.",
         .sections = {{"Args:",
                       {"job_type (JobType | None): Filter by job type.",
                        "job_status (JobStatus | None): Filter by job status.",
                        "job_stage (JobStage | None): Filter by job stage."}},
                      {"Returns:", {"list[Job]: List of jobs."}},
                      raises_http},
         .plain = send_request_blocking,
         .context = &list_jobs},
        {.name = "get_url",
         .line = 89,
         .params = {self_param, job_id_param},
         .returns = "str",
         .result = ResultCheck::Str,
         .summary = "Gets the URL for a job.",
         .sections = {{"Args:", {"job_id (str): The job ID."}}, {"Returns:", {"str: The job URL."}}},
         .plain = get_url},
        query_row("get_status", 100, get_job_status, "JobStatus", ResultCheck::None, "Gets the status of a job.",
                  {job_id_args, {"Returns:", {"JobStatus: The status of the job."}}, raises_http}),
        query_row("get_stage", 121, get_job_stage, "JobStage", ResultCheck::None, "Gets the stage of a job.",
                  {job_id_args, {"Returns:", {"JobStage: The stage of the job."}}, raises_http}),
        query_row("get_error", 142, get_job_error, "str | None", ResultCheck::Str, "Gets the error message of a job.",
                  {job_id_args,
                   {"Returns:", {"str | None: The error message of the job, or None if no error."}},
                   raises_http}),
        query_row("get_code_id", 163, get_job_code_id, "str | None", ResultCheck::Str,
                  "Gets the code ID associated with a job.",
                  {job_id_args,
                   {"Returns:", {"str | None: The code ID associated with the job, or None if no code ID."}},
                   raises_http}),
        {.name = "get_result",
         .line = 184,
         .params = {self_param, job_id_param, {"zip_path", Check::Any, "Path | str | None", none_default}},
         .returns = "JobResult",
         .locals = {"url", "response", "zip_bytes", "e"},
         .summary = "Gets the result of a job and optionally saves it to a file.",
         .sections = {{"Args:",
                       {"job_id (str): The ID of the job.",
                        "zip_path (Path | str | None): The path to save the result zip file."}},
                      {"Returns:", {"JobResult: The job result."}},
                      raises_http},
         .plain = get_result},
        {.name = "terminate",
         .line = 214,
         .params = {self_param, job_id_param},
         .returns = "None",
         .locals = request_locals,
         .summary = "Terminates a job.",
         .sections = {job_id_args, raises_http},
         .plain = send_request_blocking,
         .context = &terminate_job},
        {.name = "stream_output",
         .line = 232,
         .kind = Kind::Generator,
         .params = {self_param,
                    job_id_param,
                    {"read_timeout", Check::Float, "float | None", float_default(60.0, "60")}},
         .returns = "Generator[StreamOutput, None, None]",
         .locals = {"url", "timeout", "response", "line", "e"},
         .summary = "Yields stream output of a job line by line.",
         .sections = {{"Args:",
                       {"job_id (str): The ID of the job.",
                        "read_timeout (float | None): Read timeout for the stream request."}},
                      {"Yields:", {"StreamOutput: Stream output line by line."}},
                      raises_http},
         .generator = stream_output},
        {.name = "await_stage",
         .line = 258,
         .params = {self_param,
                    job_id_param,
                    {"timeout", Check::Float, "float | None", none_default},
                    {"stage", Check::Any, "JobStage",
                     member_default("JobStage", "POST_RUNNING", "JobStage.POST_RUNNING")}},
         .returns = "Job",
         .locals = {"start_time", "job", "current_stage", "elapsed_time"},
         .summary = "Waits for a job to reach a specific stage.",
         .sections = {{"Args:",
                       {"job_id (str): The ID of the job to wait for.",
                        "timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely.",
                        "stage (JobStage): The stage to wait for. Defaults to POST_RUNNING."}},
                      {"Returns:", {"Job: The final job object when the desired stage is reached."}},
                      waiting_raises},
         .plain = await_stage},
        {.name = "is_healthy",
         .line = 302,
         .params = {self_param, job_id_param},
         .returns = "bool",
         .locals = {"url", "response"},
         .summary = "Checks whether a runner job is healthy.",
         .sections = {{"Args:", {"job_id (str): The ID of the runner job."}},
                      {"Returns:", {"bool: True if runner job is healthy else False."}},
                      raises_http},
         .plain = is_healthy},
        {.name = "await_healthy",
         .line = 323,
         .params = {self_param, job_id_param, {"timeout", Check::Float, "float | None", none_default}},
         .returns = "Job",
         .locals = {"start_time", "job", "elapsed_time"},
         .summary = "Waits for a runner job to become healthy.",
         .sections = {{"Args:",
                       {"job_id (str): The ID of the runner job.",
                        "timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely."}},
                      {"Returns:", {"Job: The job object of the runner job."}},
                      waiting_raises},
         .plain = await_healthy},
        {.name = "get_latest",
         .line = 357,
         .params = {self_param, code_type_param},
         .returns = "Job | None",
         .locals = {"job_type", "jobs"},
         .summary = "Get the most recent job.",
         .sections = {{"Args:", {"code_type (CodeType | None): Filter by code type."}},
                      {"Returns:", {"Job | None: The most recent job, or None if no jobs exist."}}},
         .plain = get_latest},
    };
    for (const ListingShortcut& listing : listings)
        rows.push_back(listing_row(listing, {self_param, code_type_param}, {"job_type"},
                                   {{"Args:", {"code_type (CodeType | None): Filter by code type."}}}, run_listing));
    return rows;
}

const ModuleSpec& spec() {
    static const ModuleSpec module{
        .short_name = "_jobs",
        .full_name = "vexa.client._sync._jobs",
        .source_path = "vexa/client/_sync/_jobs",
        .imports =
            {
                {"time", {}},
                {"pathlib", {"Path"}},
                {"typing", {"TYPE_CHECKING", "Generator", "List"}},
                {"httpx", {}},
                {"vexa.types",
                 {"VexaError", "VexaException", "CodeType", "Job", "JobResult", "JobStage", "JobStatus", "JobType",
                  "StreamOutput"}},
            },
        .type_checking_name = "Client",
        .classes = {{.name = "JobsClient", .line = 26, .methods = methods()}},
    };
    return module;
}

}  // namespace

VX_MODULE(_jobs, spec)
