// vexa.client._sync._web: the synchronous web-page clients StoredWebClient,
// WebJobsClient and WebClient. Each method makes the requests of its
// asynchronous twin and blocks until they are done; delegated operations go
// through the parent's synchronous `jobs` and `code` clients.
#include "client/listings.h"
#include "client/names.h"
#include "client/parent.h"
#include "client/recipes.h"
#include "frame/module.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace {

using namespace vx;
namespace n = vx::names;

const Str k_jobs_code_slash{"/jobs/code/"}, k_run_web{"/run/web"}, k_jobs_code_run_web{"/jobs/code/run/web"};
const Str k_JobType{"JobType"}, k_CodeType{"CodeType"}, k_WEB{"WEB"}, k_StoredWebClient{"StoredWebClient"},
    k_WebJobsClient{"WebJobsClient"};
const Str k_code{"code"}, k_jobs{"jobs"}, k_stored{"stored"}, k_list{"list"}, k_list_info{"list_info"},
    k_get_info{"get_info"}, k_delete{"delete"}, k_upload{"upload"}, k_ingest{"ingest"}, k_is_healthy{"is_healthy"},
    k_await_healthy{"await_healthy"}, k_prepare_files{"_prepare_files"},
    k_get_subdomain_proxy_url{"get_subdomain_proxy_url"};
const Str k_code_zip{"code_zip"}, k_code_name{"code_name"}, k_code_type{"code_type"}, k_metadata{"metadata"},
    k_build_pexenv{"build_pexenv"}, k_pexenv_python{"pexenv_python"}, k_job_id{"job_id"}, k_timeout{"timeout"},
    k_job_type{"job_type"}, k_job_status{"job_status"}, k_job_stage{"job_stage"};
const Str k_code_quote{"Code '"}, k_is{"' is "},
    k_not_web{", not Web code. Cannot delete non-Web code from Web client."};

// --- running web pages -------------------------------------------------------------

// A web-page job from stored code: POST with no body.
Ref stored_run_url(Args& a, PyObject* parent) {
    return join({base_url_text(parent), k_jobs_code_slash, a[1], k_run_web});
}
// From a code zip: POST with the parent's multipart files.
Ref zip_run_url(Args&, PyObject* parent) { return join({base_url_text(parent), k_jobs_code_run_web}); }
Ref zip_files(Args& a) { return call_method(parent_of(a[0]), k_prepare_files, {}, {{k_code_zip, a[1]}}); }

const Request run_stored{&n::post, stored_run_url, nullptr, nullptr, job_from_response};
const Request run_zip{&n::post, zip_run_url, &n::files, zip_files, job_from_response};

// --- delegations through the parent client -------------------------------------------

// One keyword argument of a delegated call: a bound parameter, or an
// enumeration member pinned by the web client.
struct Keyword {
    const Str* name;
    int param = -1;
    const Str* owner = nullptr;
    const Str* member = nullptr;
};

// `return self._client.<target>.<operation>(**keywords)`, or the same on the
// instance itself when `target` is null.
struct Delegation {
    const Str* target;
    const Str* operation;
    std::vector<Keyword> keywords;
};

Ref run_delegation(Args& a) {
    const Delegation& d = *static_cast<const Delegation*>(a.context);
    at(10);
    Ref target = d.target ? getattr(parent_of(a[0]), *d.target) : borrow(a[0]);
    KeywordList kwargs;
    for (const Keyword& k : d.keywords)
        kwargs.emplace_back(*k.name, k.param >= 0 ? borrow(a[k.param]) : member(*k.owner, *k.member));
    return call_keywords(getattr(target, *d.operation), {}, kwargs);
}

const Delegation list_web_code{&k_code, &k_list_info, {{&k_code_type, -1, &k_CodeType, &k_WEB}}};
const Delegation list_web_jobs{
    &k_jobs, &k_list, {{&k_job_type, -1, &k_JobType, &k_WEB}, {&k_job_status, 1}, {&k_job_stage, 2}}};
const Delegation upload_web_code{
    &k_code,
    &k_upload,
    {{&k_code_zip, 1}, {&k_code_name, 2}, {&k_code_type, -1, &k_CodeType, &k_WEB}, {&k_metadata, 3}}};
const Delegation probe_web_page{&k_jobs, &k_is_healthy, {{&k_job_id, 1}}};
const Delegation await_web_page{&k_jobs, &k_await_healthy, {{&k_job_id, 1}, {&k_timeout, 2}}};
const Delegation ingest_web_code{&k_code,
                                 &k_ingest,
                                 {{&k_code_zip, 1},
                                  {&k_code_name, 2},
                                  {&k_code_type, -1, &k_CodeType, &k_WEB},
                                  {&k_metadata, 3},
                                  {&k_build_pexenv, 4},
                                  {&k_pexenv_python, 5}}};

Ref delete_web_code(Args& a) {
    PyObject *self = a[0], *code_id = a[1];
    at(12);
    Ref code_info = call_method(getattr(parent_of(self), k_code), k_get_info, {code_id});
    at(13);
    if (not_equals(getattr(code_info, k_code_type), member(k_CodeType, k_WEB))) {
        at(14);
        Ref code_type = text(getattr(code_info, k_code_type));
        raise_object(call(PyExc_ValueError, {join({k_code_quote, code_id, k_is, code_type, k_not_web})}));
    }
    at(18);
    return call_method(getattr(parent_of(self), k_code), k_delete, {code_id});
}

// --- web jobs listings ----------------------------------------------------------------

Ref latest_web_job(Args& a) {
    at(7);
    Ref jobs = call_method(a[0], k_list);
    at(8);
    if (jobs == Py_None || !truth(jobs)) return new_none();
    return check(PySequence_GetItem(jobs, 0));
}

// The twelve listing shortcuts: `self.list(<filter>=<Enum>.<MEMBER>)`.
const ListingShortcut shortcuts[] = {
    {"list_queued", 118, false, &n::QUEUED, "Get all queued Web jobs.", "List[Job]: List of queued Web jobs."},
    {"list_scheduled", 126, false, &n::SCHEDULED, "Get all scheduled Web jobs.",
     "List[Job]: List of scheduled Web jobs."},
    {"list_started", 134, false, &n::STARTED, "Get all started Web jobs.", "list[Job]: List of started Web jobs."},
    {"list_deferred", 142, false, &n::DEFERRED, "Get all deferred Web jobs.", "List[Job]: List of deferred Web jobs."},
    {"list_canceled", 150, false, &n::CANCELED, "Get all canceled Web jobs.", "List[Job]: List of canceled Web jobs."},
    {"list_stopped", 158, false, &n::STOPPED, "Get all stopped Web jobs.", "List[Job]: List of stopped Web jobs."},
    {"list_failed", 166, false, &n::FAILED, "Get all failed Web jobs.", "list[Job]: List of failed Web jobs."},
    {"list_finished", 174, false, &n::FINISHED, "Get all finished Web jobs.", "list[Job]: List of finished Web jobs."},
    {"list_timed_out", 182, false, &n::TIMEOUT, "Get all timed out Web jobs.",
     "List[Job]: List of timed out Web jobs."},
    {"list_pre_running", 190, true, &n::PRE_RUNNING, "Get all pre-running Web jobs.",
     "List[Job]: List of pre-running Web jobs."},
    {"list_running", 198, true, &n::RUNNING, "Get all running Web jobs.", "List[Job]: List of running Web jobs."},
    {"list_post_running", 206, true, &n::POST_RUNNING, "Get all post-running Web jobs.",
     "List[Job]: List of post-running Web jobs."},
};

Ref run_shortcut(Args& a) {
    const ListingShortcut& shortcut = *static_cast<const ListingShortcut*>(a.context);
    at(10);
    Ref filter = listing_filter(shortcut);
    return call_method(a[0], k_list, {}, {{listing_keyword(shortcut), filter}});
}

// --- construction and the page URL -------------------------------------------------------

Ref init_web_client(Args& a) {
    PyObject *self = a[0], *client = a[1];
    at(1);
    store_parent(a);
    at(2);
    check(PyObject_SetAttr(self, k_stored, call(global(k_StoredWebClient), {client})));
    at(3);
    check(PyObject_SetAttr(self, k_jobs, call(global(k_WebJobsClient), {client})));
    return new_none();
}

Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), k_get_subdomain_proxy_url, {a[1]});
}

// --- the class tables ----------------------------------------------------------------------
// Definition lines as in the asynchronous web clients: the methods have the same shapes.

const Param self_param{"self"};
const Param parent_param{"client", Check::Any, "Client"};
const Param code_zip_param{"code_zip", Check::Any, "CodeZip"};
const Param code_name_param{"code_name", Check::Str, "str"};
const Param metadata_param{"metadata", Check::Any, "JsonData | dict | None", none_default};
const Section raises_http{"Raises:", {"HTTPException: If the request fails."}};

ClassDef stored_web_client() {
    return {.name = "StoredWebClient",
            .line = 22,
            .methods = {
                {.name = "__init__", .line = 23, .params = {self_param, parent_param}, .plain = store_parent},
                {.name = "run",
                 .line = 26,
                 .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "Job",
                 .locals = {"url", "response", "e"},
                 .summary = "Runs a stored Web page.",
                 .sections = {{"Args:", {"code_id (str): The code ID."}},
                              {"Returns:", {"Job: The created job."}},
                              raises_http},
                 .plain = send_request_blocking,
                 .context = &run_stored},
                {.name = "list_info",
                 .line = 54,
                 .params = {self_param},
                 .returns = "list[CodeInfo]",
                 .result = ResultCheck::List,
                 .summary = "List all stored Web code.",
                 .sections = {{"Returns:", {"list[CodeInfo]: List of Web code info."}}},
                 .plain = run_delegation,
                 .context = &list_web_code},
                {.name = "delete",
                 .line = 62,
                 .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "str",
                 .result = ResultCheck::Str,
                 .locals = {"code_info"},
                 .summary = "Delete stored Web code.",
                 .sections = {{"Args:", {"code_id (str): The code ID to delete."}},
                              {"Returns:", {"str: Deletion confirmation message."}},
                              {"Raises:", {"ValueError: If the code_id is not Web code."}}},
                 .plain = delete_web_code},
            }};
}

ClassDef web_jobs_client() {
    ClassDef cls{.name = "WebJobsClient",
                 .line = 85,
                 .methods = {
                     {.name = "__init__", .line = 86, .params = {self_param, {"client"}}, .plain = store_parent},
                     {.name = "list",
                      .line = 89,
                      .params = {self_param,
                                 {"job_status", Check::Any, "JobStatus | None", none_default},
                                 {"job_stage", Check::Any, "JobStage | None", none_default}},
                      .returns = "List[Job]",
                      .result = ResultCheck::List,
                      .summary = "List Web jobs.",
                      .sections = {{"Args:",
                                    {"job_status (JobStatus | None): Filter by job status.",
                                     "job_stage (JobStage | None): Filter by job stage."}},
                                   {"Returns:", {"list[Job]: List of Web jobs."}}},
                      .plain = run_delegation,
                      .context = &list_web_jobs},
                     {.name = "get_latest",
                      .line = 109,
                      .params = {self_param},
                      .returns = "Job | None",
                      .locals = {"jobs"},
                      .summary = "Get the most recent Web job.",
                      .sections = {{"Returns:", {"Job | None: The most recent Web job, or None if no jobs exist."}}},
                      .plain = latest_web_job},
                 }};
    for (const ListingShortcut& shortcut : shortcuts)
        cls.methods.push_back(listing_row(shortcut, {self_param}, {}, {}, run_shortcut));
    return cls;
}

ClassDef web_client() {
    return {
        .name = "WebClient",
        .line = 215,
        .methods = {
            {.name = "__init__", .line = 216, .params = {self_param, parent_param}, .plain = init_web_client},
            {.name = "run",
             .line = 221,
             .params = {self_param, code_zip_param},
             .returns = "Job",
             .locals = {"url", "files", "response", "e"},
             .summary = "Runs a Web page from code zip.",
             .sections = {{"Args:", {"code_zip (CodeZip): The code zip."}},
                          {"Returns:", {"Job: The created job."}},
                          raises_http},
             .plain = send_request_blocking,
             .context = &run_zip},
            {.name = "get_url",
             .line = 252,
             .params = {self_param, {"job_id", Check::Str, "str"}},
             .returns = "str",
             .result = ResultCheck::Str,
             .summary = "Gets the URL for a Web page.",
             .sections = {{"Args:", {"job_id (str): The job ID."}}, {"Returns:", {"str: The Web page URL."}}},
             .plain = get_url},
            {.name = "upload",
             .line = 263,
             .params = {self_param, code_zip_param, code_name_param, metadata_param},
             .returns = "str",
             .result = ResultCheck::Str,
             .summary = "Upload Web code.",
             .sections = {{"Args:",
                           {"code_zip (CodeZip): The code zip.", "code_name (str): The name of the code.",
                            "metadata (JsonData | dict | None): The JSON metadata of the code."}},
                          {"Returns:", {"str: The code ID."}}},
             .plain = run_delegation,
             .context = &upload_web_code},
            {.name = "is_healthy",
             .line = 286,
             .params = {self_param, {"job_id", Check::Str, "str"}},
             .returns = "bool",
             .summary = "Checks whether launched Web page is healthy.",
             .sections = {{"Args:", {"job_id (str): The ID of the Web page launch job."}},
                          {"Returns:", {"bool: True if Web page is healthy else False."}},
                          raises_http},
             .plain = run_delegation,
             .context = &probe_web_page},
            {.name = "await_healthy",
             .line = 300,
             .params = {self_param,
                        {"job_id", Check::Str, "str"},
                        {"timeout", Check::Float, "float | None", none_default}},
             .returns = "Job",
             .summary = "Waits for a Web page to become healthy.",
             .sections = {{"Args:",
                           {"job_id (str): The ID of the Web page run job.",
                            "timeout (float | None): Maximum time to wait in seconds. If None, waits indefinitely."}},
                          {"Returns:", {"Job: The job object of the Web page run job."}},
                          {"Raises:",
                           {"HTTPException: If the request fails.",
                            "APIException: If the job enters stage POST_RUNNING unexpectedly.",
                            "TimeoutError: If the timeout is exceeded."}}},
             .plain = run_delegation,
             .context = &await_web_page},
            {.name = "ingest",
             .line = 317,
             .params = {self_param,
                        code_zip_param,
                        code_name_param,
                        metadata_param,
                        {"build_pexenv", Check::Bool, "bool", false_default},
                        {"pexenv_python", Check::OptionalStr, "str | None", none_default}},
             .returns = "Job",
             .summary = "Ingest Web code.",
             .sections = {{"Args:",
                           {"code_zip (CodeZip): The code zip.", "code_name (str): The name of the code.",
                            "metadata (JsonData | dict | None): The JSON metadata of the code.",
                            "build_pexenv (bool): Whether to build the pex venv.",
                            "pexenv_python: (str | None): Python interpreter for the pex venv."}},
                          {"Returns:", {"Job: The code ingestion job."}}},
             .plain = run_delegation,
             .context = &ingest_web_code},
        }};
}

const ModuleSpec& spec() {
    static const ModuleSpec module{
        .short_name = "_web",
        .full_name = "vexa.client._sync._web",
        .source_path = "vexa/client/_sync/_web",
        .imports =
            {
                {"typing", {"TYPE_CHECKING", "List"}},
                {"httpx", {}},
                {"vexa.types",
                 {"CodeInfo", "CodeType", "CodeZip", "Job", "JobStage", "JobStatus", "JobType", "JsonData"}},
            },
        .type_checking_name = "Client",
        .classes = {stored_web_client(), web_jobs_client(), web_client()},
    };
    return module;
}

}  // namespace

VX_MODULE(_web, spec)
