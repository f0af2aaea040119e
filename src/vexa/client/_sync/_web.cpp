// vexa.client._sync._web: the synchronous web-page clients StoredWebClient,
// WebJobsClient and WebClient. Each method makes the requests of its
// asynchronous twin and blocks until they are done; delegated operations go
// through the parent's synchronous `jobs` and `code` clients.
#include "client/listings.h"
#include "client/names.h"
#include "client/parent.h"
#include "client/recipes.h"
#include "client/web.h"
#include "frame/module.h"
#include "frame/namespace.h"
#include "frame/ops.h"
#include "frame/statements.h"

namespace {

using namespace vx;

const Str k_StoredWebClient{"StoredWebClient"}, k_WebJobsClient{"WebJobsClient"};

// --- delegations through the parent client -------------------------------------------

Ref run_delegation(Args& a) {
    const web::Delegation& d = *static_cast<const web::Delegation*>(a.context);
    at(10);
    return web::delegated_call(d, a);
}

Ref delete_web_code(Args& a) {
    PyObject *self = a[0], *code_id = a[1];
    at(12);
    Ref code_info = call_method(getattr(parent_of(self), names::code), web::get_info, {code_id});
    at(13);
    if (not_equals(getattr(code_info, web::code_type), member(web::CodeType, web::WEB))) {
        at(14);
        web::raise_not_web(code_id, code_info);
    }
    at(18);
    return call_method(getattr(parent_of(self), names::code), web::delete_, {code_id});
}

// --- web jobs listings ----------------------------------------------------------------

Ref latest_web_job(Args& a) {
    at(7);
    Ref jobs = call_method(a[0], web::list);
    at(8);
    if (jobs == Py_None || !truth(jobs)) return new_none();
    return check(PySequence_GetItem(jobs, 0));
}

Ref run_shortcut(Args& a) {
    const ListingShortcut& shortcut = *static_cast<const ListingShortcut*>(a.context);
    at(10);
    Ref filter = listing_filter(shortcut);
    return call_method(a[0], web::list, {}, {{listing_keyword(shortcut), filter}});
}

// --- construction and the page URL -------------------------------------------------------

Ref init_web_client(Args& a) {
    PyObject *self = a[0], *client = a[1];
    at(1);
    store_parent(a);
    at(2);
    check(PyObject_SetAttr(self, web::stored, call(global(k_StoredWebClient), {client})));
    at(3);
    check(PyObject_SetAttr(self, names::jobs, call(global(k_WebJobsClient), {client})));
    return new_none();
}

Ref get_url(Args& a) {
    at(10);
    return call_method(parent_of(a[0]), names::get_subdomain_proxy_url, {a[1]});
}

}  // namespace

// The module's imports and class table, generated from its declaration in api/.
#include "_web.table.h"
