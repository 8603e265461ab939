// The value of a small int, read from the object itself.
//
// Most ints a program holds fit in one of the interpreter's digits, and
// reading that digit costs less than a call to PyLong_AsLongLongAndOverflow
// at every kept value.
#pragma once

#include <Python.h>

namespace sarn {

// True with the value when `value` (an int) is held in at most one digit.
inline bool compact_int_value(PyObject* value, long long& number) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* integer = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(integer)) return false;
    number = static_cast<long long>(PyUnstable_Long_CompactValue(integer));
    return true;
#else
    // The size is the count of digits, negative for a negative number; zero
    // has no digit at all.
    const Py_ssize_t size = Py_SIZE(value);
    if (size < -1 || size > 1) return false;
    number = size == 0 ? 0 : size * static_cast<long long>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
    return true;
#endif
}

// True with the value when `value` (an int) fits in 64 bits.
inline bool int64_value(PyObject* value, long long& number) noexcept {
    if (compact_int_value(value, number)) return true;
    int overflow = 0;
    number = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0;
}

}  // namespace sarn
