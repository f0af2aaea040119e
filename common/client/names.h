// Names every module uses: the parent-client contract and the httpx calls.
#pragma once
#include "frame/constants.h"

namespace vx::names {

extern const Str _client, base_url, api_key_header, _get_http_exception, httpx_error, _http_client, _ssl_context;
extern const Str httpx, HTTPStatusError, AsyncClient, raise_for_status, json, headers, params, files, data, verify,
    follow_redirects;
extern const Str get, post, delete_, stream, GET;
// Names of the types module, and enumeration members.
extern const Str Job, JobStatus, JobStage, job_status, job_stage;
extern const Str QUEUED, SCHEDULED, STARTED, DEFERRED, CANCELED, STOPPED, FAILED, FINISHED, TIMEOUT, PRE_RUNNING,
    RUNNING, POST_RUNNING, UNKNOWN;

}  // namespace vx::names
