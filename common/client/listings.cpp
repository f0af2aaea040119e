#include "client/listings.h"

#include <utility>

#include "client/names.h"
#include "frame/namespace.h"

namespace vx {

PyObject* listing_keyword(const ListingShortcut& shortcut) {
    return shortcut.by_stage ? names::job_stage : names::job_status;
}

Ref listing_filter(const ListingShortcut& shortcut) {
    return member(shortcut.by_stage ? names::JobStage : names::JobStatus, *shortcut.member);
}

MethodDef listing_row(const ListingShortcut& shortcut, std::vector<Param> params, std::vector<const char*> locals,
                      std::vector<Section> sections, CoroutineBody body) {
    sections.push_back({"Returns:", {shortcut.returns}});
    return {.name = shortcut.name,
            .line = shortcut.line,
            .kind = Kind::Coroutine,
            .params = std::move(params),
            .returns = "List[Job]",
            .result = ResultCheck::List,
            .locals = std::move(locals),
            .summary = shortcut.summary,
            .sections = std::move(sections),
            .coroutine = body,
            .context = &shortcut};
}

MethodDef listing_row(const ListingShortcut& shortcut, std::vector<Param> params, std::vector<const char*> locals,
                      std::vector<Section> sections, PlainBody body) {
    MethodDef row = listing_row(shortcut, std::move(params), std::move(locals), std::move(sections),
                                static_cast<CoroutineBody>(nullptr));
    row.kind = Kind::Plain;
    row.plain = body;
    return row;
}

}  // namespace vx
