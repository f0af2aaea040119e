// vexa.client._async._web: the web-page clients AsyncStoredWebClient,
// AsyncWebJobsClient and AsyncWebClient.
//
// Bodies are C++ coroutines; `co_await` only in the forms frame/body.h allows.
#include <optional>

#include "client/listings.h"
#include "client/names.h"
#include "client/parent.h"
#include "client/recipes.h"
#include "client/web.h"
#include "frame/body.h"
#include "frame/module.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace {

using namespace vx;
namespace n = vx::names;
namespace w = vx::web;

const Str k_AsyncStoredWebClient{"AsyncStoredWebClient"}, k_AsyncWebJobsClient{"AsyncWebJobsClient"};

// --- delegations through the parent client -------------------------------------------

CoroutineTask run_delegation(Args a) {
    const w::Delegation& d = *static_cast<const w::Delegation*>(a.context);
    at(10);
    Ref request = w::delegated_call(d, a);
    Ref result = co_await std::move(request);
    co_return result;
}

CoroutineTask delete_web_code(Args a) {
    PyObject *self = a[0], *code_id = a[1];
    at(12);
    Ref lookup = call_method(getattr(parent_of(self), w::code), w::get_info, {code_id});
    Ref code_info = co_await std::move(lookup);
    at(13);
    if (not_equals(getattr(code_info, w::code_type), member(w::CodeType, w::WEB))) {
        at(14);
        w::raise_not_web(code_id, code_info);
    }
    at(18);
    Ref deletion = call_method(getattr(parent_of(self), w::code), w::delete_, {code_id});
    Ref message = co_await std::move(deletion);
    co_return message;
}

// --- web jobs listings ----------------------------------------------------------------

CoroutineTask latest_web_job(Args a) {
    at(7);
    Ref listing = call_method(a[0], w::list);
    Ref jobs = co_await std::move(listing);
    at(8);
    if (jobs == Py_None || !truth(jobs)) co_return new_none();
    co_return check(PySequence_GetItem(jobs, 0));
}

CoroutineTask run_shortcut(Args a) {
    const ListingShortcut& shortcut = *static_cast<const ListingShortcut*>(a.context);
    at(10);
    Ref filter = listing_filter(shortcut);
    Ref request = call_method(a[0], w::list, {}, {{listing_keyword(shortcut), filter}});
    Ref jobs = co_await std::move(request);
    co_return jobs;
}

// --- plain methods ----------------------------------------------------------------------

Ref init_web_client(Args& a) {
    PyObject *self = a[0], *client = a[1];
    at(1);
    store_parent(a);
    at(2);
    check(PyObject_SetAttr(self, w::stored, call(global(k_AsyncStoredWebClient), {client})));
    at(3);
    check(PyObject_SetAttr(self, w::jobs, call(global(k_AsyncWebJobsClient), {client})));
    return new_none();
}

Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), w::get_subdomain_proxy_url, {a[1]});
}

// --- the class tables ----------------------------------------------------------------------

const Param self_param{"self"};
const Param parent_param{"client", Check::Any, "AsyncClient"};
const Param code_zip_param{"code_zip", Check::Any, "CodeZip"};
const Param code_name_param{"code_name", Check::Str, "str"};
const Param metadata_param{"metadata", Check::Any, "JsonData | dict | None", none_default};
const Section raises_http{"Raises:", {"HTTPException: If the request fails."}};

ClassDef stored_web_client() {
    return {.name = "AsyncStoredWebClient",
            .line = 22,
            .methods = {
                {.name = "__init__", .line = 23, .params = {self_param, parent_param}, .plain = store_parent},
                {.name = "run",
                 .line = 26,
                 .kind = Kind::Coroutine,
                 .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "Job",
                 .locals = {"url", "client", "response", "e"},
                 .summary = "Runs a stored Web page.",
                 .sections = {{"Args:", {"code_id (str): The code ID."}},
                              {"Returns:", {"Job: The created job."}},
                              raises_http},
                 .coroutine = send_request,
                 .context = &w::run_stored},
                {.name = "list_info",
                 .line = 54,
                 .kind = Kind::Coroutine,
                 .params = {self_param},
                 .returns = "list[CodeInfo]",
                 .result = ResultCheck::List,
                 .summary = "List all stored Web code.",
                 .sections = {{"Returns:", {"list[CodeInfo]: List of Web code info."}}},
                 .coroutine = run_delegation,
                 .context = &w::list_web_code},
                {.name = "delete",
                 .line = 62,
                 .kind = Kind::Coroutine,
                 .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "str",
                 .result = ResultCheck::Str,
                 .locals = {"code_info"},
                 .summary = "Delete stored Web code.",
                 .sections = {{"Args:", {"code_id (str): The code ID to delete."}},
                              {"Returns:", {"str: Deletion confirmation message."}},
                              {"Raises:", {"ValueError: If the code_id is not Web code."}}},
                 .coroutine = delete_web_code},
            }};
}

ClassDef web_jobs_client() {
    ClassDef cls{.name = "AsyncWebJobsClient",
                 .line = 85,
                 .methods = {
                     {.name = "__init__", .line = 86, .params = {self_param, {"client"}}, .plain = store_parent},
                     {.name = "list",
                      .line = 89,
                      .kind = Kind::Coroutine,
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
                      .coroutine = run_delegation,
                      .context = &w::list_web_jobs},
                     {.name = "get_latest",
                      .line = 109,
                      .kind = Kind::Coroutine,
                      .params = {self_param},
                      .returns = "Job | None",
                      .locals = {"jobs"},
                      .summary = "Get the most recent Web job.",
                      .sections = {{"Returns:", {"Job | None: The most recent Web job, or None if no jobs exist."}}},
                      .coroutine = latest_web_job},
                 }};
    for (const ListingShortcut& shortcut : w::shortcuts)
        cls.methods.push_back(listing_row(shortcut, {self_param}, {}, {}, run_shortcut));
    return cls;
}

ClassDef web_client() {
    return {
        .name = "AsyncWebClient",
        .line = 215,
        .methods = {
            {.name = "__init__", .line = 216, .params = {self_param, parent_param}, .plain = init_web_client},
            {.name = "run",
             .line = 221,
             .kind = Kind::Coroutine,
             .params = {self_param, code_zip_param},
             .returns = "Job",
             .locals = {"url", "files", "client", "response", "e"},
             .summary = "Runs a Web page from code zip.",
             .sections = {{"Args:", {"code_zip (CodeZip): The code zip."}},
                          {"Returns:", {"Job: The created job."}},
                          raises_http},
             .coroutine = send_request,
             .context = &w::run_zip},
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
             .kind = Kind::Coroutine,
             .params = {self_param, code_zip_param, code_name_param, metadata_param},
             .returns = "str",
             .result = ResultCheck::Str,
             .summary = "Upload Web code.",
             .sections = {{"Args:",
                           {"code_zip (CodeZip): The code zip.", "code_name (str): The name of the code.",
                            "metadata (JsonData | dict | None): The JSON metadata of the code."}},
                          {"Returns:", {"str: The code ID."}}},
             .coroutine = run_delegation,
             .context = &w::upload_web_code},
            {.name = "is_healthy",
             .line = 286,
             .kind = Kind::Coroutine,
             .params = {self_param, {"job_id", Check::Str, "str"}},
             .returns = "bool",
             .summary = "Checks whether launched Web page is healthy.",
             .sections = {{"Args:", {"job_id (str): The ID of the Web page launch job."}},
                          {"Returns:", {"bool: True if Web page is healthy else False."}},
                          raises_http},
             .coroutine = run_delegation,
             .context = &w::probe_web_page},
            {.name = "await_healthy",
             .line = 300,
             .kind = Kind::Coroutine,
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
             .coroutine = run_delegation,
             .context = &w::await_web_page},
            {.name = "ingest",
             .line = 317,
             .kind = Kind::Coroutine,
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
             .coroutine = run_delegation,
             .context = &w::ingest_web_code},
        }};
}

const ModuleSpec& spec() {
    static const ModuleSpec module{
        .short_name = "_web",
        .full_name = "vexa.client._async._web",
        .source_path = "vexa/client/_async/_web",
        .imports =
            {
                {"typing", {"TYPE_CHECKING", "List"}},
                {"httpx", {}},
                {"vexa.types",
                 {"CodeInfo", "CodeType", "CodeZip", "Job", "JobStage", "JobStatus", "JobType", "JsonData"}},
            },
        .type_checking_name = "AsyncClient",
        .classes = {stored_web_client(), web_jobs_client(), web_client()},
    };
    return module;
}

}  // namespace

VX_MODULE(_web, spec)
