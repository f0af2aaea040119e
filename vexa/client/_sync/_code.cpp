// vexa.client._sync._code: CodeClient, the synchronous client for stored code.
#include <optional>

#include "coroutine.h"
#include "module.h"
#include "names.h"
#include "ops.h"
#include "protocols.h"

namespace {

using namespace vx;
namespace n = vx::names;

const Str k_code_slash{"/code/"}, k_info{"/info"}, k_code_info{"/code/info"}, k_metadata{"/metadata"},
    k_code_upload{"/code/upload"}, k_jobs_code_ingest{"/jobs/code/ingest"}, k_download{"/download"};
const Str k_CodeInfo{"CodeInfo"}, k_CodeZip{"CodeZip"}, k_Job{"Job"}, k_JsonData{"JsonData"};
const Str k_code_type{"code_type"}, k_code_name{"code_name"}, k_code_zip{"code_zip"}, k_metadata_kw{"metadata"},
    k_build_pexenv{"build_pexenv"}, k_pexenv_python{"pexenv_python"}, k_zip_bytes{"zip_bytes"};
const Str k_prepare_files{"_prepare_files"}, k_handle_stream_download{"_handle_stream_download"};
const Str k_code_with_id{"Code with id="}, k_deleted{" deleted"}, k_strip{"strip"};

Ref httpx_function(PyObject* name) { return getattr(global(n::httpx), name); }

Ref init(Args& a) {
    check(PyObject_SetAttr(a[0], n::_client, a[1]));
    return new_none();
}

Ref upload(Args& a) {
    PyObject *self = a[0], *code_zip = a[1], *code_name = a[2], *code_type = a[3], *metadata = a[4];
    at(24);
    Ref url = join({base_url_text(self), k_code_upload});
    at(26);
    Ref files = call(getattr(parent(self), k_prepare_files), {}, {{k_code_zip, code_zip}, {k_metadata_kw, metadata}});
    at(27);
    Ref data = new_dict();
    set_item(data, k_code_name, code_name);
    set_item(data, k_code_type, code_type);
    try {
        at(30);
        Ref post = httpx_function(n::post);
        Ref response = call(post, {url}, {{n::headers, api_key_header(self)}, {n::files, files}, {n::data, data}});
        at(31);
        call_method(response, n::raise_for_status);
        at(32);
        Ref body = call_method(response, n::json);
        Ref code_id = PyUnicode_Check(body.get()) ? body : check(PyObject_Str(body));
        return call_method(code_id, k_strip);
    } catch (PyError& e) {
        at(34);
        raise_translated(self, e);
    }
}

Ref download(Args& a) {
    PyObject *self = a[0], *code_id = a[1], *zip_path = a[2];
    at(13);
    Ref url = join({base_url_text(self), k_code_slash, code_id, k_download});
    Ref zip_bytes;
    try {
        at(15);
        Ref stream = httpx_function(n::stream);
        Ref manager = call(stream, {n::GET, url}, {{n::headers, api_key_header(self)}});
        With with(manager);
        Ref response = with.enter();
        std::optional<PyError> failure;
        try {
            at(16);
            zip_bytes = call(getattr(parent(self), k_handle_stream_download), {response, zip_path});
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        at(15);
        if (!failure) {
            with.exit();
        } else if (!with.exit(*failure)) {
            throw PyError(std::move(*failure));
        }
    } catch (PyError& e) {
        at(18);
        raise_translated(self, e);
    }
    at(19);
    if (!zip_bytes) raise(PyExc_UnboundLocalError, "local variable 'zip_bytes' referenced before assignment");
    return call(global(k_CodeZip), {}, {{k_zip_bytes, zip_bytes}});
}

Ref delete_(Args& a) {
    PyObject *self = a[0], *code_id = a[1];
    at(11);
    Ref url = join({base_url_text(self), k_code_slash, code_id});
    try {
        at(13);
        Ref del = httpx_function(n::delete_);
        Ref response = call(del, {url}, {{n::headers, api_key_header(self)}});
        at(14);
        call_method(response, n::raise_for_status);
        at(15);
        return join({k_code_with_id, code_id, k_deleted});
    } catch (PyError& e) {
        at(17);
        raise_translated(self, e);
    }
}

Ref get_info(Args& a) {
    PyObject *self = a[0], *code_id = a[1];
    at(11);
    Ref url = join({base_url_text(self), k_code_slash, code_id, k_info});
    try {
        at(13);
        Ref get = httpx_function(n::get);
        Ref response = call(get, {url}, {{n::headers, api_key_header(self)}});
        at(14);
        call_method(response, n::raise_for_status);
        at(15);
        return call_expanded(global(k_CodeInfo), call_method(response, n::json));
    } catch (PyError& e) {
        at(17);
        raise_translated(self, e);
    }
}

Ref list_info(Args& a) {
    PyObject *self = a[0], *code_type = a[1];
    at(13);
    Ref url = join({base_url_text(self), k_code_info});
    try {
        at(15);
        Ref params = borrow(Py_None);
        if (truth(code_type)) {
            params = new_dict();
            set_item(params, k_code_type, code_type);
        }
        at(16);
        Ref get = httpx_function(n::get);
        Ref response = call(get, {url}, {{n::headers, api_key_header(self)}, {n::params, params}});
        at(17);
        call_method(response, n::raise_for_status);
        at(18);
        Ref items = check(PyObject_GetIter(call_method(response, n::json)));
        Ref result = check(PyList_New(0));
        Ref code_info = global(k_CodeInfo);
        while (Ref item = steal(PyIter_Next(items))) check(PyList_Append(result, call_expanded(code_info, item)));
        if (PyErr_Occurred()) throw_error();
        return result;
    } catch (PyError& e) {
        at(20);
        raise_translated(self, e);
    }
}

Ref get_metadata(Args& a) {
    PyObject *self = a[0], *code_id = a[1];
    at(11);
    Ref url = join({base_url_text(self), k_code_slash, code_id, k_metadata});
    try {
        at(13);
        Ref get = httpx_function(n::get);
        Ref response = call(get, {url}, {{n::headers, api_key_header(self)}});
        at(14);
        call_method(response, n::raise_for_status);
        at(15);
        return call(global(k_JsonData), {call_method(response, n::json)});
    } catch (PyError& e) {
        at(17);
        raise_translated(self, e);
    }
}

Ref ingest(Args& a) {
    PyObject *self = a[0], *code_zip = a[1], *code_name = a[2], *code_type = a[3], *metadata = a[4],
             *build_pexenv = a[5], *pexenv_python = a[6];
    at(26);
    Ref url = join({base_url_text(self), k_jobs_code_ingest});
    at(28);
    Ref files = call(getattr(parent(self), k_prepare_files), {}, {{k_code_zip, code_zip}, {k_metadata_kw, metadata}});
    at(29);
    Ref data = new_dict();
    set_item(data, k_code_name, code_name);
    set_item(data, k_code_type, code_type);
    set_item(data, k_build_pexenv, build_pexenv);
    set_item(data, k_pexenv_python, pexenv_python);
    try {
        at(36);
        Ref post = httpx_function(n::post);
        Ref response = call(post, {url}, {{n::headers, api_key_header(self)}, {n::files, files}, {n::data, data}});
        at(37);
        call_method(response, n::raise_for_status);
        at(38);
        return call_expanded(global(k_Job), call_method(response, n::json));
    } catch (PyError& e) {
        at(40);
        raise_translated(self, e);
    }
}

const Section raises_http{"Raises:", {"HTTPException: If the request fails."}};
const Param self_param{"self"};
const char* const upload_args[] = {
    "code_zip (CodeZip): The code zip.",
    "code_name (str): The name of the code.",
    "code_type (CodeType): The type of the code.",
    "metadata (JsonData | dict | None): The JSON metadata of the code.",
};

const ModuleSpec& spec() {
    static const ModuleSpec module{
        .short_name = "_code",
        .full_name = "vexa.client._sync._code",
        .package = "vexa.client._sync",
        .source_path = "vexa/client/_sync/_code",
        .imports = {
            {"pathlib", {"Path"}},
            {"typing", {"TYPE_CHECKING"}},
            {"httpx", {}},
            {"vexa.types", {"CodeInfo", "CodeType", "CodeZip", "Job", "JsonData"}},
        },
        .type_checking_name = "Client",
        .classes = {{
            .name = "CodeClient",
            .line = 14,
            .methods = {
                {.name = "__init__", .line = 15, .params = {self_param, {"client", Check::Any, "Client"}},
                 .plain = init},
                {.name = "upload", .line = 18,
                 .params = {self_param, {"code_zip", Check::Any, "CodeZip"}, {"code_name", Check::Str, "str"},
                            {"code_type", Check::Any, "CodeType"},
                            {"metadata", Check::Any, "JsonData | dict | None", none_default}},
                 .returns = "str", .result = ResultCheck::Str,
                 .locals = {"url", "files", "data", "response", "e"},
                 .summary = "Upload code.",
                 .sections = {{"Args:", {upload_args[0], upload_args[1], upload_args[2], upload_args[3]}},
                              {"Returns:", {"str: The code ID."}}, raises_http},
                 .plain = upload},
                {.name = "download", .line = 53,
                 .params = {self_param, {"code_id", Check::Str, "str"},
                            {"zip_path", Check::Any, "Path | str | None", none_default}},
                 .returns = "CodeZip",
                 .locals = {"url", "response", "zip_bytes", "e"},
                 .summary = "Download code and optionally saves it to a file.",
                 .sections = {{"Args:", {"code_id (str): The code ID.",
                                         "zip_path (Path | str | None): The path to save the code zip file to."}},
                              {"Returns:", {"CodeZip: The downloaded code zip."}}, raises_http},
                 .plain = download},
                {.name = "delete", .line = 78, .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "str", .result = ResultCheck::Str,
                 .locals = {"url", "response", "e"},
                 .summary = "Deletes code by code_id.",
                 .sections = {{"Args:", {"code_id (str): The code ID."}},
                              {"Returns:", {"str: Confirmation message."}}, raises_http},
                 .plain = delete_},
                {.name = "get_info", .line = 98, .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "CodeInfo",
                 .locals = {"url", "response", "e"},
                 .summary = "Gets the code info.",
                 .sections = {{"Args:", {"code_id (str): The code ID."}},
                              {"Returns:", {"CodeInfo: The code info."}}, raises_http},
                 .plain = get_info},
                {.name = "list_info", .line = 118,
                 .params = {self_param, {"code_type", Check::Any, "CodeType | None", none_default}},
                 .returns = "list[CodeInfo]", .result = ResultCheck::List,
                 .locals = {"url", "params", "response", "e", "item"},
                 .summary = "Gets list of code infos.",
                 .sections = {{"Args:", {"code_type (CodeType | None): The type of code to list."}},
                              {"Returns:", {"list[CodeInfo]: The list of code infos."}}, raises_http},
                 .plain = list_info},
                {.name = "get_metadata", .line = 141, .params = {self_param, {"code_id", Check::Str, "str"}},
                 .returns = "JsonData",
                 .locals = {"url", "response", "e"},
                 .summary = "Gets code metadata.",
                 .sections = {{"Args:", {"code_id (str): The ID of the code."}},
                              {"Returns:", {"JsonData: The metadata."}}, raises_http},
                 .plain = get_metadata},
                {.name = "ingest", .line = 161,
                 .params = {self_param, {"code_zip", Check::Any, "CodeZip"}, {"code_name", Check::Str, "str"},
                            {"code_type", Check::Any, "CodeType"},
                            {"metadata", Check::Any, "JsonData | dict | None", none_default},
                            {"build_pexenv", Check::Bool, "bool", false_default},
                            {"pexenv_python", Check::OptionalStr, "str | None", none_default}},
                 .returns = "Job",
                 .locals = {"url", "files", "data", "response", "e"},
                 .summary = "Starts a code ingestion job.",
                 .sections = {{"Args:", {upload_args[0], upload_args[1], upload_args[2], upload_args[3],
                                         "build_pexenv (bool): Whether to build the pex venv.",
                                         "pexenv_python: (str | None): Python interpreter for the pex venv."}},
                              {"Returns:", {"Job: The code ingestion job."}}, raises_http},
                 .plain = ingest},
            },
        }},
    };
    return module;
}

}  // namespace

VX_MODULE(_code, spec)
