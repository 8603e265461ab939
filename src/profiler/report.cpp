#include "profiler/report.hpp"

#include "utils/frame_access.hpp"
#include "utils/frame_locals.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

constexpr const char* message_format =
    "Unexpected exception in the recording core (sarn._sarn).\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

// At most this many characters of each local's repr, and this many locals.
constexpr Py_ssize_t local_text_limit = 200;
constexpr Py_ssize_t shown_locals_limit = 50;

// repr(value) cut to `local_text_limit` characters; a failing repr is shown
// by its type's name, unless what it raised must reach the program.
Result<Ref> bounded_repr(PyObject* value) {
    Ref text = Ref::steal(PyObject_Repr(value));
    if (!text) {
        Error error = Error::fetch();
        if (error.reaches_program()) return fail(std::move(error));
        return checked(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(value)->tp_name));
    }
    if (PyUnicode_GET_LENGTH(text.get()) <= local_text_limit) return text;
    auto cut = checked(PyUnicode_Substring(text.get(), 0, local_text_limit));
    if (!cut) return cut;
    return checked(PyUnicode_FromFormat("%U...", cut->get()));
}

// The frame's locals as "{'name': value, ...}", each value bounded and the
// builtins namespace shown by name only, so that one report stays one
// readable entry and does not spill whole namespaces into the log.
Result<Ref> locals_text(PyFrameObject* frame) {
    // Read like a kept frame's locals: no snapshot is left in the frame.
    auto locals = read_locals(frame);
    if (!locals) return fail(std::move(locals.error()));
    auto items = checked(PyMapping_Items(locals->get()));
    if (!items) return fail(std::move(items.error()));
    auto parts = checked(PyList_New(0));
    if (!parts) return fail(std::move(parts.error()));
    const Py_ssize_t count = PyList_GET_SIZE(items->get());
    for (Py_ssize_t i = 0; i < count && i < shown_locals_limit; ++i) {
        PyObject* item = PyList_GET_ITEM(items->get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) continue;
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        const bool builtins = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "__builtins__") == 0;
        auto key_text = bounded_repr(key);
        if (!key_text) return fail(std::move(key_text.error()));
        auto value_text = builtins ? checked(PyUnicode_FromString("<builtins>"))
                                   : bounded_repr(PyTuple_GET_ITEM(item, 1));
        if (!value_text) return fail(std::move(value_text.error()));
        auto part = checked(PyUnicode_FromFormat("%U: %U", key_text->get(), value_text->get()));
        if (!part) return fail(std::move(part.error()));
        if (PyList_Append(parts->get(), part->get()) < 0) return fail_fetch();
    }
    if (count > shown_locals_limit) {
        auto more = checked(PyUnicode_FromFormat("... %zd more", count - shown_locals_limit));
        if (!more) return fail(std::move(more.error()));
        if (PyList_Append(parts->get(), more->get()) < 0) return fail_fetch();
    }
    auto separator = checked(PyUnicode_FromString(", "));
    if (!separator) return fail(std::move(separator.error()));
    auto joined = checked(PyUnicode_Join(separator->get(), parts->get()));
    if (!joined) return fail(std::move(joined.error()));
    return checked(PyUnicode_FromFormat("{%U}", joined->get()));
}

Status log_warning(const Error& error, const EventSite& site) {
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    auto get_logger = import_attribute(name->logging, name->getLogger);
    if (!get_logger) return fail(std::move(get_logger.error()));
    auto logger = checked(PyObject_CallFunction(get_logger->get(), "s", "sarn"));
    if (!logger) return fail(std::move(logger.error()));
    auto locals = locals_text(site.frame);
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
