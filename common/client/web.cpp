#include "client/web.h"

#include "client/names.h"
#include "client/parent.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace vx::web {

const Str CodeType{"CodeType"}, WEB{"WEB"}, stored{"stored"}, list{"list"}, get_info{"get_info"}, delete_{"delete"},
    code_type{"code_type"};

namespace {

const Str k_jobs_code_slash{"/jobs/code/"}, k_run_web{"/run/web"}, k_jobs_code_run_web{"/jobs/code/run/web"};
const Str k_JobType{"JobType"}, k_list_info{"list_info"}, k_upload{"upload"}, k_ingest{"ingest"},
    k_is_healthy{"is_healthy"}, k_await_healthy{"await_healthy"};
const Str k_code_zip{"code_zip"}, k_code_name{"code_name"}, k_metadata{"metadata"}, k_build_pexenv{"build_pexenv"},
    k_pexenv_python{"pexenv_python"}, k_job_id{"job_id"}, k_timeout{"timeout"}, k_job_type{"job_type"};
const Str k_code_quote{"Code '"}, k_is{"' is "},
    k_not_web{", not Web code. Cannot delete non-Web code from Web client."};

Ref stored_run_url(Args& a, PyObject* parent) {
    return join({base_url_text(parent), k_jobs_code_slash, a[1], k_run_web});
}
Ref zip_run_url(Args&, PyObject* parent) { return join({base_url_text(parent), k_jobs_code_run_web}); }
Ref zip_files(Args& a) { return call_method(parent_of(a[0]), names::_prepare_files, {}, {{k_code_zip, a[1]}}); }

}  // namespace

const Request run_stored{&names::post, stored_run_url, nullptr, nullptr, job_from_response};
const Request run_zip{&names::post, zip_run_url, &names::files, zip_files, job_from_response};

Ref delegated_call(const Delegation& d, Args& a) {
    Ref target = d.target ? getattr(parent_of(a[0]), *d.target) : borrow(a[0]);
    KeywordList kwargs;
    for (const Keyword& k : d.keywords)
        kwargs.emplace_back(*k.name, k.param >= 0 ? borrow(a[k.param]) : member(*k.owner, *k.member));
    return call_keywords(getattr(target, *d.operation), {}, kwargs);
}

const Delegation list_web_code{&names::code, &k_list_info, {{&code_type, -1, &CodeType, &WEB}}};
const Delegation list_web_jobs{
    &names::jobs, &list, {{&k_job_type, -1, &k_JobType, &WEB}, {&names::job_status, 1}, {&names::job_stage, 2}}};
const Delegation upload_web_code{
    &names::code,
    &k_upload,
    {{&k_code_zip, 1}, {&k_code_name, 2}, {&code_type, -1, &CodeType, &WEB}, {&k_metadata, 3}}};
const Delegation probe_web_page{&names::jobs, &k_is_healthy, {{&k_job_id, 1}}};
const Delegation await_web_page{&names::jobs, &k_await_healthy, {{&k_job_id, 1}, {&k_timeout, 2}}};
const Delegation ingest_web_code{&names::code,
                                 &k_ingest,
                                 {{&k_code_zip, 1},
                                  {&k_code_name, 2},
                                  {&code_type, -1, &CodeType, &WEB},
                                  {&k_metadata, 3},
                                  {&k_build_pexenv, 4},
                                  {&k_pexenv_python, 5}}};

void raise_not_web(PyObject* code_id, PyObject* code_info) {
    Ref shown_type = text(getattr(code_info, code_type));
    raise_object(call(PyExc_ValueError, {join({k_code_quote, code_id, k_is, shown_type, k_not_web})}));
}

}  // namespace vx::web
