#include "client/listings.h"

#include "client/names.h"
#include "frame/namespace.h"

namespace vx {

PyObject* listing_keyword(const ListingShortcut& shortcut) {
    return shortcut.by_stage ? names::job_stage : names::job_status;
}

Ref listing_filter(const ListingShortcut& shortcut) {
    return member(shortcut.by_stage ? names::JobStage : names::JobStatus, *shortcut.member);
}

}  // namespace vx
