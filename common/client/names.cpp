#include "client/names.h"

namespace vx::names {

const Str _client{"_client"}, httpx_error{"httpx_error"};
const Str httpx{"httpx"}, HTTPStatusError{"HTTPStatusError"}, AsyncClient{"AsyncClient"},
    raise_for_status{"raise_for_status"}, json{"json"}, headers{"headers"}, params{"params"}, files{"files"},
    data{"data"}, verify{"verify"}, follow_redirects{"follow_redirects"};
const Str get{"get"}, post{"post"}, delete_{"delete"}, stream{"stream"}, GET{"GET"};
const Str Job{"Job"}, JobStatus{"JobStatus"}, JobStage{"JobStage"}, job_status{"job_status"}, job_stage{"job_stage"};
const Str QUEUED{"QUEUED"}, SCHEDULED{"SCHEDULED"}, STARTED{"STARTED"}, DEFERRED{"DEFERRED"}, CANCELED{"CANCELED"},
    STOPPED{"STOPPED"}, FAILED{"FAILED"}, FINISHED{"FINISHED"}, TIMEOUT{"TIMEOUT"}, PRE_RUNNING{"PRE_RUNNING"},
    RUNNING{"RUNNING"}, POST_RUNNING{"POST_RUNNING"}, UNKNOWN{"UNKNOWN"};

}  // namespace vx::names
