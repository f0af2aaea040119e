// The listing shortcuts of the jobs clients (`list_queued` ... `list_post_running`):
// each awaits (in a synchronous client: calls) `self.list(...)` with one JobStatus or JobStage member as its
// filter, next to the keywords its class adds. Both the jobs client and the
// web jobs client describe theirs with this table row and build their method
// rows with listing_row().
#pragma once
#include <vector>

#include "frame/body.h"
#include "frame/constants.h"
#include "frame/table.h"

namespace vx {

struct ListingShortcut {
    const char* name;
    int line;
    bool by_stage;  // job_stage=JobStage.<member>; otherwise job_status=JobStatus.<member>
    const Str* member;
    const char* summary;  // docstring summary
    const char* returns;  // the "Returns:" entry
};

// `job_status` or `job_stage`.
PyObject* listing_keyword(const ListingShortcut& shortcut);
// `JobStatus.<member>` or `JobStage.<member>`, looked up in the module namespace.
Ref listing_filter(const ListingShortcut& shortcut);

// The method row of one shortcut: coroutine, result checked as a list,
// `params`, `locals` and `sections` before its "Returns:" entry as the class
// gives them, `body` reading the shortcut from its context.
MethodDef listing_row(const ListingShortcut& shortcut, std::vector<Param> params, std::vector<const char*> locals,
                      std::vector<Section> sections, CoroutineBody body);
// The same row for a synchronous client: a plain method calling `self.list(...)`.
MethodDef listing_row(const ListingShortcut& shortcut, std::vector<Param> params, std::vector<const char*> locals,
                      std::vector<Section> sections, PlainBody body);

}  // namespace vx
