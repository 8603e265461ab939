#include "serialize/method_repr.hpp"

#include <charconv>

namespace sarn::serialize {

std::string unrun_object_repr(std::string_view type_name, PyObject* value) {
    char address[2 + 2 * sizeof(void*)] = {'0', 'x'};
    char* end = std::to_chars(address + 2, address + sizeof address, reinterpret_cast<uintptr_t>(value), 16).ptr;
    std::string text;
    text.reserve(type_name.size() + 32);
    text.append("<").append(type_name).append(" object at ");
    text.append(address, static_cast<size_t>(end - address)).append(">");
    return text;
}

Ref bound_method_repr(PyObject* method, std::string_view self_text, Py_ssize_t max_repr) {
    PyObject* function = PyMethod_GET_FUNCTION(method);
    if (!PyFunction_Check(function)) return Ref();
    PyObject* qualname = reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
    Py_ssize_t size = 0;
    const char* name = nullptr;
    if (qualname != nullptr && PyUnicode_CheckExact(qualname)) {
        name = PyUnicode_AsUTF8AndSize(qualname, &size);
        if (name == nullptr) {
            PyErr_Clear();  // not valid text: the Python half writes it
            return Ref();
        }
    } else {
        name = "?";
        size = 1;
    }
    std::string text;
    text.reserve(static_cast<size_t>(size) + self_text.size() + 20);
    text.append("<bound method ").append(name, static_cast<size_t>(size)).append(" of ");
    text.append(self_text).append(">");
    Ref repr = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!repr || PyUnicode_GET_LENGTH(repr.get()) <= max_repr) return repr;
    Ref prefix = Ref::steal(PyUnicode_Substring(repr.get(), 0, max_repr));
    if (!prefix) return Ref();
    return Ref::steal(PyUnicode_FromFormat("%U...", prefix.get()));
}

}  // namespace sarn::serialize
