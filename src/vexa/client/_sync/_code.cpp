// vexa.client._sync._code: CodeClient, the synchronous client for stored code.
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

const Str k_code_slash{"/code/"}, k_info{"/info"}, k_code_info{"/code/info"}, k_metadata{"/metadata"},
    k_code_upload{"/code/upload"}, k_jobs_code_ingest{"/jobs/code/ingest"}, k_download{"/download"};
const Str k_CodeInfo{"CodeInfo"}, k_CodeZip{"CodeZip"}, k_JsonData{"JsonData"};
const Str k_code_type{"code_type"}, k_code_name{"code_name"}, k_code_zip{"code_zip"}, k_metadata_kw{"metadata"},
    k_build_pexenv{"build_pexenv"}, k_pexenv_python{"pexenv_python"};
const Str k_code_with_id{"Code with id="}, k_deleted{" deleted"}, k_strip{"strip"};

// The protected region of every request: `httpx.<function>(url,
// headers=<api_key_header>, **extra())`, the status checked, the result built
// from the response; an error status becomes the parent's HTTP exception.
template <class Extra, class Build>
Ref send(PyObject* parent, const Str& function, PyObject* url, Extra extra, Build build) {
    try {
        at(2);
        KeywordList more = extra();
        at(3);
        RequestFunction request(parent, function);
        KeywordList kwargs{{names::headers, api_key_header(parent)}};
        kwargs.extend(std::move(more));
        request.add_keywords(kwargs);
        Ref response = request.call({url}, kwargs);
        at(4);
        call_method(response, names::raise_for_status);
        at(5);
        return build(response.get());
    } catch (PyError& e) {
        at(7);
        raise_translated(parent, e);
    }
}

// A lambda, not a function: `send` is then compiled knowing that there is nothing to add.
constexpr auto no_extra = [] { return KeywordList{}; };

// Form fields of an upload (the first two) or an ingestion (all four), in
// their order on the wire, with the parameter each one holds.
struct FormField {
    const Str* name;
    int param;
};
const FormField form_fields[] = {{&k_code_name, 2}, {&k_code_type, 3}, {&k_build_pexenv, 5}, {&k_pexenv_python, 6}};

Ref form_data(Args& a, int count) {
    Ref data = new_dict();
    for (int i = 0; i < count; ++i) set_item(data, *form_fields[i].name, a[form_fields[i].param]);
    return data;
}

// upload and ingest: the files and form data are prepared before the request.
Ref post_code(Args& a, const Str& path, int fields, Ref (*build)(PyObject* response)) {
    PyObject *code_zip = a[1], *metadata = a[4];
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), path});
    Ref files = call_method(parent, names::_prepare_files, {}, {{k_code_zip, code_zip}, {k_metadata_kw, metadata}});
    Ref data = form_data(a, fields);
    return send(
        parent, names::post, url, [&] { return KeywordList{{names::files, files}, {names::data, data}}; }, build);
}

Ref upload(Args& a) {
    return post_code(a, k_code_upload, 2, [](PyObject* response) {
        Ref body = json_body(response);
        Ref code_id = PyUnicode_Check(body.get()) ? body : check(PyObject_Str(body));
        return call_method(code_id, k_strip);
    });
}

Ref ingest(Args& a) { return post_code(a, k_jobs_code_ingest, 4, job_from_response); }

Ref download(Args& a) {
    PyObject *code_id = a[1], *zip_path = a[2];
    at(13);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_code_slash, code_id, k_download});
    Ref zip_bytes = download_blocking(parent, url, zip_path);
    at(19);
    return from_zip_bytes(k_CodeZip, zip_bytes);
}

Ref delete_(Args& a) {
    PyObject* code_id = a[1];
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_code_slash, code_id});
    return send(parent, names::delete_, url, no_extra,
                [&](PyObject*) { return join({k_code_with_id, code_id, k_deleted}); });
}

Ref get_info(Args& a) {
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_code_slash, a[1], k_info});
    return send(parent, names::get, url, no_extra,
                [](PyObject* response) { return call_expanded(global(k_CodeInfo), json_body(response)); });
}

Ref list_info(Args& a) {
    PyObject* code_type = a[1];
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_code_info});
    // Only a code type that is true filters; otherwise no query string at all.
    auto query = [code_type] {
        Ref params = borrow(Py_None);
        if (truth(code_type)) {
            params = new_dict();
            set_item(params, k_code_type, code_type);
        }
        return KeywordList{{names::params, params}};
    };
    return send(parent, names::get, url, query,
                [](PyObject* response) { return call_expanded_each(global(k_CodeInfo), json_body(response)); });
}

Ref get_metadata(Args& a) {
    at(1);
    Ref parent = parent_of(a[0]);
    Ref url = join({base_url_text(parent), k_code_slash, a[1], k_metadata});
    return send(parent, names::get, url, no_extra,
                [](PyObject* response) { return call(global(k_JsonData), {json_body(response)}); });
}

}  // namespace

// The module's imports and class table, generated from its declaration in api/.
#include "_code.table.h"
