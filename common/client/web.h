// What the web-page clients share, the asynchronous AsyncStoredWebClient,
// AsyncWebJobsClient and AsyncWebClient and their synchronous twins: the
// names their bodies use, the requests of the two `run` methods, the
// operations they delegate to the parent's `jobs` and `code` clients and the
// text of `delete`'s refusal. Nothing here marks a line: the bodies mark
// theirs before they call these.
#pragma once
#include <vector>

#include "client/listings.h"
#include "client/recipes.h"
#include "frame/constants.h"
#include "frame/table.h"

namespace vx::web {

// Names of the types module, attributes and keywords the bodies use.
extern const Str CodeType, WEB, stored, list, get_info, delete_, code_type;

// The requests of the stored client's `run` (stored code, POST with no body)
// and the web client's `run` (a code zip, POST with the parent's multipart files).
extern const Request run_stored, run_zip;

// One keyword argument of a delegated call: a bound parameter, or an
// enumeration member pinned by the web client.
struct Keyword {
    const Str* name;
    int param = -1;
    const Str* owner = nullptr;
    const Str* member = nullptr;
};

// `self._client.<target>.<operation>(**keywords)`, or the same on the
// instance itself when `target` is null: the result of a synchronous
// client's operation, or the awaitable of an asynchronous one's.
struct Delegation {
    const Str* target;
    const Str* operation;
    std::vector<Keyword> keywords;
};

// The delegated call (a body that awaits it makes it first, so that its
// keywords stay out of the coroutine frame).
Ref delegated_call(const Delegation& d, Args& a);

// stored.list_info, jobs.list, upload, is_healthy, await_healthy and ingest.
extern const Delegation list_web_code, list_web_jobs, upload_web_code, probe_web_page, await_web_page, ingest_web_code;

// `raise ValueError(f"Code '{code_id}' is {code_info.code_type}, not Web
// code. Cannot delete non-Web code from Web client.")`
[[noreturn]] void raise_not_web(PyObject* code_id, PyObject* code_info);

}  // namespace vx::web
