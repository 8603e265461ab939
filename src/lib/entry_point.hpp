// The boundary between the interpreter and the core: one catch-all per entry
// point, so no C++ exception ever unwinds into the interpreter, and errors
// become raised Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "utils/error.hpp"

namespace sarn {

inline void raise_unexpected_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& exc) {
        Error::internal(std::string("unexpected C++ exception: ") + exc.what()).raise_in_host();
    } catch (...) {
        Error::internal("unexpected C++ exception").raise_in_host();
    }
}

// Runs `body` (returning Result<Ref>) and hands its result to the interpreter.
template <class Body>
PyObject* entry_point(Body&& body) noexcept {
    try {
        Result<Ref> result = body();
        if (!result) {
            std::move(result.error()).raise_in_host();
            return nullptr;
        }
        return result->release();
    } catch (...) {
        raise_unexpected_exception();
        return nullptr;
    }
}

inline Result<Ref> none() { return Ref::borrow(Py_None); }

}  // namespace sarn
