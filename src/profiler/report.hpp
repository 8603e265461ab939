// Reporting a failed event as a warning on the "sarn" logger, so that nothing
// that goes wrong while recording reaches the user's program.
#pragma once

#include <Python.h>
#include <frameobject.h>

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

// Consumes the error; never raises.
void report_unexpected_error(Error error, const EventSite& site) noexcept;

}  // namespace sarn
