// The SarnProfiler class: each instance carries one profiler state.
#pragma once

#include <Python.h>

#include <memory>

#include "profiler/state.hpp"
#include "utils/error.hpp"

namespace sarn {

struct SarnProfilerObject {
    PyObject_HEAD
    ProfilerState* state;
};

// The type object, created on first use (borrowed; lives for the process).
[[nodiscard]] Result<PyTypeObject*> sarn_profiler_type();

// Whether `obj` is a SarnProfiler (or subclass) instance; cheap.
[[nodiscard]] bool is_sarn_profiler(PyObject* obj) noexcept;

// The type object once created, else null. Read through the functions here.
extern PyTypeObject* profiler_type;

// Whether `obj` is an instance of the class itself: one comparison.
[[nodiscard]] inline bool is_exact_sarn_profiler(PyObject* obj) noexcept {
    return profiler_type != nullptr && Py_TYPE(obj) == profiler_type;
}

[[nodiscard]] inline ProfilerState& state_of(PyObject* obj) noexcept {
    return *reinterpret_cast<SarnProfilerObject*>(obj)->state;
}

// A new instance that owns `state`.
[[nodiscard]] Result<Ref> new_sarn_profiler(std::unique_ptr<ProfilerState> state);

// The conversion TypeError for a method called on something else.
[[nodiscard]] Error not_a_sarn_profiler(PyObject* obj);

}  // namespace sarn
