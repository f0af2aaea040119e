// Names every module uses: the parent-client contract and the httpx calls.
// The members read from a parent client (base_url, api_key_header, ...) are
// in parent_members.h, generated from the protocol that lists them.
#pragma once
#include "client/parent_members.h"
#include "frame/constants.h"

namespace vx::names {

// A sub-client's parent client, and the keyword of `_get_http_exception`.
extern const Str _client, httpx_error;
extern const Str httpx, HTTPStatusError, AsyncClient, raise_for_status, json, headers, params, files, data, verify,
    follow_redirects;
extern const Str get, post, delete_, stream, GET;
// Names of the types module, and enumeration members.
extern const Str Job, JobStatus, JobStage, job_status, job_stage;
extern const Str QUEUED, SCHEDULED, STARTED, DEFERRED, CANCELED, STOPPED, FAILED, FINISHED, TIMEOUT, PRE_RUNNING,
    RUNNING, POST_RUNNING, UNKNOWN;

}  // namespace vx::names
