// Reporting a failed event as a warning on the "sarn" logger, so that nothing
// that goes wrong while recording reaches the user's program.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <optional>

#include "profiler/batch.hpp"
#include "utils/error.hpp"

namespace sarn {

// What identifies the event in a report.
struct EventSite {
    PyFrameObject* frame;
    FrameEvent event;
    PyObject* filename;  // the code object's co_filename
    PyObject* name;      // the code object's co_name
};

// Consumes the error; never raises. An error that must reach the user's
// program (`Error::reaches_program`), given or raised while reporting, is not
// reported but kept in `interrupt` (the first one wins), for the hook to
// raise when the event's work is done.
void report_unexpected_error(Error error, const EventSite& site, std::optional<Error>& interrupt) noexcept;

}  // namespace sarn
