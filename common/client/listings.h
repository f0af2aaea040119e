// The listing shortcuts of the jobs clients (`list_queued` ... `list_post_running`):
// each awaits (in a synchronous client: calls) `self.list(...)` with one
// JobStatus or JobStage member as its filter, next to the keywords its class
// adds. A shortcut's method row (generated from its declaration in api/)
// hands its body one of these as its context.
#pragma once
#include "frame/body.h"
#include "frame/constants.h"

namespace vx {

struct ListingShortcut {
    bool by_stage;  // job_stage=JobStage.<member>; otherwise job_status=JobStatus.<member>
    const Str* member;
};

// `job_status` or `job_stage`.
PyObject* listing_keyword(const ListingShortcut& shortcut);
// `JobStatus.<member>` or `JobStage.<member>`, looked up in the module namespace.
Ref listing_filter(const ListingShortcut& shortcut);

}  // namespace vx
