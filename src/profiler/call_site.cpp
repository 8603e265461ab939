#include "profiler/call_site.hpp"

#include <frameobject.h>

#include "utils/convert.hpp"
#include "utils/frame_access.hpp"

namespace sarn {

Status find_user_code_call_site(const std::vector<OpenFrame>& stack, const std::optional<FrameId>& frame_id,
                                LineCache& lines, std::optional<UserCodeCallSite>& site) {
    site.reset();
    if (!frame_id || stack.empty()) return {};
    const OpenFrame* candidate = &stack.back();
    if (candidate->frame_id == *frame_id) {
        if (stack.size() == 1) return {};
        candidate = &stack[stack.size() - 2];
        if (candidate->frame_id == *frame_id) return {};
    }
    if (!PyFrame_Check(candidate->frame.get())) return fail(conversion_error(candidate->frame.get(), "PyFrame"));
    site.emplace(UserCodeCallSite{candidate->frame_id, lines.line(as_frame(candidate->frame.get()))});
    return {};
}

}  // namespace sarn
