#include "profiler/report.hpp"

#include "utils/frame_access.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

constexpr const char* message_format =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

Status log_warning(const Error& error, const EventSite& site) {
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    auto get_logger = import_attribute(name->logging, name->getLogger);
    if (!get_logger) return fail(std::move(get_logger.error()));
    auto logger = checked(PyObject_CallFunction(get_logger->get(), "s", "sarn"));
    if (!logger) return fail(std::move(logger.error()));
    auto locals = checked(PyObject_GetAttrString(as_object(site.frame), "f_locals"));
    if (!locals) return fail(std::move(locals.error()));
    auto kwargs = checked(PyDict_New());
    if (!kwargs) return fail(std::move(kwargs.error()));
    Ref exception = error.exception();
    if (!exception) return fail_fetch();
    if (PyDict_SetItemString(kwargs->get(), "exc_info", exception.get()) < 0) return fail_fetch();
    auto warning = checked(PyObject_GetAttr(logger->get(), name->warning));
    if (!warning) return fail(std::move(warning.error()));
    auto args = checked(Py_BuildValue("(sOOsO)", message_format, site.filename, site.name,
                                      event_text(site.event), locals->get()));
    if (!args) return fail(std::move(args.error()));
    auto result = checked(PyObject_Call(warning->get(), args->get(), kwargs->get()));
    if (!result) return fail(std::move(result.error()));
    return {};
}

}  // namespace

void report_unexpected_error(Error error, const EventSite& site, std::optional<Error>& interrupt) noexcept {
    try {
        if (error.reaches_program()) {
            if (!interrupt) interrupt = std::move(error);
            return;
        }
        auto logged = log_warning(error, site);
        if (!logged && logged.error().reaches_program()) {
            // A signal handler (Ctrl-C) ran inside the logging call.
            if (!interrupt) interrupt = std::move(logged.error());
        } else if (!logged) {
            // The report itself failed: the logger is the only channel, so the
            // interpreter's unraisable hook is the last resort.
            std::move(logged.error()).raise_in_host();
            PyErr_WriteUnraisable(site.name);
        }
    } catch (...) {
        PyErr_Clear();
    }
}

}  // namespace sarn
