#include "utils/error.hpp"

#include <cstdio>

namespace sarn {

namespace {

std::string describe(PyObject* value) {
    if (value == nullptr) return "<no exception>";
    Ref text = Ref::steal(PyObject_Repr(value));
    if (!text) {
        PyErr_Clear();
        return "<unprintable exception>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable exception>";
    }
    return std::string(utf8, static_cast<size_t>(size));
}

}  // namespace

PyObject* internal_failure_class() {
    static PyObject* cls = PyErr_NewExceptionWithDoc(
        "sarn._sarn.InternalFailure",
        "A broken invariant inside the recording core.", PyExc_BaseException, nullptr);
    return cls;
}

Error Error::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error return without an exception set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    return Error(Exception{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)});
}

Error Error::internal(std::string text) { return Error(std::move(text)); }

Error Error::internal_from_pending(std::string text) {
    Error cause = fetch();
    return Error(text + ": " + cause.description());
}

Error Error::raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return fetch();
}

std::string Error::description() const {
    if (const auto* text = std::get_if<std::string>(&state_)) return *text;
    return describe(std::get<Exception>(state_).value.get());
}

Ref Error::exception() const {
    if (const auto* exc = std::get_if<Exception>(&state_)) return exc->value.dup();
    const auto& text = std::get<std::string>(state_);
    Ref instance = Ref::steal(PyObject_CallFunction(internal_failure_class(), "s#", text.data(),
                                                    static_cast<Py_ssize_t>(text.size())));
    if (!instance) PyErr_Clear();
    return instance;
}

bool Error::reaches_program() const {
    const auto* exc = std::get_if<Exception>(&state_);
    if (exc == nullptr || !exc->type || !PyExceptionClass_Check(exc->type.get())) return false;
    // Class-to-class matching is a subtype test: it runs no Python code.
    PyObject* type = exc->type.get();
    return !PyErr_GivenExceptionMatches(type, PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(type, internal_failure_class());
}

bool Error::is_exactly(PyObject* type) const {
    const auto* exc = std::get_if<Exception>(&state_);
    return exc != nullptr && exc->type.get() == type;
}

void Error::raise_in_host() && {
    if (auto* exc = std::get_if<Exception>(&state_)) {
        PyErr_Restore(exc->type.release(), exc->value.release(), exc->traceback.release());
        return;
    }
    const auto& text = std::get<std::string>(state_);
    std::fprintf(stderr, "sarn internal failure: %s\n", text.c_str());
    PyErr_SetString(internal_failure_class(), text.c_str());
}

}  // namespace sarn
