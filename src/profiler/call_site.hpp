// The nearest kept frame that encloses an event's frame on its thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "profiler/thread_caches.hpp"
#include "utils/error.hpp"
#include "utils/msgpack_writer.hpp"

namespace sarn {

// Sets `site` from the thread's open kept frames (innermost last) and the
// event's frame id; empty when there is none. The event's own frame is on
// the stack for a return, not yet for a call.
[[nodiscard]] Status find_user_code_call_site(const std::vector<OpenFrame>& stack,
                                              const std::optional<FrameId>& frame_id, LineCache& lines,
                                              std::optional<UserCodeCallSite>& site);

// {"call_frame_id": ..., "line_number": ...}
template <class S>
void write_call_site(Writer<S>& w, const UserCodeCallSite& site) {
    w.map_header(2);
    write_str_field(w, "call_frame_id", site.call_frame_id.view());
    w.str("line_number");
    w.sint(site.line_number);
}

}  // namespace sarn
