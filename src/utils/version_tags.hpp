// The interpreter's version tags, which say that a dict or a class has not
// changed since they were read: every change of a dict gives it a new tag
// (unique in the process), and every change of a class or of one of its
// bases takes its tag away until the next lookup assigns a fresh one.
//
// Dict tags are kept up to 3.12 (which deprecates reading them) and no
// longer from 3.13; `has_dict_versions` tells.
#pragma once

#include <Python.h>

#include <cstdint>

namespace sarn {

inline constexpr bool has_dict_versions = PY_VERSION_HEX < 0x030D0000;

inline uint64_t dict_version(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030D0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return 0;
#endif
}

inline unsigned int type_version(PyTypeObject* type) noexcept {
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);
}

// Whether the class has a tag now, and so `tp_version_tag` names its state.
// From 3.13 the interpreter no longer sets the flag that said so: there a tag
// of 0 is the one that names no state (and every tag given is new). The tag
// is read atomically: on a free-threaded interpreter another thread may
// change the class meanwhile.
inline bool has_type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type_version(type) != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

}  // namespace sarn
