#include "utils/serialise.hpp"

#include "utils/convert.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

Result<Bytes> to_bytes(PyObject* result) {
    if (PyBytes_Check(result)) return Bytes(PyBytes_AS_STRING(result), static_cast<size_t>(PyBytes_GET_SIZE(result)));
    if (PyByteArray_Check(result)) {
        return Bytes(PyByteArray_AS_STRING(result), static_cast<size_t>(PyByteArray_GET_SIZE(result)));
    }
    if (PyUnicode_Check(result)) return fail(Error::raise(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    if (!PySequence_Check(result)) return fail(conversion_error(result, "Sequence"));
    auto iterator = checked(PyObject_GetIter(result));
    if (!iterator) return fail(std::move(iterator.error()));
    Bytes bytes;
    while (Ref item = Ref::steal(PyIter_Next(iterator->get()))) {
        // Integers only: CPython 3.8's PyLong_AsLong would truncate a float.
        Ref index = Ref::steal(PyNumber_Index(item.get()));
        if (!index) return fail_fetch();
        long value = PyLong_AsLong(index.get());
        if (value == -1 && PyErr_Occurred()) return fail_fetch();
        if (value < 0 || value > 255) {
            return fail(Error::raise(PyExc_OverflowError, "a serialised byte must be in range(0, 256)"));
        }
        bytes.push_back(static_cast<char>(value));
    }
    if (PyErr_Occurred()) return fail_fetch();
    return bytes;
}

}  // namespace

Result<Bytes> serialise_value(PyObject* value, bool lightweight_repr) {
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    auto function = import_attribute(name->sarn_serialize,
                                     lightweight_repr ? name->dump_msgpack_lightweight_repr : name->dump_msgpack);
    if (!function) return fail(std::move(function.error()));
    auto result = checked(PyObject_CallFunctionObjArgs(function->get(), value, nullptr));
    if (!result) return fail(std::move(result.error()));
    return to_bytes(result->get());
}

}  // namespace sarn
