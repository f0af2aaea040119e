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

const Str k_AsyncStoredWebClient{"AsyncStoredWebClient"}, k_AsyncWebJobsClient{"AsyncWebJobsClient"};

// --- delegations through the parent client -------------------------------------------

CoroutineTask run_delegation(Args a) {
    const web::Delegation& d = *static_cast<const web::Delegation*>(a.context);
    at(10);
    Ref request = web::delegated_call(d, a);
    Ref result = co_await std::move(request);
    co_return result;
}

CoroutineTask delete_web_code(Args a) {
    PyObject *self = a[0], *code_id = a[1];
    at(12);
    Ref lookup = call_method(getattr(parent_of(self), names::code), web::get_info, {code_id});
    Ref code_info = co_await std::move(lookup);
    at(13);
    if (not_equals(getattr(code_info, web::code_type), member(web::CodeType, web::WEB))) {
        at(14);
        web::raise_not_web(code_id, code_info);
    }
    at(18);
    Ref deletion = call_method(getattr(parent_of(self), names::code), web::delete_, {code_id});
    Ref message = co_await std::move(deletion);
    co_return message;
}

// --- web jobs listings ----------------------------------------------------------------

CoroutineTask latest_web_job(Args a) {
    at(7);
    MethodCall listing = method_call(a[0], web::list);
    Ref jobs = co_await std::move(listing);
    at(8);
    if (jobs == Py_None || !truth(jobs)) co_return new_none();
    co_return check(PySequence_GetItem(jobs, 0));
}

CoroutineTask run_shortcut(Args a) {
    const ListingShortcut& shortcut = *static_cast<const ListingShortcut*>(a.context);
    at(10);
    Ref filter = listing_filter(shortcut);
    MethodCall request = method_call(a[0], web::list, {}, {{listing_keyword(shortcut), filter}});
    Ref jobs = co_await std::move(request);
    co_return jobs;
}

// --- plain methods ----------------------------------------------------------------------

Ref init_web_client(Args& a) {
    PyObject *self = a[0], *client = a[1];
    at(1);
    store_parent(a);
    at(2);
    check(PyObject_SetAttr(self, web::stored, call(global(k_AsyncStoredWebClient), {client})));
    at(3);
    check(PyObject_SetAttr(self, names::jobs, call(global(k_AsyncWebJobsClient), {client})));
    return new_none();
}

Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), names::get_subdomain_proxy_url, {a[1]});
}

}  // namespace

// The module's imports and class table, generated from its declaration in api/.
#include "_web.table.h"
