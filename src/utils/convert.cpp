#include "utils/convert.hpp"

#include <cstring>

#include "utils/ascii_text.hpp"

namespace sarn {

namespace {

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

bool is_numpy_bool(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

Error conversion_error(PyObject* obj, std::string_view target) {
    std::string message = "'" + type_qualname(obj) + "' object cannot be converted to '";
    message.append(target);
    message += "'";
    return Error::raise(PyExc_TypeError, message);
}

Result<bool> to_strict_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
        PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
        if (number == nullptr || number->nb_bool == nullptr) {
            return fail(Error::raise(PyExc_TypeError, std::string("object of type '") + Py_TYPE(obj)->tp_name +
                                                          "' does not define a '__bool__' conversion"));
        }
        int truth = number->nb_bool(obj);
        if (truth < 0) return fail_fetch();
        return truth != 0;
    }
    return fail(conversion_error(obj, "PyBool"));
}

Result<std::string_view> text_view(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return fail(conversion_error(obj, "PyString"));
    if (auto ascii = ascii_text(obj)) return *ascii;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return fail_fetch();
    return std::string_view(utf8, static_cast<size_t>(size));
}

Result<std::string> to_text(PyObject* obj) {
    auto view = text_view(obj);
    if (!view) return fail(std::move(view.error()));
    return std::string(*view);
}

Result<uint64_t> to_unsigned(PyObject* obj) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return fail_fetch();
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_fetch();
    return static_cast<uint64_t>(value);
}

Result<std::optional<uint64_t>> to_optional_unsigned(PyObject* obj) {
    if (obj == Py_None) return std::optional<uint64_t>();
    auto value = to_unsigned(obj);
    if (!value) return fail(std::move(value.error()));
    return std::optional<uint64_t>(*value);
}

Result<std::vector<std::string>> to_text_list(PyObject* obj) {
    if (PyUnicode_Check(obj)) return fail(Error::raise(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    if (!PySequence_Check(obj)) return fail(conversion_error(obj, "Sequence"));
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return fail_fetch();
    std::vector<std::string> texts;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        auto text = to_text(item.get());
        if (!text) return fail(std::move(text.error()));
        texts.push_back(std::move(*text));
    }
    if (PyErr_Occurred()) return fail_fetch();
    return texts;
}

Result<PyObject*> dict_lookup(PyObject* dict, const char* key) {
    Ref key_obj = Ref::steal(PyUnicode_FromString(key));
    if (!key_obj) return fail_fetch();
    // Unlike PyDict_GetItemString, this reports a raising key comparison.
    PyObject* value = PyDict_GetItemWithError(dict, key_obj.get());
    if (value == nullptr && PyErr_Occurred()) return fail_fetch();
    return value;
}

Result<Ref> make_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace sarn
